/* Striped local kernel: cell updates per second for queries of 50 to 500
 * bases against 1 kb targets (reported as GCUPS). The target holds a mutated
 * copy of the query inside random flanks, as the aligner's score-only
 * questions usually do. */
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "align/align.h"
#include "base/arena.h"

namespace {

std::vector<int8_t> default_matrix() {
    std::vector<int8_t> mat(25);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) mat[i * 5 + j] = (int8_t)(i == 4 || j == 4 ? -1 : i == j ? 2 : -4);
    return mat;
}

void BM_LocalScoreI16(benchmark::State &state) {
    const int qlen = (int)state.range(0), tlen = 1000;
    std::mt19937 rng(42);
    std::vector<uint8_t> q(qlen), t(tlen);
    for (auto &c : q) c = rng() % 4;
    for (auto &c : t) c = rng() % 4;
    int off = (tlen - qlen) / 2;
    for (int i = 0; i < qlen; ++i) t[off + i] = rng() % 100 < 10 ? rng() % 4 : q[i];
    auto mat = default_matrix();
    km_arena *km = km_create();
    dpx_profile *p = dpx_profile_init(km, 2, qlen, q.data(), 5, mat.data());
    int q_end, t_end;
    for (auto _ : state) {
        int sc = dpx_local_score_i16(p, tlen, t.data(), 4, 2, &q_end, &t_end);
        benchmark::DoNotOptimize(sc);
    }
    kfree(km, p);
    km_release(km);
    state.counters["GCUPS"] =
        benchmark::Counter((double)qlen * tlen * state.iterations() / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LocalScoreI16)->Arg(50)->Arg(100)->Arg(200)->Arg(300)->Arg(500);

/* Profile construction, paid once per query stretch. */
void BM_ProfileInit(benchmark::State &state) {
    const int qlen = (int)state.range(0);
    std::mt19937 rng(43);
    std::vector<uint8_t> q(qlen);
    for (auto &c : q) c = rng() % 5;
    auto mat = default_matrix();
    km_arena *km = km_create();
    for (auto _ : state) {
        dpx_profile *p = dpx_profile_init(km, 2, qlen, q.data(), 5, mat.data());
        benchmark::DoNotOptimize(p);
        kfree(km, p);
    }
    km_release(km);
}
BENCHMARK(BM_ProfileInit)->Arg(50)->Arg(500);

} // namespace
