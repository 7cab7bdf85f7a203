// The session dispatcher end to end: a real socket, real threads, and a
// scripted mechanism in place of the security package.
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "dispatcher.h"
#include "failure.h"
#include "list.h"
#include "reqmsg.h"

using namespace authrelay;

namespace {

// A latch that tests open once.
class Gate {
public:
    void Open()
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return open_; });
    }
    bool IsOpen()
    {
        std::lock_guard<std::mutex> lock(m_);
        return open_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What the scripted mechanism does with a token:
//   "step"      continues, answering "challenge"
//   "done"      completes, answering "final", as user@scripted.example
//   "refuse"    refuses the leg
//   "noname"    completes without a principal; "nopackage" without a package
//   "block"     signals blockEntered, waits for blockRelease, then continues
//   "throw"     fails unexpectedly
struct Script {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    Gate blockEntered, blockRelease;
    std::atomic<bool> blockFinished{false};
};
Script *script = nullptr;

class ScriptedContext final : public SecContext {
public:
    ScriptedContext() { ++script->created; }
    ~ScriptedContext() override { ++script->destroyed; }
    bool Accept(const Blob &input, Blob &output) override
    {
        std::string token(reinterpret_cast<const char *>(input.Data()), input.Size());
        if (token == "refuse")
            return false;
        if (token == "throw")
            ThrowFailure(MakeFailure(0x80004005u));
        if (token == "block") {
            script->blockEntered.Open();
            script->blockRelease.Wait();
            script->blockFinished = true;
            token = "step";
        }
        established_ = token != "step";
        name_ = token != "noname";
        package_ = token != "nopackage";
        const char *answer = established_ ? "final" : "challenge";
        output.Set(static_cast<uint32_t>(strlen(answer)), answer);
        return true;
    }
    bool Initiate(const Blob &, Blob &, const String &) override { return false; }
    bool GetClientName(String &principal) override
    {
        if (name_)
            principal.Set(u"user@scripted.example");
        return name_;
    }
    bool GetPackageName(String &package) override
    {
        if (package_)
            package.Set(u"Scripted");
        return package_;
    }
    bool IsEstablished() override { return established_; }

private:
    bool established_ = false, name_ = true, package_ = true;
};

SecContext *CreateScripted(const String &) { return new ScriptedContext; }

// A connection's end as the server sees it.
struct Ends {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    bool blockFinishedFirst = false;
    static void OnEnd(Socket, void *server)
    {
        auto *ends = static_cast<Ends *>(server);
        {
            std::lock_guard<std::mutex> lock(ends->m);
            ++ends->count;
            ends->blockFinishedFirst = script->blockFinished.load();
        }
        ends->cv.notify_all();
    }
    void WaitFor(int n)
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return count >= n; });
    }
};

// One client connection served by a dispatcher.
class Connection {
public:
    Connection(List &contexts, Ends &ends, uint32_t workers = 3)
        : dispatcher_(&contexts, workers, nullptr, Ends::OnEnd, &ends, CreateScripted)
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_ = fds[1];
        dispatcher_.Start(fds[0]);
    }
    ~Connection()
    {
        CloseClient();
        dispatcher_.Shutdown();
    }
    void CloseClient()
    {
        if (client_ >= 0)
            close(client_);
        client_ = -1;
    }
    void Send(uint32_t type, const std::function<void(ReqMsg &)> &fill = {})
    {
        auto m = CreateMessage(type);
        if (fill)
            fill(*m);
        ASSERT_TRUE(m->Send(client_));
    }
    std::unique_ptr<ReqMsg> Answer() { return ReqMsg::Receive(client_); }
    // The answer's type, or 100 + the error code of an Error answer.
    uint32_t Outcome()
    {
        auto a = Answer();
        if (!a)
            return 999;
        return a->GetType() == kMsgError ? 100 + a->GetError() : a->GetType();
    }
    void Begin()
    {
        Send(kMsgBeginSession, [](ReqMsg &m) { m.AddVersion(1, 1); });
        ASSERT_EQ(Outcome(), kMsgBeginSession);
    }
    void Establish(const std::string &id, const std::string &token)
    {
        Send(kMsgEstablishContext, [&](ReqMsg &m) {
            if (!id.empty())
                m.AddIdentifier(BlobOf(id));
            if (!token.empty())
                m.AddToken(BlobOf(token));
        });
    }
    void Release(const std::string &id)
    {
        Send(kMsgReleaseContext, [&](ReqMsg &m) { m.AddIdentifier(BlobOf(id)); });
    }
    static Blob BlobOf(const std::string &s)
    {
        Blob b;
        b.Set(static_cast<uint32_t>(s.size()), s.data());
        return b;
    }
    static std::string TextOf(const Blob &b) { return std::string(reinterpret_cast<const char *>(b.Data()), b.Size()); }

