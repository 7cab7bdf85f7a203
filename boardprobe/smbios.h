/*
 * SMBIOS reader: the system UUID, the processor ID and the serial number of
 * the first memory device, read from the firmware's SMBIOS structure table.
 *
 * The table is found through the entry point in the BIOS area at 0xF0000 of
 * /dev/mem; where there is none (UEFI firmware, or no /dev/mem at all) it is
 * read from /sys/firmware/dmi/tables instead. Both need root.
 */
#ifndef SMBIOS_H
#define SMBIOS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The result area: three NUL-terminated text fields of 256 bytes each. */
enum {
    SMBIOS_FIELD_SIZE = 256,
    SMBIOS_AREA_SIZE = 3 * SMBIOS_FIELD_SIZE,
    SMBIOS_UUID_FIELD = 0,
    SMBIOS_PROCESSOR_FIELD = SMBIOS_FIELD_SIZE,
    SMBIOS_MEMORY_FIELD = 2 * SMBIOS_FIELD_SIZE
};

/*
 * Reads the three values once per process. Returns 0 and points *area at
 * the process's result area (never freed, valid for the life of the
 * process), or returns an errno value after writing the reason to stderr
 * and leaves *area unchanged. Later calls after a success return the same
 * area without reading again. Not thread-safe on the first call.
 */
int accessSmBiosData(char **area);

/*
 * Test images: BOARDPROBE_MEMORY_IMAGE names a file that stands for
 * /dev/mem (file offset = physical address), BOARDPROBE_DMI_TABLES a folder
 * that stands for /sys/firmware/dmi/tables. When either is set, both real
 * sources are replaced and an unset one counts as missing.
 *
 * The first call decides, and must come before the process changes its
 * user; accessSmBiosData makes it if nobody did. Returns 0, or EPERM after
 * a message when a test image is named in a process that runs with rights
 * its caller does not have (set-user-ID or set-group-ID): such a process
 * would open a path of the caller's choosing with root's rights.
 */
int smbiosTakeTestSources(void);

#ifdef __cplusplus
}
#endif

#endif
