/*
 * Split a secret into threshold shares and join shares back.
 *
 * Both return a malloc'd buffer that the caller releases with free(), or
 * null on any failure (no code, nothing printed).
 */
#ifndef HOSTSEAL_SECRETSHARE_H
#define HOSTSEAL_SECRETSHARE_H

#ifdef __cplusplus
extern "C" {
#endif

/* n shares of L+1 bytes, index 1 first, of which any t give the secret.
 * 1 <= L, 2 <= t <= n <= 255. */
unsigned char *__split(const unsigned char *secret, int L, int n, int t);

/* The L-byte secret from exactly n shares of L+1 bytes, in any order; n must
 * be at least the split's threshold, and all n shares are used. */
unsigned char *__join(const unsigned char *shares, int L, int n);

#ifdef __cplusplus
}
#endif

#endif
