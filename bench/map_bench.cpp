/* Mapping speed without base-level alignment: real nanopore reads of E. coli
 * (cut to their first 10 kb; shorter reads are skipped) against the E. coli
 * genome, with the default options. BM_Map runs the whole driver (one
 * iteration maps every read once; items/s is queries per second); the other
 * benchmarks time one stage each on inputs prepared by the stages before it,
 * so that their shares of BM_Map can be read off:
 *   BM_Sketch   minimizers of the query
 *   BM_Seed     query-occurrence filter and anchors from the index
 *   BM_Chain    chaining by dynamic programming and the long join
 *   BM_Regions  regions, parents, secondaries, divergence and mapping quality
 * The data directory is ../shared/data beside the source tree, or
 * $LODESTAR_DATA. */
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "seqio/seq_reader.h"
#include "map/divergence.h"
#include "map/regions.h"
#include "map/chain.h"
#include "pipeline/map_query.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/seeds.h"

namespace {

constexpr int kReadLen = 10000;
constexpr int kMaxReads = 200;

std::string data_dir() {
    if (const char *d = getenv("LODESTAR_DATA")) return d;
    std::string src = __FILE__;
    src = src.substr(0, src.rfind('/')); // bench/
    src = src.substr(0, src.rfind('/')); // the source tree
    return src + "/../shared/data";
}

/* One read's intermediate results, each the input of the next stage. */
struct Prepared {
    std::string seq;
    std::vector<ls128> mins;    // after the query-occurrence filter
    std::vector<ls128> anchors; // sorted by x
    std::vector<uint64_t> seed_pos;
    int rep_len = 0;
    std::vector<ls128> chained; // grouped by chain
    std::vector<uint64_t> chains;
};

struct Setup {
    ls_idx *mi = nullptr;
    ls_mapopt opt;
    std::vector<Prepared> reads;
    bool ok = false;

    Setup() {
        const std::string dir = data_dir();
        mi = ls_idx_build((dir + "/ecoli_k12_mg1655.fa.gz").c_str(), 10, 15, 0, 2);
        ls_bseq_file *fp = ls_bseq_open((dir + "/ecoli_ont_r9_reads.fa.gz").c_str());
        if (!mi || !fp) return;
        ls_mapopt_defaults(&opt);
        ls_mapopt_update(&opt, mi);
        int n;
        while ((int)reads.size() < kMaxReads) {
            ls_bseq_rec *recs = ls_bseq_read(fp, 10000000, 0, &n);
            if (!recs) break;
            for (int i = 0; i < n; ++i) {
                if (recs[i].len >= kReadLen && (int)reads.size() < kMaxReads)
                    reads.push_back(Prepared{std::string(recs[i].seq, kReadLen), {}, {}, {}, 0, {}, {}});
                free(recs[i].name);
                free(recs[i].seq);
                free(recs[i].qual);
                free(recs[i].comment);
            }
            free(recs);
        }
        ls_bseq_close(fp);
        for (auto &r : reads) prepare(r);
        ok = !reads.empty();
    }
    ~Setup() { ls_idx_destroy(mi); }

    void prepare(Prepared &r) {
        const int len = kReadLen;
        const char *s = r.seq.c_str();
        ls128_vec mv = {0, 0, nullptr};
        ls_map_collect_minimizers(nullptr, &opt, mi, 1, &len, &s, &mv);
        ls_seed_filter_query_occ(nullptr, &mv.n, mv.a, opt.mid_occ, opt.query_occ_fraction);
        r.mins.assign(mv.a, mv.a + mv.n);
        int64_t n_a;
        int n_sp;
        uint64_t *sp;
        ls128 *a = ls_collect_anchors(nullptr, &opt, opt.mid_occ, mi, nullptr, &mv, len, &n_a, &r.rep_len,
                                      &n_sp, &sp);
        r.anchors.assign(a, a + n_a);
        r.seed_pos.assign(sp, sp + n_sp);
        kfree(nullptr, sp);
        kfree(nullptr, mv.a);
        int n_u;
        uint64_t *u;
        a = chain(nullptr, a, n_a, &n_u, &u);
        int64_t total = 0;
        for (int i = 0; i < n_u; ++i) total += (uint32_t)u[i];
        r.chained.assign(a, a + total);
        r.chains.assign(u, u + n_u);
        kfree(nullptr, a);
        kfree(nullptr, u);
    }

