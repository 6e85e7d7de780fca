/* Arena against the system allocator on the allocation pattern of mapping
 * one query: many small arrays grown by doubling, a few fixed scratch
 * buffers, some arrays trimmed to their final size, and everything freed at
 * the end of the query. */
#include "base/arena.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

struct Query {
    std::vector<uint32_t> lengths; /* final element count of each growing array */
    std::vector<uint32_t> scratch; /* bytes of each fixed scratch buffer */
};

/* A fixed set of queries, so both allocators do the same work. */
const std::vector<Query> &queries() {
    static const std::vector<Query> qs = [] {
        std::mt19937_64 rng(20240611);
        std::vector<Query> v(64);
        for (Query &q : v) {
            int n_arrays = 16 + rng() % 48;
            for (int i = 0; i < n_arrays; ++i) {
                /* Mostly short arrays, a few long ones (anchors, DP rows). */
                uint32_t len = rng() % 8 == 0 ? 256 + rng() % 8192 : 1 + rng() % 64;
                q.lengths.push_back(len);
            }
            int n_scratch = 4 + rng() % 8;
            for (int i = 0; i < n_scratch; ++i) q.scratch.push_back(64 + rng() % 16384);
        }
        return v;
    }();
    return qs;
}

struct Item {
    uint64_t x, y;
};

struct Array {
    size_t n, m;
    Item *a;
};

void map_one_query(km_arena *km, const Query &q) {
    std::vector<Array> arrays(q.lengths.size(), Array{0, 0, nullptr});
    std::vector<void *> scratch;
    /* Arrays grow interleaved, as the stages of a query append to several at
     * once: each round doubles every array that is still short of its final
     * length and writes its newest element (the copying of the contents
     * belongs to the allocators' cost). */
    bool growing = true;
    for (size_t round = 0; growing; ++round) {
        growing = false;
        for (size_t i = 0; i < arrays.size(); ++i) {
            Array &v = arrays[i];
            if (v.m >= q.lengths[i]) continue;
            v.m = v.m ? v.m * 2 : 2;
            v.a = static_cast<Item *>(km_realloc(km, v.a, v.m * sizeof(Item)));
            v.n = v.m < q.lengths[i] ? v.m : q.lengths[i];
            v.a[v.n - 1].x = round;
            v.a[v.n - 1].y = i;
            growing = true;
        }
        if (round < q.scratch.size()) scratch.push_back(km_calloc(km, q.scratch[round], 1));
    }
    for (size_t j = scratch.size(); j < q.scratch.size(); ++j)
        scratch.push_back(km_calloc(km, q.scratch[j], 1));
    /* Every third array is trimmed to its final size, as results are. */
    for (size_t i = 0; i < arrays.size(); i += 3)
        arrays[i].a = static_cast<Item *>(km_move(km, arrays[i].a, arrays[i].n * sizeof(Item)));
    uint64_t sum = 0;
    for (Array &v : arrays) {
        sum += v.a[v.n - 1].x;
        kfree(km, v.a);
    }
    for (void *p : scratch) kfree(km, p);
    benchmark::DoNotOptimize(sum);
}

void run(benchmark::State &state, km_arena *km) {
    const std::vector<Query> &qs = queries();
    size_t k = 0;
    for (auto _ : state) {
        map_one_query(km, qs[k]);
        k = (k + 1) % qs.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Arena(benchmark::State &state) {
    km_arena *km = km_create(); /* one arena per thread, kept across queries */
    run(state, km);
    km_release(km);
}

void BM_System(benchmark::State &state) {
    run(state, nullptr);
}

} // namespace

BENCHMARK(BM_Arena);
BENCHMARK(BM_System);
