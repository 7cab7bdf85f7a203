#include "smbios_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kDevMem[] = "/dev/mem";
const char kSysfsTables[] = "/sys/firmware/dmi/tables";
const char kMemoryImageVar[] = "BOARDPROBE_MEMORY_IMAGE";
const char kDmiTablesVar[] = "BOARDPROBE_DMI_TABLES";

constexpr off_t kBiosArea = 0xF0000;
constexpr size_t kBiosAreaSize = 65536;
constexpr size_t kParagraph = 16;
/* A candidate is examined only where 32 bytes remain: the last one is at 65504 of the area. */
constexpr size_t kScanWindow = 32;
/* The 2.x fields end at offset 30; some 2.1 firmware reports 30 instead of 31. */
constexpr size_t kMinEntry2 = 30;
constexpr size_t kMinEntry3 = 24;
constexpr size_t kMaxEntry = 256;
/* Far above any real table; only bounds what a corrupt 3.0 entry point can make us read. */
constexpr uint32_t kMaxSysfsTable = 16u << 20;

constexpr unsigned kTypeSystem = 1;
constexpr unsigned kTypeProcessor = 4;
constexpr unsigned kTypeMemoryDevice = 17;
constexpr unsigned kTypeEndOfTable = 127;
constexpr size_t kHeaderSize = 4;
/* Where the fields are; a structure must be long enough to hold the field it is read for. */
constexpr size_t kSystemUuidEnd = 24;  /* UUID at 8..23; only structures above 24 bytes (2.1 on) count */
constexpr size_t kProcessorIdEnd = 16; /* ID at 8..15 */
constexpr size_t kMemorySerialAt = 24; /* string number of the serial */

char g_area[SMBIOS_AREA_SIZE];
bool g_filled = false;

struct Sources {
    bool decided = false;
    bool refused = false;
    std::string memory; /* empty: missing (only with test images) */
    std::string dmi;
} g_sources;

/* A failure message kept until it is known whether the other source did better. */
struct Report {
    std::string text;
    void failed(const char *what, int err) { text = std::string(what) + ": " + strerror(err) + "\n"; }
    void say(const std::string &message) { text = message; }
    void print() const { fputs(text.c_str(), stderr); }
};

uint16_t le16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const unsigned char *p)
{
    return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}