private:
    DispatcherImpl dispatcher_;
    int client_ = -1;
};

class AuthrelayDispatcher : public ::testing::Test {
protected:
    void SetUp() override { script = &script_; }
    void TearDown() override { script = nullptr; }
    Script script_;
    ListImpl contexts_;
    Ends ends_;
};

constexpr uint32_t E(uint32_t code) { return 100 + code; }

TEST_F(AuthrelayDispatcher, SessionRequestsAreAnsweredAccordingToTheSessionState)
{
    using Step = std::function<void(Connection &)>;
    auto begin = [](int high, int low) {
        return Step([=](Connection &c) {
            c.Send(kMsgBeginSession, [&](ReqMsg &m) {
                if (high >= 0)
                    m.AddVersion(static_cast<uint8_t>(high), static_cast<uint8_t>(low));
            });
        });
    };
    Step end = [](Connection &c) { c.Send(kMsgEndSession); };
    Step establish = [](Connection &c) { c.Establish("id", "step"); };
    Step release = [](Connection &c) { c.Release("id"); };
    auto type = [](uint32_t t) { return Step([=](Connection &c) { c.Send(t); }); };
    const struct {
        const char *what;
        std::vector<std::pair<Step, uint32_t>> steps;
    } cases[] = {
        {"establish before begin", {{establish, E(8)}}},
        {"release before begin", {{release, E(8)}}},
        {"end before begin", {{end, E(8)}}},
        {"range 1..2", {{begin(2, 1), kMsgBeginSession}}},
        {"one-byte version 1", {{begin(1, 0), kMsgBeginSession}}},
        {"no version", {{begin(-1, 0), E(6)}}},
        {"high 0", {{begin(0, 0), E(6)}}},
        {"low 2", {{begin(3, 2), E(6)}}},
        {"second begin", {{begin(1, 1), kMsgBeginSession}, {begin(1, 1), E(7)}}},
        {"end then begin",
         {{begin(1, 1), kMsgBeginSession}, {end, kMsgEndSession}, {end, E(8)}, {begin(1, 1), kMsgBeginSession}}},
        {"reserved types", {{type(5), E(2)}, {type(6), E(2)}}},
        {"unknown types", {{type(0), E(3)}, {type(9), E(3)}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Connection conn(contexts_, ends_);
        for (const auto &[step, expected] : c.steps) {
            step(conn);
            EXPECT_EQ(conn.Outcome(), expected);
        }
    }
}

TEST_F(AuthrelayDispatcher, BeginAnswersVersionOneAndServerInfoOne)
{
    Connection conn(contexts_, ends_);
    conn.Send(kMsgBeginSession, [](ReqMsg &m) { m.AddVersion(2, 1); });
    auto a = conn.Answer();
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetType(), kMsgBeginSession);
    uint8_t low = 0;
    EXPECT_EQ(a->GetVersion(&low), 1);
    uint16_t info = 0;
    EXPECT_TRUE(a->GetServerInfo(info));
    EXPECT_EQ(info, 1);
}

TEST_F(AuthrelayDispatcher, HandshakeLegsRelayTokensAndTheLastNamesTheClient)
{
    Connection conn(contexts_, ends_);
    conn.Begin();
    conn.Establish("ctx-1", "step");
    auto a = conn.Answer();
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetType(), kMsgEstablishContext);
    Blob token, id;
    String principal;
    ASSERT_TRUE(a->GetToken(token));
    EXPECT_EQ(Connection::TextOf(token), "challenge");
    ASSERT_TRUE(a->GetIdentifier(id));
    EXPECT_EQ(Connection::TextOf(id), "ctx-1");
    EXPECT_FALSE(a->GetPrincipal(principal) && !principal.IsEmpty());

    conn.Establish("ctx-1", "done");
    a = conn.Answer();
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetType(), kMsgEstablishContext);
    String package;
    ASSERT_TRUE(a->GetPrincipal(principal));
    ASSERT_TRUE(a->GetPackage(package));
    EXPECT_STREQ(principal.GetUtf8(), "user@scripted.example");
    EXPECT_STREQ(package.GetUtf8(), "Scripted");
    EXPECT_EQ(script_.created, 1); // both legs ran on one context

    conn.Release("ctx-1");
    EXPECT_EQ(conn.Outcome(), kMsgReleaseContext);
    EXPECT_EQ(script_.destroyed, 1);
    conn.Release("ctx-1");
    EXPECT_EQ(conn.Outcome(), E(5));
}

