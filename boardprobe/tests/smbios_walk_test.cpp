// The pure parts of the SMBIOS reader on crafted bytes: the entry point
// search in the BIOS area, entry point decoding and the table walk. Every
// table lives in a heap block of exactly its size, so a read past its end
// shows up under AddressSanitizer.
#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "smbios_image.h"
#include "smbios_internal.h"

namespace {

using namespace smbiostest;

constexpr size_t kArea = 65536;
constexpr unsigned char kOtherId[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::unique_ptr<unsigned char[]> exactCopy(const Bytes &b)
{
    auto p = std::make_unique<unsigned char[]>(b.empty() ? 1 : b.size());
    if (!b.empty())
        memcpy(p.get(), b.data(), b.size());
    return p;
}

struct Fields {
    std::string uuid, processor, memory;
};

Fields walk(const Bytes &table, uint32_t count)
{
    auto copy = exactCopy(table);
    char area[SMBIOS_AREA_SIZE];
    memset(area, 0, sizeof(area));
    smbiosWalkTable(copy.get(), table.size(), count, area);
    for (size_t f = 0; f < 3; ++f)
        EXPECT_EQ(area[f * SMBIOS_FIELD_SIZE + SMBIOS_FIELD_SIZE - 1], '\0') << "field " << f << " not terminated";
    return {area + SMBIOS_UUID_FIELD, area + SMBIOS_PROCESSOR_FIELD, area + SMBIOS_MEMORY_FIELD};
}

Bytes cutEnd(Bytes b, size_t n)
{
    b.resize(b.size() - n);
    return b;
}

struct WalkCase {
    const char *name;
    Bytes table;
    uint32_t count;
    Fields expected;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const WalkCase &c, std::ostream *os) { *os << c.name; }

const std::string kLong(300, 'S');

const WalkCase kWalkCases[] = {
    {"AllThreeValuesFromAFullTable",
     concat({systemInfo(), processor(), memoryDevice(2, {"DIMM A", "SER-0001"}), endOfTable()}), 4,
     {kUuidText, kProcessorText, "SER-0001"}},
    {"StructuresBeyondTheCountAreNotVisited",
     concat({systemInfo(), processor(), memoryDevice(1, {"SER-0001"}), endOfTable()}), 2,
     {kUuidText, kProcessorText, ""}},
    {"FirstDeviceWithoutSerialGivesZeroDespiteALaterSerial",
     concat({memoryDevice(0, {"DIMM A"}), memoryDevice(1, {"SER-0002"})}), 2, {"", "", "0"}},
    {"FirstSerialIsKeptOverLaterDevices",
     concat({memoryDevice(1, {"SER-0001"}), memoryDevice(0, {}), memoryDevice(1, {"SER-0003"})}), 3,
     {"", "", "SER-0001"}},
    {"DeviceOfFormattedLength20DoesNotQualify",
     concat({memoryDevice(1, {"TOO-SHORT"}, 20), memoryDevice(1, {"SER-0002"})}), 2, {"", "", "SER-0002"}},
    // Offset 24 of a 24-byte device is the first byte of its string set, not a string number.
    {"DeviceOfFormattedLength24DoesNotReadItsStringsAsTheSerialNumber",
     concat({memoryDevice(0, {"\x02junk", "WRONG"}, 24), memoryDevice(1, {"SER-0002"})}), 2,
     {"", "", "SER-0002"}},
    {"SystemOfFormattedLength24LeavesTheUuidEmpty", concat({systemInfo(kUuid, 24), processor()}), 2,
     {"", kProcessorText, ""}},
    {"SerialNumberBeyondTheStringSetCountsAsNoSerial", concat({memoryDevice(3, {"ONLY"})}), 1, {"", "", "0"}},
    {"SerialNumberBeyondAnUnterminatedLastSetStaysInTheTable", cutEnd(memoryDevice(2, {"ONLY"}), 1), 1,
     {"", "", "0"}},
    {"SerialOf300CharactersIsCutTo255", memoryDevice(1, {kLong}), 1, {"", "", kLong.substr(0, 255)}},
    {"SerialRunningToTheTableEndIsCutThere", cutEnd(memoryDevice(1, {"SER-0001"}), 5), 1, {"", "", "SER-0"}},
    {"FirstProcessorIsKeptAndOneTooShortForItsIdIsSkipped",
     concat({processor(kProcessorId, 12), processor(), processor(kOtherId, 42)}), 3, {"", kProcessorText, ""}},
    {"StructureLongerThanTheRestOfTheTableEndsTheWalk",
     concat({systemInfo(), cutEnd(memoryDevice(1, {"SER-0001"}), 30)}), 2, {kUuidText, "", ""}},
    {"StructureShorterThanItsHeaderEndsTheWalk", concat({structure(1, 2, {}, {}), processor()}), 2,
     {"", "", ""}},
    {"UncountedWalkEndsAtTheEndOfTableStructure",
     concat({systemInfo(), endOfTable(), memoryDevice(1, {"AFTER-END"})}), SMBIOS_UNCOUNTED, {kUuidText, "", ""}},
    {"CountedWalkGoesOnPastTheEndOfTableStructure",
     concat({systemInfo(), endOfTable(), memoryDevice(1, {"AFTER-END"})}), 3, {kUuidText, "", "AFTER-END"}},
    {"EmptyTableGivesEmptyFields", {}, 10, {"", "", ""}},
};

class SmbiosTableWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(SmbiosTableWalk, FillsTheExpectedFields)
{
    const WalkCase &c = GetParam();
    Fields got = walk(c.table, c.count);
    EXPECT_EQ(got.uuid, c.expected.uuid);
    EXPECT_EQ(got.processor, c.expected.processor);
    EXPECT_EQ(got.memory, c.expected.memory);
}

INSTANTIATE_TEST_SUITE_P(Cases, SmbiosTableWalk, ::testing::ValuesIn(kWalkCases),
                         [](const ::testing::TestParamInfo<WalkCase> &i) { return std::string(i.param.name); });

// The BIOS area with entry points written at given offsets.
struct Candidate {
    size_t offset;
    Bytes bytes;
};

struct ScanCase {
    const char *name;
    std::vector<Candidate> candidates;
    long expected;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const ScanCase &c, std::ostream *os) { *os << c.name; }

Bytes badChecksum()
{
    Bytes e = entryPoint2(kTableAddress, 100, 3);
    e[4] = static_cast<unsigned char>(e[4] + 1);
    return e;
}

Bytes zeroLength()
{
    Bytes e = entryPoint2(kTableAddress, 100, 3);
    e[5] = 0; // no bytes to add up: the checksum would hold trivially
    return e;
}

const ScanCase kScanCases[] = {
    {"EntryPointAtOffset0", {{0, entryPoint2(kTableAddress, 100, 3)}}, 0},
    {"EntryPointAtOffset65504", {{65504, entryPoint2(kTableAddress, 100, 3)}}, 65504},
    {"CandidateAtOffset65520IsNeverFound", {{65520, Bytes{'_', 'S', 'M', '_'}}}, -1},
    {"BadChecksumIsSkippedForALaterGoodOne",
     {{0x100, badChecksum()}, {0x200, entryPoint2(kTableAddress, 100, 3)}}, 0x200},
    {"CandidateOffTheParagraphGridIsNotSeen", {{0x108, entryPoint2(kTableAddress, 100, 3)}}, -1},
    {"LengthTooShortForTheTableFieldsIsRefused", {{0x100, zeroLength()}}, -1},
    {"LengthOf30FromOld21FirmwareIsAccepted", {{0x100, entryPoint2(kTableAddress, 100, 3, 30)}}, 0x100},
    {"LengthRunningPastTheAreaIsRefused", {{65504, entryPoint2(kTableAddress, 100, 3, 33)}}, -1},
};

class SmbiosEntryPointSearch : public ::testing::TestWithParam<ScanCase> {};

TEST_P(SmbiosEntryPointSearch, FindsTheFirstValidCandidate)
{
    const ScanCase &c = GetParam();
    Bytes area(kArea, 0);
    for (const Candidate &cand : c.candidates)
        for (size_t i = 0; i < cand.bytes.size() && cand.offset + i < kArea; ++i)
            area[cand.offset + i] = cand.bytes[i];
    auto copy = exactCopy(area);
    EXPECT_EQ(smbiosFindEntryPoint(copy.get(), kArea), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SmbiosEntryPointSearch, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase> &i) { return std::string(i.param.name); });

TEST(SmbiosEntryPointSearchShort, AreaShorterThanOneCandidateFindsNothing)
{
    Bytes e = entryPoint2(kTableAddress, 100, 3);
    auto copy = exactCopy(cutEnd(e, 1)); // 30 bytes
    EXPECT_EQ(smbiosFindEntryPoint(copy.get(), e.size() - 1), -1);
}

TEST(SmbiosEntryPointDecoding, Reads2xAnd30Fields)
{
    SmbiosTableInfo info;
    Bytes e2 = entryPoint2(0x12345678, 0xABCD, 0x0102);
    ASSERT_EQ(smbiosParseEntryPoint(exactCopy(e2).get(), e2.size(), &info), 0);
    EXPECT_EQ(info.address, 0x12345678u);
    EXPECT_EQ(info.length, 0xABCDu);
    EXPECT_EQ(info.count, 0x0102u);

    Bytes e3 = entryPoint3(0x1122334455667788ull, 0x00012345);
    ASSERT_EQ(smbiosParseEntryPoint(exactCopy(e3).get(), e3.size(), &info), 0);
    EXPECT_EQ(info.address, 0x1122334455667788ull);
    EXPECT_EQ(info.length, 0x12345u);
    EXPECT_EQ(info.count, SMBIOS_UNCOUNTED);
}

TEST(SmbiosEntryPointDecoding, RefusesBadChecksumsAndTruncatedEntries)
{
    SmbiosTableInfo info;
    Bytes e3 = entryPoint3(0x1000, 0x100);
    e3[12] ^= 1;
    EXPECT_EQ(smbiosParseEntryPoint(exactCopy(e3).get(), e3.size(), &info), EINVAL);
    Bytes short3 = cutEnd(entryPoint3(0x1000, 0x100), 1);
    EXPECT_EQ(smbiosParseEntryPoint(exactCopy(short3).get(), short3.size(), &info), EINVAL);
    Bytes short2 = cutEnd(entryPoint2(0x1000, 0x100, 1), 1);
    EXPECT_EQ(smbiosParseEntryPoint(exactCopy(short2).get(), short2.size(), &info), EINVAL);
    Bytes other = {'_', 'D', 'M', 'I', '_', 0, 0, 0};
    EXPECT_EQ(smbiosParseEntryPoint(exactCopy(other).get(), other.size(), &info), EINVAL);
}

} // namespace
