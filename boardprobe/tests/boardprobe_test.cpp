// The boardprobe program run for real on crafted images: one-shot output,
// the command line, the datagram server, and the refusal of test images in
// set-user-ID and set-group-ID copies.
#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "boardprobe.h"
#include "process.h"
#include "smbios_image.h"
#include "smbios_internal.h"

namespace {

using namespace smbiostest;
using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::ProcessSpec;
using testsupport::runProcess;
using testsupport::ScratchFolder;
using testsupport::waitForDatagramServer;

const char kProgram[] = BOARDPROBE_PROGRAM;
const char kUsage[] = "Usage: boardprobe [[--server | --shutdown] socketPath]\n";
const int kWait = 30000; // only bounds a hung child; no test depends on it

const Bytes kTable = concat({systemInfo(), processor(), memoryDevice(1, {"SER-0001"}), endOfTable()});
const std::string kExpected = std::string(kUuidText) + "\n" + kProcessorText + "\nSER-0001\n";

std::string writeImage(const ScratchFolder &dir, size_t entryOffset = 0, const Bytes &table = kTable)
{
    const std::string image = dir / "mem";
    writeMemoryImage(image, entryOffset, entryPoint2(kTableAddress, table.size(), 4), kTableAddress, table);
    return image;
}

ProcessSpec command(std::vector<std::string> argv)
{
    ProcessSpec spec;
    spec.argv = std::move(argv);
    return spec;
}

ProcessSpec withImage(std::vector<std::string> argv, const std::string &image)
{
    ProcessSpec spec;
    spec.argv = std::move(argv);
    spec.setEnv = {"BOARDPROBE_MEMORY_IMAGE=" + image};
    return spec;
}

struct OneShotCase {
    const char *name;
    size_t entryOffset;
    Bytes table;
    int exitCode;
    std::string out;
    std::string err;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const OneShotCase &c, std::ostream *os) { *os << c.name; }

const OneShotCase kOneShot[] = {
    {"EntryPointAtOffset0PrintsThreeLines", 0, kTable, 0, kExpected, ""},
    {"EmptyUuidGivesAnEmptyFirstLine", 65504,
     concat({systemInfo(kUuid, 24), processor(), memoryDevice(0, {}), endOfTable()}), 0,
     std::string("\n") + kProcessorText + "\n0\n", ""},
    {"NoEntryPointExitsWithEnoent", 65520, kTable, ENOENT, "", "Unable to find SMBIOS\n"},
};

class BoardprobeOneShot : public ::testing::TestWithParam<OneShotCase> {};

TEST_P(BoardprobeOneShot, PrintsTheFieldsOrTheFailure)
{
    const OneShotCase &c = GetParam();
    ScratchFolder dir;
    ProcessResult r = runProcess(withImage({kProgram}, writeImage(dir, c.entryOffset, c.table)));
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoardprobeOneShot, ::testing::ValuesIn(kOneShot),
                         [](const ::testing::TestParamInfo<OneShotCase> &i) { return std::string(i.param.name); });

TEST(BoardprobeOneShot, BundledSamplePrintsItsDocumentedValues)
{
    ProcessSpec spec;
    spec.argv = {kProgram};
    spec.setEnv = {std::string("BOARDPROBE_DMI_TABLES=") + BOARDPROBE_SAMPLES + "/dmi"};
    ProcessResult r = runProcess(spec);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "3C9A5E112B7D4F80A16E0C52D897B413\nA7060900FFFBEBBF\nMS-4F2A9C01\n");
    EXPECT_EQ(r.err, "");
}

class BoardprobeWrongArguments : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BoardprobeWrongArguments, PrintUsageAndExit1)
{
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), GetParam().begin(), GetParam().end());
    ProcessResult r = runProcess(command(argv));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoardprobeWrongArguments,
                         ::testing::Values(std::vector<std::string>{"/tmp/sock"}, std::vector<std::string>{"--server"},
                                           std::vector<std::string>{"--shutdown"},
                                           std::vector<std::string>{"--server", "/tmp/sock", "extra"},
                                           std::vector<std::string>{"--Server", "/tmp/sock"},
                                           std::vector<std::string>{"--server=/tmp/sock", "x"},
                                           std::vector<std::string>{"-server", "/tmp/sock"}));

