// Status queries per second against a passcheck server, next to the same
// exchange against a minimal Unix datagram echo server: the difference is
// what passcheck itself costs per request (shadow lookup, answer).
//
// Run as root: the server reads a private account database in a private
// mount namespace.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "accounts.h"
#include "helperproto.h"
#include "process.h"

namespace {

using testsupport::ScratchFolder;

HelperMessage statusRequest()
{
    HelperMessage m;
    memset(&m, 0, sizeof(m));
    m.type = 2;
    memcpy(m.payload, "alice", 6);
    m.length = 6;
    return m;
}

void runQueries(benchmark::State &state, const std::string &path)
{
    for (auto _ : state) {
        HelperMessage m = statusRequest();
        if (sendMsg(path.c_str(), &m, HELPER_CLIENT_TIMEOUT) != 0 || m.status != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PasscheckStatusQuery(benchmark::State &state)
{
    if (!testsupport::isolationUnavailableReason().empty()) {
        state.SkipWithError(testsupport::isolationUnavailableReason().c_str());
        return;
    }
    testsupport::UserEntry alice;
    alice.name = "alice";
    alice.uid = 1001;
    alice.hash = testsupport::cryptHash("secret", "$y$");
    testsupport::IsolatedAccounts accounts({alice});
    ScratchFolder dir;
    testsupport::ProcessSpec spec;
    spec.argv = {PASSCHECK_PATH, "--server", dir / "s"};
    testsupport::BackgroundProcess server(spec);
    if (!testsupport::waitForDatagramServer(dir / "s", 5000)) {
        state.SkipWithError("server did not start");
        return;
    }
    runQueries(state, dir / "s");
    sendShutdown((dir / "s").c_str());
    server.waitExit(5000, nullptr);
}

// Echoes every datagram back to its sender until told to stop.
void BM_EchoServerRoundTrip(benchmark::State &state)
{
    ScratchFolder dir;
    const std::string path = dir / "echo";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        state.SkipWithError("bind failed");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        unsigned char buf[HELPER_MSG_SIZE];
        while (!stop) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            sockaddr_un from;
            socklen_t fromLen = sizeof(from);
            ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
            if (n > 0)
                sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), fromLen);
        }
    });
    runQueries(state, path);
    stop = true;
    echo.join();
    close(fd);
}

BENCHMARK(BM_PasscheckStatusQuery)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EchoServerRoundTrip)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    testsupport::enterPrivateMountNamespace();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
