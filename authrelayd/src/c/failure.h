// Failure codes of authrelayd and the ways a failure travels.
//
// Failure codes are signed 32-bit values laid out like Windows result codes:
// negative means failure. A failure is thrown as a `long` holding the code
// (sign-extended where long is 64 bits), a protocol error inside request
// handling as a plain `int`, and an operating-system structured exception as
// an SE_Exception.
#pragma once

#include <cstdint>

namespace authrelay {

using FailureCode = int32_t;

constexpr FailureCode MakeFailure(uint32_t bits) { return static_cast<FailureCode>(bits); }

constexpr FailureCode kFailListenSocket = MakeFailure(0x80040201u);   // listening socket not created
constexpr FailureCode kFailAccept = MakeFailure(0x80040202u);         // accept failed
constexpr FailureCode kFailMessageType = MakeFailure(0x80040502u);    // invalid message type
constexpr FailureCode kFailClosedInMessage = MakeFailure(0x80040503u); // peer closed inside a message
constexpr FailureCode kFailRead = MakeFailure(0x80040504u);           // header or body read failed
constexpr FailureCode kFailMalformed = MakeFailure(0x80040505u);      // malformed framing or TLV
constexpr FailureCode kFailOutOfMemory = MakeFailure(0x80070008u);    // out of memory

// Windows error e as a failure code: e <= 0 is returned unchanged, otherwise
// (e & 0xFFFF) | 0x80070000.
constexpr FailureCode ConvertWindowsError(int64_t e)
{
    return e <= 0 ? static_cast<FailureCode>(e)
                  : MakeFailure((static_cast<uint32_t>(e) & 0xFFFFu) | 0x80070000u);
}

// Throws code as the `long` that every catch clause of the service expects.
[[noreturn]] void ThrowFailure(FailureCode code);

// The failure code carried by a caught `long`.
inline FailureCode FailureFromLong(long value) { return static_cast<FailureCode>(value); }

// An operating-system structured exception turned into a C++ exception.
class SE_Exception {
public:
    explicit SE_Exception(uint32_t code) : code_(code) {}
    uint32_t GetCode() const { return code_; }

private:
    uint32_t code_;
};

// Installs, for the calling thread, the translator of structured exceptions
// into SE_Exception where the platform and compiler offer one; elsewhere it
// does nothing (those faults have no counterpart to translate).
void InstallExceptionTranslator();

// Returns the Windows error that describes the POSIX error number err (the
// few that the POSIX back ends meet; anything else is ERROR_GEN_FAILURE).
uint32_t WindowsErrorFromErrno(int err);

} // namespace authrelay
