#include "smbios_image.h"

#include <algorithm>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "smbios.h"

namespace smbiostest {

namespace {

void fixChecksum(Bytes &entry, size_t checksumAt, size_t length)
{
    entry[checksumAt] = 0;
    unsigned char sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<unsigned char>(sum + entry[i]);
    entry[checksumAt] = static_cast<unsigned char>(0x100 - sum);
}

void putLe(Bytes &b, size_t at, uint64_t value, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        b[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

void writeAt(int fd, const Bytes &data, uint64_t offset)
{
    if (!data.empty() && pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                             static_cast<ssize_t>(data.size()))
        throw std::runtime_error("pwrite failed");
}

void writeFile(const std::string &path, const Bytes &data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    writeAt(fd, data, 0);
    close(fd);
}

} // namespace

Bytes structure(unsigned type, size_t length, const Bytes &afterHeader, const std::vector<std::string> &strings)
{
    Bytes s(std::max<size_t>(length, 2), 0);
    s[0] = static_cast<unsigned char>(type);
    s[1] = static_cast<unsigned char>(length);
    if (s.size() >= 4)
        s[2] = 0x10; // handle
    for (size_t i = 0; i < afterHeader.size() && 4 + i < s.size(); ++i)
        s[4 + i] = afterHeader[i];
    for (const std::string &str : strings) {
        s.insert(s.end(), str.begin(), str.end());
        s.push_back(0);
    }
    if (strings.empty())
        s.push_back(0);
    s.push_back(0);
    return s;
}

Bytes systemInfo(const unsigned char (&uuid)[16], size_t length)
{
    Bytes body(4, 0); // manufacturer, product, version, serial: no strings
    body.insert(body.end(), uuid, uuid + 16);
    body.push_back(0x06); // wake-up type
    return structure(1, length, body, {});
}

Bytes processor(const unsigned char (&id)[8], size_t length)
{
    Bytes body = {0x01, 0x03, 0xB3, 0x00}; // socket, type, family, manufacturer
    body.insert(body.end(), id, id + 8);
    return structure(4, length, body, {});
}

Bytes memoryDevice(unsigned serialString, const std::vector<std::string> &strings, size_t length)
{
    Bytes body(21, 0);
    body[20] = static_cast<unsigned char>(serialString); // offset 24 of the structure
    return structure(17, length, body, strings);
}

Bytes endOfTable()
{
    return structure(127, 4, {}, {});
}

Bytes concat(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes entryPoint2(uint32_t tableAddress, size_t tableLength, unsigned count, unsigned length)
{
    Bytes e(31, 0);
    e[0] = '_', e[1] = 'S', e[2] = 'M', e[3] = '_';
    e[5] = static_cast<unsigned char>(length);
    e[6] = 2, e[7] = 8;
    e[16] = '_', e[17] = 'D', e[18] = 'M', e[19] = 'I', e[20] = '_';
    putLe(e, 22, tableLength, 2);
    putLe(e, 24, tableAddress, 4);
    putLe(e, 28, count, 2);
    fixChecksum(e, 4, length < e.size() ? length : e.size());
    return e;
}

Bytes entryPoint3(uint64_t tableAddress, size_t tableMaxLength)
{
    Bytes e(24, 0);
    e[0] = '_', e[1] = 'S', e[2] = 'M', e[3] = '3', e[4] = '_';
    e[6] = 24;
    e[7] = 3, e[8] = 2, e[10] = 1;
    putLe(e, 12, tableMaxLength, 4);
    putLe(e, 16, tableAddress, 8);
    fixChecksum(e, 5, e.size());
    return e;
}

void writeMemoryImage(const std::string &path, size_t entryOffset, const Bytes &entry, uint64_t tableAddress,
                      const Bytes &table)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    const uint64_t end = std::max<uint64_t>(0x100000, tableAddress + table.size());
    if (ftruncate(fd, static_cast<off_t>(end)) != 0)
        throw std::runtime_error("ftruncate failed");
    writeAt(fd, entry, 0xF0000 + entryOffset);
    writeAt(fd, table, tableAddress);
    close(fd);
}

void writeSysfsFolder(const std::string &folder, const Bytes &entry, const Bytes &table)
{
    mkdir(folder.c_str(), 0755);
    writeFile(folder + "/smbios_entry_point", entry);
    writeFile(folder + "/DMI", table);
}

std::string printed(const char *area)
{
    return std::string(area + SMBIOS_UUID_FIELD) + "\n" + (area + SMBIOS_PROCESSOR_FIELD) + "\n" +
           (area + SMBIOS_MEMORY_FIELD) + "\n";
}

} // namespace smbiostest
