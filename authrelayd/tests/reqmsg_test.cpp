// The wire protocol over real sockets: reading, building and sending messages.
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "failure.h"
#include "logcapture.h"
#include "reqmsg.h"
#include "reqmsgutil.h"
#include "socketpair.h"

using namespace authrelay;
using authrelay_test::LogCapture;
using authrelay_test::SocketPair;
using Bytes = std::vector<uint8_t>;

namespace {

// A frame of type whose length field is computed from body unless given.
Bytes Frame(uint16_t type, const Bytes &body, int lengthField = -1)
{
    uint32_t length = lengthField >= 0 ? static_cast<uint32_t>(lengthField) : body.size() + 4;
    Bytes out = {uint8_t(type >> 8), uint8_t(type), uint8_t(length >> 8), uint8_t(length)};
    for (uint8_t b : body)
        out.push_back(b);
    return out;
}

Bytes Tlv(uint16_t tag, const std::string &value)
{
    Bytes out = {uint8_t(tag >> 8), uint8_t(tag), uint8_t(value.size() >> 8), uint8_t(value.size())};
    for (char c : value)
        out.push_back(static_cast<uint8_t>(c));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts)
        for (uint8_t b : p)
            out.push_back(b);
    return out;
}

std::string AsString(const Blob &b) { return std::string(reinterpret_cast<const char *>(b.Data()), b.Size()); }

// Reads one message; code receives the failure code when Receive throws.
std::unique_ptr<ReqMsg> ReceiveOrCode(int socket, FailureCode *code)
{
    *code = 0;
    try {
        return ReqMsg::Receive(socket);
    } catch (long e) {
        *code = FailureFromLong(e);
        return nullptr;
    }
}

struct Refused {
    const char *name;
    Bytes frame;
    FailureCode code;
    const char *warning;
};

