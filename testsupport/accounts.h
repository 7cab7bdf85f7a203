// Test fixture: a private account database.
//
// The isolated test main (isolated_main.cpp) moves the whole test process
// into a private mount namespace before any test runs. An IsolatedAccounts
// object then writes its own /etc/passwd, /etc/group, /etc/shadow and
// /var/log/lastlog into a scratch folder and bind-mounts them over the real
// files; the mounts go away with the object. Child processes (the helper
// programs under test) inherit the namespace and see the same files.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Empty when the process is in a private mount namespace; otherwise why not.
// Tests that need the fixture skip with this text.
const std::string &isolationUnavailableReason();
// Called once by the isolated test main, before anything else runs.
void enterPrivateMountNamespace();

// Hashes a password with the system's crypt library; prefix selects the
// method ("$y$" yescrypt, "$6$" SHA-512 crypt, ...). Throws on failure.
std::string cryptHash(const std::string &password, const char *prefix);

// Today as the shadow file counts it: days since 1970-01-01.
long shadowToday();

struct UserEntry {
    std::string name;
    uid_t uid = 1000;
    gid_t gid = 1000;
    std::string gecos;
    std::string home = "/nonexistent";
    std::string shell = "/bin/sh";
    // The shadow password field, written as is (make it with cryptHash).
    std::string hash = "*";
    // The remaining shadow fields as text; an empty text is an empty field.
    std::string lastChange = std::to_string(shadowToday() - 1);
    std::string minAge = "0";
    std::string maxAge = "99999";
    std::string warn = "7";
    std::string inactive;
    std::string expire;
    bool inPasswd = true;
    bool inShadow = true;
};

struct GroupEntry {
    std::string name;
    gid_t gid = 1000;
    std::vector<std::string> members;
};

// Name service configuration of the private database: by default the files
// alone, so that no other source (nss-systemd synthesises root and nobody)
// answers for them.
extern const char kFilesOnlyNsswitch[];

class IsolatedAccounts {
public:
    // Writes the files and mounts them; root and nobody are always present.
    // Throws std::runtime_error when a file cannot be written or mounted.
    IsolatedAccounts(std::vector<UserEntry> users, std::vector<GroupEntry> groups = {},
                     std::string nsswitch = kFilesOnlyNsswitch);
    ~IsolatedAccounts();
    IsolatedAccounts(const IsolatedAccounts &) = delete;
    IsolatedAccounts &operator=(const IsolatedAccounts &) = delete;

    // The current bytes of the private /var/log/lastlog.
    std::string lastlog() const;
    // The scratch folder that holds the private files.
    const std::string &folder() const { return folder_; }

private:
    void release();

    std::string folder_;
    std::vector<std::string> mounted_;
};

} // namespace testsupport