HelperMessage request(int32_t type, const std::string &payload)
{
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    m.type = type;
    memcpy(m.payload, payload.data(), payload.size());
    m.length = static_cast<int32_t>(payload.size());
    return m;
}

TEST(BoardprobeServer, AnswersValuesRefusesOtherTypesAndStopsOnShutdown)
{
    ScratchFolder dir;
    const std::string sock = dir / "sock";
    BackgroundProcess server(withImage({kProgram, "--server", sock}, writeImage(dir)));
    ASSERT_TRUE(waitForDatagramServer(sock, kWait)) << server.err();

    HelperMessage m = request(BOARDPROBE_REQ_VALUES, "ignored");
    ASSERT_EQ(sendMsg(sock.c_str(), &m, HELPER_CLIENT_TIMEOUT), 0);
    EXPECT_EQ(m.status, 0);
    ASSERT_EQ(m.length, static_cast<int32_t>(kExpected.size() + 1));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(m.payload), m.length), kExpected + '\0');

    m = request(2, "abc");
    ASSERT_EQ(sendMsg(sock.c_str(), &m, HELPER_CLIENT_TIMEOUT), 0);
    EXPECT_EQ(m.status, EINVAL);
    ASSERT_EQ(m.length, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(m.payload), 3), "abc");

    ProcessResult stop = runProcess(command({kProgram, "--shutdown", sock}));
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    ProcessResult r;
    ASSERT_TRUE(server.waitExit(kWait, &r));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Server shutdown requested\n");
    EXPECT_EQ(r.err, "Invalid request type 2");
}

TEST(BoardprobeServer, WithoutSmBiosDataExitsBeforeBinding)
{
    ScratchFolder dir;
    const std::string sock = dir / "sock";
    ProcessResult r = runProcess(withImage({kProgram, "--server", sock}, writeImage(dir, 65520)));
    EXPECT_EQ(r.exitCode, ENOENT);
    EXPECT_EQ(r.err, "Unable to find SMBIOS\n");
    struct stat st;
    EXPECT_NE(lstat(sock.c_str(), &st), 0);
}

TEST(BoardprobeServer, ShutdownWithoutServerReportsTheSendFailure)
{
    ScratchFolder dir;
    ProcessResult r = runProcess(command({kProgram, "--shutdown", dir / "none"}));
    EXPECT_EQ(r.exitCode, ENOENT);
    EXPECT_NE(r.err.find("sendto: " + dir / "none"), std::string::npos) << r.err;
}