TEST(AuthrelayReceive, MalformedFramesAreRefusedWithTheirFailureCode)
{
    const Refused cases[] = {
        {"length below 4", Frame(1, {}, 3), kFailMalformed, "WARN|Invalid message length: type = 1, length = 3"},
        {"length 0", Frame(2, {}, 0), kFailMalformed, "WARN|Invalid message length: type = 2, length = 0"},
        {"type 7", Frame(7, {}), kFailMessageType, "WARN|Invalid message type: 7"},
        {"type 65535", Frame(0xFFFF, {}), kFailMessageType, "WARN|Invalid message type: 65535"},
        {"empty VERSION", Frame(1, Tlv(1, "")), kFailMalformed, "WARN|Invalid length in VERSION TLV: length = 0"},
        {"VERSION of 3 bytes", Frame(1, Tlv(1, std::string("\x02\x01\x00", 3))), kFailMalformed,
         "WARN|Invalid length in VERSION TLV: length = 3"},
        {"SERVER INFO of 1 byte", Frame(1, Tlv(2, "\x01")), kFailMalformed,
         "WARN|Invalid length in SERVER INFO TLV: length = 1"},
        {"SERVER INFO of 3 bytes", Frame(1, Tlv(2, "abc")), kFailMalformed,
         "WARN|Invalid length in SERVER INFO TLV: length = 3"},
        {"CLIENT INFO of 0 bytes", Frame(1, Tlv(3, "")), kFailMalformed,
         "WARN|Invalid length in CLIENT INFO TLV: length = 0"},
        {"CLIENT INFO of 4 bytes", Frame(1, Tlv(3, "abcd")), kFailMalformed,
         "WARN|Invalid length in CLIENT INFO TLV: length = 4"},
        {"unknown tag", Frame(2, Tlv(8, "xy")), kFailMalformed,
         "WARN|Invalid tag value in messsage: tag = 8, length = 2"},
        {"TLV past the end", Frame(2, Cat({Tlv(4, "id"), Bytes{0, 5, 0, 9, 'a', 'b'}})), kFailMalformed,
         "WARN|TLV exceeds message length: tag = 5, length = 9"},
        {"TLV header past the end", Frame(2, Cat({Tlv(4, "id"), Bytes{0, 5}})), kFailMalformed,
         "WARN|Truncated TLV header in messsage: offset = 10, length = 12"},
        {"short ERROR", Frame(0, Tlv(0, std::string("\x00\x09", 2))), kFailMalformed,
         "WARN|Invalid length in ERROR TLV: length = 2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        SocketPair pair;
        // Valid bytes after the frame: the reader must not run on into them.
        ASSERT_TRUE(pair.PeerWrite(Cat({c.frame, Frame(4, {}), Frame(4, {})})));
        FailureCode code;
        EXPECT_EQ(ReceiveOrCode(pair.server(), &code), nullptr);
        EXPECT_EQ(static_cast<uint32_t>(code), static_cast<uint32_t>(c.code));
        EXPECT_TRUE(log.Contains(c.warning)) << log.Text();
    }
}

TEST(AuthrelayReceive, WellFormedBodiesAreDecoded)
{
    SocketPair pair;
    ASSERT_TRUE(pair.PeerWrite(Cat({
        Frame(5, {}),
        Frame(6, Tlv(4, "x")),
        Frame(1, Cat({Tlv(1, "\x02"), Tlv(3, std::string("\x01\x02", 2))})),
        Frame(1, Tlv(1, "\x02\x01")),
        Frame(2, Cat({Tlv(4, "first"), Tlv(5, "tok"), Tlv(4, "second"), Tlv(6, "user@EXAMPLE.ORG"),
                      Tlv(7, "Kerberos")})),
        Frame(0, Tlv(0, std::string("\x00\x00\x00\x09\xff", 5))),
        Frame(4, {}),
    })));
    auto reserved5 = ReqMsg::Receive(pair.server());
    ASSERT_NE(reserved5, nullptr);
    EXPECT_EQ(reserved5->GetType(), 5u);
    auto reserved6 = ReqMsg::Receive(pair.server());
    ASSERT_NE(reserved6, nullptr);
    EXPECT_EQ(reserved6->GetType(), 6u);

    auto highOnly = ReqMsg::Receive(pair.server());
    ASSERT_NE(highOnly, nullptr);
    uint8_t low = 99;
    EXPECT_EQ(highOnly->GetVersion(&low), 2);
    EXPECT_EQ(low, 0);
    uint16_t info = 0;
    EXPECT_TRUE(highOnly->GetClientInfo(info));
    EXPECT_EQ(info, 0x0102);
    EXPECT_EQ(highOnly->GetVersion(nullptr), 2);

    auto range = ReqMsg::Receive(pair.server());
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->GetVersion(&low), 2);
    EXPECT_EQ(low, 1);

    auto establish = ReqMsg::Receive(pair.server());
    ASSERT_NE(establish, nullptr);
    Blob id, token;
    EXPECT_TRUE(establish->GetIdentifier(id));
    EXPECT_EQ(AsString(id), "second"); // the later of two wins
    EXPECT_TRUE(establish->GetToken(token));
    EXPECT_EQ(AsString(token), "tok");
    String principal, package;
    EXPECT_TRUE(establish->GetPrincipal(principal));
    EXPECT_STREQ(principal.GetUtf8(), "user@EXAMPLE.ORG");
    EXPECT_TRUE(establish->GetPackage(package));
    EXPECT_EQ(std::u16string(package.GetWide()), u"Kerberos");

    auto error = ReqMsg::Receive(pair.server());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->GetError(), 9u);

    auto empty = ReqMsg::Receive(pair.server());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetType(), 4u);
    EXPECT_FALSE(empty->GetIdentifier(id));
    EXPECT_EQ(id.Size(), 0u);
    EXPECT_FALSE(empty->GetToken(token));
    EXPECT_FALSE(empty->GetPrincipal(principal));
    EXPECT_TRUE(principal.IsEmpty());
    EXPECT_FALSE(empty->GetPackage(package));
    EXPECT_EQ(empty->GetError(), 0u);
    EXPECT_EQ(empty->GetVersion(&low), 0);
    EXPECT_EQ(low, 0);
    EXPECT_TRUE(empty->GetServerInfo(info));
    EXPECT_EQ(info, 0);
}