    /* Chaining as the driver does it for a single long read. */
    ls128 *chain(km_arena *km, ls128 *a, int64_t n_a, int *n_u, uint64_t **u) const {
        const float pen_gap = (float)(opt.gap_cost_scale * 0.01 * mi->k), pen_skip = 0.0f;
        a = nx_lchain_dp(opt.chain_max_gap, opt.chain_max_gap, opt.bw, opt.chain_skip_limit,
                         opt.chain_iter_limit, opt.chain_min_anchors, opt.chain_min_score, pen_gap, pen_skip,
                         0, 1, n_a, a, n_u, u, km);
        if (*n_u >= 2) {
            const int st = (int32_t)a[0].y, en = (int32_t)a[(uint32_t)(*u)[0] - 1].y;
            if (kReadLen - (en - st) > opt.rmq_rescue_min ||
                (float)(en - st) > (float)kReadLen * opt.rmq_rescue_fraction) {
                int64_t total = 0;
                for (int i = 0; i < *n_u; ++i) total += (uint32_t)(*u)[i];
                ls_sort_128x(a, a + total);
                kfree(km, *u);
                a = nx_lchain_rmq(opt.chain_max_gap, opt.rmq_inner_distance, opt.long_bw,
                                  opt.chain_skip_limit, opt.rmq_cap, opt.chain_min_anchors,
                                  opt.chain_min_score, pen_gap, pen_skip, total, a, n_u, u, km);
            }
        }
        return a;
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

bool ready(benchmark::State &state) {
    if (setup().ok) return true;
    state.SkipWithError("E. coli data not found (set LODESTAR_DATA)");
    return false;
}

void BM_Map(benchmark::State &state) {
    if (!ready(state)) return;
    Setup &s = setup();
    ls_tbuf *b = ls_tbuf_init();
    int64_t n_regs_total = 0;
    for (auto _ : state) {
        for (const auto &r : s.reads) {
            int n;
            ls_reg *regs = ls_map(s.mi, kReadLen, r.seq.c_str(), &n, b, &s.opt, nullptr);
            n_regs_total += n;
            for (int i = 0; i < n; ++i) free(regs[i].p);
            free(regs);
        }
    }
    ls_tbuf_destroy(b);
    state.SetItemsProcessed(state.iterations() * (int64_t)s.reads.size());
    state.counters["regions_per_read"] =
        benchmark::Counter((double)n_regs_total / ((double)state.iterations() * s.reads.size()));
}
BENCHMARK(BM_Map)->Unit(benchmark::kMillisecond);

void BM_Sketch(benchmark::State &state) {
    if (!ready(state)) return;
    Setup &s = setup();
    km_arena *km = km_create();
    for (auto _ : state) {
        for (const auto &r : s.reads) {
            const int len = kReadLen;
            const char *q = r.seq.c_str();
            ls128_vec mv = {0, 0, nullptr};
            ls_map_collect_minimizers(km, &s.opt, s.mi, 1, &len, &q, &mv);
            benchmark::DoNotOptimize(mv.a);
            kfree(km, mv.a);
        }
    }
    km_release(km);
    state.SetItemsProcessed(state.iterations() * (int64_t)s.reads.size());
}
BENCHMARK(BM_Sketch)->Unit(benchmark::kMillisecond);

void BM_Seed(benchmark::State &state) {
    if (!ready(state)) return;
    Setup &s = setup();
    km_arena *km = km_create();
    for (auto _ : state) {
        for (auto &r : s.reads) {
            std::vector<ls128> mins = r.mins; // the filter works in place
            ls128_vec mv = {mins.size(), mins.size(), mins.data()};
            ls_seed_filter_query_occ(km, &mv.n, mv.a, s.opt.mid_occ, s.opt.query_occ_fraction);
            int64_t n_a;
            int rep, n_sp;
            uint64_t *sp;
            ls128 *a = ls_collect_anchors(km, &s.opt, s.opt.mid_occ, s.mi, nullptr, &mv, kReadLen, &n_a, &rep,
                                          &n_sp, &sp);
            kfree(km, a);
            kfree(km, sp);
        }
    }
    km_release(km);
    state.SetItemsProcessed(state.iterations() * (int64_t)s.reads.size());
}
BENCHMARK(BM_Seed)->Unit(benchmark::kMillisecond);

/* Chains every read's anchors (a fresh arena copy each time, since the
 * chainers consume their input) with the given chainer. */
template <typename Chainer> void run_chainer(benchmark::State &state, Chainer chain) {
    if (!ready(state)) return;
    Setup &s = setup();
    km_arena *km = km_create();
    for (auto _ : state) {
        for (const auto &r : s.reads) {
            if (r.anchors.empty()) continue;
            ls128 *a = static_cast<ls128 *>(km_malloc(km, r.anchors.size() * sizeof(ls128)));
            memcpy(a, r.anchors.data(), r.anchors.size() * sizeof(ls128));
            int n_u;
            uint64_t *u;
            a = chain(s, km, a, (int64_t)r.anchors.size(), &n_u, &u);
            kfree(km, a);
            kfree(km, u);
        }
    }
    km_release(km);
    state.SetItemsProcessed(state.iterations() * (int64_t)s.reads.size());
}

void BM_Chain(benchmark::State &state) {
    run_chainer(state, [](Setup &s, km_arena *km, ls128 *a, int64_t n, int *n_u, uint64_t **u) {
        return s.chain(km, a, n, n_u, u);
    });
}
BENCHMARK(BM_Chain)->Unit(benchmark::kMillisecond);

/* The range-minimum chainer alone, as chosen with LS_F_RMQ. */
void BM_ChainRmq(benchmark::State &state) {
    run_chainer(state, [](Setup &s, km_arena *km, ls128 *a, int64_t n, int *n_u, uint64_t **u) {
        const float pen_gap = (float)(s.opt.gap_cost_scale * 0.01 * s.mi->k);
        return nx_lchain_rmq(s.opt.chain_max_gap, s.opt.rmq_inner_distance, s.opt.bw, s.opt.chain_skip_limit,
                             s.opt.rmq_cap, s.opt.chain_min_anchors, s.opt.chain_min_score, pen_gap, 0.0f, n,
                             a, n_u, u, km);
    });
}
BENCHMARK(BM_ChainRmq)->Unit(benchmark::kMillisecond);

void BM_Regions(benchmark::State &state) {
    if (!ready(state)) return;
    Setup &s = setup();
    const ls_mapopt &o = s.opt;
    km_arena *km = km_create();
    for (auto _ : state) {
        for (const auto &r : s.reads) {
            const uint32_t h = ls_query_hash(nullptr, kReadLen, o.hash_seed, o.flag);
            ls_reg *regs = ls_regions_from_chains(km, h, kReadLen, (int)r.chains.size(), r.chains.data(),
                                                  r.chained.data(), 0);
            int n = regs ? (int)r.chains.size() : 0;
            ls_set_parent(km, o.overlap_mask_level, o.overlap_mask_len, n, regs,
                          2 * o.match_score + o.mismatch_penalty, 0, o.alt_drop_fraction);
            ls_select_sub(km, o.secondary_ratio, 2 * s.mi->k, o.max_secondary, 1,
                          (int)(o.chain_max_gap * 0.8), &n, regs);
            ls_est_err(s.mi, kReadLen, n, regs, r.chained.data(), (int32_t)r.seed_pos.size(),
                       r.seed_pos.data());
            n = ls_filter_by_divergence(n, regs);
            ls_set_mapq(km, n, regs, o.chain_min_score, o.match_score, r.rep_len, 0, 0, 0);
            benchmark::DoNotOptimize(regs);
            free(regs);
        }
    }
    km_release(km);
    state.SetItemsProcessed(state.iterations() * (int64_t)s.reads.size());
}
BENCHMARK(BM_Regions)->Unit(benchmark::kMillisecond);

} // namespace
