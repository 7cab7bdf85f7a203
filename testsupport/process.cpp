#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

namespace {

std::vector<std::string> buildEnvironment(const ProcessSpec &spec)
{
    std::vector<std::string> env;
    auto nameOf = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = nameOf(entry);
        bool drop = false;
        for (const std::string &u : spec.unsetEnv)
            drop |= (u == name);
        for (const std::string &s : spec.setEnv)
            drop |= (nameOf(s) == name);
        if (!drop)
            env.push_back(entry);
    }
    env.insert(env.end(), spec.setEnv.begin(), spec.setEnv.end());
    return env;
}

// In the child: becomes the requested user and executes. Never returns.
[[noreturn]] void execChild(const ProcessSpec &spec, std::vector<std::string> &env)
{
    std::vector<char *> argv, envp;
    for (const std::string &a : spec.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    if (spec.switchUser) {
        if (setgroups(0, nullptr) != 0 || setresgid(spec.gid, spec.gid, spec.gid) != 0 ||
            setresuid(spec.uid, spec.uid, spec.uid) != 0)
            _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

long long nowMillis()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void decodeStatus(int status, ProcessResult *result)
{
    if (WIFEXITED(status)) {
        result->exitCode = WEXITSTATUS(status);
        result->signal = 0;
    } else {
        result->exitCode = -1;
        result->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
}

std::string readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

ProcessResult runProcess(const ProcessSpec &spec)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> env = buildEnvironment(spec);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execChild(spec, env);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Standard input is small in every test; a child that exits without
    // reading it must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (!spec.input.empty() && write(in[1], spec.input.data(), spec.input.size()) < 0 && errno != EPIPE)
        throw std::runtime_error("writing child input failed");
    close(in[1]);

    ProcessResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    decodeStatus(status, &result);
    return result;
}

BackgroundProcess::BackgroundProcess(const ProcessSpec &spec)
{
    char folder[] = "/tmp/process.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    folder_ = folder;
    chmod(folder, 0755);
    std::vector<std::string> env = buildEnvironment(spec);
    std::string outPath = folder_ + "/out", errPath = folder_ + "/err";
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (devnull < 0 || o < 0 || e < 0)
            _exit(125);
        dup2(devnull, 0);
        dup2(o, 1);
        dup2(e, 2);
        execChild(spec, env);
    }
}

BackgroundProcess::~BackgroundProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    unlink((folder_ + "/out").c_str());
    unlink((folder_ + "/err").c_str());
    rmdir(folder_.c_str());
}

bool BackgroundProcess::waitExit(int timeoutMs, ProcessResult *result)
{
    const long long deadline = nowMillis() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            if (result != nullptr) {
                decodeStatus(status, result);
                result->out = out();
                result->err = err();
            }
            return true;
        }
        if (nowMillis() >= deadline)
            return false;
        usleep(2000);
    }
}

bool BackgroundProcess::running()
{
    if (pid_ <= 0)
        return false;
    return waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::string BackgroundProcess::out() const
{
    return readWholeFile(folder_ + "/out");
}

std::string BackgroundProcess::err() const
{
    return readWholeFile(folder_ + "/err");
}

bool waitForDatagramServer(const std::string &path, int timeoutMs)
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() > sizeof(addr.sun_path))
        return false;
    memcpy(addr.sun_path, path.data(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const long long deadline = nowMillis() + timeoutMs;
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool bound = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
        if (fd >= 0)
            close(fd);
        if (bound)
            return true;
        if (nowMillis() >= deadline)
            return false;
        usleep(2000);
    }
}

ScratchFolder::ScratchFolder(mode_t mode)
{
    char folder[] = "/tmp/scratch.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = folder;
    chmod(folder, mode);
}

ScratchFolder::~ScratchFolder()
{
    nftw(
        path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace testsupport
