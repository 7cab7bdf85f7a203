// GetAllUsers over a large private account database, per helper mode: what
// one user record costs in Call mode (shadow read in process), Socket mode
// (two requests to a passcheck server) and Fork mode (two passcheck runs).
//
// Run as root: the accounts live in a private mount namespace.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "acctsrc.h"
#include "process.h"

namespace {

std::unique_ptr<testsupport::IsolatedAccounts> Accounts(int n)
{
    std::vector<testsupport::UserEntry> users;
    for (int i = 0; i < n; ++i) {
        testsupport::UserEntry u;
        u.name = "user" + std::to_string(i);
        u.uid = 10000 + static_cast<uid_t>(i);
        u.gecos = "User Number " + std::to_string(i);
        u.hash = "!";
        users.push_back(u);
    }
    return std::make_unique<testsupport::IsolatedAccounts>(users);
}

std::wstring Widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

void ListAll(benchmark::State &state, const wchar_t *mode, int accounts)
{
    if (!testsupport::isolationUnavailableReason().empty()) {
        state.SkipWithError(testsupport::isolationUnavailableReason().c_str());
        return;
    }
    auto db = Accounts(accounts);
    testsupport::ScratchFolder dir;
    testsupport::ProcessSpec spec;
    spec.argv = {PASSCHECK_PATH, "--server", dir / "s"};
    testsupport::BackgroundProcess server(spec);
    if (!testsupport::waitForDatagramServer(dir / "s", 5000)) {
        state.SkipWithError("server did not start");
        return;
    }
    SetPasscheckPath(Widen(PASSCHECK_PATH).c_str());
    SetPasscheckUnixSocketPath(Widen(dir / "s").c_str());
    SetPasscheckMode(mode);
    size_t records = 0;
    for (auto _ : state) {
        size_t count = 0;
        UserInfo **users = nullptr;
        if (GetAllUsers(static_cast<size_t>(-1), &count, &users) != 0 || users[count - 1]->status != 1) {
            state.SkipWithError("listing failed");
            break;
        }
        records += count;
        FreeUserInfos(&users, count);
    }
    state.SetItemsProcessed(static_cast<int64_t>(records));
    state.counters["time_per_record"] = benchmark::Counter(
        static_cast<double>(records), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    ShutdownUnixSocketServer();
    server.waitExit(5000, nullptr);
}

void BM_GetAllUsersCall(benchmark::State &state)
{
    ListAll(state, L"Call", static_cast<int>(state.range(0)));
}
void BM_GetAllUsersSocket(benchmark::State &state)
{
    ListAll(state, L"Socket", static_cast<int>(state.range(0)));
}
void BM_GetAllUsersFork(benchmark::State &state)
{
    ListAll(state, L"Fork", static_cast<int>(state.range(0)));
}

BENCHMARK(BM_GetAllUsersCall)->Arg(10000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAllUsersSocket)->Arg(10000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAllUsersFork)->Arg(100)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    testsupport::enterPrivateMountNamespace();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
