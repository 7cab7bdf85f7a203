#include "passcheck.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <crypt.h>
#include <fcntl.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/resource.h>
#include <unistd.h>

int hisuid = 0;
int haveuid = 0;

namespace {

const char kLastlogPath[] = "/var/log/lastlog";
const char kShadowPath[] = "/etc/shadow";
constexpr size_t kLastlogRecord = 292;
constexpr size_t kLastlogLine = 32;
constexpr size_t kLastlogHost = 256;
constexpr size_t kPasswordLine = 1024; /* at most 1023 characters and a NUL */

/* crypt's work area holds the hash being compared; it is wiped after use. */
crypt_data g_crypt;

long today(time_t now)
{
    return static_cast<long>(now / 86400);
}

/* Day fields of the shadow file: a negative value means the field is empty. */
bool daySet(long day)
{
    return day >= 0;
}

bool accountExpired(const spwd *sp, long day)
{
    return daySet(sp->sp_expire) && sp->sp_expire < day;
}

/*
 * Last change 0 forces a change. The maximum age counts only from a set
 * last-change day: an empty last-change field disables aging altogether.
 * Written as a subtraction so that no field value can overflow.
 */
bool passwordExpired(const spwd *sp, long day)
{
    if (sp->sp_lstchg == 0)
        return true;
    return daySet(sp->sp_max) && daySet(sp->sp_lstchg) && sp->sp_lstchg < day - sp->sp_max;
}

/*
 * getspnam with the program's codes: 53 when the database was not readable.
 * A name service module after "files" (nss-systemd, for one) may answer "not
 * found" and clear the EACCES that the files module met, so an unreadable
 * shadow file is taken as the same failure.
 */
int lookupShadow(const char *user, spwd **entry)
{
    errno = 0;
    *entry = getspnam(user);
    if (*entry != nullptr)
        return PASSCHECK_OK;
    if (errno == EACCES || (euidaccess(kShadowPath, R_OK) != 0 && errno == EACCES))
        return PASSCHECK_NO_ACCESS;
    return PASSCHECK_NO_USER;
}

/* Compares two NUL-terminated hashes without an early exit on the first difference. */
bool hashesEqual(const char *computed, const char *stored)
{
    size_t n = strlen(stored);
    if (strlen(computed) != n)
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(computed[i] ^ stored[i]);
    return diff == 0;
}

/* Reads the first line of standard input, line breaks turned into NULs. */
bool readPasswordLine(char *buf, size_t size)
{
    /* read(2) rather than stdio, so that no copy stays behind in a FILE buffer. */
    size_t n = 0;
    while (n + 1 < size) {
        char c;
        ssize_t r = read(STDIN_FILENO, &c, 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        buf[n++] = c;
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    if (n == 0)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (buf[i] == '\n' || buf[i] == '\r')
            buf[i] = '\0';
    return true;
}

int oneShot(char option, const char *user)
{
    int result = PASSCHECK_BAD_REQUEST;
    long value = 0;
    bool print = false;
    switch (option) {
    case 'v': {
        char password[kPasswordLine];
        if (!readPasswordLine(password, sizeof(password))) {
            explicit_bzero(password, sizeof(password));
            return PASSCHECK_BAD_REQUEST;
        }
        result = checkPassword(user, password);
        explicit_bzero(password, sizeof(password));
        if (result == PASSCHECK_OK)
            recordLogin();
        break;
    }
    case 's':
        result = accountStatus(user, &value);
        print = result == PASSCHECK_OK;
        break;
    case 't':
        result = accountExpiry(user, &value);
        print = result == PASSCHECK_OK;
        break;
    default:
        return PASSCHECK_BAD_REQUEST;
    }
    if (print)
        printf("%ld\n", value);
    printf("\n");
    fflush(stdout);
    return result;
}

int32_t toWord(long value)
{
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

} // namespace

extern "C" {

int checkPassword(const char *user, const char *password)
{
    const time_t now = time(nullptr);
    spwd *sp = nullptr;
    int rc = lookupShadow(user, &sp);
    if (rc != PASSCHECK_OK)
        return rc;
    /* getpwnam may reuse no buffer of getspnam, but copy what is needed first anyway. */
    const long expire = sp->sp_expire, lastChange = sp->sp_lstchg, maxAge = sp->sp_max;
    const char *stored = sp->sp_pwdp;
    passwd *pw = getpwnam(user);
    if (pw == nullptr)
        return PASSCHECK_NO_USER;
    hisuid = static_cast<int>(pw->pw_uid);
    haveuid = 1;

    const char *computed = stored != nullptr ? crypt_rn(password, stored, &g_crypt, sizeof(g_crypt)) : nullptr;
    bool match = computed != nullptr && hashesEqual(computed, stored);
    explicit_bzero(&g_crypt, sizeof(g_crypt));
    if (!match)
        return PASSCHECK_BAD_PASSWORD;

    spwd fields;
    memset(&fields, 0, sizeof(fields));
    fields.sp_expire = expire;
    fields.sp_lstchg = lastChange;
    fields.sp_max = maxAge;
    const long day = today(now);
    if (accountExpired(&fields, day))
        return PASSCHECK_ACCOUNT_EXPIRED;
    if (passwordExpired(&fields, day))
        return PASSCHECK_PASSWORD_EXPIRED;
    return PASSCHECK_OK;
}

int accountStatus(const char *user, long *bits)
{
    const long day = today(time(nullptr));
    spwd *sp = nullptr;
    int rc = lookupShadow(user, &sp);
    if (rc != PASSCHECK_OK)
        return rc;
    long value = 0;
    if (accountExpired(sp, day))
        value |= PASSCHECK_EXPIRED;
    if (passwordExpired(sp, day))
        value |= PASSCHECK_PASSWORD_STALE;
    if (sp->sp_pwdp != nullptr && strchr(sp->sp_pwdp, '!') != nullptr)
        value |= PASSCHECK_LOCKED;
    *bits = value;
    return PASSCHECK_OK;
}

int accountExpiry(const char *user, long *day)
{
    spwd *sp = nullptr;
    int rc = lookupShadow(user, &sp);
    if (rc != PASSCHECK_OK)
        return rc;
    *day = sp->sp_expire;
    return PASSCHECK_OK;
}

void recordLogin(void)
{
    if (!haveuid)
        return;
    unsigned char record[kLastlogRecord];
    memset(record, 0, sizeof(record));
    const int32_t when = static_cast<int32_t>(time(nullptr));
    memcpy(record, &when, sizeof(when));
    memcpy(record + 4, "http", 4);
    const char *host = getenv("HOST");
    const char *ip = getenv("IP");
    unsigned char *hostField = record + 4 + kLastlogLine;
    if (host != nullptr && strnlen(host, kLastlogHost + 1) <= kLastlogHost)
        memcpy(hostField, host, strlen(host));
    else if (ip != nullptr)
        memcpy(hostField, ip, strnlen(ip, kLastlogHost));

    int fd = open(kLastlogPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const off_t offset = static_cast<off_t>(static_cast<uid_t>(hisuid)) * static_cast<off_t>(kLastlogRecord);
    if (lseek(fd, offset, SEEK_SET) == offset) {
        ssize_t written = write(fd, record, sizeof(record));
        (void)written; /* a failed update does not change the answer */
    }
    close(fd);
}

int handleRequest(HelperMessage *msg)
{
    const size_t n = static_cast<size_t>(msg->length);
    const char *user = reinterpret_cast<const char *>(msg->payload);
    switch (msg->type) {
    case PASSCHECK_REQ_STATUS:
    case PASSCHECK_REQ_EXPIRY: {
        /* The name must end inside the payload; otherwise the request is malformed. */
        if (memchr(user, '\0', n) == nullptr)
            return PASSCHECK_BAD_REQUEST;
        long value = 0;
        int rc = msg->type == PASSCHECK_REQ_STATUS ? accountStatus(user, &value) : accountExpiry(user, &value);
        memset(msg->payload, 0, sizeof(msg->payload));
        if (rc == PASSCHECK_OK) {
            const int32_t word = toWord(value);
            memcpy(msg->payload, &word, sizeof(word));
            msg->length = sizeof(word);
        } else {
            msg->length = 0;
        }
        return rc;
    }
    case PASSCHECK_REQ_VERIFY: {
        const size_t userLen = strnlen(user, n);
        if (userLen == n)
            return PASSCHECK_BAD_REQUEST;
        const char *password = user + userLen + 1;
        const size_t rest = n - userLen - 1;
        if (strnlen(password, rest) == rest)
            return PASSCHECK_BAD_REQUEST;
        int rc = checkPassword(user, password);
        if (rc == PASSCHECK_OK)
            recordLogin();
        explicit_bzero(msg->payload, sizeof(msg->payload));
        msg->length = 0;
        return rc;
    }
    default:
        fprintf(stderr, "Invalid request type %x", static_cast<unsigned>(msg->type));
        return PASSCHECK_BAD_REQUEST;
    }
}

int passcheckMain(int argc, char **argv)
{
    /* A core file of this process could hold shadow hashes and passwords. */
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    if (argc != 3)
        return PASSCHECK_BAD_REQUEST;
    const char *first = argv[1];
    if (strcmp(first, "--server") == 0)
        return runSocketServer(argv[2], handleRequest);
    if (strcmp(first, "--shutdown") == 0)
        return sendShutdown(argv[2]);
    if (first[0] != '-' || first[1] == '\0')
        return PASSCHECK_BAD_REQUEST;
    return oneShot(first[1], argv[2]);
}

} // extern "C"
