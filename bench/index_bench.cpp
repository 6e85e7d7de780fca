/* Index benchmarks on real genomes: building the index (1 and 2 threads) and
 * loading it from an index file, next to `bwa index` on the same genome in
 * the same run. Each measured job runs in a child process of its own, so
 * that its wall time and its peak resident memory (from wait4) belong to
 * that job alone; the bwa jobs run first and our rows carry the ratios
 * time_vs_bwa and peak_vs_bwa (below 1: faster or smaller than bwa).
 * The last row is the lookup rate of the mapper's hot loop.
 *
 * Genomes are read from $LODESTAR_DATA, else from shared/data beside the
 * repository. A genome that is missing, or bwa when it is not installed,
 * skips its rows. Run e.g.:
 *   build/bench/index_bench --benchmark_counters_tabular=true */
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "index/index.h"
#include "index/sketch.h"

namespace {

std::string data_path(const char *file) {
    const char *env = getenv("LODESTAR_DATA");
    std::string dir;
    if (env && *env) {
        dir = env;
    } else {
        dir = __FILE__; // <repo>/bench/index_bench.cpp -> <repo>/../shared/data
        for (int i = 0; i < 3 && !dir.empty(); ++i) dir = dir.substr(0, dir.find_last_of('/'));
        dir += "/shared/data";
    }
    return dir + "/" + file;
}

bool readable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

struct ChildRun {
    double seconds = 0;
    double peak_mb = 0;
    bool ok = false;
};

/* Runs job() in a child process; wall time and the child's peak RSS. */
template <typename F> ChildRun in_child(F job) {
    ChildRun r;
    fflush(nullptr);
    double t0 = ls_realtime();
    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) _exit(job());
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) return r;
    r.seconds = ls_realtime() - t0;
    r.peak_mb = ru.ru_maxrss / 1024.0; // kilobytes on Linux
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

/* Builds (or loads) every part of path, optionally writing them to out. */
int index_all(const std::string &path, int n_threads, const char *out) {
    ls_idx_reader *r = ls_idx_reader_open(path.c_str(), nullptr, out);
    if (r == nullptr) return 2;
    int n = 0;
    while (ls_idx *mi = ls_idx_reader_read(r, n_threads)) ls_idx_destroy(mi), ++n;
    int err = ls_idx_reader_error(r);
    ls_idx_reader_close(r);
    return n > 0 && err == 0 ? 0 : 3;
}

std::map<std::string, ChildRun> g_bwa; // genome -> bwa index run

void report(benchmark::State &state, const std::string &genome, const ChildRun &r, bool compare) {
    state.SetIterationTime(r.seconds);
    state.counters["peak_MB"] = r.peak_mb;
    auto it = g_bwa.find(genome);
    if (compare && it != g_bwa.end() && it->second.ok) {
        state.counters["time_vs_bwa"] = r.seconds / it->second.seconds;
        state.counters["peak_vs_bwa"] = r.peak_mb / it->second.peak_mb;
    }
}

void BM_BwaIndex(benchmark::State &state, const char *genome) {
    const std::string path = data_path(genome);
    if (!readable(path)) return state.SkipWithError("genome not found");
    if (system("command -v bwa >/dev/null 2>&1") != 0) return state.SkipWithError("bwa not installed");
    const std::string prefix = "/tmp/lodestar-bench-bwa-" + std::to_string(getpid());
    for (auto _ : state) {
        ChildRun r = in_child([&] {
            int fd = open("/dev/null", O_WRONLY);
            if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
            execlp("bwa", "bwa", "index", "-p", prefix.c_str(), path.c_str(), (char *)nullptr);
            return 127;
        });
        if (!r.ok) return state.SkipWithError("bwa index failed");
        g_bwa[genome] = r;
        report(state, genome, r, false);
    }
    for (const char *ext : {".amb", ".ann", ".bwt", ".pac", ".sa"}) remove((prefix + ext).c_str());
}

