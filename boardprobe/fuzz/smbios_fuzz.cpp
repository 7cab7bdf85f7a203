// libFuzzer harness for the table walk, the entry point search and the
// entry point decoding.
//
// Input: two bytes of structure count (little-endian; 0xFFFF walks
// uncounted, as for a 3.0 entry point), then the table. The whole input is
// also searched and decoded as an entry point area. Each part is copied to
// a heap block of its exact size so that any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "smbios_internal.h"

namespace {

std::unique_ptr<unsigned char[]> exactCopy(const uint8_t *data, size_t size)
{
    auto copy = std::make_unique<unsigned char[]>(size > 0 ? size : 1);
    if (size > 0)
        memcpy(copy.get(), data, size);
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 2) {
        const unsigned raw = data[0] | data[1] << 8;
        const uint32_t count = raw == 0xFFFF ? SMBIOS_UNCOUNTED : raw;
        auto table = exactCopy(data + 2, size - 2);
        char area[SMBIOS_AREA_SIZE];
        memset(area, 0, sizeof(area));
        smbiosWalkTable(table.get(), size - 2, count, area);
        for (size_t f = 0; f < 3; ++f)
            if (area[f * SMBIOS_FIELD_SIZE + SMBIOS_FIELD_SIZE - 1] != '\0')
                __builtin_trap();
    }
    auto whole = exactCopy(data, size);
    long at = smbiosFindEntryPoint(whole.get(), size);
    SmbiosTableInfo info;
    if (at >= 0 && smbiosParseEntryPoint(whole.get() + at, size - static_cast<size_t>(at), &info) != 0)
        __builtin_trap(); // a found entry point always decodes
    smbiosParseEntryPoint(whole.get(), size, &info);
    return 0;
}
