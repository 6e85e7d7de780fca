/* Sketch throughput in bases per second on a bacterial genome (E. coli K-12
 * when the data directory holds it, else 5 Mb of random bases). */
#include "index/sketch.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <random>
#include <string>

namespace {

const char *kGenome = "/work/shared/data/ecoli_k12_mg1655.fa.gz";

// All sequence lines of a FASTA file, records concatenated; empty if the file
// cannot be read.
std::string read_fasta(const char *path) {
    std::string seq;
    gzFile fp = gzopen(path, "r");
    if (!fp) return seq;
    char line[65536];
    bool header = false; // inside a header line longer than the buffer
    while (gzgets(fp, line, sizeof(line))) {
        size_t n = strlen(line);
        bool whole = n > 0 && line[n - 1] == '\n';
        if (!header && line[0] != '>') {
            while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
            seq.append(line, n);
        } else {
            header = !whole;
        }
    }
    gzclose(fp);
    return seq;
}

const std::string &genome() {
    static const std::string seq = [] {
        std::string s = read_fasta(kGenome);
        if (s.empty()) {
            std::mt19937_64 rng(1);
            s.resize(5000000);
            for (char &c : s) c = "ACGT"[rng() & 3];
        }
        return s;
    }();
    return seq;
}

void BM_Sketch(benchmark::State &state, int k, int w, int is_hpc) {
    const std::string &s = genome();
    ls128_vec v = {0, 0, nullptr};
    for (auto _ : state) {
        v.n = 0; // keep the list's memory between rounds
        ls_sketch(nullptr, s.data(), (int)s.size(), w, k, 0, is_hpc, &v);
        benchmark::DoNotOptimize(v.a);
    }
    state.counters["bases/s"] =
        benchmark::Counter((double)s.size() * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["minimizers"] = (double)v.n;
    state.counters["genome_bases"] = (double)s.size();
    free(v.a);
}

BENCHMARK_CAPTURE(BM_Sketch, k15_w10, 15, 10, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sketch, k19_w19_hpc, 19, 19, 1)->Unit(benchmark::kMillisecond);

} // namespace