// A set-user-ID root start: real user 65534, effective and saved root.
TEST(BoardprobeServer, SetUserIdStartGivesRootUpBeforeItCreatesTheSocket)
{
    ScratchFolder dir(0755);
    const std::string image = writeImage(dir);
    const std::string run = dir / "run";
    ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
    ASSERT_EQ(chown(run.c_str(), 65534, 65534), 0);
    const std::string sock = run + "/sock";

    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresuid(65534, 0, 0) != 0)
            _exit(126);
        smbiosSetSources(image.c_str(), nullptr);
        std::string a0 = "boardprobe", a1 = "--server", a2 = sock;
        char *argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
        _exit(boardprobeMain(3, argv));
    }
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};

    ASSERT_TRUE(waitForDatagramServer(sock, kWait));
    struct stat st;
    ASSERT_EQ(lstat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    HelperMessage m = request(BOARDPROBE_REQ_VALUES, "");
    ASSERT_EQ(sendMsg(sock.c_str(), &m, HELPER_CLIENT_TIMEOUT), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(m.payload)), kExpected);

    ASSERT_EQ(sendShutdown(sock.c_str()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    reaper.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A copy of the program with the given mode, run as nobody with test images
// that nobody may read: the output shows whether an image was used.
struct PrivilegeCase {
    const char *name;
    mode_t mode;
    const char *variable;
    std::string err;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const PrivilegeCase &c, std::ostream *os) { *os << c.name; }

const std::string kRefused =
    "BOARDPROBE_MEMORY_IMAGE and BOARDPROBE_DMI_TABLES are not accepted in a set-user-ID or set-group-ID process\n";

const PrivilegeCase kPrivilege[] = {
    {"SetUserIdCopyRefusesTheMemoryImage", 04755, "BOARDPROBE_MEMORY_IMAGE", kRefused},
    {"SetUserIdCopyRefusesTheDmiFolder", 04755, "BOARDPROBE_DMI_TABLES", kRefused},
    {"SetGroupIdCopyRefusesTheMemoryImage", 02755, "BOARDPROBE_MEMORY_IMAGE", kRefused},
    // The contrast: without set-ID bits the image is accepted, and becoming root fails.
    {"PlainCopyAcceptsTheImageButCannotBecomeRoot", 0755, "BOARDPROBE_MEMORY_IMAGE",
     "setuid: Operation not permitted\n"},
};

class BoardprobePrivilegedCopy : public ::testing::TestWithParam<PrivilegeCase> {};

TEST_P(BoardprobePrivilegedCopy, UsesTestImagesOnlyWithoutSetIdBits)
{
    const PrivilegeCase &c = GetParam();
    ScratchFolder dir(0755);
    const std::string copy = dir / "boardprobe";
    {
        std::ifstream in(kProgram, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(copy.c_str(), c.mode), 0);
    const std::string image = writeImage(dir);
    writeSysfsFolder(dir / "dmi", entryPoint3(0, kTable.size()), kTable);
    const std::string value = std::string(c.variable) == "BOARDPROBE_DMI_TABLES" ? dir / "dmi" : image;

    ProcessSpec spec;
    spec.argv = {copy};
    spec.setEnv = {std::string(c.variable) + "=" + value};
    spec.switchUser = true;
    ProcessResult r = runProcess(spec);
    EXPECT_EQ(r.exitCode, EPERM);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoardprobePrivilegedCopy, ::testing::ValuesIn(kPrivilege),
                         [](const ::testing::TestParamInfo<PrivilegeCase> &i) { return std::string(i.param.name); });

struct AnswerCase {
    const char *name;
    size_t textLength; // of the three values and their line breaks together
    int status;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const AnswerCase &c, std::ostream *os) { *os << c.name; }

const AnswerCase kAnswers[] = {
    {"TextAndNulFillingTheMessageFit", HELPER_MAX_PAYLOAD - 1, 0},
    {"OneByteMoreIsRefusedWithEnomem", HELPER_MAX_PAYLOAD, ENOMEM},
};

class BoardprobeAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(BoardprobeAnswer, FitsTheMessageOrLeavesThePayloadAlone)
{
    const AnswerCase &c = GetParam();
    const size_t rest = c.textLength - 3;
    const std::string uuid(rest / 3, 'U'), cpu(rest / 3, 'P'), mem(rest - 2 * (rest / 3), 'M');
    HelperMessage m = request(BOARDPROBE_REQ_VALUES, "req");
    testing::internal::CaptureStderr();
    int status = formatAnswer(&m, uuid.c_str(), cpu.c_str(), mem.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status);
    if (c.status == 0) {
        EXPECT_EQ(m.length, static_cast<int32_t>(c.textLength + 1));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(m.payload), m.length),
                  uuid + "\n" + cpu + "\n" + mem + "\n" + '\0');
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(m.length, 3);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(m.payload), 4), std::string("req") + '\0');
        EXPECT_EQ(err, "Result too large for maximum message size");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BoardprobeAnswer, ::testing::ValuesIn(kAnswers),
                         [](const ::testing::TestParamInfo<AnswerCase> &i) { return std::string(i.param.name); });

} // namespace
