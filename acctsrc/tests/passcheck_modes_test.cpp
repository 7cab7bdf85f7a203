// Password checks, account status and expiry through the three helper
// modes, against the real passcheck program and server and a private
// account database.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "accounts.h"
#include "acctsrc.h"
#include "process.h"
#include "records.h"

// Building blocks the library exports beside its C interface.
extern "C" {
extern int hisuid;
extern int haveuid;
int do_get_account_status(const char *user, long *status);
int do_get_account_expire_time(const char *user, long *expireSeconds);
}

namespace {

// Under user-mode emulation (32-bit tests on a 64-bit-only kernel) the
// emulator runs posix_spawn's child as a plain fork, so an exec failure
// shows up as exit status 127 instead of an error from posix_spawn.
bool SpawnReportsExecFailure(const std::string &missing)
{
    pid_t pid = 0;
    char *argv[] = {const_cast<char *>(missing.c_str()), nullptr};
    int rc = posix_spawn(&pid, missing.c_str(), nullptr, nullptr, argv, environ);
    if (rc == 0)
        waitpid(pid, nullptr, 0);
    return rc != 0;
}


using namespace acctsrc_test;
using testsupport::BackgroundProcess;
using testsupport::cryptHash;
using testsupport::IsolatedAccounts;
using testsupport::ProcessSpec;
using testsupport::ScratchFolder;
using testsupport::shadowToday;
using testsupport::UserEntry;

const std::string kPasscheck = PASSCHECK_PATH;

UserEntry User(const std::string &name, uid_t uid, const std::string &hash)
{
    UserEntry u;
    u.name = name;
    u.uid = uid;
    u.gid = 100;
    u.hash = hash;
    return u;
}

// Every password is "secret".
std::vector<UserEntry> Users()
{
    const std::string yes = cryptHash("secret", "$y$");
    const std::string sha = cryptHash("secret", "$6$");
    const long today = shadowToday();
    std::vector<UserEntry> users = {User("alice", 1001, yes), User("bob", 1002, sha),
                                    User("locked", 1003, "!" + yes)};
    UserEntry expired = User("expired", 1004, yes);
    expired.expire = std::to_string(today - 1);
    users.push_back(expired);
    UserEntry future = User("future", 1005, yes);
    future.expire = std::to_string(today + 30);
    users.push_back(future);
    UserEntry fixedDay = User("day20000", 1006, yes);
    fixedDay.expire = "20000";
    users.push_back(fixedDay);
    UserEntry mustChange = User("mustchange", 1007, yes);
    mustChange.lastChange = "0";
    users.push_back(mustChange);
    UserEntry aged = User("aged", 1008, sha);
    aged.lastChange = std::to_string(today - 100);
    aged.maxAge = "30";
    users.push_back(aged);
    UserEntry everything = User("everything", 1009, "!!");
    everything.expire = "1";
    everything.lastChange = "0";
    users.push_back(everything);
    UserEntry passwdOnly = User("passwdonly", 1010, yes);
    passwdOnly.inShadow = false;
    users.push_back(passwdOnly);
    return users;
}

const wchar_t *const kModes[] = {L"Fork", L"Socket", L"Call"};

class AcctsrcPasscheck : public testing::Test {
protected:
    void SetUp() override
    {
        if (!testsupport::isolationUnavailableReason().empty())
            GTEST_SKIP() << testsupport::isolationUnavailableReason();
        accounts_ = std::make_unique<IsolatedAccounts>(Users());
        folder_ = std::make_unique<ScratchFolder>();
        socket_ = *folder_ / "passcheck.sock";
        ProcessSpec spec;
        spec.argv = {kPasscheck, "--server", socket_};
        server_ = std::make_unique<BackgroundProcess>(spec);
        ASSERT_TRUE(testsupport::waitForDatagramServer(socket_, 5000));
        ASSERT_EQ(0, SetPasscheckPath(Widen(kPasscheck).c_str()));
        ASSERT_EQ(0, SetPasscheckUnixSocketPath(Widen(socket_).c_str()));
    }

    void TearDown() override
    {
        if (server_ && server_->running())
            sendShutdown();
    }

    void sendShutdown()
    {
        SetPasscheckUnixSocketPath(Widen(socket_).c_str());
        ShutdownUnixSocketServer();
        testsupport::ProcessResult end;
        server_->waitExit(5000, &end);
    }

    // A stand-in helper program: a shell script with the given body.
    std::string script(const std::string &name, const std::string &body)
    {
        const std::string path = *folder_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
        return path;
    }