void BM_IndexBuild(benchmark::State &state, const char *genome) {
    const std::string path = data_path(genome);
    if (!readable(path)) return state.SkipWithError("genome not found");
    const int n_threads = (int)state.range(0);
    for (auto _ : state) {
        ChildRun r = in_child([&] { return index_all(path, n_threads, nullptr); });
        if (!r.ok) return state.SkipWithError("index build failed");
        report(state, genome, r, true);
    }
}

void BM_IndexLoad(benchmark::State &state, const char *genome) {
    const std::string path = data_path(genome);
    if (!readable(path)) return state.SkipWithError("genome not found");
    const std::string idx = "/tmp/lodestar-bench-" + std::to_string(getpid()) + ".idx";
    if (!in_child([&] { return index_all(path, 2, idx.c_str()); }).ok) {
        remove(idx.c_str());
        return state.SkipWithError("writing the index file failed");
    }
    for (auto _ : state) {
        ChildRun r = in_child([&] { return index_all(idx, 1, nullptr); });
        if (!r.ok) return state.SkipWithError("index load failed");
        report(state, genome, r, true);
    }
    remove(idx.c_str());
}

/* Lookups of every minimizer of random 10 kb stretches of the genome. */
void BM_IndexLookup(benchmark::State &state, const char *genome) {
    const std::string path = data_path(genome);
    if (!readable(path)) return state.SkipWithError("genome not found");
    ls_idx *mi = ls_idx_build(path.c_str(), 10, 15, 0, 2);
    if (mi == nullptr) return state.SkipWithError("index build failed");
    std::vector<uint64_t> hashes;
    std::mt19937_64 rng(1);
    std::vector<uint8_t> buf(10000);
    std::string s(buf.size(), 'N');
    for (int i = 0; i < 100; ++i) {
        int rid = (int)(rng() % mi->n_seq);
        if (mi->seq[rid].len < buf.size()) continue;
        int st = (int)(rng() % (mi->seq[rid].len - buf.size() + 1));
        ls_idx_get_bases(mi, rid, st, st + (int)buf.size(), buf.data());
        for (size_t j = 0; j < buf.size(); ++j) s[j] = "ACGTN"[buf[j]];
        ls128_vec v = {0, 0, nullptr};
        ls_sketch(nullptr, s.data(), (int)s.size(), mi->w, mi->k, 0, 0, &v);
        for (size_t j = 0; j < v.n; ++j) hashes.push_back(v.a[j].x >> 8);
        kfree(nullptr, v.a);
    }
    uint64_t sum = 0;
    for (auto _ : state) {
        for (uint64_t h : hashes) {
            int n;
            const uint64_t *p = ls_idx_lookup(mi, h, &n);
            sum += n ? p[0] : 0;
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)hashes.size());
    ls_idx_destroy(mi);
}

const char *const kEcoli = "ecoli_k12_mg1655.fa.gz";
const char *const kDicty = "dicty_ax4_genome.fa.gz";
const char *const kHumanX = "human_grch37_chrX_1-70Mb.fa.gz";

} // namespace

// bwa first: the rows after it compare with its figures.
BENCHMARK_CAPTURE(BM_BwaIndex, ecoli, kEcoli)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_BwaIndex, dicty, kDicty)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_BwaIndex, human_chrX_70Mb, kHumanX)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

BENCHMARK_CAPTURE(BM_IndexBuild, ecoli, kEcoli)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IndexBuild, dicty, kDicty)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IndexBuild, human_chrX_70Mb, kHumanX)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

BENCHMARK_CAPTURE(BM_IndexLoad, ecoli, kEcoli)->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IndexLoad, dicty, kDicty)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IndexLoad, human_chrX_70Mb, kHumanX)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

BENCHMARK_CAPTURE(BM_IndexLookup, ecoli, kEcoli)->Unit(benchmark::kMillisecond);
