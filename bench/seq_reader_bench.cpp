/* Reading throughput of the FASTA/FASTQ readers, in input bytes (as
 * decompressed) per second: the record parser and the batch reader on
 * generated files, plain and gzip, and on real reads and a real genome when
 * the data directory holds them. */
#include "seqio/seq_reader.h"

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>

namespace {

const char *kReads = "/work/shared/data/ecoli_ont_r9_reads.fa.gz";
const char *kShortReads = "/work/shared/data/illumina_hg002_chr20_R1.fq.gz";
const char *kGenome = "/work/shared/data/ecoli_k12_mg1655.fa.gz";

// 40 MB of 150-base FASTQ records, or of 60-column FASTA lines (records of
// 10 kb), written once to a temporary file.
std::string generated(bool fastq, bool gz) {
    std::mt19937_64 rng(7);
    std::string text;
    text.reserve(41 << 20);
    for (int i = 0; text.size() < (40u << 20); ++i) {
        int len = fastq ? 150 : 10000;
        std::string seq(len, 'A');
        for (char &c : seq) c = "ACGT"[rng() & 3];
        text += (fastq ? "@read" : ">contig") + std::to_string(i) + " x\n";
        if (fastq) {
            std::string qual(len, 'I');
            for (char &c : qual) c = (char)('!' + rng() % 40);
            text += seq + "\n+\n" + qual + "\n";
        } else {
            for (int j = 0; j < len; j += 60) text += seq.substr(j, 60) + "\n";
        }
    }
    char path[] = "/tmp/bseq_bench_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) abort();
    close(fd);
    gzFile f = gzopen(path, gz ? "wb1" : "wbT"); // "T": written without compression
    if (!f || gzwrite(f, text.data(), (unsigned)text.size()) != (int)text.size()) abort();
    gzclose(f);
    return path;
}

const std::string &generated_path(int which) { // bit 0: FASTQ, bit 1: gzip
    static std::string paths[4];
    if (paths[which].empty()) {
        paths[which] = generated(which & 1, which & 2);
        atexit([] {
            for (auto &p : paths)
                if (!p.empty()) remove(p.c_str());
        });
    }
    return paths[which];
}

bool readable(const char *path) {
    return access(path, R_OK) == 0;
}

void BM_Parser(benchmark::State &state, std::string path) {
    int64_t bytes = 0;
    for (auto _ : state) {
        gzFile f = gzopen(path.c_str(), "r");
        ls_seq_reader *ks = ls_seq_reader_init(f);
        int ret;
        int64_t n = 0;
        while ((ret = ls_seq_reader_read(ks)) >= 0) n += ret;
        benchmark::DoNotOptimize(n);
        bytes += (int64_t)gztell(f);
        ls_seq_reader_destroy(ks);
        gzclose(f);
    }
    state.SetBytesProcessed(bytes);
}

void BM_Batch(benchmark::State &state, std::string path) {
    int64_t bytes = 0;
    for (auto _ : state) {
        ls_bseq_file *fp = ls_bseq_open(path.c_str());
        int n;
        ls_bseq_rec *a;
        while ((a = ls_bseq_read3(fp, 100000000, 1, 0, 0, &n)) != nullptr) {
            for (int i = 0; i < n; ++i) free(a[i].name), free(a[i].seq), free(a[i].qual), free(a[i].comment);
            free(a);
        }
        bytes += (int64_t)gztell(fp->fp);
        ls_bseq_close(fp);
    }
    state.SetBytesProcessed(bytes);
}

void register_all() {
    const char *kind[] = {"fasta_plain", "fastq_plain", "fasta_gzip", "fastq_gzip"};
    for (int which = 0; which < 4; ++which) {
        benchmark::RegisterBenchmark((std::string("BM_Parser/") + kind[which]).c_str(),
                                     [which](benchmark::State &s) { BM_Parser(s, generated_path(which)); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("BM_Batch/") + kind[which]).c_str(),
                                     [which](benchmark::State &s) { BM_Batch(s, generated_path(which)); })
            ->Unit(benchmark::kMillisecond);
    }
    for (const char *p : {kReads, kShortReads, kGenome}) {
        if (!readable(p)) continue;
        std::string name = strrchr(p, '/') + 1;
        benchmark::RegisterBenchmark(("BM_Parser/" + name).c_str(), BM_Parser, std::string(p))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_Batch/" + name).c_str(), BM_Batch, std::string(p))
            ->Unit(benchmark::kMillisecond);
    }
}

const int kRegistered = (register_all(), 0);

} // namespace
