// The server side of one authentication handshake.
//
// A SecContext holds inbound credentials for the configured package and one
// context, runs the handshake one leg at a time with the tokens the client
// relays and, once complete, names the client and the negotiated package.
#pragma once

#include "text.h"

namespace authrelay {

class SecContext {
public:
    virtual ~SecContext() = default;
    // Runs one accept leg. Returns false, after logging, when the leg was
    // refused; output is then left as it was.
    virtual bool Accept(const Blob &input, Blob &output) = 0;
    // The client-side counterpart; not used by the service.
    virtual bool Initiate(const Blob &input, Blob &output, const String &target) = 0;
    // The client's principal, user@dns.domain. False when none can be built.
    virtual bool GetClientName(String &principal) = 0;
    // The package that negotiation chose ("Kerberos", "NTLM" ...).
    virtual bool GetPackageName(String &package) = 0;
    // True when the most recent leg finished the handshake.
    virtual bool IsEstablished() = 0;
};

// Creates a context for package ("Negotiate", "Kerberos" or "NTLM"). Returns
// null only when memory is lacking; a credentials failure is thrown as its
// failure code.
SecContext *CreateSecContext(const String &package);

// Longest principal in UTF-16 units; a longer one is cut to this length.
constexpr size_t kPrincipalUnits = 1023;

} // namespace authrelay
