// passcheck as a real program against a private account database: one-shot
// answers, last-login records, privilege, and the datagram server.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "accounts.h"
#include "helperproto.h"
#include "process.h"

namespace {

using testsupport::BackgroundProcess;
using testsupport::cryptHash;
using testsupport::IsolatedAccounts;
using testsupport::ProcessResult;
using testsupport::ProcessSpec;
using testsupport::ScratchFolder;
using testsupport::shadowToday;
using testsupport::UserEntry;

const std::string kPasscheck = PASSCHECK_PATH;

// A datagram socket bound at path, as a daemon would hold it.
int boundSocket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size());
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    return fd;
}
constexpr size_t kRecord = 292;

UserEntry user(const std::string &name, uid_t uid, const std::string &hash)
{
    UserEntry u;
    u.name = name;
    u.uid = uid;
    u.gid = uid;
    u.hash = hash;
    return u;
}

// The accounts every test here works with; each password is "secret" unless said.
std::vector<UserEntry> standardUsers()
{
    const std::string yes = cryptHash("secret", "$y$");
    const std::string sha = cryptHash("secret", "$6$");
    const long today = shadowToday();
    std::vector<UserEntry> users;
    users.push_back(user("alice", 1001, yes));
    users.push_back(user("bob", 1002, sha));
    users.push_back(user("locked", 1003, "!" + yes));
    UserEntry expired = user("expired", 1004, yes);
    expired.expire = std::to_string(today - 1);
    users.push_back(expired);
    UserEntry future = user("future", 1005, yes);
    future.expire = std::to_string(today + 30);
    users.push_back(future);
    UserEntry mustChange = user("mustchange", 1006, yes);
    mustChange.lastChange = "0";
    users.push_back(mustChange);
    UserEntry aged = user("aged", 1007, sha);
    aged.lastChange = std::to_string(today - 100);
    aged.maxAge = "30";
    users.push_back(aged);
    UserEntry noAging = user("noaging", 1008, yes);
    noAging.lastChange = "";
    noAging.maxAge = "30";
    users.push_back(noAging);
    UserEntry shadowOnly = user("shadowonly", 1009, yes);
    shadowOnly.inPasswd = false;
    users.push_back(shadowOnly);
    UserEntry passwdOnly = user("passwdonly", 1010, yes);
    passwdOnly.inShadow = false;
    users.push_back(passwdOnly);
    UserEntry everything = user("everything", 1011, "!!");
    everything.expire = "1";
    everything.lastChange = "0";
    users.push_back(everything);
    UserEntry empty = user("emptyhash", 1012, "");
    users.push_back(empty);
    return users;
}

class Passcheck : public testing::Test {
protected:
    void SetUp() override
    {
        if (!testsupport::isolationUnavailableReason().empty())
            GTEST_SKIP() << testsupport::isolationUnavailableReason();
        accounts_ = std::make_unique<IsolatedAccounts>(standardUsers());
    }

    static ProcessResult run(std::vector<std::string> args, const std::string &input = std::string(),
                             std::vector<std::string> env = {})
    {
        ProcessSpec spec;
        spec.argv = {kPasscheck};
        spec.argv.insert(spec.argv.end(), args.begin(), args.end());
        spec.input = input;
        spec.setEnv = std::move(env);
        spec.unsetEnv = {"HOST", "IP"};
        return runProcess(spec);
    }

    std::string recordOf(uid_t uid) const
    {
        std::string log = accounts_->lastlog();
        if (log.size() < (uid + 1) * kRecord)
            return std::string();
        return log.substr(uid * kRecord, kRecord);
    }

    std::unique_ptr<IsolatedAccounts> accounts_;
};

