/*
 * Internals of the SMBIOS reader, for its unit tests and its fuzzer only.
 * Nothing else includes this header.
 */
#ifndef SMBIOS_INTERNAL_H
#define SMBIOS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "smbios.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Structure count of a 3.0 entry point, which has none: the walk ends after the end-of-table structure. */
#define SMBIOS_UNCOUNTED UINT32_MAX

typedef struct SmbiosTableInfo {
    uint64_t address; /* physical address of the structure table */
    uint32_t length;  /* table length (2.x) or maximum length (3.0) in bytes */
    uint32_t count;   /* number of structures, or SMBIOS_UNCOUNTED */
} SmbiosTableInfo;

/*
 * Offset of the first valid 2.x entry point at a 16-byte boundary of area
 * (anchor "_SM_", the bytes of its length add up to 0 modulo 256, all of
 * them inside area), or -1. The last 16 bytes of the area are not examined.
 */
long smbiosFindEntryPoint(const unsigned char *area, size_t size);

/*
 * Decodes a 2.x ("_SM_") or 3.0 ("_SM3_") entry point of size bytes.
 * Returns 0, or EINVAL for a wrong anchor, a length too short for the
 * fields read or longer than size, or a bad checksum.
 */
int smbiosParseEntryPoint(const unsigned char *entry, size_t size, SmbiosTableInfo *info);

/*
 * Walks count structures of the table (size bytes) and fills the empty
 * fields of area (SMBIOS_AREA_SIZE bytes). Reads nothing outside the table.
 */
void smbiosWalkTable(const unsigned char *table, size_t size, uint32_t count, char *area);

/*
 * Replaces the sources (NULL: that source is missing), as the test image
 * variables do, and forgets a kept result.
 */
void smbiosSetSources(const char *memoryPath, const char *dmiFolder);

#ifdef __cplusplus
}
#endif

#endif
