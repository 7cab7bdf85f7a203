// The answers the session dispatcher sends. Each returns whether the message
// was sent; a failure other than sending is logged and propagates.
#pragma once

#include <cstdint>

#include "io.h"
#include "text.h"

namespace authrelay {

bool SendEstablishContextMessage(Socket socket, const Blob &outputToken, const Blob &identifier,
                                 const String &principal, const String &package);
bool SendErrorMessage(Socket socket, uint32_t errorCode);
bool SendReleaseContextMessage(Socket socket, const Blob &identifier);
bool SendBeginSessionMessage(Socket socket, uint8_t version, uint16_t serverInfo);
bool SendEndSessionMessage(Socket socket);

} // namespace authrelay
