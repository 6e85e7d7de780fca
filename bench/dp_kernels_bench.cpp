/* Throughput of the extension kernels, in in-band cells per second, on pairs
 * of 1 kb and 10 kb at 10% divergence, with the scalar model of the tests as
 * a baseline; the spliced kernel (no band) on 1 kb and 3 kb. Arguments:
 * length, band, mode (0 path, 1 fast, 2 score only). Run once per
 * instruction set with LODESTAR_DISABLE_CPU_FEATURES=avx512 (AVX2) or =avx2
 * (SSE2); the label names the one that ran. */
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "../tests/align/kernels/dp_reference.h"
#include "base/arena.h"
#include "align/kernels/dp_kernel.h"

namespace {

typedef std::vector<uint8_t> Seq;

struct Pair {
    Seq t, q;
};

/* A random target and a query at 10% divergence: substitutions, and short
 * insertions and deletions in equal numbers. */
const Pair &pair_of(int len) {
    static std::vector<std::pair<int, Pair>> cache;
    for (auto &c : cache)
        if (c.first == len) return c.second;
    std::mt19937_64 rng(1000 + len);
    std::uniform_int_distribution<int> base(0, 3), indel(1, 3);
    std::uniform_real_distribution<double> u(0, 1);
    Pair p;
    for (int i = 0; i < len; ++i) p.t.push_back((uint8_t)base(rng));
    for (int i = 0; i < len; ++i) {
        double x = u(rng);
        if (x < 0.06) {
            p.q.push_back((uint8_t)((p.t[i] + 1 + base(rng) % 3) & 3));
        } else if (x < 0.08) {
            for (int k = indel(rng); k > 0; --k) p.q.push_back((uint8_t)base(rng));
            p.q.push_back(p.t[i]);
        } else if (x < 0.10) {
            i += indel(rng) - 1;
        } else {
            p.q.push_back(p.t[i]);
        }
    }
    cache.push_back({len, p});
    return cache.back().second;
}

std::vector<int8_t> default_matrix() {
    std::vector<int8_t> m(25);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) m[i * 5 + j] = (int8_t)(i == 4 || j == 4 ? -1 : i == j ? 2 : -4);
    return m;
}

int64_t band_cells(int qlen, int tlen, int bw) {
    int64_t n = 0;
    for (int r = 0; r < qlen + tlen - 1; ++r) {
        int st0, en0;
        dpx_band(r, qlen, tlen, bw, &st0, &en0);
        if (st0 > en0) break;
        n += en0 - st0 + 1;
    }
    return n;
}

int mode_flag(int mode) {
    return mode == 0 ? 0 : mode == 1 ? DPX_EZ_FAST_MAX : DPX_EZ_NO_PATH;
}

enum Which { kDual, kSingle, kSplice, kModelDual };

void run(benchmark::State &state, Which which) {
    const Pair &p = pair_of((int)state.range(0));
    const int bw = (int)state.range(1), flag = mode_flag((int)state.range(2));
    const int qlen = (int)p.q.size(), tlen = (int)p.t.size();
    std::vector<int8_t> mat = default_matrix();
    km_arena *km = km_create();
    dpx_extz ez = dpx_extz();
    for (auto _ : state) {
        if (which == kDual) {
            dpx_extd2(km, qlen, p.q.data(), tlen, p.t.data(), 5, mat.data(), 4, 2, 24, 1, bw, 400, -1,
                          flag, &ez);
            benchmark::DoNotOptimize(ez.score);
        } else if (which == kSplice) { // no band: the spliced kernel fills the whole matrix
            dpx_exts2(km, qlen, p.q.data(), tlen, p.t.data(), 5, mat.data(), 4, 2, 32, 9, 400, -1, 0, 0, flag,
                      nullptr, &ez);
            benchmark::DoNotOptimize(ez.score);
        } else if (which == kSingle) {
            dpx_extz2(km, qlen, p.q.data(), tlen, p.t.data(), 5, mat.data(), 4, 2, bw, 400, -1, flag,
                          &ez);
            benchmark::DoNotOptimize(ez.score);
        } else {
            dpxref::Result r = dpxref::align(true, qlen, p.q.data(), tlen, p.t.data(), 5, mat.data(), 4, 2,
                                             24, 1, bw, 400, -1, flag);
            benchmark::DoNotOptimize(r.score);
        }
    }
    kfree(km, ez.cigar);
    km_release(km);
    if (which != kModelDual) state.SetLabel(dpx_kernel_isa());
    const double cells = which == kSplice ? (double)qlen * tlen : (double)band_cells(qlen, tlen, bw);
    state.counters["cells/s"] = benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_extd2(benchmark::State &state) {
    run(state, kDual);
}
void BM_extz2(benchmark::State &state) {
    run(state, kSingle);
}
void BM_exts2(benchmark::State &state) {
    run(state, kSplice);
}
void BM_scalar_model_extd2(benchmark::State &state) {
    run(state, kModelDual);
}

void args(benchmark::internal::Benchmark *b) {
    for (int len : {1000, 10000})
        for (int bw : {751, 30001})
            for (int mode : {0, 1, 2}) b->Args({len, bw, mode});
    b->Unit(benchmark::kMillisecond);
}

void model_args(benchmark::internal::Benchmark *b) {
    for (int len : {1000, 10000})
        for (int bw : {751, 30001}) b->Args({len, bw, 0});
    b->Unit(benchmark::kMillisecond)->Iterations(1);
}

} // namespace

BENCHMARK(BM_extd2)->Apply(args);
BENCHMARK(BM_extz2)->Apply(args);
BENCHMARK(BM_exts2)->Args({1000, 0, 0})->Args({1000, 0, 2})->Args({3000, 0, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_scalar_model_extd2)->Apply(model_args);