TEST_F(Passcheck, OneShotAnswers)
{
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {{"-v", "alice"}, "secret\n", 0, "\n"},
        {{"-v", "bob"}, "secret\n", 0, "\n"},
        {{"-v", "alice"}, "secret", 0, "\n"},
        {{"-v", "alice"}, "secret\r\n", 0, "\n"},
        {{"-verify", "alice"}, "secret\nsecond line\n", 0, "\n"},
        {{"-v", "alice"}, "wrong\n", 2, "\n"},
        {{"-v", "alice"}, "secretx\n", 2, "\n"},
        {{"-v", "alice"}, "\n", 2, "\n"},
        {{"-v", "bob"}, "Secret\n", 2, "\n"},
        {{"-v", "locked"}, "secret\n", 2, "\n"},
        {{"-v", "emptyhash"}, "\n", 2, "\n"},
        {{"-v", "expired"}, "secret\n", 4, "\n"},
        {{"-v", "future"}, "secret\n", 0, "\n"},
        {{"-v", "mustchange"}, "secret\n", 5, "\n"},
        {{"-v", "aged"}, "secret\n", 5, "\n"},
        {{"-v", "noaging"}, "secret\n", 0, "\n"},
        {{"-v", "nosuchuser"}, "secret\n", 1, "\n"},
        {{"-v", "shadowonly"}, "secret\n", 1, "\n"},
        {{"-v", "passwdonly"}, "secret\n", 1, "\n"},
        {{"-v", "alice"}, "", 51, ""},
        {{"-s", "alice"}, "", 0, "0\n\n"},
        {{"-s", "locked"}, "", 0, "1\n\n"},
        {{"-s", "expired"}, "", 0, "2\n\n"},
        {{"-s", "mustchange"}, "", 0, "4\n\n"},
        {{"-s", "aged"}, "", 0, "4\n\n"},
        {{"-s", "noaging"}, "", 0, "0\n\n"},
        {{"-s", "everything"}, "", 0, "7\n\n"},
        {{"-s", "nosuchuser"}, "", 1, "\n"},
        {{"-t", "alice"}, "", 0, "-1\n\n"},
        {{"-t", "expired"}, "", 0, std::to_string(shadowToday() - 1) + "\n\n"},
        {{"-t", "nosuchuser"}, "", 1, "\n"},
        {{"-x", "alice"}, "", 51, ""},
        {{"-", "alice"}, "", 51, ""},
        {{"v", "alice"}, "secret\n", 51, ""},
        {{"--serverx", "alice"}, "", 51, ""},
        {{"-v"}, "secret\n", 51, ""},
        {{"-v", "alice", "extra"}, "secret\n", 51, ""},
        {{}, "", 51, ""},
    };
    for (const Case &c : cases) {
        std::string what;
        for (const std::string &a : c.args)
            what += a + " ";
        ProcessResult r = run(c.args, c.input);
        EXPECT_EQ(c.exit, r.exitCode) << what;
        EXPECT_EQ(c.out, r.out) << what;
        EXPECT_EQ("", r.err) << what;
    }
}

TEST_F(Passcheck, OneShotReadsOnlyTheFirst1023Characters)
{
    // The tail beyond the line limit is not part of the password.
    ProcessResult r = run({"-v", "alice"}, "secret" + std::string(1017, '\0') + "tail\n");
    EXPECT_EQ(0, r.exitCode);
    r = run({"-v", "alice"}, std::string(1023, 'a') + "secret\n");
    EXPECT_EQ(2, r.exitCode);
}

TEST_F(Passcheck, SuccessfulCheckWritesTheLastLoginRecord)
{
    const time_t before = time(nullptr);
    ProcessResult r = run({"-v", "alice"}, "secret\n", {"HOST=client.example"});
    const time_t after = time(nullptr);
    ASSERT_EQ(0, r.exitCode);

    std::string log = accounts_->lastlog();
    ASSERT_EQ(1002u * kRecord, log.size()) << "exactly alice's record, at uid 1001 x 292";
    EXPECT_EQ(std::string(1001 * kRecord, '\0'), log.substr(0, 1001 * kRecord));
    std::string rec = recordOf(1001);
    int32_t when;
    memcpy(&when, rec.data(), 4);
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);
    EXPECT_EQ(std::string("http") + std::string(28, '\0'), rec.substr(4, 32));
    EXPECT_EQ("client.example" + std::string(256 - 14, '\0'), rec.substr(36, 256));
}

TEST_F(Passcheck, LastLoginHostFollowsHostThenIp)
{
    const std::string h256(256, 'h'), h300(300, 'h'), ip300 = "10.0.0.1" + std::string(292, 'i');
    struct Case {
        const char *name;
        std::vector<std::string> env;
        std::string host;
    };
    const Case cases[] = {
        {"neither", {}, std::string(256, '\0')},
        {"host only", {"HOST=web1"}, "web1" + std::string(252, '\0')},
        {"host wins over ip", {"HOST=web1", "IP=192.0.2.7"}, "web1" + std::string(252, '\0')},
        {"host of exactly 256 bytes has no terminator", {"HOST=" + h256, "IP=192.0.2.7"}, h256},
        {"host too long, ip used", {"HOST=" + h300, "IP=" + ip300}, ip300.substr(0, 256)},
        {"host too long, no ip", {"HOST=" + h300}, std::string(256, '\0')},
        {"ip only", {"IP=192.0.2.7"}, "192.0.2.7" + std::string(247, '\0')},
    };
    for (const Case &c : cases) {
        ProcessResult r = run({"-v", "bob"}, "secret\n", c.env);
        ASSERT_EQ(0, r.exitCode) << c.name;
        EXPECT_EQ(c.host, recordOf(1002).substr(36, 256)) << c.name;
    }
}