TEST(AuthrelayReceive, PeerClosingBetweenMessagesEndsTheConnectionQuietly)
{
    LogCapture log;
    SocketPair pair;
    ASSERT_TRUE(pair.PeerWrite(Frame(4, {})));
    pair.ClosePeer();
    EXPECT_NE(ReqMsg::Receive(pair.server()), nullptr);
    FailureCode code;
    EXPECT_EQ(ReceiveOrCode(pair.server(), &code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(log.Contains("DEBUG|Client socket closed")) << log.Text();
    EXPECT_TRUE(log.Contains("TRACE|Connection closed:")) << log.Text();
}

TEST(AuthrelayReceive, PeerClosingInsideAMessageFails)
{
    LogCapture log;
    SocketPair pair;
    Bytes frame = Frame(2, Tlv(4, "identifier"));
    frame.resize(frame.size() - 3);
    ASSERT_TRUE(pair.PeerWrite(frame));
    pair.ClosePeer();
    FailureCode code;
    EXPECT_EQ(ReceiveOrCode(pair.server(), &code), nullptr);
    EXPECT_EQ(static_cast<uint32_t>(code), 0x80040503u);
    EXPECT_TRUE(log.Contains("WARN|Client socket closed")) << log.Text();
}

TEST(AuthrelayReceive, ReadErrorFails)
{
    LogCapture log;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    FailureCode code;
    EXPECT_EQ(ReceiveOrCode(pipeFds[0], &code), nullptr); // not a socket
    EXPECT_EQ(static_cast<uint32_t>(code), 0x80040504u);
    EXPECT_TRUE(log.Contains("WARN|recv failed:")) << log.Text();
    EXPECT_TRUE(log.Contains("WARN|Failed to read message header")) << log.Text();
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(AuthrelaySenders, BeginSessionAndErrorAnswersAreByteExact)
{
    SocketPair pair;
    ASSERT_TRUE(SendBeginSessionMessage(pair.server(), 1, 1));
    EXPECT_EQ(pair.PeerRead(15), (Bytes{0x00, 0x01, 0x00, 0x0F, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x02,
                                        0x00, 0x02, 0x00, 0x01}));
    ASSERT_TRUE(SendErrorMessage(pair.server(), 9));
    EXPECT_EQ(pair.PeerRead(12), (Bytes{0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x09}));
    ASSERT_TRUE(SendEndSessionMessage(pair.server()));
    EXPECT_EQ(pair.PeerRead(4), (Bytes{0x00, 0x04, 0x00, 0x04}));
    Blob id;
    id.Set(2, "id");
    ASSERT_TRUE(SendReleaseContextMessage(pair.server(), id));
    EXPECT_EQ(pair.PeerRead(10), Frame(3, Tlv(4, "id")));
    EXPECT_TRUE(pair.PeerHasNothingPending());
}

TEST(AuthrelaySenders, EstablishContextAnswerOmitsEmptyValues)
{
    SocketPair pair;
    Blob token, id;
    token.Set(3, "out");
    id.Set(2, "id");
    String principal(u"user@EXAMPLE.ORG"), package(u"Negotiate"), none;
    ASSERT_TRUE(SendEstablishContextMessage(pair.server(), token, id, principal, package));
    Bytes full = Frame(2, Cat({Tlv(5, "out"), Tlv(4, "id"), Tlv(6, "user@EXAMPLE.ORG"), Tlv(7, "Negotiate")}));
    EXPECT_EQ(pair.PeerRead(full.size()), full);
    ASSERT_TRUE(SendEstablishContextMessage(pair.server(), Blob(), id, none, none));
    Bytes partial = Frame(2, Tlv(4, "id"));
    EXPECT_EQ(pair.PeerRead(partial.size()), partial);
    EXPECT_TRUE(pair.PeerHasNothingPending());
}

TEST(AuthrelaySenders, SendFailureIsReportedNotThrown)
{
    LogCapture log;
    SocketPair pair;
    pair.ClosePeer();
    EXPECT_FALSE(SendErrorMessage(pair.server(), 3));
    EXPECT_TRUE(log.Contains("WARN|send failed:")) << log.Text();
    EXPECT_TRUE(log.Contains("WARN|Failed to send message\n")) << log.Text();
    EXPECT_TRUE(log.Contains("WARN|Failed to send error message")) << log.Text();
}

TEST(AuthrelayAdders, EmptyValuesAddNothing)
{
    SocketPair pair;
    auto m = CreateMessage(2);
    EXPECT_TRUE(m->AddToken(Blob()));
    EXPECT_TRUE(m->AddIdentifier(Blob()));
    EXPECT_TRUE(m->AddPrincipal(String()));
    EXPECT_TRUE(m->AddPackage(String(u"")));
    ASSERT_TRUE(m->Send(pair.server()));
    EXPECT_EQ(pair.PeerRead(4), Frame(2, {}));
    EXPECT_TRUE(pair.PeerHasNothingPending());
}

TEST(AuthrelayAdders, SecondValueOfASingleTagIsRefused)
{
    const struct {
        const char *warning;
        uint16_t tag;
        std::function<bool(ReqMsg &, const std::string &)> add;
    } cases[] = {
        {"WARN|IDENTIFIER TLV alread set in message", 4,
         [](ReqMsg &m, const std::string &v) { Blob b; b.Set(uint32_t(v.size()), v.data()); return m.AddIdentifier(b); }},
        {"WARN|TOKEN TLV already set in message", 5,
         [](ReqMsg &m, const std::string &v) { Blob b; b.Set(uint32_t(v.size()), v.data()); return m.AddToken(b); }},
        {"WARN|PRINCIPAL TLV alread set in message", 6,
         [](ReqMsg &m, const std::string &v) { String s; s.SetUtf8(v.data(), v.size()); return m.AddPrincipal(s); }},
        {"WARN|PACKAGE TLV alread set in message", 7,
         [](ReqMsg &m, const std::string &v) { String s; s.SetUtf8(v.data(), v.size()); return m.AddPackage(s); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.warning);
        LogCapture log;
        SocketPair pair;
        auto m = CreateMessage(2);
        EXPECT_TRUE(c.add(*m, "first"));
        EXPECT_FALSE(c.add(*m, "second"));
        EXPECT_TRUE(log.Contains(c.warning)) << log.Text();
        ASSERT_TRUE(m->Send(pair.server()));
        Bytes expected = Frame(2, Tlv(c.tag, "first"));
        EXPECT_EQ(pair.PeerRead(expected.size()), expected);
        EXPECT_TRUE(pair.PeerHasNothingPending());
    }
}

TEST(AuthrelayAdders, RepeatableTagsAreAppendedEachTime)
{
    SocketPair pair;
    auto m = CreateMessage(1);
    EXPECT_TRUE(m->AddError(1));
    EXPECT_TRUE(m->AddError(2));
    EXPECT_TRUE(m->AddVersion(2, 1));
    EXPECT_TRUE(m->AddVersion(3, 0));
    EXPECT_TRUE(m->AddClientInfo(7));
    EXPECT_EQ(m->GetError(), 2u);
    uint8_t low = 9;
    EXPECT_EQ(m->GetVersion(&low), 3);
    EXPECT_EQ(low, 0);
    ASSERT_TRUE(m->Send(pair.server()));
    Bytes expected = Frame(1, Cat({Tlv(0, std::string("\0\0\0\1", 4)), Tlv(0, std::string("\0\0\0\2", 4)),
                                   Tlv(1, "\x02\x01"), Tlv(1, "\x03"), Tlv(3, std::string("\0\7", 2))}));
    EXPECT_EQ(pair.PeerRead(expected.size()), expected);
}

TEST(AuthrelayAdders, MessageTooLargeForTheFrameIsNotSent)
{
    LogCapture log;
    SocketPair pair;
    std::string big(65535 - 8, 'a'); // header + TLV header + value = 65535
    Blob token;
    token.Set(uint32_t(big.size()), big.data());
    auto fits = CreateMessage(2);
    ASSERT_TRUE(fits->AddToken(token));
    std::thread reader([&] {
        auto m = ReqMsg::Receive(pair.server());
        ASSERT_NE(m, nullptr);
        Blob got;
        EXPECT_TRUE(m->GetToken(got));
        EXPECT_EQ(got.Size(), big.size());
    });
    // The largest frame goes through whole (written from the peer's side here).
    int peer = pair.peer();
    EXPECT_TRUE(fits->Send(peer));
    reader.join();

    big += 'b';
    token.Set(uint32_t(big.size()), big.data());
    auto tooLarge = CreateMessage(2);
    ASSERT_TRUE(tooLarge->AddToken(token));
    EXPECT_FALSE(tooLarge->Send(pair.server()));
    EXPECT_TRUE(log.Contains("WARN|Message length too large to send: length = 65536")) << log.Text();
    EXPECT_TRUE(pair.PeerHasNothingPending());
}

TEST(AuthrelaySend, ConcurrentSendersNeverInterleaveOnOneSocket)
{
    SocketPair pair;
    constexpr int kSenders = 4;
    constexpr int kEach = 20;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            // Larger than the socket buffer, so each send goes out in pieces.
            std::string fill(60000, static_cast<char>('A' + s));
            Blob token;
            token.Set(uint32_t(fill.size()), fill.data());
            for (int i = 0; i < kEach; ++i) {
                auto m = CreateMessage(2);
                m->AddToken(token);
                if (!m->Send(pair.server()))
                    ++failures;
            }
        });
    }
    int received = 0;
    int peer = pair.peer();
    for (; received < kSenders * kEach; ++received) {
        auto m = ReqMsg::Receive(peer);
        ASSERT_NE(m, nullptr);
        Blob token;
        ASSERT_TRUE(m->GetToken(token));
        ASSERT_EQ(token.Size(), 60000u);
        const uint8_t first = token.Data()[0];
        for (uint32_t i = 0; i < token.Size(); ++i)
            ASSERT_EQ(token.Data()[i], first) << "message " << received << " mixed at " << i;
    }
    for (auto &t : senders)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(received, kSenders * kEach);
}

TEST(AuthrelayMessages, BuiltMessageRoundTripsThroughTheReader)
{
    SocketPair pair;
    auto m = CreateMessage(2);
    Blob id, token;
    id.Set(4, "\x00\x01\x02\x03");
    token.Set(5, "token");
    String principal(u"j\u00fcrgen@EXAMPLE.ORG");
    ASSERT_TRUE(m->AddIdentifier(id));
    ASSERT_TRUE(m->AddToken(token));
    ASSERT_TRUE(m->AddPrincipal(principal));
    ASSERT_TRUE(m->AddPackage(String(u"NTLM")));
    ASSERT_TRUE(m->AddServerInfo(1));
    ASSERT_TRUE(m->Send(pair.server()));
    auto back = ReqMsg::Receive(pair.peer());
    ASSERT_NE(back, nullptr);
    Blob gotId, gotToken;
    String gotPrincipal, gotPackage;
    ASSERT_TRUE(back->GetIdentifier(gotId));
    EXPECT_EQ(AsString(gotId), std::string("\x00\x01\x02\x03", 4));
    ASSERT_TRUE(back->GetToken(gotToken));
    EXPECT_EQ(AsString(gotToken), "token");
    ASSERT_TRUE(back->GetPrincipal(gotPrincipal));
    EXPECT_EQ(std::u16string(gotPrincipal.GetWide()), std::u16string(principal.GetWide()));
    ASSERT_TRUE(back->GetPackage(gotPackage));
    EXPECT_STREQ(gotPackage.GetUtf8(), "NTLM");
    uint16_t info = 0;
    back->GetServerInfo(info);
    EXPECT_EQ(info, 1);
}

} // namespace
