/*
 * The operating system's random source, for seeding generators.
 */
#ifndef HOSTSEAL_TK_OSRANDOM_H
#define HOSTSEAL_TK_OSRANDOM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fills all `length` bytes; 0 on success, non-zero when the source failed
 * (the buffer contents are then unspecified). */
int T_OSRandomBytes(unsigned char *buffer, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