TEST_F(Passcheck, FailedChecksWriteNoRecord)
{
    for (const char *name : {"alice", "expired", "mustchange", "nosuchuser"})
        run({"-v", name}, "wrong\n");
    run({"-v", "expired"}, "secret\n");
    run({"-s", "alice"});
    EXPECT_EQ("", accounts_->lastlog());
}

TEST_F(Passcheck, CoreDumpsAreDisabled)
{
    ScratchFolder dir;
    ProcessSpec spec;
    spec.argv = {kPasscheck, "--server", dir / "s"};
    BackgroundProcess server(spec);
    ASSERT_TRUE(testsupport::waitForDatagramServer(dir / "s", 5000));
    std::ifstream limits("/proc/" + std::to_string(server.pid()) + "/limits");
    std::string line, core;
    while (std::getline(limits, line))
        if (line.rfind("Max core file size", 0) == 0)
            core = line;
    std::istringstream fields(core.substr(strlen("Max core file size")));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ("0", soft);
    EXPECT_EQ("0", hard);
}

// Without root's rights the shadow file cannot be read: every question is
// answered 53, whichever name services follow the files.
TEST(PasscheckUnprivileged, AnswersNoAccess)
{
    if (!testsupport::isolationUnavailableReason().empty())
        GTEST_SKIP() << testsupport::isolationUnavailableReason();
    for (const char *nss : {"passwd: files\ngroup: files\nshadow: files\n",
                            "passwd: files systemd\ngroup: files systemd\nshadow: files systemd\n"}) {
        IsolatedAccounts accounts(standardUsers(), {}, nss);
        for (const char *option : {"-v", "-s", "-t"}) {
            ProcessSpec spec;
            spec.argv = {kPasscheck, option, "alice"};
            spec.input = "secret\n";
            spec.switchUser = true;
            ProcessResult r = runProcess(spec);
            EXPECT_EQ(53, r.exitCode) << option << " with " << nss;
            EXPECT_EQ("\n", r.out);
        }
    }
}

// passcheck installed set-user-ID root, run by an unprivileged user.
class PasscheckSetuid : public Passcheck {
protected:
    void SetUp() override
    {
        Passcheck::SetUp();
        if (IsSkipped())
            return;
        folder_ = std::make_unique<ScratchFolder>(0755);
        program_ = *folder_ / "passcheck";
        std::ifstream in(kPasscheck, std::ios::binary);
        std::ofstream out(program_, std::ios::binary);
        out << in.rdbuf();
        out.close();
        ASSERT_EQ(0, chown(program_.c_str(), 0, 0));
        ASSERT_EQ(0, chmod(program_.c_str(), 04755));
        ProcessSpec probe;
        probe.argv = {"/usr/bin/stat", "-c", "%a", program_};
        if (runProcess(probe).out != "4755\n")
            GTEST_SKIP() << "cannot make a set-user-ID copy here";
    }

    ProcessResult runAsNobody(std::vector<std::string> args, const std::string &input = std::string())
    {
        ProcessSpec spec;
        spec.argv = {program_};
        spec.argv.insert(spec.argv.end(), args.begin(), args.end());
        spec.input = input;
        spec.switchUser = true;
        spec.unsetEnv = {"HOST", "IP"};
        // The sanitizer runtime cannot stop the world in a set-user-ID process.
        spec.setEnv = {"ASAN_OPTIONS=detect_leaks=0"};
        return runProcess(spec);
    }

    std::unique_ptr<ScratchFolder> folder_;
    std::string program_;
};

TEST_F(PasscheckSetuid, AnswersForAnUnprivilegedCaller)
{
    EXPECT_EQ(0, runAsNobody({"-v", "alice"}, "secret\n").exitCode);
    EXPECT_EQ(2, runAsNobody({"-v", "alice"}, "wrong\n").exitCode);
    ProcessResult s = runAsNobody({"-s", "locked"});
    EXPECT_EQ(0, s.exitCode);
    EXPECT_EQ("1\n\n", s.out);
    EXPECT_EQ("-1\n\n", runAsNobody({"-t", "alice"}).out);
    EXPECT_EQ(1002u * kRecord, accounts_->lastlog().size()) << "the record of the successful check";
}

