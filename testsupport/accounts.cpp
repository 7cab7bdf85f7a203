#include "accounts.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <crypt.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::string &unavailableReason()
{
    static std::string reason = "the test main did not set up a private mount namespace";
    return reason;
}

[[noreturn]] void fail(const std::string &what, int err)
{
    throw std::runtime_error(what + ": " + strerror(err));
}

void writeFile(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        fail("open " + path, errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            int err = errno;
            close(fd);
            fail("write " + path, err);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    // open() is subject to the umask; the fixture wants the exact mode.
    if (chmod(path.c_str(), mode) != 0)
        fail("chmod " + path, errno);
}

} // namespace

const std::string &isolationUnavailableReason()
{
    return unavailableReason();
}

void enterPrivateMountNamespace()
{
    if (geteuid() != 0) {
        unavailableReason() = "the account fixture needs root to make a private mount namespace";
        return;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        unavailableReason() = std::string("unshare(CLONE_NEWNS) failed: ") + strerror(errno);
        return;
    }
    // Nothing mounted here may propagate back to the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        unavailableReason() = std::string("making / private failed: ") + strerror(errno);
        return;
    }
    unavailableReason().clear();
}

std::string cryptHash(const std::string &password, const char *prefix)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof(setting)) == nullptr)
        fail(std::string("crypt_gensalt ") + prefix, errno);
    crypt_data data;
    memset(&data, 0, sizeof(data));
    const char *hash = crypt_rn(password.c_str(), setting, &data, sizeof(data));
    if (hash == nullptr)
        fail("crypt", errno);
    return hash;
}

long shadowToday()
{
    return static_cast<long>(time(nullptr) / 86400);
}

const char kFilesOnlyNsswitch[] = "passwd: files\ngroup: files\nshadow: files\n";

IsolatedAccounts::IsolatedAccounts(std::vector<UserEntry> users, std::vector<GroupEntry> groups,
                                   std::string nsswitch)
{
    if (!unavailableReason().empty())
        throw std::runtime_error(unavailableReason());

    UserEntry root;
    root.name = "root";
    root.uid = 0;
    root.gid = 0;
    root.home = "/root";
    root.shell = "/bin/bash";
    UserEntry nobody;
    nobody.name = "nobody";
    nobody.uid = 65534;
    nobody.gid = 65534;
    users.insert(users.begin(), {root, nobody});
    groups.insert(groups.begin(), {GroupEntry{"root", 0, {}}, GroupEntry{"nogroup", 65534, {}}});

    std::ostringstream passwd, shadow, group;
    for (const UserEntry &u : users) {
        if (u.inPasswd)
            passwd << u.name << ":x:" << u.uid << ':' << u.gid << ':' << u.gecos << ':' << u.home << ':'
                   << u.shell << '\n';
        if (u.inShadow)
            shadow << u.name << ':' << u.hash << ':' << u.lastChange << ':' << u.minAge << ':' << u.maxAge
                   << ':' << u.warn << ':' << u.inactive << ':' << u.expire << ":\n";
    }
    for (const GroupEntry &g : groups) {
        group << g.name << ":x:" << g.gid << ':';
        for (size_t i = 0; i < g.members.size(); ++i)
            group << (i ? "," : "") << g.members[i];
        group << '\n';
    }

    char folder[] = "/tmp/accounts.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        fail("mkdtemp", errno);
    folder_ = folder;
    chmod(folder, 0755);

    const struct {
        const char *name;
        const char *target;
        std::string text;
        mode_t mode;
    } files[] = {
        {"passwd", "/etc/passwd", passwd.str(), 0644},
        {"group", "/etc/group", group.str(), 0644},
        // Readable by root alone, so that an unprivileged reader meets EACCES.
        {"shadow", "/etc/shadow", shadow.str(), 0600},
        {"lastlog", "/var/log/lastlog", std::string(), 0664},
        {"nsswitch.conf", "/etc/nsswitch.conf", nsswitch, 0644},
    };
    try {
        for (const auto &f : files) {
            std::string path = folder_ + "/" + f.name;
            writeFile(path, f.text, f.mode);
            if (mount(path.c_str(), f.target, nullptr, MS_BIND, nullptr) != 0)
                fail(std::string("bind mount over ") + f.target, errno);
            mounted_.push_back(f.target);
        }
    } catch (...) {
        release();
        throw;
    }
}

IsolatedAccounts::~IsolatedAccounts()
{
    release();
}

void IsolatedAccounts::release()
{
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
    mounted_.clear();
    if (!folder_.empty()) {
        for (const char *name : {"passwd", "group", "shadow", "lastlog", "nsswitch.conf"})
            unlink((folder_ + "/" + name).c_str());
        rmdir(folder_.c_str());
        folder_.clear();
    }
}

std::string IsolatedAccounts::lastlog() const
{
    std::ifstream in("/var/log/lastlog", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

} // namespace testsupport
