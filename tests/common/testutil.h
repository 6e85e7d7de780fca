/* Helpers shared by the tests: temporary files, running the command, the
 * arena leak check, random and encoded sequences with their scoring
 * matrices, splitting text, region records and spliced genes. */
#ifndef LODESTAR_TESTUTIL_H
#define LODESTAR_TESTUTIL_H

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/arena.h"
#include "lodestar.h"

namespace lstest {

/* A fresh directory under the system's temporary folder, removed with its
 * contents when the object goes out of scope. */
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    /* Path of a file inside the directory. */
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
/* Writes content gzip-compressed. */
void write_gzip(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

struct RunResult {
    int status = -1; /* exit status, or -1 if the process did not exit normally */
    std::string out, err;
};

/* Runs a shell command line, capturing standard output and standard error. */
RunResult run_command(const std::string &cmdline);

/* Checks that every block taken from km went back (each core is one free
 * block again), then releases km. */
void expect_all_freed_and_release(km_arena *km);

/* A sequence in the 0-4 code (A, C, G, T, anything else N). */
typedef std::vector<uint8_t> Seq;

Seq encode(const std::string &s);

/* Random numbers and sequences from one seeded engine. */
struct SeqGen {
    std::mt19937_64 rng;
    explicit SeqGen(uint64_t seed) : rng(seed) {}
    int uni(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double real() { return std::uniform_real_distribution<double>(0, 1)(rng); }
    /* len random codes 0-3, each replaced by 4 with probability n_rate. */
    Seq random_seq(int len, double n_rate = 0) {
        Seq s(len);
        for (auto &c : s) c = real() < n_rate ? 4 : (uint8_t)uni(0, 3);
        return s;
    }
};

/* Scoring matrix as the aligners build it: match a, mismatch -b, -amb against
 * N, and -tp for transitions (A/G, C/T) when tp is set. */
std::vector<int8_t> make_matrix(int a, int b, int amb, int tp = 0);

/* n random bases, each "ACGT"[rng() & 3]. */
std::string random_dna(std::mt19937 &rng, size_t n);

/* The fields of s between separators: n separators make n + 1 fields, empty
 * ones included. */
std::vector<std::string> split(const std::string &s, char sep);
/* The lines of text without their line feeds; a final line feed ends the last
 * line rather than starting an empty one. */
std::vector<std::string> lines(const std::string &text);

/* An index of in-memory targets (w 10, k 15, 2^10 buckets), named chr1,
 * chr2, ... unless nameless; destroyed with the object. */
struct Idx {
    ls_idx *mi;
    explicit Idx(const std::vector<std::string> &t, bool named = true);
    ~Idx();
    Idx(const Idx &) = delete;
    Idx &operator=(const Idx &) = delete;
};

/* A CIGAR operation: len << 4 | the code of letter c in LS_CIGAR_STR. */
uint32_t op(uint32_t len, char c);
/* CIGAR text ("5M2I3M") of n operations, or of an alignment detail ("" for
 * none). */
std::string cigar_str(const uint32_t *cigar, size_t n);
std::string cigar_str(const ls_extra *p);
/* The CIGAR of a region's alignment detail. */
std::vector<uint32_t> cigar_of(const ls_reg &r);
/* An alignment detail without CIGAR (8 zeroed words, capacity 8) with the
 * given max_score; free with free. */
ls_extra *new_extra(int max_score);
/* Frees the detail of each of the n regions, then the array: what a caller
 * of ls_map owes. */
void free_regions(int n, ls_reg *regs);

/* A gene on a genome: its exons as [start, end), ascending. */
struct Gene {
    std::vector<std::pair<int, int>> exons;
};
/* Plants canonical GT..AG introns between the exons of a gene. */
void plant_introns(std::string &g, const Gene &gene);
/* The exons of gene joined. */
std::string transcript(const std::string &g, const Gene &gene);
/* Lengths of the N operations of a region's CIGAR. */
std::vector<int> introns_of(const ls_reg &r);

/* The DP kernels run their widest build the CPU has, so the tests before
 * this call checked that build; this one runs the tests of gtest_filter again
 * in a child process for each narrower build (AVX2 with AVX-512 switched off,
 * SSE2 with AVX2 switched off), so that every build is checked. In a child it
 * checks that the switch took. */
void check_narrower_kernels(const std::string &gtest_filter);

} // namespace lstest

#endif
