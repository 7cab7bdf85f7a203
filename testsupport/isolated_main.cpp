// Test main for suites that use the private account database: the process
// enters its own mount namespace before GoogleTest starts, while it is still
// single-threaded (unshare(CLONE_NEWNS) requires that).
#include <gtest/gtest.h>

#include "accounts.h"

int main(int argc, char **argv)
{
    testsupport::enterPrivateMountNamespace();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
