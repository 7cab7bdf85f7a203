// The helper settings before they are made. The settings are process-wide
// and cannot be unmade, so each case runs in a child process of its own.
#include <gtest/gtest.h>

#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "acctsrc.h"
#include "records.h"

namespace {

using namespace acctsrc_test;

// Runs check in a fresh child process; true when it returned true there.
template <typename Check> bool InChild(Check check)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(check() ? 0 : 1);
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

TEST(AcctsrcSettings, MissingSettingsAreReported)
{
    struct Case {
        const char *what;
        const wchar_t *mode; // nullptr: no mode set
        int (*call)();
        int rc;
        const wchar_t *message;
    };
    const Case cases[] = {
        {"no mode", nullptr, [] { return ValidateCredentials(L"alice", L"secret"); }, 6,
         L"] Invalid mode (0) for passcheck operation"},
        {"fork without program", L"Fork", [] { return ValidateCredentials(L"alice", L"secret"); }, 6,
         L"] SetPasscheckPath must be called first"},
        {"socket without path", L"Socket", [] { return ValidateCredentials(L"alice", L"secret"); }, 6,
         L"] SetPasscheckUnixSocketPath must be called first"},
        {"shutdown without path", nullptr, [] { return ShutdownUnixSocketServer(); }, 6,
         L"] SetPasscheckUnixSocketPath must be called first"},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(InChild([&c] {
            if (c.mode != nullptr && SetPasscheckMode(c.mode) != 0)
                return false;
            return c.call() == c.rc && EndsWith(LastMessage(), c.message);
        })) << c.what;
    }
}

} // namespace
