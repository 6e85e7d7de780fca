/* Chaining time per read for both chainers on simulated anchor sets like
 * those of a 10 kb long read with ~10% error: the true anchors along one
 * diagonal with frequent small indels, a weaker paralogous copy elsewhere on
 * the target, and random decoys over a 100 Mb target, other targets and the
 * other strand. One iteration chains one read with the default parameters
 * (k = 15). */
#include "map/chain.h"

#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

ls128 anchor(uint32_t tpos, uint32_t qpos, uint32_t rid, bool rev) {
    return ls128{(uint64_t)rev << 63 | (uint64_t)rid << 32 | tpos, (uint64_t)15 << 32 | qpos};
}

// n_true anchors over a 10 kb read, n_decoy random anchors.
std::vector<ls128> read_anchors(int n_true, int n_decoy, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<ls128> a;
    const uint32_t qlen = 10000, t0 = 30000000, t1 = 70000000;
    const uint32_t step = (qlen - 14) / (uint32_t)n_true;
    int64_t drift = 0, drift1 = 0;
    for (uint32_t q = 14; q < qlen; q += 1 + rng() % (2 * step)) {
        if (rng() % 4 == 0) drift += (int64_t)(rng() % 7) - 3; // an indel between most pairs
        a.push_back(anchor((uint32_t)(t0 + q + drift), q, 1, false));
        if (rng() % 5 == 0) { // the paralog keeps a fifth of the seeds
            if (rng() % 2 == 0) drift1 += (int64_t)(rng() % 21) - 10;
            a.push_back(anchor((uint32_t)(t1 + q + drift1), q, 1, false));
        }
    }
    for (int k = 0; k < n_decoy; ++k) {
        uint32_t q = 14 + rng() % (qlen - 14), t = (uint32_t)(rng() % 100000000);
        a.push_back(anchor(t, q, (uint32_t)(rng() % 4), rng() % 2 != 0));
    }
    std::sort(a.begin(), a.end(), [](const ls128 &x, const ls128 &y) { return x.x < y.x; });
    return a;
}

const float kPenGap = (float)(0.8f * 0.01 * 15);

template <bool kRangeMin> void BM_Chain(benchmark::State &state) {
    const std::vector<ls128> in = read_anchors((int)state.range(0), (int)state.range(1), 11);
    const int bw = (int)state.range(2);
    km_arena *km = km_create();
    int64_t n_chains = 0;
    for (auto _ : state) {
        ls128 *a = static_cast<ls128 *>(km_malloc(km, in.size() * sizeof(ls128)));
        memcpy(a, in.data(), in.size() * sizeof(ls128));
        int n_u;
        uint64_t *u;
        ls128 *b = kRangeMin ? nx_lchain_rmq(5000, 1000, bw, 25, 100000, 3, 40, kPenGap, 0.0f,
                                             (int64_t)in.size(), a, &n_u, &u, km)
                             : nx_lchain_dp(5000, 5000, bw, 25, 5000, 3, 40, kPenGap, 0.0f, 0, 1,
                                            (int64_t)in.size(), a, &n_u, &u, km);
        benchmark::DoNotOptimize(b);
        n_chains += n_u;
        kfree(km, b);
        kfree(km, u);
    }
    km_release(km);
    state.counters["anchors"] = (double)in.size();
    state.counters["chains"] = (double)n_chains / (double)state.iterations();
}

// Arguments: true anchors, random decoys, bandwidth.
BENCHMARK_TEMPLATE(BM_Chain, false)
    ->Args({500, 2000, 500})
    ->Args({1500, 2000, 500})
    ->Args({1500, 10000, 500})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Chain, true)
    ->Args({500, 2000, 500})
    ->Args({1500, 2000, 500})
    ->Args({1500, 10000, 500})
    ->Args({1500, 2000, 20000}) // the long join's bandwidth
    ->Unit(benchmark::kMicrosecond);

} // namespace
