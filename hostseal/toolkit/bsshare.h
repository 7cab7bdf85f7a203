/*
 * Threshold secret sharing over GF(2^8) (reduction polynomial 0x11D,
 * generator 2): each secret byte is the constant term of its own random
 * polynomial of degree t-1. A share of an L-byte secret is L+1 bytes: the
 * L polynomial values at the share index, then the index (1..255).
 */
#ifndef HOSTSEAL_BSSHARE_H
#define HOSTSEAL_BSSHARE_H

#include <stdint.h>

/* 2^i for i = 0..509 (period 255); entries 510 and 511 are 0. */
extern const unsigned char (&GF_ALOGT)[512];
/* log2(a) for a = 1..255; entry 0 is 0 and unused. */
extern const unsigned char (&GF_LOGT)[256];
/* 1/a for a = 1..255; entry 0 is 0, so dividing by 0 yields 0. */
extern const unsigned char (&GF_INVT)[256];

#ifdef __cplusplus
extern "C" {
#endif

unsigned char GF_Mul(unsigned char a, unsigned char b);
unsigned char GF_Div(unsigned char a, unsigned char d);

enum {
    A_BSSHARE_E_JOIN_CHECK = 5,
    A_BSSHARE_E_INDEX = 14,
    A_BSSHARE_E_THRESHOLD = 15
};

typedef struct A_BSSHARE_SPLIT_CTX {
    const unsigned char *coefficients; /* L*(t-1) bytes, not owned */
    uint32_t threshold;
    uint32_t nextIndex; /* starts at 1 */
} A_BSSHARE_SPLIT_CTX;

/* 0, or 15 when t is outside 2..255. */
int A_BSShareSplitInit(A_BSSHARE_SPLIT_CTX *ctx, uint32_t threshold,
                       const unsigned char *coefficients);
/* Writes the share for the next index into output (L+1 bytes). The
 * coefficient of x^j for secret byte i is coefficients[i*(t-1) + j-1].
 * 0, or 14 once the index would exceed 255. */
int A_BSShareSplitUpdate(A_BSSHARE_SPLIT_CTX *ctx, unsigned char *output,
                         const unsigned char *secret, uint32_t secretLen);
/* Interpolates the secret (shareLen-1 bytes) at x = 0 from count shares laid
 * one after another. 0, or 5 when the weights fail their check (repeated
 * indices, or no shares). */
int A_BSShareJoinShares(unsigned char *output, uint32_t count, uint32_t shareLen,
                        const unsigned char *shares);

#ifdef __cplusplus
}
#endif

#endif
