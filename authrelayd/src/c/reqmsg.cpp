#include "reqmsg.h"

#include <cstring>
#include <new>

#include "failure.h"
#include "log.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/reqmsg";
constexpr uint32_t kHeaderLength = 4;
constexpr uint32_t kTlvHeaderLength = 4;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void Put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t *p, uint32_t v)
{
    Put16(p, v >> 16);
    Put16(p + 2, v);
}

// A value held inside the message buffer.
struct Value {
    uint32_t length = 0;
    uint32_t offset = 0;
};

class ReqMsgImpl final : public ReqMsg {
public:
    explicit ReqMsgImpl(uint32_t type) : type_(type) {}
    ~ReqMsgImpl() override { ReleaseBuffer(); }

    bool GetPrincipal(String &out) override { return GetText(principal_, out); }
    bool AddPrincipal(const String &in) override
    {
        return AddText(kTagPrincipal, principal_, in, u"PRINCIPAL TLV alread set in message",
                       u"Added PRINCIPAL TLV: length = %lu, value = \"%.*S\"");
    }
    bool GetPackage(String &out) override { return GetText(package_, out); }
    bool AddPackage(const String &in) override
    {
        return AddText(kTagPackage, package_, in, u"PACKAGE TLV alread set in message",
                       u"Added PACKAGE TLV: length = %lu, value = \"%.*S\"");
    }
    bool GetToken(Blob &out) override { return GetBytes(token_, out); }
    bool AddToken(const Blob &in) override
    {
        return AddBytes(kTagToken, token_, in, u"TOKEN TLV already set in message",
                        u"Added TOKEN TLV: length = %lu");
    }
    bool GetIdentifier(Blob &out) override { return GetBytes(identifier_, out); }
    bool AddIdentifier(const Blob &in) override
    {
        return AddBytes(kTagIdentifier, identifier_, in, u"IDENTIFIER TLV alread set in message",
                        u"Added IDENTIFIER TLV: length = %lu");
    }
    uint32_t GetError() override { return error_; }
    bool AddError(uint32_t code) override
    {
        uint8_t value[4];
        Put32(value, code);
        if (!AppendTLV(kTagError, value, sizeof value))
            return false;
        error_ = code;
        AR_LOG(kLogTrace, u"Added ERROR TLV: value = %u", code);
        return true;
    }
    uint8_t GetVersion(uint8_t *low) override
    {
        if (low)
            *low = lowVersion_;
        return highVersion_;
    }
    bool AddVersion(uint8_t high, uint8_t low) override
    {
        const uint8_t value[2] = {high, low};
        if (!AppendTLV(kTagVersion, value, low == 0 ? 1 : 2))
            return false;
        highVersion_ = high;
        lowVersion_ = low;
        AR_LOG(kLogTrace, u"Added VERSION TLV: high = %d, low = %d", high, low);
        return true;
    }
    bool GetServerInfo(uint16_t &out) override
    {
        out = serverInfo_;
        return true;
    }
    bool AddServerInfo(const uint16_t &version) override
    {
        uint8_t value[2];
        Put16(value, version);
        if (!AppendTLV(kTagServerInfo, value, sizeof value))
            return false;
        serverInfo_ = version;
        AR_LOG(kLogTrace, u"Added SERVER INFO TLV: version = %hu", version);
        return true;
    }
    bool GetClientInfo(uint16_t &out) override
    {
        out = clientInfo_;
        return true;
    }
    bool AddClientInfo(const uint16_t &version) override
    {
        uint8_t value[2];
        Put16(value, version);
        if (!AppendTLV(kTagClientInfo, value, sizeof value))
            return false;
        clientInfo_ = version;
        AR_LOG(kLogTrace, u"Added CLIENT INFO TLV: version = %hu", version);
        return true;
    }
    uint32_t GetType() override { return type_; }

    bool Send(Socket socket) override
    {
        if (bufferLength_ > kMaxMessageLength) {
            AR_LOG(kLogWarning, u"Message length too large to send: length = %u", bufferLength_);
            return false;
        }
        // A received message without a body keeps no buffer; its frame is the header alone.
        uint8_t header[kHeaderLength];
        const uint8_t *bytes = buffer_.get();
        uint32_t length = bufferLength_;
        if (!bytes) {
            Put16(header, type_);
            Put16(header + 2, kHeaderLength);
            bytes = header;
            length = kHeaderLength;
        }
        if (!WriteFull(socket, bytes, length)) {
            AR_LOG(kLogWarning, u"Failed to send message");
            return false;
        }
        AR_LOG(kLogTrace, u"Sent request message: type = %d, length = %lu", type_, length);
        return true;
    }

    // A fresh four-byte buffer holding only the header.
    void AllocateHeader()
    {
        Allocate(kHeaderLength);
        WriteHeader();
    }