TEST_F(AuthrelayDispatcher, EstablishRefusalsDiscardTheContext)
{
    const struct {
        const char *id, *token;
        uint32_t expected;
    } cases[] = {
        {"", "step", E(9)},     {"a", "", E(9)},          {"b", "refuse", E(4)},
        {"c", "noname", E(10)}, {"d", "nopackage", E(10)}, {"e", "throw", E(10)},
    };
    Connection conn(contexts_, ends_, static_cast<uint32_t>(std::size(cases)) + 1);
    conn.Begin();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.token);
        conn.Establish(c.id, c.token);
        EXPECT_EQ(conn.Outcome(), c.expected);
    }
    // Every context made was discarded; nothing is left in the list.
    EXPECT_EQ(script_.created, script_.destroyed);
    EXPECT_EQ(contexts_.First(), nullptr);

    // A refused identifier starts afresh.
    conn.Establish("b", "step");
    EXPECT_EQ(conn.Outcome(), kMsgEstablishContext);
    EXPECT_EQ(script_.created, 5);
}

TEST_F(AuthrelayDispatcher, AContextEstablishedOnOneConnectionIsReleasedFromAnother)
{
    Connection first(contexts_, ends_), second(contexts_, ends_);
    first.Begin();
    second.Begin();
    first.Establish("shared", "step");
    EXPECT_EQ(first.Outcome(), kMsgEstablishContext);
    second.Establish("shared", "done");
    EXPECT_EQ(second.Outcome(), kMsgEstablishContext);
    EXPECT_EQ(script_.created, 1);
    second.Release("shared");
    EXPECT_EQ(second.Outcome(), kMsgReleaseContext);
    first.Release("shared");
    EXPECT_EQ(first.Outcome(), E(5));
}

TEST_F(AuthrelayDispatcher, ClientClosingDuringALegEndsTheConnectionOnlyAfterTheLeg)
{
    {
        Connection conn(contexts_, ends_);
        conn.Begin();
        conn.Establish("slow", "block");
        script_.blockEntered.Wait();
        conn.CloseClient();
        script_.blockRelease.Open();
        ends_.WaitFor(1);
    }
    EXPECT_TRUE(ends_.blockFinishedFirst);
    EXPECT_EQ(ends_.count, 1);
}

TEST_F(AuthrelayDispatcher, AConnectionWhoseLastWorkerFailedIsClosed)
{
    Connection conn(contexts_, ends_, 1);
    conn.Begin();
    conn.Establish("x", "throw");
    EXPECT_EQ(conn.Outcome(), E(10));
    // No worker is left to answer: the server ends the connection rather
    // than leave the request unanswered.
    conn.Establish("y", "step");
    EXPECT_EQ(conn.Outcome(), 999u);
    ends_.WaitFor(1);
}

TEST_F(AuthrelayDispatcher, ManyConnectionsWithPipelinedRequestsAreAllAnswered)
{
    constexpr int kConnections = 8, kRequests = 60;
    std::vector<std::unique_ptr<Connection>> conns;
    for (int i = 0; i < kConnections; ++i)
        conns.push_back(std::make_unique<Connection>(contexts_, ends_));
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < kConnections; ++i) {
        clients.emplace_back([&, i] {
            Connection &c = *conns[static_cast<size_t>(i)];
            c.Begin();
            std::set<std::string> expected;
            for (int r = 0; r < kRequests; ++r) {
                std::string id = std::to_string(i) + "/" + std::to_string(r);
                c.Establish(id, "done");
                expected.insert(id);
            }
            for (int r = 0; r < kRequests; ++r) {
                auto a = c.Answer();
                Blob id;
                if (a && a->GetType() == kMsgEstablishContext && a->GetIdentifier(id) &&
                    expected.erase(Connection::TextOf(id)) == 1)
                    ++answered;
            }
        });
    }
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(answered, kConnections * kRequests);
    EXPECT_EQ(script_.created, kConnections * kRequests);
    conns.clear();
    ends_.WaitFor(kConnections);
}

} // namespace
