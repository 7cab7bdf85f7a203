// The helper datagram protocol over real Unix datagram sockets: framing and
// validation, the client exchange, the server loop and its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helperproto.h"
#include "process.h"

namespace {

using testsupport::ScratchFolder;

HelperMessage makeMessage(int32_t type, const std::string &payload)
{
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    m.type = type;
    memcpy(m.payload, payload.data(), payload.size());
    m.length = static_cast<int32_t>(payload.size());
    return m;
}

sockaddr_un pathAddress(const std::string &path, socklen_t *len)
{
    sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.data(), path.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    return a;
}

// A raw datagram socket bound to a path (a fake server) or autobound (a fake client).
struct RawSocket {
    int fd = -1;
    explicit RawSocket(const std::string &path = std::string())
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socklen_t len = sizeof(sa_family_t);
        sockaddr_un a = path.empty() ? pathAddress("", &len) : pathAddress(path, &len);
        if (path.empty())
            len = sizeof(sa_family_t);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0)
            ADD_FAILURE() << "bind " << path << ": " << strerror(errno);
    }
    ~RawSocket() { close(fd); }

    ssize_t sendTo(const std::string &path, const void *data, size_t n)
    {
        socklen_t len;
        sockaddr_un a = pathAddress(path, &len);
        return sendto(fd, data, n, 0, reinterpret_cast<sockaddr *>(&a), len);
    }
    // Receives one datagram within timeoutMs; returns its size or -1.
    ssize_t receive(void *buf, size_t size, int timeoutMs, sockaddr_un *from = nullptr, socklen_t *fromLen = nullptr)
    {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return -1;
        sockaddr_un ignored;
        socklen_t ignoredLen = sizeof(ignored);
        return recvfrom(fd, buf, size, MSG_TRUNC, reinterpret_cast<sockaddr *>(from ? from : &ignored),
                        fromLen ? fromLen : &ignoredLen);
    }
};

// The test server answers with status = type * 10 and the payload reversed.
int reversingHandler(HelperMessage *msg)
{
    std::reverse(msg->payload, msg->payload + msg->length);
    return msg->type * 10;
}

// runSocketServer on a thread of the test process.
class ServerThread {
public:
    explicit ServerThread(std::string path, HelperRequestHandler handler = reversingHandler) : path_(std::move(path))
    {
        thread_ = std::thread([this, handler] { result_ = runSocketServer(path_.c_str(), handler); done_ = true; });
        // A stale socket file may be there before the server replaces it.
        if (!testsupport::waitForDatagramServer(path_, 5000))
            ADD_FAILURE() << "server did not come up at " << path_;
    }
    ~ServerThread()
    {
        if (!done_)
            sendShutdown(path_.c_str());
        thread_.join();
    }
    // Stops the server; returns runSocketServer's result.
    int stop()
    {
        EXPECT_EQ(0, sendShutdown(path_.c_str()));
        thread_.join();
        thread_ = std::thread([] {});
        return result_;
    }
    bool done() const { return done_; }

private:
    std::string path_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    int result_ = -1;
};

TEST(HelperChecksum, FollowsTheFieldsAndSignedPayloadBytes)
{
    struct Case {
        const char *name;
        HelperMessage msg;
        int32_t expected;
    };
    HelperMessage shutdown = makeMessage(HELPER_TYPE_SHUTDOWN, "");
    HelperMessage high = makeMessage(1, std::string("\x80", 1));
    HelperMessage allOnes = makeMessage(0, std::string("\xff\xff", 2));
    HelperMessage fields = makeMessage(3, "AB");
    fields.status = 7;
    fields.reserved[0] = 100;
    fields.reserved[3] = -50;
    fields.checksum = 12345; // not part of the sum
    HelperMessage wraps = makeMessage(INT32_MAX, "");
    wraps.status = 1;
    const Case cases[] = {
        {"shutdown", shutdown, -1},
        {"byte 0x80 lowers the sum by 128", high, 1 + 1 - 128},
        {"byte 0xff adds -1", allOnes, 2 + 0 - 2},
        {"all header words but checksum", fields, 2 + 3 + 7 + 100 - 50 + 'A' + 'B'},
        {"wraps on overflow", wraps, INT32_MIN},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, computeChecksum(&c.msg)) << c.name;
}

