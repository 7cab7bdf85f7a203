// Split and join throughput (secret bytes per second) for 3-of-5 sharing.
#include "secretshare.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kShares = 5;
constexpr int kThreshold = 3;

std::vector<unsigned char> secretOf(size_t n)
{
    std::vector<unsigned char> s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<unsigned char>(i * 131 + 7);
    return s;
}

void BM_Split(benchmark::State &state)
{
    const auto secret = secretOf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        unsigned char *shares = __split(secret.data(), int(secret.size()), kShares, kThreshold);
        if (shares == nullptr) {
            state.SkipWithError("split failed");
            break;
        }
        benchmark::DoNotOptimize(shares);
        free(shares);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Join(benchmark::State &state)
{
    const auto secret = secretOf(static_cast<size_t>(state.range(0)));
    const size_t L = secret.size();
    unsigned char *shares = __split(secret.data(), int(L), kShares, kThreshold);
    if (shares == nullptr) {
        state.SkipWithError("split failed");
        return;
    }
    // Join the last three shares, so the weights are not the trivial ones.
    const unsigned char *picked = shares + (kShares - kThreshold) * (L + 1);
    for (auto _ : state) {
        unsigned char *out = __join(picked, int(L), kThreshold);
        if (out == nullptr) {
            state.SkipWithError("join failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        free(out);
    }
    free(shares);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Split)->Arg(32)->Arg(1 << 20);
BENCHMARK(BM_Join)->Arg(32)->Arg(1 << 20);

} // namespace
