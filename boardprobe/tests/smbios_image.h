// Crafted SMBIOS structures, tables, entry points, memory images and sysfs
// folders for the reader's tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smbiostest {

using Bytes = std::vector<unsigned char>;

// Where the crafted memory images keep their table: below the BIOS area and
// not on a page boundary, so the reader has to round the mapping.
constexpr uint32_t kTableAddress = 0xE1234;

constexpr unsigned char kUuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr char kUuidText[] = "00112233445566778899AABBCCDDEEFF";
constexpr unsigned char kProcessorId[8] = {0xC3, 0x06, 0x03, 0x00, 0xFF, 0xFB, 0xEB, 0xBF};
constexpr char kProcessorText[] = "C3060300FFFBEBBF";

// A structure: 4-byte header, then the formatted bytes after it (padded
// with zeros or cut to length), then the string set.
Bytes structure(unsigned type, size_t length, const Bytes &afterHeader, const std::vector<std::string> &strings);

Bytes systemInfo(const unsigned char (&uuid)[16] = kUuid, size_t length = 27);
Bytes processor(const unsigned char (&id)[8] = kProcessorId, size_t length = 42);
// serialString is the string number at offset 24 (0: none).
Bytes memoryDevice(unsigned serialString, const std::vector<std::string> &strings, size_t length = 40);
Bytes endOfTable();

Bytes concat(const std::vector<Bytes> &parts);

// A 31-byte 2.x entry point (checksum set); length overrides its length byte.
Bytes entryPoint2(uint32_t tableAddress, size_t tableLength, unsigned count, unsigned length = 31);
// A 24-byte 3.0 entry point (checksum set).
Bytes entryPoint3(uint64_t tableAddress, size_t tableMaxLength);

// A file standing for /dev/mem: the entry point at entryOffset of the BIOS
// area 0xF0000, the table at tableAddress, zeros elsewhere.
void writeMemoryImage(const std::string &path, size_t entryOffset, const Bytes &entry,
                      uint64_t tableAddress, const Bytes &table);
// A folder standing for /sys/firmware/dmi/tables.
void writeSysfsFolder(const std::string &folder, const Bytes &entry, const Bytes &table);

// The three fields of a result area as the program prints them.
std::string printed(const char *area);

} // namespace smbiostest
