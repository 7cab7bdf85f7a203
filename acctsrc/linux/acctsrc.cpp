/*
 * Credentials and account status through the password check helper, the
 * helper settings, id and text conversion.
 */
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include <crypt.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "acctsrc_common.h"
#include "acctsrc_linux.h"

extern char **environ;

extern "C" {
int hisuid = 0;
int haveuid = 0;
}

namespace acctsrc {

namespace {

enum Mode { kUnset = 0, kFork = 1, kSocket = 2, kCall = 3 };
enum Action { kVerify = 1, kStatus = 2, kExpiry = 3 };

/*
 * The settings are meant to be made once before use, but a path may still be
 * replaced while another thread uses it: each operation works on its own copy.
 */
std::atomic<int> g_mode{kUnset};
pthread_mutex_t g_settingsLock = PTHREAD_MUTEX_INITIALIZER;

class SettingsLock {
public:
    SettingsLock() { pthread_mutex_lock(&g_settingsLock); }
    ~SettingsLock() { pthread_mutex_unlock(&g_settingsLock); }
    SettingsLock(const SettingsLock &) = delete;
    SettingsLock &operator=(const SettingsLock &) = delete;
};
char *g_programPath = nullptr;
char *g_socketPath = nullptr;

/* passcheck reads one line of at most 1023 characters as the password. */
constexpr size_t kPasscheckLine = 1023;
constexpr size_t kHelperLine = 256;
constexpr long kForkPauseNanos = 50L * 1000 * 1000;
constexpr long kSecondsPerDay = 86400;
const char kShadowPath[] = "/etc/shadow";

/* A copy of a path setting: 0, 2 (recorded) or 6 when it is not set. */
int CopySetting(char *const &setting, Owned<char> *copy)
{
    SettingsLock lock;
    if (setting == nullptr)
        return ACCTSRC_SYSTEM_FAILURE;
    const size_t bytes = std::strlen(setting) + 1;
    char *p = static_cast<char *>(std::malloc(bytes));
    if (p == nullptr) {
        SetExtendedError(bytes);
        return ACCTSRC_NO_MEMORY;
    }
    std::memcpy(p, setting, bytes);
    copy->reset(p);
    return ACCTSRC_OK;
}

int ReplaceSetting(const wchar_t *path, const char *function, char **setting)
{
    if (ACCTSRC_NULL_PARAMS(function, path))
        return ACCTSRC_NULL_PARAMETER;
    char *copy = nullptr;
    int rc = ACCTSRC_CONVERT(path, function, 0, &copy);
    if (rc != ACCTSRC_OK)
        return rc;
    SettingsLock lock;
    std::free(*setting);
    *setting = copy;
    return ACCTSRC_OK;
}

/* Day count to seconds; a value beyond what long holds is pinned to its end. */
long DaysToSeconds(long day)
{
    long seconds;
    if (__builtin_mul_overflow(day, kSecondsPerDay, &seconds))
        return day < 0 ? LONG_MIN : LONG_MAX;
    return seconds;
}

long Today()
{
    return static_cast<long>(time(nullptr) / kSecondsPerDay);
}

/* ---- Fork transport ---- */

void CloseFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

/*
 * A pipe whose ends are close-on-exec and above the standard descriptors,
 * so that the child's dup2 onto 0 and 1 can never clobber one of them.
 */
bool MakePipe(int fds[2])
{
    int raw[2];
    if (pipe2(raw, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        fds[i] = raw[i];
        if (raw[i] <= STDERR_FILENO) {
            fds[i] = fcntl(raw[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            const int err = errno;
            close(raw[i]);
            errno = err;
        }
    }
    if (fds[0] < 0 || fds[1] < 0) {
        const int err = errno;
        CloseFd(&fds[0]);
        CloseFd(&fds[1]);
        errno = err;
        return false;
    }
    return true;
}

/*
 * Writes the password line. SIGPIPE is held back for this thread while it
 * writes, so that a helper that exits early fails the write instead of
 * killing the caller's process; a SIGPIPE raised here is taken back.
 */
bool WritePasswordLine(int fd, const char *password)
{
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    bool complete = true, broken = false;
    const struct {
        const char *data;
        size_t len;
    } parts[] = {{password, std::strlen(password)}, {"\n", 1}};
    for (const auto &part : parts) {
        size_t done = 0;
        while (done < part.len) {
            ssize_t n = write(fd, part.data + done, part.len - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                broken = n < 0 && errno == EPIPE;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (done != part.len) {
            complete = false;
            break;
        }
    }

    if (broken && !alreadyPending) {
        const timespec none = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return complete;
}

/* Reads the helper's output to its end, so that it can never block on a full pipe. */
void Drain(FILE *fromChild)
{
    char discard[kHelperLine];
    while (std::fread(discard, 1, sizeof(discard), fromChild) > 0) {
    }
}

bool WaitChild(pid_t pid, int *status, int options)
{
    for (;;) {
        pid_t r = waitpid(pid, status, options);
        if (r == pid)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

/* Reads the helper's number line into value. Returns 0 or 1 (recorded). */
int ReadNumberLine(FILE *fromChild, long *value)
{
    char line[kHelperLine];
    errno = 0;
    if (std::fgets(line, sizeof(line), fromChild) == nullptr) {
        ACCTSRC_ERROR(static_cast<unsigned long>(errno), "fgets got no data from passcheck");
        return ACCTSRC_FAILURE;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(line, &end, 10);
    const bool digits = end != line;
    if (end != nullptr && *end == '\n')
        ++end;
    if (!digits || errno == ERANGE || *end != '\0') {
        line[std::strcspn(line, "\n")] = '\0';
        ACCTSRC_ERROR(0, "Unexpected non-number result from passcheck: %s", line);
        return ACCTSRC_FAILURE;
    }
    /* The expiry day -1 comes back as the all-ones value and turns back into -1 here. */
    *value = static_cast<long>(number);
    return ACCTSRC_OK;
}

int ForkTransport(int action, const char *user, const char *password, long *value)
{
    Owned<char> program;
    int rc = CopySetting(g_programPath, &program);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(0, "SetPasscheckPath must be called first");
    if (rc != ACCTSRC_OK)
        return rc;
    if (action == kVerify && password == nullptr) {
        ACCTSRC_ERROR(0, "ValidateCredentials parameter %d NULL", 1);
        return ACCTSRC_NULL_PARAMETER;
    }
    const char *option = action == kVerify ? "-v" : action == kStatus ? "-s" : action == kExpiry ? "-t" : nullptr;
    if (option == nullptr) {
        ACCTSRC_ERROR(0, "Invalid action selection %d", action);
        return ACCTSRC_SYSTEM_FAILURE;
    }
    /* passcheck checks only the first line, and only its first 1023
     * characters: anything else would be checked cut short. */
    if (action == kVerify && std::strpbrk(password, "\r\n") != nullptr) {
        ACCTSRC_ERROR(0, "Password with a line break cannot be checked by passcheck");
        return ACCTSRC_REJECTED;
    }
    if (action == kVerify && std::strlen(password) > kPasscheckLine) {
        ACCTSRC_ERROR(0, "Password longer than %d bytes cannot be checked by passcheck",
                      static_cast<int>(kPasscheckLine));
        return ACCTSRC_REJECTED;
    }

    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
    FILE *output = nullptr;
    if (!MakePipe(toChild) || !MakePipe(fromChild) || (output = fdopen(fromChild[0], "r")) == nullptr) {
        const int err = errno;
        for (int *fd : {&toChild[0], &toChild[1], &fromChild[0], &fromChild[1]})
            CloseFd(fd);
        ACCTSRC_ERROR(static_cast<unsigned long>(err), "pipe call failed");
        return ACCTSRC_FAILURE;
    }
    fromChild[0] = -1; /* owned by the stream now */

    posix_spawn_file_actions_t actions;
    int spawnRc = posix_spawn_file_actions_init(&actions);
    pid_t pid = -1;
    if (spawnRc == 0) {
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, toChild[0]);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[1]);
        posix_spawn_file_actions_addclose(&actions, fileno(output));
        char *argv[] = {program.get(), const_cast<char *>(option), const_cast<char *>(user), nullptr};
        spawnRc = posix_spawn(&pid, program.get(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    CloseFd(&toChild[0]);
    CloseFd(&fromChild[1]);
    if (spawnRc != 0) {
        CloseFd(&toChild[1]);
        std::fclose(output);
        ACCTSRC_ERROR(static_cast<unsigned long>(spawnRc), "posix_spawn failed");
        return ACCTSRC_FAILURE;
    }

    int result = ACCTSRC_OK;
    int status = -1, waitError = 0;
    bool waited = false;
    if (action == kVerify) {
        result = WritePasswordLine(toChild[1], password) ? ACCTSRC_OK : ACCTSRC_REJECTED;
        CloseFd(&toChild[1]);
        Drain(output);
        waited = WaitChild(pid, &status, 0);
        waitError = errno;
    } else {
        CloseFd(&toChild[1]);
        const timespec pause = {0, kForkPauseNanos};
        nanosleep(&pause, nullptr);
        const bool ended = WaitChild(pid, &status, WNOHANG);
        if (!ended || status == 0)
            result = ReadNumberLine(output, value);
        if (!ended)
            Drain(output);
        waited = ended || WaitChild(pid, &status, 0);
        waitError = errno;
    }
    std::fclose(output);

    if (waited && status == 0)
        return result;
    if (!waited)
        ACCTSRC_ERROR(static_cast<unsigned long>(waitError), "waitpid failed");
    else
        ACCTSRC_ERROR(0, "Non zero result from passcheck execution: %d", status);
    return action == kVerify ? ACCTSRC_REJECTED : ACCTSRC_FAILURE;
}

/* ---- Socket transport ---- */

int SocketTransport(int type, const char *user, const char *password, long *value)
{
    Owned<char> socketPath;
    int rc = CopySetting(g_socketPath, &socketPath);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(0, "SetPasscheckUnixSocketPath must be called first");
    if (rc != ACCTSRC_OK)
        return rc;
    const bool verify = type == kVerify;

    const size_t userBytes = std::strlen(user) + 1;
    const size_t passwordBytes = verify ? std::strlen(password) + 1 : 0;
    /* Never send a request cut short, and never read past the texts. */
    if (userBytes > HELPER_MAX_PAYLOAD || passwordBytes > HELPER_MAX_PAYLOAD - userBytes) {
        ACCTSRC_ERROR(0, "User name and password do not fit a passcheck request of %d bytes",
                      static_cast<int>(HELPER_MAX_PAYLOAD));
        return verify ? ACCTSRC_REJECTED : ACCTSRC_FAILURE;
    }
    HelperMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.type = type;
    std::memcpy(msg.payload, user, userBytes);
    if (verify)
        std::memcpy(msg.payload + userBytes, password, passwordBytes);
    msg.length = static_cast<int32_t>(userBytes + passwordBytes);

    const int sent = sendMsg(socketPath.get(), &msg, HELPER_CLIENT_TIMEOUT);
    int32_t word = 0;
    const int32_t status = msg.status, length = msg.length;
    std::memcpy(&word, msg.payload, sizeof(word));
    Wipe(&msg, sizeof(msg));
    if (sent != 0) {
        ACCTSRC_ERROR(static_cast<unsigned long>(sent), "Failed to send message to passcheck socket");
        return ACCTSRC_FAILURE;
    }
    if (status != 0) {
        ACCTSRC_ERROR(0, "Received non zero response status from socket: %d", status);
        return verify ? ACCTSRC_REJECTED : ACCTSRC_FAILURE;
    }
    if (verify)
        return ACCTSRC_OK;
    if (length < static_cast<int32_t>(sizeof(word))) {
        ACCTSRC_ERROR(0, "Response from passcheck socket too short: %d bytes", length);
        return ACCTSRC_FAILURE;
    }
    *value = type == kStatus ? static_cast<long>(static_cast<uint32_t>(word)) : static_cast<long>(word);
    return ACCTSRC_OK;
}

/* ---- In-process checks ---- */

/* Compares two hashes without stopping at the first difference. */
bool HashesEqual(const char *computed, const char *stored)
{
    const size_t n = std::strlen(stored);
    if (std::strlen(computed) != n)
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(computed[i] ^ stored[i]);
    return diff == 0;
}

bool DaySet(long day)
{
    return day >= 0;
}

bool AccountExpired(long expire, long today)
{
    return DaySet(expire) && expire < today;
}

/*
 * A last change of 0 forces a change. The maximum age counts only from a
 * set last-change day (an empty one disables aging), and is compared as a
 * subtraction so that no field value can overflow.
 */
bool PasswordExpired(long lastChange, long maxAge, long today)
{
    if (lastChange == 0)
        return true;
    return DaySet(maxAge) && DaySet(lastChange) && lastChange < today - maxAge;
}

/* A scratch buffer that may hold a hash: wiped before it is freed. */
struct Scratch {
    char *data = nullptr;
    size_t size = 0;
    ~Scratch()
    {
        Wipe(data, size);
        std::free(data);
    }
};

/* Fresh buffer of the new size; the old contents are of no use after ERANGE. */
bool Regrow(Scratch *scratch, size_t size)
{
    char *fresh = static_cast<char *>(std::malloc(size));
    if (fresh == nullptr)
        return false;
    Wipe(scratch->data, scratch->size);
    std::free(scratch->data);
    scratch->data = fresh;
    scratch->size = size;
    return true;
}

/*
 * A name service after "files" (nss-systemd, for one) may answer "not found"
 * and clear the EACCES that the files module met, so an unreadable shadow
 * file counts as the same failure.
 */
bool ShadowUnreadable()
{
    return euidaccess(kShadowPath, R_OK) != 0 && errno == EACCES;
}

template <typename Entry, typename Lookup>
int LookupAlloc(const char *name, Entry *entry, Scratch *scratch, Lookup lookup, bool shadow)
{
    size_t size = 40;
    for (;;) {
        errno = 0;
        if (size == 0 || !Regrow(scratch, size)) {
            errno = ENOMEM;
            return PASSCHECK_CALL_NO_MEMORY;
        }
        Entry *found = nullptr;
        errno = 0;
        const int rc = lookup(name, entry, scratch->data, scratch->size, &found);
        if (rc == ERANGE) {
            size *= 2;
            continue;
        }
        const int err = errno;
        if (rc == EACCES || (found == nullptr && rc == 0 && err == EACCES))
            return PASSCHECK_CALL_NO_ACCESS;
        if (rc != 0)
            return PASSCHECK_CALL_LOOKUP_FAILED;
        if (found == nullptr)
            return shadow && ShadowUnreadable() ? PASSCHECK_CALL_NO_ACCESS : PASSCHECK_CALL_NO_USER;
        return PASSCHECK_CALL_OK;
    }
}

int ShadowEntry(const char *name, spwd *entry, Scratch *scratch)
{
    return LookupAlloc(name, entry, scratch, getspnam_r, true);
}

int PasswdEntry(const char *name, passwd *entry, Scratch *scratch)
{
    return LookupAlloc(name, entry, scratch, getpwnam_r, false);
}

/* Hands the scratch buffer over to a caller who frees it with free(). */
int HandOver(int rc, Scratch *scratch, char **buffer)
{
    std::free(*buffer);
    *buffer = scratch->data;
    scratch->data = nullptr;
    scratch->size = 0;
    return rc;
}

/* ---- Mode dispatch ---- */

int InvalidMode(int mode)
{
    ACCTSRC_ERROR(0, "Invalid mode (%d) for passcheck operation", mode);
    return ACCTSRC_SYSTEM_FAILURE;
}

} // namespace

int ToMultibyte(const wchar_t *text, char **out)
{
    const size_t len = std::wcstombs(nullptr, text, 0);
    if (len == static_cast<size_t>(-1))
        return ACCTSRC_INVALID_PARAMETER;
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy == nullptr) {
        SetExtendedError(len + 1);
        return ACCTSRC_NO_MEMORY;
    }
    std::wcstombs(copy, text, len + 1);
    copy[len] = '\0';
    *out = copy;
    return ACCTSRC_OK;
}

int ToWide(const char *text, wchar_t **out)
{
    const size_t len = std::mbstowcs(nullptr, text, 0);
    if (len == static_cast<size_t>(-1))
        return ACCTSRC_INVALID_PARAMETER;
    const size_t bytes = (len + 1) * sizeof(wchar_t);
    wchar_t *copy = static_cast<wchar_t *>(std::malloc(bytes));
    if (copy == nullptr) {
        SetExtendedError(bytes);
        return ACCTSRC_NO_MEMORY;
    }
    std::mbstowcs(copy, text, len + 1);
    copy[len] = L'\0';
    *out = copy;
    return ACCTSRC_OK;
}

int ConvertParameter(const char *file, int line, const wchar_t *text, const char *function, int position,
                     char **out)
{
    const int rc = ToMultibyte(text, out);
    if (rc == ACCTSRC_INVALID_PARAMETER)
        SetExtendedErrorMsg(file, line, 0, "%s parameter %d invalid", function, position);
    return rc;
}

void FreeSecret(char *text)
{
    if (text != nullptr)
        Wipe(text, std::strlen(text));
    std::free(text);
}

} // namespace acctsrc

using namespace acctsrc;

extern "C" {

wchar_t *mbstowcs_dup(const char *text)
{
    wchar_t *copy = nullptr;
    if (text == nullptr)
        return nullptr;
    if (ToWide(text, &copy) == ACCTSRC_INVALID_PARAMETER)
        ACCTSRC_ERROR(EILSEQ, "mbstowcs failed");
    return copy;
}

char *wcstombs_dup(const wchar_t *text)
{
    char *copy = nullptr;
    if (text == nullptr)
        return nullptr;
    if (ToMultibyte(text, &copy) == ACCTSRC_INVALID_PARAMETER)
        ACCTSRC_ERROR(EILSEQ, "wcstombs failed");
    return copy;
}

unsigned int wcsIDtoUnixID(const wchar_t *id)
{
    if (id == nullptr)
        return ACCTSRC_INVALID_ID;
    char text[32];
    const size_t n = std::wcstombs(text, id, sizeof(text));
    /* A text that does not fit with its NUL is no id this library wrote. */
    if (n == static_cast<size_t>(-1) || n >= sizeof(text))
        return ACCTSRC_INVALID_ID;
    char *end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        return ACCTSRC_INVALID_ID;
    /* Ids are written as signed 32-bit numbers; the unsigned form of one is
     * taken too, anything wider is refused rather than wrapped onto another id. */
    if (number < INT32_MIN || number > static_cast<long long>(UINT32_MAX))
        return ACCTSRC_INVALID_ID;
    return static_cast<unsigned int>(number);
}

wchar_t *UnixIDtowcs(unsigned int id)
{
    constexpr size_t kChars = 32;
    wchar_t *text = static_cast<wchar_t *>(std::malloc(kChars * sizeof(wchar_t)));
    if (text == nullptr) {
        SetExtendedError(kChars * sizeof(wchar_t));
        return nullptr;
    }
    std::swprintf(text, kChars, L"%d", static_cast<int>(id));
    return text;
}

int SetPasscheckMode(const wchar_t *mode)
{
    if (ACCTSRC_NULL_PARAMS("SetPasscheckMode", mode))
        return ACCTSRC_NULL_PARAMETER;
    int value;
    if (std::wcscmp(mode, L"Fork") == 0)
        value = kFork;
    else if (std::wcscmp(mode, L"Socket") == 0)
        value = kSocket;
    else if (std::wcscmp(mode, L"Call") == 0)
        value = kCall;
    else {
        ACCTSRC_ERROR(0, "SetPasscheckMode parameter %d invalid", 0);
        return ACCTSRC_INVALID_PARAMETER;
    }
    g_mode.store(value);
    return ACCTSRC_OK;
}

int SetPasscheckPath(const wchar_t *path)
{
    return ReplaceSetting(path, "SetPasscheckPath", &g_programPath);
}

int SetPasscheckUnixSocketPath(const wchar_t *path)
{
    return ReplaceSetting(path, "SetPasscheckUnixSocketPath", &g_socketPath);
}

int ShutdownUnixSocketServer(void)
{
    Owned<char> socketPath;
    int rc = CopySetting(g_socketPath, &socketPath);
    if (rc == ACCTSRC_SYSTEM_FAILURE)
        ACCTSRC_ERROR(0, "SetPasscheckUnixSocketPath must be called first");
    if (rc != ACCTSRC_OK)
        return rc;
    const int err = sendShutdown(socketPath.get());
    if (err != 0) {
        ACCTSRC_ERROR(static_cast<unsigned long>(err), "Unexpected error when issuing server shutdown");
        return ACCTSRC_SYSTEM_FAILURE;
    }
    return ACCTSRC_OK;
}

int ValidateCredentials(const wchar_t *user, const wchar_t *password)
{
    if (ACCTSRC_NULL_PARAMS("ValidateCredentials", user, password))
        return ACCTSRC_NULL_PARAMETER;
    Owned<char> name;
    int rc = ACCTSRC_CONVERT(user, "ValidateCredentials", 0, name.out());
    if (rc != ACCTSRC_OK)
        return rc;
    char *secret = nullptr;
    rc = ACCTSRC_CONVERT(password, "ValidateCredentials", 1, &secret);
    if (rc != ACCTSRC_OK)
        return rc;
    rc = do_check_auth(name.get(), secret);
    FreeSecret(secret);
    return rc;
}

int do_check_auth(const char *user, const char *password)
{
    if (ACCTSRC_NULL_PARAMS("do_check_auth", user))
        return ACCTSRC_NULL_PARAMETER;
    const int mode = g_mode.load();
    switch (mode) {
    case kFork:
        return ForkTransport(kVerify, user, password, nullptr);
    case kSocket:
        if (ACCTSRC_NULL_PARAMS("ValidateCredentials", user, password))
            return ACCTSRC_NULL_PARAMETER;
        return SocketTransport(kVerify, user, password, nullptr);
    case kCall: {
        if (ACCTSRC_NULL_PARAMS("ValidateCredentials", user, password))
            return ACCTSRC_NULL_PARAMETER;
        const int c = check_auth(user, password);
        if (c != PASSCHECK_CALL_OK) {
            ACCTSRC_ERROR(0, "Direct call authentication failure: %d", c);
            return ACCTSRC_REJECTED;
        }
        return ACCTSRC_OK;
    }
    default:
        return InvalidMode(mode);
    }
}

int do_get_account_status(const char *user, long *status)
{
    if (ACCTSRC_NULL_PARAMS("do_get_account_status", user, status))
        return ACCTSRC_NULL_PARAMETER;
    const int mode = g_mode.load();
    switch (mode) {
    case kFork:
        return ForkTransport(kStatus, user, nullptr, status);
    case kSocket:
        return SocketTransport(kStatus, user, nullptr, status);
    case kCall: {
        const int c = get_account_status(user, status);
        if (c != PASSCHECK_CALL_OK) {
            ACCTSRC_ERROR(0, "Direct call user status failure: %d", c);
            return ACCTSRC_FAILURE;
        }
        return ACCTSRC_OK;
    }
    default:
        return InvalidMode(mode);
    }
}

int do_get_account_expire_time(const char *user, long *expireSeconds)
{
    if (ACCTSRC_NULL_PARAMS("do_get_account_expire_time", user, expireSeconds))
        return ACCTSRC_NULL_PARAMETER;
    const int mode = g_mode.load();
    long day = 0;
    int rc;
    switch (mode) {
    case kFork:
        rc = ForkTransport(kExpiry, user, nullptr, &day);
        break;
    case kSocket:
        rc = SocketTransport(kExpiry, user, nullptr, &day);
        break;
    case kCall: {
        const int c = get_account_expire_time(user, &day);
        rc = ACCTSRC_OK;
        if (c != PASSCHECK_CALL_OK) {
            ACCTSRC_ERROR(0, "Direct call user expiration failure: %d", c);
            rc = ACCTSRC_FAILURE;
        }
        break;
    }
    default:
        return InvalidMode(mode);
    }
    /* An unset expiry (day -1) comes out as -86400, as callers have always seen it. */
    if (rc == ACCTSRC_OK)
        *expireSeconds = DaysToSeconds(day);
    return rc;
}

int getspnam_alloc(const char *name, struct spwd *entry, char **buffer)
{
    Scratch scratch;
    return HandOver(ShadowEntry(name, entry, &scratch), &scratch, buffer);
}

int getpwnam_alloc(const char *name, struct passwd *entry, char **buffer)
{
    Scratch scratch;
    return HandOver(PasswdEntry(name, entry, &scratch), &scratch, buffer);
}

int check_auth(const char *user, const char *password)
{
    const long today = Today();
    Scratch shadowScratch, passwdScratch;
    spwd sp;
    int rc = ShadowEntry(user, &sp, &shadowScratch);
    if (rc != PASSCHECK_CALL_OK)
        return rc;
    passwd pw;
    rc = PasswdEntry(user, &pw, &passwdScratch);
    if (rc != PASSCHECK_CALL_OK)
        return rc;
    __atomic_store_n(&hisuid, static_cast<int>(pw.pw_uid), __ATOMIC_RELAXED);
    __atomic_store_n(&haveuid, 1, __ATOMIC_RELAXED);

    /* A work area per call: crypt's static one would be shared between threads. */
    crypt_data *work = static_cast<crypt_data *>(std::calloc(1, sizeof(crypt_data)));
    if (work == nullptr) {
        errno = ENOMEM;
        return PASSCHECK_CALL_NO_MEMORY;
    }
    const char *stored = sp.sp_pwdp;
    const char *computed = stored != nullptr ? crypt_rn(password, stored, work, sizeof(*work)) : nullptr;
    const bool match = computed != nullptr && HashesEqual(computed, stored);
    Wipe(work, sizeof(*work));
    std::free(work);
    if (!match)
        return PASSCHECK_CALL_BAD_PASSWORD;
    if (AccountExpired(sp.sp_expire, today))
        return PASSCHECK_CALL_ACCOUNT_EXPIRED;
    if (PasswordExpired(sp.sp_lstchg, sp.sp_max, today))
        return PASSCHECK_CALL_PASSWORD_EXPIRED;
    return PASSCHECK_CALL_OK;
}

int get_account_status(const char *user, long *status)
{
    const long today = Today();
    Scratch scratch;
    spwd sp;
    const int rc = ShadowEntry(user, &sp, &scratch);
    if (rc != PASSCHECK_CALL_OK)
        return rc;
    long bits = 0;
    if (AccountExpired(sp.sp_expire, today))
        bits |= ACCTSRC_STATUS_DISABLED;
    if (PasswordExpired(sp.sp_lstchg, sp.sp_max, today))
        bits |= ACCTSRC_STATUS_PASSWORD_EXPIRED;
    /* Locking tools put '!' in front; passcheck accepts it anywhere, and so do we. */
    if (sp.sp_pwdp != nullptr && std::strchr(sp.sp_pwdp, '!') != nullptr)
        bits |= ACCTSRC_STATUS_LOCKED;
    *status = bits;
    return PASSCHECK_CALL_OK;
}

int get_account_expire_time(const char *user, long *expireDay)
{
    Scratch scratch;
    spwd sp;
    const int rc = ShadowEntry(user, &sp, &scratch);
    if (rc != PASSCHECK_CALL_OK)
        return rc;
    *expireDay = sp.sp_expire;
    return PASSCHECK_CALL_OK;
}

} // extern "C"
