// MD5 after RFC 1321, written for any byte order: words are assembled from
// bytes explicitly instead of being read from memory.
#include "md5.h"

#include "tk_internal.h"

namespace {

inline uint32_t rotl(uint32_t x, unsigned n)
{
    return (x << n) | (x >> (32 - n));
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-round shift amounts and the sine-derived constants of the RFC.
const unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

const uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

void transform(uint32_t state[4], const unsigned char block[MD5_BLOCK_LEN])
{
    uint32_t x[16];
    for (unsigned i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
               uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned k;
        switch (i / 16) {
        case 0: f = F(b, c, d); k = i; break;
        case 1: f = G(b, c, d); k = (5 * i + 1) % 16; break;
        case 2: f = H(b, c, d); k = (3 * i + 5) % 16; break;
        default: f = I(b, c, d); k = (7 * i) % 16; break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kT[i] + x[k], kShift[i / 16][i % 4]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    T_memset(x, 0, sizeof(x));
}

} // namespace

extern "C" {

void A_MD5Init(A_MD5_CTX *ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bitCount = 0;
}

void A_MD5Update(A_MD5_CTX *ctx, const unsigned char *data, uint32_t length)
{
    unsigned used = unsigned(ctx->bitCount >> 3) % MD5_BLOCK_LEN;
    ctx->bitCount += uint64_t(length) << 3;
    if (used != 0) {
        unsigned room = MD5_BLOCK_LEN - used;
        if (length < room) {
            T_memcpy(ctx->buffer + used, data, length);
            return;
        }
        T_memcpy(ctx->buffer + used, data, room);
        transform(ctx->state, ctx->buffer);
        data += room;
        length -= room;
    }
    for (; length >= MD5_BLOCK_LEN; data += MD5_BLOCK_LEN, length -= MD5_BLOCK_LEN)
        transform(ctx->state, data);
    T_memcpy(ctx->buffer, data, length);
}

void A_MD5Final(unsigned char digest[MD5_DIGEST_LEN], A_MD5_CTX *ctx)
{
    unsigned char lengthBytes[8];
    for (unsigned i = 0; i < 8; ++i)
        lengthBytes[i] = static_cast<unsigned char>(ctx->bitCount >> (8 * i));
    static const unsigned char kPad[MD5_BLOCK_LEN] = {0x80};
    unsigned used = unsigned(ctx->bitCount >> 3) % MD5_BLOCK_LEN;
    A_MD5Update(ctx, kPad, used < 56 ? 56 - used : 120 - used);
    A_MD5Update(ctx, lengthBytes, 8);
    for (unsigned i = 0; i < 4; ++i)
        for (unsigned j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
    T_memset(ctx, 0, sizeof(*ctx));
}

} // extern "C"