// The socket path is the caller's choice, so it is used with the caller's rights.
TEST_F(PasscheckSetuid, UsesTheCallersRightsForTheSocketPath)
{
    ScratchFolder rootOnly(0700);
    const std::string victim = rootOnly / "daemon.sock";
    const int held = boundSocket(victim);
    ProcessResult r = runAsNobody({"--server", victim});
    EXPECT_EQ(EACCES, r.exitCode);
    struct stat st;
    EXPECT_EQ(0, lstat(victim.c_str(), &st)) << "a root-only socket was removed for an unprivileged caller";
    EXPECT_EQ(EACCES, runAsNobody({"--shutdown", victim}).exitCode);
    close(held);

    // Where the caller may write, the server runs and answers as root would.
    ScratchFolder open(0777);
    ProcessSpec spec;
    spec.argv = {program_, "--server", open / "s"};
    spec.switchUser = true;
    spec.setEnv = {"ASAN_OPTIONS=detect_leaks=0"};
    BackgroundProcess server(spec);
    ASSERT_TRUE(testsupport::waitForDatagramServer(open / "s", 5000));
    ASSERT_EQ(0, lstat((open / "s").c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    m.type = 2;
    memcpy(m.payload, "locked", 7);
    m.length = 7;
    ASSERT_EQ(0, sendMsg((open / "s").c_str(), &m, 5));
    EXPECT_EQ(0, m.status);
    EXPECT_EQ(0, runAsNobody({"--shutdown", open / "s"}).exitCode);
    ProcessResult end;
    EXPECT_TRUE(server.waitExit(5000, &end));
    EXPECT_EQ(0, end.exitCode);
}

class PasscheckServer : public Passcheck {
protected:
    void SetUp() override
    {
        Passcheck::SetUp();
        if (IsSkipped())
            return;
        folder_ = std::make_unique<ScratchFolder>();
        path_ = *folder_ / "passcheck.sock";
        ProcessSpec spec;
        spec.argv = {kPasscheck, "--server", path_};
        spec.unsetEnv = {"HOST", "IP"};
        server_ = std::make_unique<BackgroundProcess>(spec);
        ASSERT_TRUE(testsupport::waitForDatagramServer(path_, 5000));
    }

    void TearDown() override
    {
        if (server_ && server_->running())
            sendShutdown(path_.c_str());
    }

    static HelperMessage request(int32_t type, const std::string &payload)
    {
        HelperMessage m;
        memset(&m, 0, sizeof(m));
        m.type = type;
        memcpy(m.payload, payload.data(), payload.size());
        m.length = static_cast<int32_t>(payload.size());
        return m;
    }

    HelperMessage exchange(int32_t type, const std::string &payload)
    {
        HelperMessage m = request(type, payload);
        EXPECT_EQ(0, sendMsg(path_.c_str(), &m, HELPER_CLIENT_TIMEOUT));
        return m;
    }

    static int32_t word(const HelperMessage &m)
    {
        int32_t w;
        memcpy(&w, m.payload, 4);
        return w;
    }

    static bool payloadZeroFrom(const HelperMessage &m, size_t from)
    {
        for (size_t i = from; i < sizeof(m.payload); ++i)
            if (m.payload[i] != 0)
                return false;
        return true;
    }

    std::unique_ptr<ScratchFolder> folder_;
    std::string path_;
    std::unique_ptr<BackgroundProcess> server_;
};

TEST_F(PasscheckServer, AnswersPasswordChecks)
{
    using namespace std::string_literals;
    struct Case {
        std::string payload;
        int status;
    };
    const Case cases[] = {
        {"alice\0secret\0"s, 0},      {"bob\0secret\0"s, 0},         {"alice\0wrong\0"s, 2},
        {"locked\0secret\0"s, 2},     {"expired\0secret\0"s, 4},     {"aged\0secret\0"s, 5},
        {"nosuchuser\0secret\0"s, 1}, {"alice\0secret\0trailing"s, 0},
    };
    for (const Case &c : cases) {
        HelperMessage m = exchange(1, c.payload);
        EXPECT_EQ(c.status, m.status) << c.payload.c_str();
        EXPECT_EQ(0, m.length);
        EXPECT_TRUE(payloadZeroFrom(m, 0));
    }
    // Records for the two successful users (alice 1001, bob 1002), nothing else.
    std::string log = accounts_->lastlog();
    ASSERT_EQ(1003u * kRecord, log.size());
    EXPECT_EQ(std::string(1001 * kRecord, '\0'), log.substr(0, 1001 * kRecord));
    EXPECT_EQ("http", recordOf(1001).substr(4, 4));
    EXPECT_EQ("http", recordOf(1002).substr(4, 4));
}

TEST_F(PasscheckServer, AnswersStatusAndExpiry)
{
    using namespace std::string_literals;
    struct Case {
        int32_t type;
        std::string user;
        int status;
        int32_t value;
    };
    const Case cases[] = {
        {2, "alice", 0, 0},     {2, "locked", 0, 1},   {2, "expired", 0, 2},
        {2, "aged", 0, 4},      {2, "everything", 0, 7}, {3, "alice", 0, -1},
        {3, "future", 0, static_cast<int32_t>(shadowToday() + 30)},
    };
    for (const Case &c : cases) {
        HelperMessage m = exchange(c.type, c.user + "\0"s);
        EXPECT_EQ(c.status, m.status) << c.type << " " << c.user;
        EXPECT_EQ(4, m.length);
        EXPECT_EQ(c.value, word(m)) << c.type << " " << c.user;
        EXPECT_TRUE(payloadZeroFrom(m, 4));
    }
    for (int32_t type : {2, 3}) {
        HelperMessage m = exchange(type, "nosuchuser\0"s);
        EXPECT_EQ(1, m.status);
        EXPECT_EQ(0, m.length);
    }
}

TEST_F(PasscheckServer, MalformedRequestsAreAnsweredUnchanged)
{
    using namespace std::string_literals;
    struct Case {
        int32_t type;
        std::string payload;
    };
    const Case cases[] = {
        {1, "alice\0"s},        // no password
        {1, "alice\0secret"s},  // password without its NUL
        {1, "alice"s},          // nothing terminated
        {1, ""s},               //
        {2, "alice"s},          // name not terminated inside the payload
        {3, ""s},               //
        {7, "alice\0secret\0"s}, // unknown type
        {0, "x"s},              //
    };
    for (const Case &c : cases) {
        HelperMessage m = exchange(c.type, c.payload);
        EXPECT_EQ(51, m.status) << c.type << " " << c.payload.size();
        ASSERT_EQ(static_cast<int32_t>(c.payload.size()), m.length);
        EXPECT_EQ(c.payload, std::string(reinterpret_cast<char *>(m.payload), c.payload.size()));
    }
    // The server goes on serving after all of them.
    EXPECT_EQ(0, exchange(1, "alice\0secret\0"s).status);
    sendShutdown(path_.c_str());
    ProcessResult end;
    ASSERT_TRUE(server_->waitExit(5000, &end));
    EXPECT_NE(std::string::npos, end.err.find("Invalid request type 7"));
}

TEST_F(PasscheckServer, ShutdownWithPayloadDoesNotStopIt)
{
    HelperMessage bad = request(HELPER_TYPE_SHUTDOWN, "x");
    bad.checksum = computeChecksum(&bad);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path_.c_str(), path_.size());
    ASSERT_EQ(33, sendto(fd, &bad, 33, 0, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    close(fd);
    EXPECT_EQ(0, exchange(2, std::string("alice\0", 6)).status);
    EXPECT_TRUE(server_->running());

    ProcessSpec stop;
    stop.argv = {kPasscheck, "--shutdown", path_};
    EXPECT_EQ(0, runProcess(stop).exitCode);
    ProcessResult end;
    ASSERT_TRUE(server_->waitExit(5000, &end));
    EXPECT_EQ(0, end.exitCode);
    EXPECT_EQ("Server shutdown requested\n", end.out);
    EXPECT_EQ("Invalid shutdown request received", end.err);
}

TEST(PasscheckCommandLine, ServerAndShutdownReportTransportErrors)
{
    ScratchFolder dir;
    std::ofstream(dir / "file") << "keep";
    ProcessSpec spec;
    spec.argv = {kPasscheck, "--server", dir / "file"};
    ProcessResult r = runProcess(spec);
    EXPECT_EQ(EINVAL, r.exitCode);
    EXPECT_EQ(dir / "file" + ": Invalid argument\n", r.err);

    spec.argv = {kPasscheck, "--shutdown", dir / "nothing"};
    r = runProcess(spec);
    EXPECT_EQ(ENOENT, r.exitCode);
    EXPECT_EQ("sendto: " + (dir / "nothing") + ": No such file or directory\n", r.err);
}

} // namespace
