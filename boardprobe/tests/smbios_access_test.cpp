// accessSmBiosData on crafted memory images and sysfs folders: the legacy
// search, the sysfs fallback, the kept result and the failure reports.
#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

#include "process.h"
#include "smbios_image.h"
#include "smbios_internal.h"

namespace {

using namespace smbiostest;
using testsupport::ScratchFolder;

const Bytes kTable = concat({systemInfo(), processor(), memoryDevice(1, {"SER-0001"}), endOfTable()});
const char kExpected[] = "00112233445566778899AABBCCDDEEFF\nC3060300FFFBEBBF\nSER-0001\n";

// Runs the reader with captured stderr; the out pointer starts as a sentinel.
struct Outcome {
    int rc;
    char *area;
    std::string err;
};

char g_sentinel;

Outcome access()
{
    Outcome o;
    o.area = &g_sentinel;
    testing::internal::CaptureStderr();
    o.rc = accessSmBiosData(&o.area);
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

TEST(SmbiosAccess, LegacyImageGivesTheValuesAndASecondCallDoesNotReadAgain)
{
    ScratchFolder dir;
    const std::string image = dir / "mem";
    writeMemoryImage(image, 0x430, entryPoint2(kTableAddress, kTable.size(), 4), kTableAddress, kTable);
    smbiosSetSources(image.c_str(), nullptr);

    Outcome first = access();
    ASSERT_EQ(first.rc, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(printed(first.area), kExpected);

    // With the image gone, only the kept result can answer.
    ASSERT_EQ(unlink(image.c_str()), 0);
    Outcome second = access();
    ASSERT_EQ(second.rc, 0) << second.err;
    EXPECT_EQ(second.area, first.area);
    EXPECT_EQ(printed(second.area), kExpected);
}

TEST(SmbiosAccess, SysfsWith2xAnd30EntryPointsGivesTheSameAreaAsTheLegacyPath)
{
    ScratchFolder dir;
    const Bytes table = concat({processor(), memoryDevice(0, {}), systemInfo(), memoryDevice(1, {"LATER"}),
                                structure(2, 15, {}, {"Board", "Maker"}), endOfTable()});
    writeMemoryImage(dir / "mem", 0, entryPoint2(kTableAddress, table.size(), 6), kTableAddress, table);
    writeSysfsFolder(dir / "dmi2", entryPoint2(0xDEAD0, table.size(), 6), table);
    writeSysfsFolder(dir / "dmi3", entryPoint3(0x7FFF0000ull << 8, table.size()), table);

    smbiosSetSources((dir / "mem").c_str(), nullptr);
    Outcome legacy = access();
    ASSERT_EQ(legacy.rc, 0) << legacy.err;
    const std::string legacyArea(legacy.area, SMBIOS_AREA_SIZE);
    EXPECT_EQ(printed(legacy.area), std::string(kUuidText) + "\n" + kProcessorText + "\n0\n");

    for (const char *folder : {"dmi2", "dmi3"}) {
        smbiosSetSources(nullptr, (dir / folder).c_str());
        Outcome sysfs = access();
        ASSERT_EQ(sysfs.rc, 0) << folder << ": " << sysfs.err;
        EXPECT_EQ(sysfs.err, "") << folder;
        EXPECT_EQ(std::string(sysfs.area, SMBIOS_AREA_SIZE), legacyArea) << folder;
    }
}

TEST(SmbiosAccess, ImageWithoutEntryPointFallsBackToSysfsSilently)
{
    ScratchFolder dir;
    writeMemoryImage(dir / "mem", 0, {}, kTableAddress, kTable);
    writeSysfsFolder(dir / "dmi", entryPoint3(0, kTable.size()), kTable);
    smbiosSetSources((dir / "mem").c_str(), (dir / "dmi").c_str());
    Outcome o = access();
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(printed(o.area), kExpected);
}

// Builds the sources of one failure in dir; returns the expected stderr.
struct FailureCase {
    const char *name;
    int rc;
    std::string (*setUp)(const ScratchFolder &dir);
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

const FailureCase kFailures[] = {
    {"NoSourceAtAll", ENOENT,
     [](const ScratchFolder &) {
         smbiosSetSources(nullptr, nullptr);
         return std::string("open /dev/mem: No such file or directory\n");
     }},
    {"NoEntryPointInTheBiosArea", ENOENT,
     [](const ScratchFolder &dir) {
         // A candidate only at offset 65520, where the search does not look.
         writeMemoryImage(dir / "mem", 65520, entryPoint2(kTableAddress, kTable.size(), 4), kTableAddress, kTable);
         smbiosSetSources((dir / "mem").c_str(), nullptr);
         return std::string("Unable to find SMBIOS\n");
     }},
    {"ImageEndsBeforeTheBiosArea", EINVAL,
     [](const ScratchFolder &dir) {
         writeMemoryImage(dir / "mem", 0, {}, 0, {});
         if (truncate((dir / "mem").c_str(), 0xF8000) != 0)
             ADD_FAILURE() << "truncate";
         smbiosSetSources((dir / "mem").c_str(), nullptr);
         return std::string("mmap /dev/mem: Invalid argument\n");
     }},
    {"TablePastTheImageEnd", EINVAL,
     [](const ScratchFolder &dir) {
         writeMemoryImage(dir / "mem", 0, entryPoint2(0x200000, kTable.size(), 4), 0, {});
         smbiosSetSources((dir / "mem").c_str(), nullptr);
         return std::string("mmap /dev/mem: Invalid argument\n");
     }},
    {"SysfsEntryPointWithBadChecksum", ENOENT,
     [](const ScratchFolder &dir) {
         Bytes e = entryPoint3(0, kTable.size());
         e[5] ^= 0x40;
         writeSysfsFolder(dir / "dmi", e, kTable);
         smbiosSetSources(nullptr, (dir / "dmi").c_str());
         return "open /dev/mem: No such file or directory\nInvalid SMBIOS entry point in " + dir / "dmi" +
                "/smbios_entry_point\n";
     }},
    {"SysfsWithoutItsTable", ENOENT,
     [](const ScratchFolder &dir) {
         writeSysfsFolder(dir / "dmi", entryPoint2(0, kTable.size(), 4), kTable);
         unlink((dir / "dmi" + "/DMI").c_str());
         smbiosSetSources(nullptr, (dir / "dmi").c_str());
         return "open /dev/mem: No such file or directory\n" + dir / "dmi" + "/DMI: No such file or directory\n";
     }},
};

class SmbiosAccessFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SmbiosAccessFailure, ReportsAndLeavesTheOutPointerUnchanged)
{
    const FailureCase &c = GetParam();
    ScratchFolder dir;
    const std::string expectedErr = c.setUp(dir);
    Outcome o = access();
    EXPECT_EQ(o.rc, c.rc);
    EXPECT_EQ(o.area, &g_sentinel);
    EXPECT_EQ(o.err, expectedErr);
}

INSTANTIATE_TEST_SUITE_P(Cases, SmbiosAccessFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase> &i) { return std::string(i.param.name); });

} // namespace