TEST(HelperChecksum, IgnoresBytesPastTheLength)
{
    HelperMessage m = makeMessage(1, "abc");
    int32_t before = computeChecksum(&m);
    m.payload[3] = 'x';
    EXPECT_EQ(before, computeChecksum(&m));
}

TEST(HelperValidation, RefusesBadFramingWithItsReason)
{
    struct Case {
        const char *name;
        int32_t length;
        ssize_t received;
        bool corruptChecksum;
        bool valid;
        const char *text;
    };
    const Case cases[] = {
        {"valid", 3, 35, false, true, ""},
        {"33 bytes for length 0", 0, 33, false, false, "Message type 1 with length 0 does not match header length 33"},
        {"negative length", -5, 27, false, false, "Message type 1 with length -5 exceeds maximum message size"},
        {"length 993", 993, 1025, false, false, "Message type 1 with length 993 exceeds maximum message size"},
        {"short datagram", 3, 10, false, false, "Message type 1 with length 3 does not match header length 10"},
        {"bad checksum", 3, 35, true, false, "Message type 1 with length 3 does not match checksum"},
        {"largest payload", 992, 1024, false, true, ""},
    };
    for (const Case &c : cases) {
        HelperMessage m = makeMessage(1, "");
        m.length = c.length;
        m.checksum = computeChecksum(&m) + (c.corruptChecksum ? 1 : 0);
        testing::internal::CaptureStderr();
        bool valid = verifyChecksum(&m, c.received);
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.valid, valid) << c.name;
        EXPECT_EQ(c.text, text) << c.name;
    }
}

TEST(HelperExchange, ServerAnswersEachClientWithItsOwnReply)
{
    ScratchFolder dir;
    ServerThread server(dir / "s");
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                std::string text = "client" + std::to_string(t) + "-" + std::to_string(i);
                HelperMessage m = makeMessage(t + 1, text);
                if (sendMsg((dir / "s").c_str(), &m, 5) != 0)
                    continue;
                std::string back(reinterpret_cast<char *>(m.payload), static_cast<size_t>(m.length));
                if (m.status == (t + 1) * 10 && back == std::string(text.rbegin(), text.rend()))
                    ++good;
            }
        });
    }
    for (std::thread &c : clients)
        c.join();
    EXPECT_EQ(8 * 25, good.load());
}

TEST(HelperExchange, ShutdownIsOneBareDatagramWithChecksumMinusOne)
{
    ScratchFolder dir;
    RawSocket fake(dir / "s");
    ASSERT_EQ(0, sendShutdown((dir / "s").c_str()));
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    ASSERT_EQ(32, fake.receive(&m, sizeof(m), 1000));
    EXPECT_EQ(0, m.length);
    EXPECT_EQ(-1, m.checksum);
    EXPECT_EQ(-1, m.type);
    EXPECT_EQ(0, m.status);
    for (int32_t r : m.reserved)
        EXPECT_EQ(0, r);
}

TEST(HelperServer, StopsOnlyOnAValidBareShutdown)
{
    ScratchFolder dir;
    const std::string path = dir / "s";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ServerThread server(path);
    RawSocket raw;
    HelperMessage bad = makeMessage(HELPER_TYPE_SHUTDOWN, "x");
    bad.checksum = computeChecksum(&bad);
    ASSERT_EQ(33, raw.sendTo(path, &bad, 33));
    HelperMessage forged = makeMessage(HELPER_TYPE_SHUTDOWN, "");
    forged.checksum = 5; // fails validation
    ASSERT_EQ(32, raw.sendTo(path, &forged, 32));

    HelperMessage m = makeMessage(2, "ab");
    ASSERT_EQ(0, sendMsg(path.c_str(), &m, 5)) << "server stopped on an invalid shutdown";
    EXPECT_EQ(20, m.status);
    EXPECT_EQ(0, server.stop());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Server shutdown requested\n", testing::internal::GetCapturedStdout());
    EXPECT_NE(std::string::npos, err.find("Invalid shutdown request received"));
    EXPECT_NE(std::string::npos, err.find("does not match checksum"));
}

