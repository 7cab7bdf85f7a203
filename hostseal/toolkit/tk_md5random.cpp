// Digest-based random generator and its MD5 method.
//
// The stream is digest(S), digest(S + step), digest(S + 2 step), ... where S
// is the digest of the seed material. The step is 1 while the generator has
// had fewer than two updates, and the constant T afterwards.
#include "md5.h"
#include "tk_internal.h"

#include <new>

namespace {

enum { DIGEST_MAX = 16 };

struct DigestOps {
    uint32_t length;
    void (*start)(void *state);
    void (*absorb)(void *state, const unsigned char *bytes, uint32_t length);
    void (*finish)(void *state, unsigned char *digest); // also restarts
};

void md5Start(void *state)
{
    A_MD5Init(static_cast<A_MD5_CTX *>(state));
}

void md5Absorb(void *state, const unsigned char *bytes, uint32_t length)
{
    A_MD5Update(static_cast<A_MD5_CTX *>(state), bytes, length);
}

void md5Finish(void *state, unsigned char *digest)
{
    A_MD5Final(digest, static_cast<A_MD5_CTX *>(state));
    A_MD5Init(static_cast<A_MD5_CTX *>(state));
}

const DigestOps kMd5 = {MD5_DIGEST_LEN, md5Start, md5Absorb, md5Finish};

struct DigestRandom {
    uint32_t pendingSeed; // set by update, cleared when output is next asked for
    uint32_t countdown;   // 2 after init, down to 0 by updates
    uint32_t digestLen;   // D
    uint32_t unread;      // the last `unread` bytes of output are unread
    unsigned char seed[DIGEST_MAX];   // S
    unsigned char output[DIGEST_MAX]; // O
    unsigned char addend[DIGEST_MAX]; // T
    const DigestOps *digest;
    A_MD5_CTX digestState;
};

constexpr uint32_t kContextSize = 272;
static_assert(sizeof(DigestRandom) <= kContextSize, "context does not fit its reported size");

DigestRandom *ctxOf(void *ctx)
{
    return static_cast<DigestRandom *>(ctx);
}

void A_DigestRandomInit(DigestRandom *r, const DigestOps *digest)
{
    T_memset(r->seed, 0, sizeof(r->seed));
    T_memset(r->output, 0, sizeof(r->output));
    T_memset(r->addend, 0, sizeof(r->addend));
    r->pendingSeed = 0;
    r->countdown = 2;
    r->digestLen = digest->length;
    r->unread = 0;
    r->digest = digest;
    digest->start(&r->digestState);
}

void A_DigestRandomUpdate(DigestRandom *r, const unsigned char *bytes, uint32_t length)
{
    const DigestOps *d = r->digest;
    if (r->countdown == 2) {
        d->finish(&r->digestState, r->addend);
        r->addend[r->digestLen - 1] |= 1;
    }
    if (r->countdown > 0)
        r->countdown--;
    if (r->pendingSeed == 0 && r->countdown == 0)
        d->absorb(&r->digestState, r->seed, r->digestLen);
    d->absorb(&r->digestState, bytes, length);
    r->pendingSeed = 1;
}

// S as a big-endian number: S += 1 before the second update, S += T after.
void advanceSeed(DigestRandom *r)
{
    const uint32_t D = r->digestLen;
    if (r->countdown > 0) {
        for (uint32_t i = D; i-- > 0;)
            if (++r->seed[i] != 0)
                break;
        return;
    }
    unsigned carry = 0;
    for (uint32_t i = D; i-- > 0;) {
        unsigned sum = unsigned(r->seed[i]) + r->addend[i] + carry;
        r->seed[i] = static_cast<unsigned char>(sum);
        carry = sum >> 8;
    }
}

void A_DigestRandomGenerateBytes(DigestRandom *r, unsigned char *out, uint32_t n)
{
    const uint32_t D = r->digestLen;
    const DigestOps *d = r->digest;
    if (r->pendingSeed) {
        d->finish(&r->digestState, r->seed);
        r->pendingSeed = 0;
        r->unread = 0;
    }
    if (n <= r->unread) {
        T_memcpy(out, r->output + (D - r->unread), n);
        r->unread -= n;
        return;
    }
    for (;;) {
        T_memcpy(out, r->output + (D - r->unread), r->unread);
        out += r->unread;
        n -= r->unread;
        d->absorb(&r->digestState, r->seed, D);
        d->finish(&r->digestState, r->output);
        advanceSeed(r);
        r->unread = D;
        if (n <= D)
            break;
    }
    T_memcpy(out, r->output, n);
    r->unread = D - n;
}

int A_MD5RandomInit(void *ctx)
{
    A_DigestRandomInit(new (ctx) DigestRandom, &kMd5);
    return 0;
}

int A_MD5RandomUpdate(void *ctx, const unsigned char *bytes, uint32_t length)
{
    A_DigestRandomUpdate(ctxOf(ctx), bytes, length);
    return 0;
}

int A_MD5RandomGenerateBytes(void *ctx, unsigned char *out, uint32_t length)
{
    A_DigestRandomGenerateBytes(ctxOf(ctx), out, length);
    return 0;
}

const A_RANDOM_METHOD_TABLE A_MD5_RANDOM = {
    kContextSize, A_MD5RandomInit, A_MD5RandomUpdate, A_MD5RandomGenerateBytes, nullptr, nullptr,
};

} // namespace

extern "C" {

const TK_ALGORITHM_METHOD AM_MD5_RANDOM = {&AIT_MD5Random, 0, nullptr, &A_MD5_RANDOM};

} // extern "C"
