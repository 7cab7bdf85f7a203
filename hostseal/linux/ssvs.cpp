#include "ssvs.h"

#include "helperproto.h"
#include "smbios.h"

#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

char *hardwareInfoMode = nullptr;
char *pathToBoardProbe = nullptr;
char *pathToSysInfoSocket = nullptr;

namespace {

const int kLineMax = 255;
const int kBufferSize = 264;

void releaseHardware(char **hardware)
{
    for (int i = 0; i < 3; i++) {
        free(hardware[i]);
        hardware[i] = nullptr;
    }
}

} // namespace

int get_sysname(char *buffer)
{
    struct utsname u;
    if (uname(&u) != 0)
        return 0;
    snprintf(buffer, kBufferSize, "%s", u.sysname);
    return 1;
}

int get_hostname(char *buffer)
{
    struct utsname u;
    if (uname(&u) != 0)
        return 0;
    snprintf(buffer, kBufferSize, "%s", u.nodename);
    return 1;
}

int get_totalswap(char *buffer)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return 0;
    snprintf(buffer, kBufferSize, "%ld", static_cast<long>(si.totalswap));
    return 1;
}

int get_mac_address(char *buffer)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 0;
    struct ifreq req;
    memset(&req, 0, sizeof req);
    strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
    int rc = ioctl(fd, SIOCGIFHWADDR, &req);
    close(fd);
    if (rc != 0)
        return 0;
    const unsigned char *a = reinterpret_cast<const unsigned char *>(req.ifr_hwaddr.sa_data);
    snprintf(buffer, kBufferSize, "%02x:%02x:%02x:%02x:%02x:%02x",
             a[0], a[1], a[2], a[3], a[4], a[5]);
    return 1;
}

int get_hardware_info_using_fork(char **hardware)
{
    int fds[2];
    if (pipe(fds) != 0) {
        int err = errno;
        perror("pipe");
        return err;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char *argv[] = {pathToBoardProbe, nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, pathToBoardProbe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        perror("posix_spawn");
        close(fds[0]);
        close(fds[1]);
        return rc;
    }
    close(fds[1]);

    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    int status = 1;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done < 0 || (done == pid && status != 0)) {
        close(fds[0]);
        return done < 0 ? 1 : status;
    }

    char line[kLineMax + 1];
    int used = 0;
    int lines = 0;
    char c;
    while (lines < 3 && read(fds[0], &c, 1) == 1) {
        if (c == '\n') {
            line[used] = '\0';
            hardware[lines++] = strdup(line);
            used = 0;
        } else if (used < kLineMax) {
            line[used++] = c;
        }
    }
    // Read on to the end so a child with more output cannot block on a
    // full pipe while we wait for it below.
    char sink[256];
    while (read(fds[0], sink, sizeof sink) > 0) {
    }
    if (done == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(fds[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : status;
}

int get_hardware_info_using_socket(char **hardware)
{
    HelperMessage msg;
    memset(&msg, 0, sizeof msg);
    msg.length = 32;
    msg.type = 1;
    int rc = sendMsg(pathToSysInfoSocket, &msg, HELPER_CLIENT_TIMEOUT);
    if (rc != 0)
        return rc;
    if (msg.status != 0) {
        errno = msg.status;
        perror("error from socket call");
        return msg.status;
    }
    const char *p = reinterpret_cast<const char *>(msg.payload);
    const char *end = p + msg.length;
    for (int i = 0; i < 3; i++) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == nullptr) {
            fputs("Invalid result from unix socket call", stderr);
            return EINVAL;
        }
        hardware[i] = strndup(p, static_cast<size_t>(nl - p));
        p = nl + 1;
    }
    return 0;
}

int get_hardware_info_using_call(char **hardware)
{
    char *area = nullptr;
    int rc = accessSmBiosData(&area);
    if (rc != 0)
        return rc;
    if (area == nullptr)
        return ENOENT;
    hardware[0] = strndup(area + SMBIOS_UUID_FIELD, SMBIOS_FIELD_SIZE - 1);
    hardware[1] = strndup(area + SMBIOS_PROCESSOR_FIELD, SMBIOS_FIELD_SIZE - 1);
    hardware[2] = strndup(area + SMBIOS_MEMORY_FIELD, SMBIOS_FIELD_SIZE - 1);
    return 0;
}

int __getSSVS(int flag, char **values)
{
    (void)flag;
    char **hardware = values + 3;
    const char *mode = hardwareInfoMode != nullptr ? hardwareInfoMode : "";
    int rc = 0;
    if (strcmp(mode, "Fork") == 0) {
        rc = get_hardware_info_using_fork(hardware);
    } else if (strcmp(mode, "Socket") == 0) {
        rc = get_hardware_info_using_socket(hardware);
    } else if (strcmp(mode, "Call") == 0) {
        rc = get_hardware_info_using_call(hardware);
    } else {
        fputs("system fingerprint running in test mode\n", stderr);
        for (int i = 0; i < 3; i++)
            hardware[i] = strdup("Unspecified");
    }
    if (rc != 0) {
        releaseHardware(hardware);
        return rc;
    }

    // One buffer for all four: when eth0 has no readable address the buffer
    // still holds the swap text, and that text is then the seventh value.
    char buffer[kBufferSize] = "";
    get_sysname(buffer);
    values[0] = strdup(buffer);
    get_hostname(buffer);
    values[1] = strdup(buffer);
    get_totalswap(buffer);
    values[2] = strdup(buffer);
    get_mac_address(buffer);
    values[6] = strdup(buffer);
    return 0;
}

void __freeSSVS(char **values)
{
    if (values == nullptr)
        return;
    for (int i = 0; i < SSVS_COUNT; i++) {
        free(values[i]);
        values[i] = nullptr;
    }
}

int shutdownUnixSocketServer(void)
{
    if (pathToSysInfoSocket == nullptr)
        return EINVAL;
    return sendShutdown(pathToSysInfoSocket);
}
