/* Radix sort against std::sort on random keys: 10 million ls128 records by
 * x and 1 million 64-bit values. Each iteration sorts a fresh copy of the
 * same input; the copy is not timed. Compare the radix/std pairs' times for
 * the speed-up. */
#include "base/diagnostics.h"
#include "base/radix_sort.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

const std::vector<ls128> &input_128(size_t n) {
    static std::vector<ls128> v;
    if (v.size() != n) {
        std::mt19937_64 rng(1);
        v.resize(n);
        for (auto &r : v) r = ls128{rng(), rng()};
    }
    return v;
}

const std::vector<uint64_t> &input_64(size_t n) {
    static std::vector<uint64_t> v;
    if (v.size() != n) {
        std::mt19937_64 rng(2);
        v.resize(n);
        for (auto &x : v) x = rng();
    }
    return v;
}

template <typename T, typename Sort> void run(benchmark::State &state, const std::vector<T> &in, Sort sort) {
    std::vector<T> a(in.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(in.begin(), in.end(), a.begin());
        state.ResumeTiming();
        sort(a);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)in.size());
}

void BM_radix_128x(benchmark::State &state) {
    run(state, input_128(state.range(0)),
        [](std::vector<ls128> &a) { ls_sort_128x(a.data(), a.data() + a.size()); });
}

void BM_std_128x(benchmark::State &state) {
    run(state, input_128(state.range(0)), [](std::vector<ls128> &a) {
        std::sort(a.begin(), a.end(), [](const ls128 &p, const ls128 &q) { return p.x < q.x; });
    });
}

void BM_radix_64(benchmark::State &state) {
    run(state, input_64(state.range(0)),
        [](std::vector<uint64_t> &a) { ls_sort_64(a.data(), a.data() + a.size()); });
}

void BM_std_64(benchmark::State &state) {
    run(state, input_64(state.range(0)), [](std::vector<uint64_t> &a) { std::sort(a.begin(), a.end()); });
}

} // namespace

BENCHMARK(BM_radix_128x)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_128x)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_radix_64)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_64)->Arg(1000000)->Unit(benchmark::kMillisecond);