    void ReceiveInto(Socket socket);

private:
    void Allocate(uint32_t length)
    {
        buffer_.reset(new (std::nothrow) uint8_t[length]);
        if (!buffer_) {
            AR_LOG(kLogError, u"Failed to allocate message buffer of %u", length);
            ThrowFailure(kFailOutOfMemory);
        }
        bufferLength_ = length;
    }

    void WriteHeader()
    {
        Put16(buffer_.get(), type_);
        Put16(buffer_.get() + 2, bufferLength_);
    }

    // The buffer holds tokens and names: it is wiped before it goes.
    void ReleaseBuffer()
    {
        if (buffer_)
            SecureZero(buffer_.get(), bufferLength_);
        buffer_.reset();
        bufferLength_ = 0;
    }

    // Appends one TLV; false (after an error) when the buffer cannot grow.
    bool AppendTLV(uint16_t tag, const void *value, uint32_t length, Value *where = nullptr)
    {
        if (length == 0)
            return true;
        uint64_t grown = uint64_t(bufferLength_) + kTlvHeaderLength + length;
        // Grown by copying, not realloc, so that no copy of the old contents
        // is left unwiped in freed memory.
        std::unique_ptr<uint8_t[]> bigger;
        if (grown <= UINT32_MAX)
            bigger.reset(new (std::nothrow) uint8_t[grown]);
        if (!bigger) {
            AR_LOG(kLogError, u"Failed to expand message buffer");
            return false;
        }
        uint32_t at = bufferLength_;
        if (buffer_)
            memcpy(bigger.get(), buffer_.get(), at);
        ReleaseBuffer();
        buffer_ = std::move(bigger);
        bufferLength_ = static_cast<uint32_t>(grown);
        Put16(buffer_.get() + at, tag);
        Put16(buffer_.get() + at + 2, length);
        memcpy(buffer_.get() + at + kTlvHeaderLength, value, length);
        // A length beyond the 16-bit field is kept in bufferLength_; Send refuses it.
        WriteHeader();
        if (where) {
            where->length = length;
            where->offset = at + kTlvHeaderLength;
        }
        return true;
    }

    bool GetText(const Value &v, String &out)
    {
        if (v.length == 0) {
            out.Clear();
            return false;
        }
        out.SetUtf8(reinterpret_cast<const char *>(buffer_.get() + v.offset), v.length);
        return true;
    }

    bool GetBytes(const Value &v, Blob &out)
    {
        if (v.length == 0) {
            out.Clear();
            return false;
        }
        out.Set(v.length, buffer_.get() + v.offset);
        return true;
    }

    bool AddText(uint16_t tag, Value &v, const String &in, const char16_t *already,
                 const char16_t *added)
    {
        if (v.length != 0) {
            AR_LOG(kLogWarning, already);
            return false;
        }
        if (in.IsEmpty())
            return true;
        if (!AppendTLV(tag, in.GetUtf8(), in.GetUtf8Length(), &v))
            return false;
        AR_LOG(kLogTrace, added, in.GetUtf8Length(), in.GetUtf8Length(), in.GetUtf8());
        return true;
    }

    bool AddBytes(uint16_t tag, Value &v, const Blob &in, const char16_t *already,
                  const char16_t *added)
    {
        if (v.length != 0) {
            AR_LOG(kLogWarning, already);
            return false;
        }
        if (in.IsEmpty())
            return true;
        if (!AppendTLV(tag, in.Data(), in.Size(), &v))
            return false;
        AR_LOG(kLogTrace, added, in.Size());
        return true;
    }

    [[noreturn]] void Malformed() { ThrowFailure(kFailMalformed); }

    void ParseBody();

    uint32_t type_;
    uint32_t error_ = 0;
    uint8_t lowVersion_ = 0;
    uint8_t highVersion_ = 0;
    Value identifier_;
    Value token_;
    Value principal_;
    Value package_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t bufferLength_ = 0;
    uint16_t serverInfo_ = 0;
    uint16_t clientInfo_ = 0;
};

void ReqMsgImpl::ReceiveInto(Socket socket)
{
    uint8_t header[kHeaderLength];
    int got = ReadFull(socket, header, sizeof header);
    if (got < 0) {
        AR_LOG(kLogWarning, u"Failed to read message header");
        ThrowFailure(kFailRead);
    }
    if (got == 0)
        return; // the caller sees the type still unset
    uint16_t type = Get16(header);
    uint16_t length = Get16(header + 2);
    if (type > 6) {
        AR_LOG(kLogWarning, u"Invalid message type: %u", type);
        ThrowFailure(kFailMessageType);
    }
    if (length < kHeaderLength) {
        AR_LOG(kLogWarning, u"Invalid message length: type = %hu, length = %hu", type, length);
        Malformed();
    }
    AR_LOG(kLogTrace, u"Received message: type = %hu, length = %hu", type, length);
    type_ = type;
    if (length == kHeaderLength)
        return;

    Allocate(length);
    WriteHeader();
    got = ReadFull(socket, buffer_.get() + kHeaderLength, length - kHeaderLength);
    if (got < 0) {
        AR_LOG(kLogWarning, u"Failed to read message body");
        ThrowFailure(kFailRead);
    }
    if (got == 0) {
        AR_LOG(kLogWarning, u"Client socket closed");
        ThrowFailure(kFailClosedInMessage);
    }
    ParseBody();
}

