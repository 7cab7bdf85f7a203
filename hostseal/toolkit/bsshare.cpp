// GF(2^8) arithmetic and the per-byte share polynomials.
#include "bsshare.h"

#include "tk_internal.h"

namespace {

struct GfTables {
    unsigned char alog[512];
    unsigned char log[256];
    unsigned char inv[256];
};

constexpr GfTables buildTables()
{
    GfTables t{};
    unsigned x = 1;
    for (unsigned i = 0; i < 510; ++i) {
        t.alog[i] = static_cast<unsigned char>(x);
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    for (unsigned i = 0; i < 255; ++i)
        t.log[t.alog[i]] = static_cast<unsigned char>(i);
    for (unsigned a = 1; a < 256; ++a)
        t.inv[a] = t.alog[255 - t.log[a]];
    return t;
}

constexpr GfTables kGf = buildTables();

} // namespace

const unsigned char (&GF_ALOGT)[512] = kGf.alog;
const unsigned char (&GF_LOGT)[256] = kGf.log;
const unsigned char (&GF_INVT)[256] = kGf.inv;

extern "C" {

unsigned char GF_Mul(unsigned char a, unsigned char b)
{
    if (a == 0 || b == 0)
        return 0;
    return kGf.alog[kGf.log[a] + kGf.log[b]];
}

unsigned char GF_Div(unsigned char a, unsigned char d)
{
    return GF_Mul(a, kGf.inv[d]);
}

int A_BSShareSplitInit(A_BSSHARE_SPLIT_CTX *ctx, uint32_t threshold,
                       const unsigned char *coefficients)
{
    if (threshold < 2 || threshold > 255)
        return A_BSSHARE_E_THRESHOLD;
    ctx->coefficients = coefficients;
    ctx->threshold = threshold;
    ctx->nextIndex = 1;
    return 0;
}

int A_BSShareSplitUpdate(A_BSSHARE_SPLIT_CTX *ctx, unsigned char *output,
                         const unsigned char *secret, uint32_t secretLen)
{
    const uint32_t x = ctx->nextIndex;
    if (x > 255)
        return A_BSSHARE_E_INDEX;
    const uint32_t degree = ctx->threshold - 1;

    // Logarithms of x^1..x^degree: each term is then one table lookup.
    unsigned logPower[255];
    for (uint32_t j = 1, l = kGf.log[x]; j <= degree; ++j, l = (l + kGf.log[x]) % 255)
        logPower[j - 1] = l;

    const unsigned char *r = ctx->coefficients;
    for (uint32_t i = 0; i < secretLen; ++i, r += degree) {
        unsigned y = secret[i];
        for (uint32_t j = 0; j < degree; ++j)
            if (r[j] != 0)
                y ^= kGf.alog[logPower[j] + kGf.log[r[j]]];
        output[i] = static_cast<unsigned char>(y);
    }
    output[secretLen] = static_cast<unsigned char>(x);
    ctx->nextIndex = x + 1;
    return 0;
}

int A_BSShareJoinShares(unsigned char *output, uint32_t count, uint32_t shareLen,
                        const unsigned char *shares)
{
    if (count == 0 || count > 255 || shareLen == 0)
        return A_BSSHARE_E_JOIN_CHECK;
    const uint32_t k = count;
    const uint32_t L = shareLen - 1;
    unsigned char x[255];
    unsigned char w[255];
    for (uint32_t q = 0; q < k; ++q)
        x[q] = shares[q * shareLen + L];

    // Lagrange weights for evaluation at 0: first the coefficients of the
    // product of (X + x(i)), then divided down share by share.
    w[0] = 1;
    for (uint32_t q = 1; q < k; ++q)
        w[q] = 0;
    for (uint32_t i = 0; i + 1 < k; ++i)
        for (uint32_t j = k - 1; j >= i + 1; --j)
            w[j] ^= GF_Mul(x[i], w[j - 1]);
    for (uint32_t i = k - 1; i-- > 0;) {
        for (uint32_t j = i + 1; j < k; ++j)
            w[j] = GF_Div(w[j], static_cast<unsigned char>(x[j - i - 1] ^ x[j]));
        for (uint32_t q = i; q + 1 < k; ++q)
            w[q] ^= w[q + 1];
    }

    // The weights must reproduce x^e at 0 for every degree below k; repeated
    // indices break this through the division by zero above.
    unsigned char a[255];
    for (uint32_t q = 0; q < k; ++q)
        a[q] = 1;
    int rc = 0;
    for (uint32_t e = 0; e < k && rc == 0; ++e) {
        unsigned sum = 0;
        for (uint32_t q = 0; q < k; ++q)
            sum ^= GF_Mul(w[q], a[q]);
        if (sum != (e == 0 ? 1u : 0u))
            rc = A_BSSHARE_E_JOIN_CHECK;
        for (uint32_t q = 0; q < k; ++q)
            a[q] = GF_Mul(a[q], x[q]);
    }

    if (rc == 0) {
        unsigned logW[255];
        for (uint32_t q = 0; q < k; ++q)
            logW[q] = kGf.log[w[q]];
        for (uint32_t b = 0; b < L; ++b) {
            unsigned s = 0;
            const unsigned char *p = shares + b;
            for (uint32_t q = 0; q < k; ++q, p += shareLen)
                if (w[q] != 0 && *p != 0)
                    s ^= kGf.alog[logW[q] + kGf.log[*p]];
            output[b] = static_cast<unsigned char>(s);
        }
        T_memset(logW, 0, sizeof(logW));
    }
    T_memset(w, 0, sizeof(w));
    return rc;
}

} // extern "C"
