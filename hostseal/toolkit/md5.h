/*
 * MD5 message digest (RFC 1321), byte-order independent.
 */
#ifndef HOSTSEAL_MD5_H
#define HOSTSEAL_MD5_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { MD5_DIGEST_LEN = 16, MD5_BLOCK_LEN = 64 };

typedef struct A_MD5_CTX {
    uint32_t state[4];
    uint64_t bitCount;
    unsigned char buffer[MD5_BLOCK_LEN];
} A_MD5_CTX;

void A_MD5Init(A_MD5_CTX *ctx);
void A_MD5Update(A_MD5_CTX *ctx, const unsigned char *data, uint32_t length);
/* Writes the digest and wipes the context; A_MD5Init it before reuse. */
void A_MD5Final(unsigned char digest[MD5_DIGEST_LEN], A_MD5_CTX *ctx);

#ifdef __cplusplus
}
#endif

#endif
