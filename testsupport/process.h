// Test helper: runs real programs as child processes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct ProcessSpec {
    std::vector<std::string> argv;
    std::string input;                 // written to standard input, which is then closed
    std::vector<std::string> setEnv;   // "NAME=value", added to or replacing the inherited ones
    std::vector<std::string> unsetEnv; // names removed from the inherited environment
    bool switchUser = false;           // run with uid/gid below (real and effective), no supplementary groups
    uid_t uid = 65534;
    gid_t gid = 65534;
};

struct ProcessResult {
    int exitCode = -1; // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs the program to its end and collects its output.
ProcessResult runProcess(const ProcessSpec &spec);

// A program left running (a helper server); its output goes to files.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const ProcessSpec &spec);
    ~BackgroundProcess(); // kills the process if it still runs
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    pid_t pid() const { return pid_; }
    // Waits up to timeoutMs for the end; returns true and fills result if it ended.
    bool waitExit(int timeoutMs, ProcessResult *result);
    bool running();
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::string folder_;
};

// Waits until a datagram server is bound at path (a connect succeeds), up to timeoutMs.
bool waitForDatagramServer(const std::string &path, int timeoutMs);

// A scratch folder removed with everything in it when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(mode_t mode = 0700);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace testsupport