TEST(HelperServer, DropsMalformedDatagramsAndGoesOn)
{
    ScratchFolder dir;
    const std::string path = dir / "s";
    testing::internal::CaptureStderr();
    ServerThread server(path);
    RawSocket raw;

    std::vector<std::vector<unsigned char>> junk;
    junk.push_back(std::vector<unsigned char>(3, 0xff)); // shorter than a header
    HelperMessage m = makeMessage(1, "");
    m.checksum = computeChecksum(&m);
    std::vector<unsigned char> extra(reinterpret_cast<unsigned char *>(&m), reinterpret_cast<unsigned char *>(&m) + 33);
    junk.push_back(extra); // 33 bytes for length 0
    HelperMessage negative = makeMessage(1, "");
    negative.length = -5;
    negative.checksum = computeChecksum(&negative);
    junk.push_back(std::vector<unsigned char>(reinterpret_cast<unsigned char *>(&negative),
                                              reinterpret_cast<unsigned char *>(&negative) + 32));
    // Longer than a message: must not pass as a cut-off 1024-byte one.
    std::vector<unsigned char> oversized(1500, 0);
    HelperMessage full = makeMessage(1, std::string(992, 'a'));
    full.checksum = computeChecksum(&full);
    memcpy(oversized.data(), &full, sizeof(full));
    junk.push_back(oversized);

    for (const auto &j : junk) {
        ASSERT_EQ(static_cast<ssize_t>(j.size()), raw.sendTo(path, j.data(), j.size()));
        unsigned char reply[2048];
        EXPECT_EQ(-1, raw.receive(reply, sizeof(reply), 100)) << "answered a " << j.size() << "-byte datagram";
    }
    HelperMessage ok = makeMessage(4, "xyz");
    ASSERT_EQ(0, sendMsg(path.c_str(), &ok, 5));
    EXPECT_EQ(40, ok.status);
    EXPECT_EQ("zyx", std::string(reinterpret_cast<char *>(ok.payload), 3));
    server.stop();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Message type 1 with length 0 does not match header length 33"));
    EXPECT_NE(std::string::npos, err.find("Message type 1 with length -5 exceeds maximum message size"));
    EXPECT_NE(std::string::npos, err.find("Message type 1 with length 992 does not match header length 1500"));
}

TEST(HelperServer, DoesNotBlockOnAClientThatNeverReads)
{
    ScratchFolder dir;
    const std::string path = dir / "s";
    testing::internal::CaptureStderr();
    ServerThread server(path);
    RawSocket greedy;
    // Far more requests than a datagram receive queue holds; none is read.
    for (int i = 0; i < 200; ++i) {
        HelperMessage m = makeMessage(1, "q");
        m.checksum = computeChecksum(&m);
        ASSERT_EQ(33, greedy.sendTo(path, &m, 33));
    }
    HelperMessage ok = makeMessage(3, "a");
    EXPECT_EQ(0, sendMsg(path.c_str(), &ok, 5));
    EXPECT_EQ(30, ok.status);
    server.stop();
    testing::internal::GetCapturedStderr();
}