    std::unique_ptr<IsolatedAccounts> accounts_;
    std::unique_ptr<ScratchFolder> folder_;
    std::string socket_;
    std::unique_ptr<BackgroundProcess> server_;
};

TEST_F(AcctsrcPasscheck, ValidatesInEveryMode)
{
    struct Case {
        const wchar_t *user, *password;
        int rc;
    };
    const Case cases[] = {
        {L"alice", L"secret", 0},      {L"bob", L"secret", 0},          {L"alice", L"wrong", 5},
        {L"alice", L"", 5},            {L"bob", L"Secret", 5},          {L"locked", L"secret", 5},
        {L"expired", L"secret", 5},    {L"future", L"secret", 0},       {L"mustchange", L"secret", 5},
        {L"aged", L"secret", 5},       {L"nosuchuser", L"secret", 5},   {L"passwdonly", L"secret", 5},
        {L"alice", L"secret\nmore", 5}, {L"alice", L"secret\r", 5},
    };
    for (const wchar_t *mode : kModes) {
        ASSERT_EQ(0, SetPasscheckMode(mode));
        for (const Case &c : cases)
            EXPECT_EQ(c.rc, ValidateCredentials(c.user, c.password))
                << W(mode) << " " << W(c.user) << " " << W(c.password) << ": " << LastMessage();
    }
}

TEST_F(AcctsrcPasscheck, StatusAndExpiryInEveryMode)
{
    const long today = shadowToday();
    struct Case {
        const wchar_t *user;
        long status;
        long expires;
    };
    const Case cases[] = {
        {L"alice", 0, -86400}, // no expiry set: day -1 comes out as -86400
        {L"locked", 1, -86400},
        {L"expired", 2, (today - 1) * 86400},
        {L"mustchange", 4, -86400},
        {L"aged", 4, -86400},
        {L"everything", 7, 86400},
        {L"day20000", 2, 20000L * 86400}, // long past
        {L"future", 0, (today + 30) * 86400},
    };
    for (const wchar_t *mode : kModes) {
        ASSERT_EQ(0, SetPasscheckMode(mode));
        for (const Case &c : cases) {
            UserInfo *u = nullptr;
            ASSERT_EQ(0, GetUserByName(c.user, &u)) << W(mode) << " " << W(c.user);
            UserPtr hold(u);
            EXPECT_EQ(c.status, u->status) << W(mode) << " " << W(c.user) << ": " << LastMessage();
            EXPECT_EQ(c.expires, u->accountExpires) << W(mode) << " " << W(c.user) << ": " << LastMessage();
        }
        // A user with no shadow entry still gets a record, with expiry -1 and status 0.
        UserInfo *u = nullptr;
        ASSERT_EQ(0, GetUserByName(L"passwdonly", &u));
        UserPtr hold(u);
        EXPECT_EQ(-1, u->accountExpires) << W(mode);
        EXPECT_EQ(0, u->status) << W(mode);
    }
}

TEST_F(AcctsrcPasscheck, FailuresNameTheirCause)
{
    struct Case {
        const wchar_t *mode, *user, *password;
        const wchar_t *message;
    };
    const Case cases[] = {
        {L"Fork", L"alice", L"wrong", L"Non zero result from passcheck execution: 512"},
        {L"Fork", L"nosuchuser", L"secret", L"Non zero result from passcheck execution: 256"},
        {L"Socket", L"alice", L"wrong", L"Received non zero response status from socket: 2"},
        {L"Socket", L"expired", L"secret", L"Received non zero response status from socket: 4"},
        {L"Call", L"alice", L"wrong", L"Direct call authentication failure: 2"},
        {L"Call", L"mustchange", L"secret", L"Direct call authentication failure: 5"},
        {L"Call", L"nosuchuser", L"secret", L"Direct call authentication failure: 1"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(0, SetPasscheckMode(c.mode));
        EXPECT_EQ(5, ValidateCredentials(c.user, c.password));
        EXPECT_TRUE(EndsWith(LastMessage(), c.message)) << W(c.mode) << ": " << LastMessage();
        EXPECT_EQ(0ul, LastCode());
    }
}

// passcheck reads only the first line, and at most 1023 characters of it:
// Fork mode refuses what it would check cut short.
TEST_F(AcctsrcPasscheck, ForkModeRefusesPasswordsPasscheckWouldCutShort)
{
    ASSERT_EQ(0, SetPasscheckMode(L"Fork"));
    for (const wchar_t *password : {L"secret\nwhatever", L"secret\rwhatever", L"secret\n"}) {
        EXPECT_EQ(5, ValidateCredentials(L"alice", password));
        EXPECT_TRUE(Contains(LastMessage(), L"line break")) << LastMessage();
    }
    const std::wstring longest(1023, L'a');
    EXPECT_EQ(5, ValidateCredentials(L"alice", longest.c_str()));
    EXPECT_TRUE(EndsWith(LastMessage(), L"execution: 512")) << "1023 characters go to passcheck";
    EXPECT_EQ(5, ValidateCredentials(L"alice", (L"secret" + std::wstring(1018, L'x')).c_str()));
    EXPECT_TRUE(Contains(LastMessage(), L"longer than 1023")) << LastMessage();
}

TEST_F(AcctsrcPasscheck, ForkModeReadsTheHelpersNumberLine)
{
    ASSERT_EQ(0, SetPasscheckMode(L"Fork"));
    struct Case {
        const char *body;
        int rc;
        long value;
        const wchar_t *message;
    };
    const Case cases[] = {
        {"echo 5", 0, 5, nullptr},
        {"printf 6", 0, 6, nullptr},
        {"echo 5x", 1, 0, L"Unexpected non-number result from passcheck: 5x"},
        {"echo", 1, 0, L"Unexpected non-number result from passcheck: "},
        {"exit 0", 1, 0, L"fgets got no data from passcheck"},
        {"echo 5; exit 3", 1, 0, L"Non zero result from passcheck execution: 768"},
        {"kill -9 $$", 1, 0, L"Non zero result from passcheck execution: 9"},
        // More output than a pipe holds: the helper must not be left blocked.
        {"echo 5; head -c 300000 /dev/zero", 0, 5, nullptr},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string path = script("helper" + std::to_string(n++), c.body);
        ASSERT_EQ(0, SetPasscheckPath(Widen(path).c_str()));
        long value = 0;
        EXPECT_EQ(c.rc, do_get_account_status("alice", &value)) << c.body;
        if (c.rc == 0) {
            EXPECT_EQ(c.value, value) << c.body;
        } else {
            EXPECT_TRUE(Contains(LastMessage(), c.message)) << c.body << ": " << LastMessage();
        }
    }
    ASSERT_EQ(0, SetPasscheckPath(Widen(script("chatty", "read line; head -c 300000 /dev/zero")).c_str()));
    EXPECT_EQ(0, ValidateCredentials(L"alice", L"secret")) << LastMessage();

    ASSERT_EQ(0, SetPasscheckPath(Widen(*folder_ / "missing").c_str()));
    if (!SpawnReportsExecFailure(*folder_ / "missing"))
        GTEST_SKIP() << "posix_spawn does not report exec failures here (user-mode emulation)";
    EXPECT_EQ(1, ValidateCredentials(L"alice", L"secret"));
    EXPECT_TRUE(Contains(LastMessage(), L"posix_spawn failed: error: ")) << LastMessage();
    EXPECT_EQ(static_cast<unsigned long>(ENOENT), LastCode());
}

TEST_F(AcctsrcPasscheck, SocketModeWithoutAServerReportsTheSendError)
{
    ASSERT_EQ(0, SetPasscheckMode(L"Socket"));
    ASSERT_EQ(0, SetPasscheckUnixSocketPath(Widen(*folder_ / "nothing-here").c_str()));
    EXPECT_EQ(1, ValidateCredentials(L"alice", L"secret"));
    EXPECT_TRUE(EndsWith(LastMessage(), L"Failed to send message to passcheck socket: error: " +
                                            Widen(strerror(ENOENT))))
        << LastMessage();
    EXPECT_EQ(static_cast<unsigned long>(ENOENT), LastCode());

    // A socket file nobody listens on any more.
    const std::string stale = *folder_ / "stale.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, stale.c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    close(fd);
    ASSERT_EQ(0, SetPasscheckUnixSocketPath(Widen(stale).c_str()));
    EXPECT_EQ(1, ValidateCredentials(L"alice", L"secret"));
    EXPECT_EQ(static_cast<unsigned long>(ECONNREFUSED), LastCode()) << LastMessage();
    EXPECT_TRUE(Contains(LastMessage(), Widen(strerror(ECONNREFUSED))));
}

// The request must hold the name, the password and both NULs in 992 bytes.
TEST_F(AcctsrcPasscheck, SocketModeRefusesWhatDoesNotFitARequest)
{
    ASSERT_EQ(0, SetPasscheckMode(L"Socket"));
    // "alice" and its NUL take 6 bytes: a password of 985 bytes fits exactly.
    EXPECT_EQ(5, ValidateCredentials(L"alice", std::wstring(985, L'p').c_str()));
    EXPECT_TRUE(EndsWith(LastMessage(), L"Received non zero response status from socket: 2")) << LastMessage();

    // One byte more is refused before anything is sent: a listener that
    // never answers sees no datagram.
    const std::string quiet = *folder_ / "quiet.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, quiet.c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    ASSERT_EQ(0, SetPasscheckUnixSocketPath(Widen(quiet).c_str()));
    EXPECT_EQ(5, ValidateCredentials(L"alice", std::wstring(986, L'p').c_str()));
    EXPECT_TRUE(Contains(LastMessage(), L"do not fit")) << LastMessage();
    long value = 0;
    EXPECT_EQ(1, do_get_account_status(std::string(992, 'u').c_str(), &value));
    char buf[2048];
    EXPECT_EQ(-1, recv(fd, buf, sizeof(buf), 0));
    EXPECT_EQ(EAGAIN, errno);
    close(fd);
}

TEST_F(AcctsrcPasscheck, ShutdownStopsTheServer)
{
    EXPECT_EQ(0, ShutdownUnixSocketServer());
    testsupport::ProcessResult end;
    ASSERT_TRUE(server_->waitExit(5000, &end));
    EXPECT_EQ(0, end.exitCode);
    EXPECT_EQ(6, ShutdownUnixSocketServer()) << "nobody listens any more";
    EXPECT_TRUE(Contains(LastMessage(), L"Unexpected error when issuing server shutdown: error: ")) << LastMessage();
    EXPECT_EQ(static_cast<unsigned long>(ECONNREFUSED), LastCode());
}

TEST_F(AcctsrcPasscheck, ModeNamesAreExact)
{
    struct Case {
        const wchar_t *name;
        int rc;
    };
    const Case cases[] = {{L"Fork", 0}, {L"fork", 4}, {L"FORK", 4},    {L"Socket", 0}, {L"socket", 4},
                          {L"Call", 0}, {L"", 4},     {L"Call ", 4}, {L" Fork", 4}};
    for (const Case &c : cases) {
        EXPECT_EQ(c.rc, SetPasscheckMode(c.name)) << W(c.name);
        if (c.rc == 4) {
            EXPECT_TRUE(EndsWith(LastMessage(), L"] SetPasscheckMode parameter 0 invalid")) << W(c.name);
        }
    }
}

TEST_F(AcctsrcPasscheck, CallModeRecordsTheUidItChecked)
{
    ASSERT_EQ(0, SetPasscheckMode(L"Call"));
    EXPECT_EQ(5, ValidateCredentials(L"bob", L"wrong"));
    EXPECT_EQ(1002, hisuid);
    EXPECT_EQ(1, haveuid);
    EXPECT_EQ(0, ValidateCredentials(L"alice", L"secret"));
    EXPECT_EQ(1001, hisuid);
}

// Without the rights to read the shadow file, Call mode reports 53 (no
// access), whichever name services follow the files.
TEST_F(AcctsrcPasscheck, CallModeWithoutShadowAccessSaysSo)
{
    for (const char *nss : {"passwd: files\ngroup: files\nshadow: files\n",
                            "passwd: files systemd\ngroup: files systemd\nshadow: files systemd\n"}) {
        accounts_.reset();
        accounts_ = std::make_unique<IsolatedAccounts>(Users(), std::vector<testsupport::GroupEntry>{}, nss);
        ASSERT_EQ(0, SetPasscheckMode(L"Call"));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(10);
            if (ValidateCredentials(L"alice", L"secret") != 5)
                _exit(11);
            if (!EndsWith(LastMessage(), L"Direct call authentication failure: 53"))
                _exit(12);
            long value = 0;
            if (do_get_account_status("alice", &value) != 1 ||
                !EndsWith(LastMessage(), L"Direct call user status failure: 53"))
                _exit(13);
            if (do_get_account_expire_time("alice", &value) != 1 ||
                !EndsWith(LastMessage(), L"Direct call user expiration failure: 53"))
                _exit(14);
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_EQ(0, status) << nss;
    }
}

TEST_F(AcctsrcPasscheck, ConcurrentChecksInEveryMode)
{
    for (const wchar_t *mode : kModes) {
        ASSERT_EQ(0, SetPasscheckMode(mode));
        const int rounds = std::wstring(mode) == L"Fork" ? 3 : 15;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < rounds; ++i) {
                    const bool right = (i + t) % 2 == 0;
                    const int rc = ValidateCredentials(t % 2 ? L"alice" : L"bob", right ? L"secret" : L"wrong");
                    if (rc != (right ? 0 : 5))
                        ++failures;
                    if (!right && LastMessage().find(L"] ") == std::wstring::npos)
                        ++failures;
                    UserInfo *u = nullptr;
                    if (GetUserByName(L"locked", &u) != 0 || u->status != 1 || u->accountExpires != -86400)
                        ++failures;
                    FreeUserInfo(&u);
                }
            });
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(0, failures.load()) << W(mode);
    }
}

} // namespace