void ReqMsgImpl::ParseBody()
{
    const uint8_t *b = buffer_.get();
    uint32_t offset = kHeaderLength;
    while (offset < bufferLength_) {
        if (bufferLength_ - offset < kTlvHeaderLength) {
            AR_LOG(kLogWarning, u"Truncated TLV header in messsage: offset = %u, length = %u", offset,
                   bufferLength_);
            Malformed();
        }
        uint16_t tag = Get16(b + offset);
        uint16_t length = Get16(b + offset + 2);
        uint32_t valueAt = offset + kTlvHeaderLength;
        if (length > bufferLength_ - valueAt) {
            AR_LOG(kLogWarning, u"TLV exceeds message length: tag = %hu, length = %hu", tag, length);
            Malformed();
        }
        const uint8_t *value = b + valueAt;
        switch (tag) {
        case kTagError:
            if (length < 4) {
                AR_LOG(kLogWarning, u"Invalid length in ERROR TLV: length = %hu", length);
                Malformed();
            }
            error_ = Get32(value);
            AR_LOG(kLogTrace, u"Received ERROR TLV: value = %u", error_);
            break;
        case kTagVersion:
            if (length == 1) {
                highVersion_ = value[0];
                lowVersion_ = 0;
                AR_LOG(kLogTrace, u"Received VERSION TLV: high = %hu", highVersion_);
            } else if (length == 2) {
                highVersion_ = value[0];
                lowVersion_ = value[1];
                AR_LOG(kLogTrace, u"Received VERSION TLV: high = %hu, low = %hu", highVersion_,
                       lowVersion_);
            } else {
                AR_LOG(kLogWarning, u"Invalid length in VERSION TLV: length = %hu", length);
                Malformed();
            }
            break;
        case kTagServerInfo:
            if (length != 2) {
                AR_LOG(kLogWarning, u"Invalid length in SERVER INFO TLV: length = %hu", length);
                Malformed();
            }
            serverInfo_ = Get16(value);
            AR_LOG(kLogTrace, u"Received SERVER INFO TLV: value = %hu", serverInfo_);
            break;
        case kTagClientInfo:
            if (length != 2) {
                AR_LOG(kLogWarning, u"Invalid length in CLIENT INFO TLV: length = %hu", length);
                Malformed();
            }
            clientInfo_ = Get16(value);
            AR_LOG(kLogTrace, u"Received CLIENT INFO TLV: value = %hu", clientInfo_);
            break;
        case kTagIdentifier:
            identifier_ = {length, valueAt};
            AR_LOG(kLogTrace, u"Received IDENTIFIER TLV: length = %hu", length);
            break;
        case kTagToken:
            token_ = {length, valueAt};
            AR_LOG(kLogTrace, u"Received TOKEN TLV: length = %hu", length);
            break;
        case kTagPrincipal:
            principal_ = {length, valueAt};
            AR_LOG(kLogTrace, u"Received PRINCIPAL TLV: length = %hu, value = \"%.*S\"", length,
                   length, value);
            break;
        case kTagPackage:
            package_ = {length, valueAt};
            AR_LOG(kLogTrace, u"Received PKG TLV: length = %hu, value = \"%.*S\"", length, length,
                   value);
            break;
        default:
            AR_LOG(kLogWarning, u"Invalid tag value in messsage: tag = %hu, length = %hu", tag, length);
            Malformed();
        }
        offset = valueAt + length;
    }
}

} // namespace

std::unique_ptr<ReqMsg> CreateMessage(uint32_t type)
{
    auto message = std::make_unique<ReqMsgImpl>(type);
    message->AllocateHeader();
    AR_LOG(kLogTrace, u"Created Message: type = %d", type);
    return message;
}

std::unique_ptr<ReqMsg> ReqMsg::Receive(Socket socket)
{
    try {
        auto message = std::make_unique<ReqMsgImpl>(UINT32_MAX);
        message->ReceiveInto(socket);
        if (message->GetType() == UINT32_MAX) {
            AR_LOG(kLogDebug, u"Client socket closed");
            return nullptr;
        }
        return message;
    } catch (long) {
        throw;
    } catch (...) {
        AR_LOG(kLogError, u"Unhandled exception in ReqMsg::Receive");
        throw;
    }
}

} // namespace authrelay
