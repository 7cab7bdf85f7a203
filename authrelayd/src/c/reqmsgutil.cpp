#include "reqmsgutil.h"

#include "log.h"
#include "reqmsg.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/reqmsgutil";

// Builds a message of type with build, sends it and destroys it.
template <typename Build>
bool SendMessage(Socket socket, uint32_t type, const char16_t *sendFailed, const char16_t *failed,
                 Build build)
{
    try {
        auto message = CreateMessage(type);
        build(*message);
        if (message->Send(socket))
            return true;
        AR_LOG(kLogWarning, sendFailed);
        return false;
    } catch (...) {
        AR_LOG(kLogError, failed);
        throw;
    }
}

} // namespace

bool SendEstablishContextMessage(Socket socket, const Blob &outputToken, const Blob &identifier,
                                 const String &principal, const String &package)
{
    return SendMessage(socket, kMsgEstablishContext, u"Failed to send Establish Context message",
                       u"Exception in SendEstablishContextMessage", [&](ReqMsg &m) {
                           m.AddToken(outputToken);
                           m.AddIdentifier(identifier);
                           m.AddPrincipal(principal);
                           m.AddPackage(package);
                       });
}

bool SendErrorMessage(Socket socket, uint32_t errorCode)
{
    return SendMessage(socket, kMsgError, u"Failed to send error message",
                       u"Exception in SendErrorMessage", [&](ReqMsg &m) { m.AddError(errorCode); });
}

bool SendReleaseContextMessage(Socket socket, const Blob &identifier)
{
    return SendMessage(socket, kMsgReleaseContext, u"Failed to send release context",
                       u"Exception in SendReleaseContextMessage",
                       [&](ReqMsg &m) { m.AddIdentifier(identifier); });
}

bool SendBeginSessionMessage(Socket socket, uint8_t version, uint16_t serverInfo)
{
    return SendMessage(socket, kMsgBeginSession, u"Failed to send begin sesson message",
                       u"Exception in SendBeginSessionMessage", [&](ReqMsg &m) {
                           m.AddVersion(version, 0);
                           m.AddServerInfo(serverInfo);
                       });
}

bool SendEndSessionMessage(Socket socket)
{
    return SendMessage(socket, kMsgEndSession, u"Failed to send end sesson message",
                       u"Exception in SendEndSessionMessage", [](ReqMsg &) {});
}

} // namespace authrelay