TEST(HelperServer, ReplacesAStaleSocketAndRefusesOtherFiles)
{
    ScratchFolder dir;
    const std::string stale = dir / "stale";
    { RawSocket left(stale); } // a socket file whose server is gone
    {
        ServerThread server(stale);
        HelperMessage m = makeMessage(1, "a");
        EXPECT_EQ(0, sendMsg(stale.c_str(), &m, 5));
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, server.stop());
        testing::internal::GetCapturedStdout();
    }
    const std::string regular = dir / "file";
    int fd = open(regular.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(4, write(fd, "keep", 4));
    close(fd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(EINVAL, runSocketServer(regular.c_str(), reversingHandler));
    EXPECT_EQ(regular + ": Invalid argument\n", testing::internal::GetCapturedStderr());
    struct stat st;
    ASSERT_EQ(0, stat(regular.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(4, st.st_size);
}

TEST(HelperServer, SocketFileIsClosedToOtherUsers)
{
    ScratchFolder dir;
    mode_t old = umask(0);
    ServerThread server(dir / "s");
    umask(old);
    struct stat st;
    ASSERT_EQ(0, stat((dir / "s").c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 07);
    EXPECT_EQ(0770u, st.st_mode & 0777);
    testing::internal::CaptureStdout();
    server.stop();
    testing::internal::GetCapturedStdout();
}

TEST(HelperServer, PathLengthLimit)
{
    ScratchFolder dir;
    std::string exact = dir.path() + "/";
    exact += std::string(108 - exact.size(), 'p');
    ASSERT_EQ(108u, exact.size());
    {
        ServerThread server(exact);
        HelperMessage m = makeMessage(1, "ok");
        EXPECT_EQ(0, sendMsg(exact.c_str(), &m, 5)) << "a 108-byte path fills sun_path exactly";
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, server.stop());
        testing::internal::GetCapturedStdout();
    }
    std::string tooLong = exact + "q";
    HelperMessage m = makeMessage(1, "ok");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ENAMETOOLONG, sendMsg(tooLong.c_str(), &m, 5));
    EXPECT_EQ(ENAMETOOLONG, sendShutdown(tooLong.c_str()));
    EXPECT_EQ(ENAMETOOLONG, runSocketServer(tooLong.c_str(), reversingHandler));
    testing::internal::GetCapturedStderr();
}

TEST(HelperClient, ReportsTransportFailures)
{
    ScratchFolder dir;
    HelperMessage m = makeMessage(1, "a");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ENOENT, sendMsg((dir / "none").c_str(), &m, 1));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("sendto: " + (dir / "none") + ": No such file or directory\n", err);

    { RawSocket gone(dir / "gone"); }
    testing::internal::CaptureStderr();
    EXPECT_EQ(ECONNREFUSED, sendShutdown((dir / "gone").c_str()));
    testing::internal::GetCapturedStderr();

    HelperMessage tooBig = makeMessage(1, "");
    tooBig.length = 993;
    RawSocket fake(dir / "s");
    testing::internal::CaptureStderr();
    EXPECT_EQ(EMSGSIZE, sendMsg((dir / "s").c_str(), &tooBig, 1));
    testing::internal::GetCapturedStderr();
}

TEST(HelperClient, SilentServerTimesOut)
{
    ScratchFolder dir;
    RawSocket silent(dir / "s");
    HelperMessage m = makeMessage(1, "a");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ETIMEDOUT, sendMsg((dir / "s").c_str(), &m, 1));
    EXPECT_EQ("waitForResponse: Connection timed out\n", testing::internal::GetCapturedStderr());
}

// Answers one request with the given transformation of the message.
void answerOnce(RawSocket &server, const std::function<void(HelperMessage &, size_t &)> &edit)
{
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    sockaddr_un from;
    socklen_t fromLen = sizeof(from);
    ssize_t n = server.receive(&m, sizeof(m), 2000, &from, &fromLen);
    ASSERT_GT(n, 0);
    size_t size = static_cast<size_t>(n);
    edit(m, size);
    ASSERT_EQ(static_cast<ssize_t>(size),
              sendto(server.fd, &m, size, 0, reinterpret_cast<sockaddr *>(&from), fromLen));
}