uint64_t le64(const unsigned char *p)
{
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

bool sumsToZero(const unsigned char *p, size_t n)
{
    unsigned char sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum = static_cast<unsigned char>(sum + p[i]);
    return sum == 0;
}

bool validEntry2(const unsigned char *entry, size_t size)
{
    if (size < 6 || memcmp(entry, "_SM_", 4) != 0)
        return false;
    const size_t length = entry[5];
    return length >= kMinEntry2 && length <= size && sumsToZero(entry, length);
}

bool validEntry3(const unsigned char *entry, size_t size)
{
    if (size < 7 || memcmp(entry, "_SM3_", 5) != 0)
        return false;
    const size_t length = entry[6];
    return length >= kMinEntry3 && length <= size && sumsToZero(entry, length);
}

void putHex(char *field, const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        field[2 * i] = digits[bytes[i] >> 4];
        field[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    field[2 * n] = '\0';
}

/* Position just after the string set that starts at from: after its two NULs, or the table end. */
size_t skipStrings(const unsigned char *table, size_t size, size_t from)
{
    for (size_t i = from; i + 1 < size; ++i)
        if (table[i] == 0 && table[i + 1] == 0)
            return i + 2;
    return size;
}

/* Start of string number n (1-based) of the set at from, or size when the set has fewer strings. */
size_t findString(const unsigned char *table, size_t size, size_t from, unsigned n)
{
    size_t at = from;
    for (unsigned k = 1; k < n; ++k) {
        if (at >= size || table[at] == 0)
            return size;
        const void *nul = memchr(table + at, 0, size - at);
        if (nul == nullptr)
            return size;
        at = static_cast<size_t>(static_cast<const unsigned char *>(nul) - table) + 1;
    }
    if (at >= size || table[at] == 0)
        return size;
    return at;
}

void takeMemorySerial(const unsigned char *table, size_t size, size_t pos, size_t length, char *field)
{
    if (field[0] != '\0')
        return;
    const unsigned number = table[pos + kMemorySerialAt];
    const size_t at = number == 0 ? size : findString(table, size, pos + length, number);
    /* No string, or a number past the end of the set: the device has no serial. */
    if (at >= size) {
        strcpy(field, "0");
        return;
    }
    size_t n = 0;
    while (n < SMBIOS_FIELD_SIZE - 1 && at + n < size && table[at + n] != 0)
        ++n;
    memcpy(field, table + at, n);
    field[n] = '\0';
}

/* An open file descriptor, closed with the object. */
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

/* A read-only view of physical memory (or of the image standing for it). */
class Mapping {
public:
    Mapping() = default;
    ~Mapping()
    {
        if (base_ != nullptr && munmap(base_, total_) != 0) {
            perror("munmap/dev/mem");
            errno = 0;
        }
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    /* Maps length bytes at physical address. Returns 0 or an errno value. */
    int map(int fd, uint64_t address, size_t length)
    {
        if (length == 0)
            return 0;
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t start = address - address % page;
        const uint64_t total = address % page + length;
        if (start > static_cast<uint64_t>(INT64_MAX) - total || total > SIZE_MAX)
            return EINVAL;
        /* Pages of a file image past its end would fault on access instead of failing here. */
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && start + total > static_cast<uint64_t>(st.st_size))
            return EINVAL;
        void *p = mmap(nullptr, static_cast<size_t>(total), PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
        if (p == MAP_FAILED)
            return errno;
        base_ = p;
        total_ = static_cast<size_t>(total);
        data_ = static_cast<const unsigned char *>(p) + (address - start);
        return 0;
    }
    const unsigned char *data() const { return data_; }

private:
    void *base_ = nullptr;
    size_t total_ = 0;
    const unsigned char *data_ = nullptr;
};

/* Opens the memory source. Returns the descriptor or -errno. */
int openMemory(Report *report)
{
    int err = ENOENT;
    if (!g_sources.memory.empty()) {
        int fd = open(g_sources.memory.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        err = errno;
    }
    report->failed("open /dev/mem", err);
    return -err;
}

/* The entry point in the BIOS area of physical memory, and the table it points at. */
int readFromMemory(char *area, Report *report)
{
    Fd firmware(openMemory(report));
    if (firmware.get() < 0)
        return -firmware.get();
    Mapping bios;
    int err = bios.map(firmware.get(), kBiosArea, kBiosAreaSize);
    if (err != 0) {
        report->failed("mmap /dev/mem", err);
        return err;
    }
    firmware.reset();

    const long at = smbiosFindEntryPoint(bios.data(), kBiosAreaSize);
    if (at < 0) {
        report->say("Unable to find SMBIOS\n");
        return ENOENT;
    }
    SmbiosTableInfo info;
    smbiosParseEntryPoint(bios.data() + at, kBiosAreaSize - static_cast<size_t>(at), &info);

    Fd memory(openMemory(report));
    if (memory.get() < 0)
        return -memory.get();
    Mapping table;
    err = table.map(memory.get(), info.address, info.length);
    if (err != 0) {
        report->failed("mmap /dev/mem", err);
        return err;
    }
    memset(area, 0, SMBIOS_AREA_SIZE);
    smbiosWalkTable(table.data(), info.length, info.count, area);
    return 0;
}

/* Reads at most limit bytes of a file. Returns 0 or an errno value. */
int readFile(const std::string &path, size_t limit, std::vector<unsigned char> *out)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno;
    out->clear();
    while (out->size() < limit) {
        const size_t used = out->size();
        out->resize(used + std::min<size_t>(limit - used, 65536));
        ssize_t n = read(fd.get(), out->data() + used, out->size() - used);
        if (n < 0 && errno == EINTR) {
            out->resize(used);
            continue;
        }
        if (n <= 0) {
            int err = n < 0 ? errno : 0;
            out->resize(used);
            return err;
        }
        out->resize(used + static_cast<size_t>(n));
    }
    return 0;
}

/* The entry point and table the kernel exports. *present is false when there are none. */
int readFromSysfs(char *area, Report *report, bool *present)
{
    *present = false;
    if (g_sources.dmi.empty())
        return ENOENT;
    const std::string entryPath = g_sources.dmi + "/smbios_entry_point";
    const std::string tablePath = g_sources.dmi + "/DMI";
    std::vector<unsigned char> entry;
    int err = readFile(entryPath, kMaxEntry, &entry);
    if (err == ENOENT)
        return err;
    *present = true;
    if (err != 0) {
        report->failed(entryPath.c_str(), err);
        return err;
    }
    SmbiosTableInfo info;
    if (smbiosParseEntryPoint(entry.data(), entry.size(), &info) != 0) {
        report->say("Invalid SMBIOS entry point in " + entryPath + "\n");
        return EINVAL;
    }
    std::vector<unsigned char> table;
    err = readFile(tablePath, std::min(info.length, kMaxSysfsTable), &table);
    if (err != 0) {
        report->failed(tablePath.c_str(), err);
        return err;
    }
    memset(area, 0, SMBIOS_AREA_SIZE);
    smbiosWalkTable(table.data(), table.size(), info.count, area);
    return 0;
}

bool runsWithOthersRights()
{
    return getauxval(AT_SECURE) != 0 || getuid() != geteuid() || getgid() != getegid();
}

} // namespace

extern "C" {

long smbiosFindEntryPoint(const unsigned char *area, size_t size)
{
    for (size_t at = 0; size >= kScanWindow && at <= size - kScanWindow; at += kParagraph)
        if (validEntry2(area + at, size - at))
            return static_cast<long>(at);
    return -1;
}

int smbiosParseEntryPoint(const unsigned char *entry, size_t size, SmbiosTableInfo *info)
{
    if (validEntry2(entry, size)) {
        info->length = le16(entry + 22);
        info->address = le32(entry + 24);
        info->count = le16(entry + 28);
        return 0;
    }
    if (validEntry3(entry, size)) {
        info->length = le32(entry + 12);
        info->address = le64(entry + 16);
        info->count = SMBIOS_UNCOUNTED;
        return 0;
    }
    return EINVAL;
}

void smbiosWalkTable(const unsigned char *table, size_t size, uint32_t count, char *area)
{
    char *uuid = area + SMBIOS_UUID_FIELD;
    char *processor = area + SMBIOS_PROCESSOR_FIELD;
    char *memory = area + SMBIOS_MEMORY_FIELD;
    size_t pos = 0;
    for (uint32_t visited = 0; visited < count && pos < size; ++visited) {
        if (size - pos < kHeaderSize)
            break;
        const unsigned type = table[pos];
        const size_t length = table[pos + 1];
        /* A structure that does not fit its own header or the table: the rest is not a table. */
        if (length < kHeaderSize || length > size - pos)
            break;
        const unsigned char *s = table + pos;
        if (type == kTypeProcessor && length >= kProcessorIdEnd && processor[0] == '\0')
            putHex(processor, s + 8, 8);
        else if (type == kTypeMemoryDevice && length > kMemorySerialAt)
            takeMemorySerial(table, size, pos, length, memory);
        else if (type == kTypeSystem && length > kSystemUuidEnd && uuid[0] == '\0')
            putHex(uuid, s + 8, 16);
        pos = skipStrings(table, size, pos + length);
        if (count == SMBIOS_UNCOUNTED && type == kTypeEndOfTable)
            break;
    }
}

void smbiosSetSources(const char *memoryPath, const char *dmiFolder)
{
    g_sources.decided = true;
    g_sources.refused = false;
    g_sources.memory = memoryPath != nullptr ? memoryPath : "";
    g_sources.dmi = dmiFolder != nullptr ? dmiFolder : "";
    g_filled = false;
    memset(g_area, 0, sizeof(g_area));
}

int smbiosTakeTestSources(void)
{
    if (g_sources.decided)
        return g_sources.refused ? EPERM : 0;
    g_sources.decided = true;
    const char *memory = getenv(kMemoryImageVar);
    const char *dmi = getenv(kDmiTablesVar);
    if (memory == nullptr && dmi == nullptr) {
        g_sources.memory = kDevMem;
        g_sources.dmi = kSysfsTables;
        return 0;
    }
    if (runsWithOthersRights()) {
        g_sources.refused = true;
        fprintf(stderr, "%s and %s are not accepted in a set-user-ID or set-group-ID process\n",
                kMemoryImageVar, kDmiTablesVar);
        return EPERM;
    }
    g_sources.memory = memory != nullptr ? memory : "";
    g_sources.dmi = dmi != nullptr ? dmi : "";
    return 0;
}

int accessSmBiosData(char **area)
{
    if (g_filled) {
        *area = g_area;
        return 0;
    }
    int err = smbiosTakeTestSources();
    if (err != 0)
        return err;
    memset(g_area, 0, sizeof(g_area));

    Report memoryReport;
    err = readFromMemory(g_area, &memoryReport);
    if (err != 0) {
        /* Firmware without a legacy entry point (UEFI), or no /dev/mem: the kernel's copy of the table. */
        Report sysfsReport;
        bool present = false;
        if (readFromSysfs(g_area, &sysfsReport, &present) != 0) {
            memset(g_area, 0, sizeof(g_area));
            memoryReport.print();
            if (present)
                sysfsReport.print();
            return err;
        }
    }
    g_filled = true;
    *area = g_area;
    return 0;
}

} // extern "C"
