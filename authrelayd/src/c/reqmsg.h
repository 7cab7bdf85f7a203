// One protocol message: a length-framed run of tag-length-value items.
//
// Frame: type (2 bytes), length of the whole frame (2 bytes), then TLVs of
// tag (2), value length L (2) and L value bytes; all integers big-endian.
#pragma once

#include <cstdint>
#include <memory>

#include "io.h"
#include "text.h"

namespace authrelay {

enum MessageType : uint32_t {
    kMsgError = 0,
    kMsgBeginSession = 1,
    kMsgEstablishContext = 2,
    kMsgReleaseContext = 3,
    kMsgEndSession = 4,
};

enum TlvTag : uint16_t {
    kTagError = 0,
    kTagVersion = 1,
    kTagServerInfo = 2,
    kTagClientInfo = 3,
    kTagIdentifier = 4,
    kTagToken = 5,
    kTagPrincipal = 6,
    kTagPackage = 7,
};

constexpr uint32_t kMaxMessageLength = 65535;

class ReqMsg {
public:
    virtual ~ReqMsg() = default;
    // Getters report absence with false (or 0) and clear out.
    virtual bool GetPrincipal(String &out) = 0;
    // Adders refuse a second PRINCIPAL, PACKAGE, TOKEN or IDENTIFIER (false),
    // add nothing for an empty value (true), and leave the message as it was
    // when the buffer cannot grow.
    virtual bool AddPrincipal(const String &in) = 0;
    virtual bool GetPackage(String &out) = 0;
    virtual bool AddPackage(const String &in) = 0;
    virtual bool GetToken(Blob &out) = 0;
    virtual bool AddToken(const Blob &in) = 0;
    virtual bool GetIdentifier(Blob &out) = 0;
    virtual bool AddIdentifier(const Blob &in) = 0;
    virtual uint32_t GetError() = 0;
    virtual bool AddError(uint32_t code) = 0;
    virtual uint8_t GetVersion(uint8_t *low) = 0;
    virtual bool AddVersion(uint8_t high, uint8_t low) = 0;
    virtual bool GetServerInfo(uint16_t &out) = 0;
    virtual bool AddServerInfo(const uint16_t &version) = 0;
    virtual bool GetClientInfo(uint16_t &out) = 0;
    virtual bool AddClientInfo(const uint16_t &version) = 0;
    virtual uint32_t GetType() = 0;
    // Writes the whole message; false (after a warning) when it is too long
    // for the frame's length field or the write failed.
    virtual bool Send(Socket socket) = 0;

    // Reads one message. Returns null when the peer closed the connection
    // before a new message began; throws a failure code (long) on a read
    // error, a connection closed inside a message, or a malformed message.
    static std::unique_ptr<ReqMsg> Receive(Socket socket);
};

// A new message of type with no TLVs. Throws kFailOutOfMemory.
std::unique_ptr<ReqMsg> CreateMessage(uint32_t type);

} // namespace authrelay