TEST(HelperClient, RefusesAnInvalidReply)
{
    struct Case {
        const char *name;
        std::function<void(HelperMessage &, size_t &)> edit;
    };
    const Case cases[] = {
        {"bad checksum", [](HelperMessage &m, size_t &) { m.checksum += 1; }},
        {"size differs from header", [](HelperMessage &, size_t &n) { n += 1; }},
        {"length out of range", [](HelperMessage &m, size_t &) { m.length = -1; }},
    };
    for (const Case &c : cases) {
        ScratchFolder dir;
        RawSocket fake(dir / "s");
        std::thread server([&] { answerOnce(fake, c.edit); });
        HelperMessage m = makeMessage(1, "abc");
        testing::internal::CaptureStderr();
        EXPECT_EQ(EINVAL, sendMsg((dir / "s").c_str(), &m, 2)) << c.name;
        testing::internal::GetCapturedStderr();
        server.join();
    }
}

// A second process, knowing the client's address, races a well-formed
// "success" reply ahead of the real server's answer.
TEST(HelperClient, AcceptsOnlyTheReplyOfItsServer)
{
    ScratchFolder dir;
    RawSocket fake(dir / "s");
    int report[2];
    ASSERT_EQ(0, pipe(report));
    std::thread server([&] {
        HelperMessage m;
        memset(&m, 0, sizeof(m));
        sockaddr_un client;
        socklen_t clientLen = sizeof(client);
        ssize_t n = fake.receive(&m, sizeof(m), 2000, &client, &clientLen);
        ASSERT_GT(n, 0);
        pid_t forger = fork();
        if (forger == 0) {
            int s = socket(AF_UNIX, SOCK_DGRAM, 0);
            HelperMessage forged;
            memset(&forged, 0, sizeof(forged));
            forged.type = m.type;
            forged.status = 0;
            forged.checksum = computeChecksum(&forged);
            int err = 0;
            for (int i = 0; i < 50; ++i)
                if (sendto(s, &forged, 32, 0, reinterpret_cast<sockaddr *>(&client), clientLen) < 0)
                    err = errno;
                else
                    err = -1; // delivered
            ssize_t w = write(report[1], &err, sizeof(err));
            _exit(w == sizeof(err) ? 0 : 1);
        }
        int err = 0;
        ASSERT_EQ(static_cast<ssize_t>(sizeof(err)), read(report[0], &err, sizeof(err)));
        EXPECT_EQ(EPERM, err) << "the kernel delivered a datagram from a stranger";
        waitpid(forger, nullptr, 0);
        m.status = 2; // the real answer: password does not match
        m.checksum = computeChecksum(&m);
        sendto(fake.fd, &m, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&client), clientLen);
    });
    HelperMessage m = makeMessage(1, "alice\0guess");
    m.length = 12;
    EXPECT_EQ(0, sendMsg((dir / "s").c_str(), &m, 5));
    EXPECT_EQ(2, m.status);
    server.join();
    close(report[0]);
    close(report[1]);
}

TEST(HelperPrivilege, BecomeRootWorksOnlyWithRootsRights)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to compare the privileged and unprivileged cases";
    pid_t child = fork();
    if (child == 0)
        _exit(becomeRoot() == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));

    int err[2];
    ASSERT_EQ(0, pipe(err));
    child = fork();
    if (child == 0) {
        dup2(err[1], 2);
        if (setresuid(65534, 65534, 65534) != 0)
            _exit(100);
        _exit(becomeRoot());
    }
    close(err[1]);
    char text[256] = {};
    ssize_t n = read(err[0], text, sizeof(text) - 1);
    close(err[0]);
    waitpid(child, &status, 0);
    EXPECT_EQ(EPERM, WEXITSTATUS(status));
    EXPECT_EQ("setuid: Operation not permitted\n", std::string(text, n > 0 ? static_cast<size_t>(n) : 0));
}

} // namespace
