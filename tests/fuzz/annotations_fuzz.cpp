/* Fuzz target of the annotation readers. A tiny part of three named targets
 * is built once; the input bytes are written to a temporary file and read by
 * every annotation reader in turn: the ALT list, the BED intervals (plain,
 * then as BED12 introns, which replace the first), the splice-jump table
 * (flag 1 with every line, then flag 0 with a minimum score of 1, merged
 * into the first as a later pass's junctions are) and the splice-site scores
 * (unscaled, then scaled and clamped by a maximum taken from the input). The
 * tables must come out sorted and merged, and the lookups the aligner makes
 * are then run over windows covering every target, checking that what they
 * return lies inside the window asked for. The tables are freed after each
 * input, so the part looks new to the next one and nothing leaks.
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the annotations_fuzz target, then run e.g.
 *   ./annotations_fuzz -max_len=4096 scratch/ tests/fuzz/corpus/annotations
 * Compiled with -DLS_FUZZ_MAIN instead of -fsanitize=fuzzer, the program runs
 * the target once on each file named on its command line. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "index/index.h"

// The checks walk every output byte; tracing their comparisons would cost
// most of the run and guide the fuzzer nowhere.
#if defined(__clang__)
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define NO_COVERAGE
#endif

#define LS_FUZZ_TARGET "annotations_fuzz"
#include "fuzz_check.h"

namespace {

ls_idx *g_mi;
std::string g_dir, g_path;

void setup() {
    if (g_mi) return;
    ls_verbosity = 0;
    // Lengths chosen so that hand-written seed lines ("chr1 100 200") fall
    // inside, across the end of, and beyond the targets.
    const char *names[3] = {"chr1", "chr2", "chrM"};
    const int lens[3] = {1000, 400, 60};
    std::vector<std::string> seqs;
    uint32_t x = 11;
    for (int len : lens) {
        std::string s((size_t)len, 'A');
        for (char &c : s) c = "ACGT"[(x = x * 1103515245u + 12345u) >> 30];
        seqs.push_back(s);
    }
    const char *seq[3] = {seqs[0].c_str(), seqs[1].c_str(), seqs[2].c_str()};
    g_mi = ls_idx_str(10, 15, 0, 4, 3, seq, names);
    check(g_mi != nullptr, "part built");
    char tmpl[] = "/tmp/annotations_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_dir = tmpl;
    g_path = g_dir + "/in";
    atexit([] {
        remove(g_path.c_str());
        rmdir(g_dir.c_str());
        ls_idx_destroy(g_mi);
    });
}

/* Frees the annotation tables (the part owns them; see lodestar.h) and
 * clears the ALT marks. */
void clear_tables(ls_idx *mi) {
    if (mi->intervals) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) free(mi->intervals[i].a);
        free(mi->intervals);
        mi->intervals = nullptr;
    }
    if (mi->jumps) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) free(mi->jumps[i].a);
        free(mi->jumps);
        mi->jumps = nullptr;
    }
    if (mi->splice_scores) {
        for (uint32_t i = 0; i < 2 * mi->n_seq; ++i) free(mi->splice_scores[i].a);
        free(mi->splice_scores);
        mi->splice_scores = nullptr;
    }
    for (uint32_t i = 0; i < mi->n_seq; ++i) mi->seq[i].is_alt = 0;
    mi->n_alt = 0;
}

NO_COVERAGE void check_tables(const ls_idx *mi, int max_sc) {
    for (uint32_t r = 0; mi->intervals && r < mi->n_seq; ++r) {
        const ls_idx_intv_v &v = mi->intervals[r];
        check(v.n >= 0 && v.n <= v.m && (v.n == 0 || v.a), "interval list shape");
        for (int32_t i = 0; i < v.n; ++i) {
            check(0 <= v.a[i].st && v.a[i].st < v.a[i].en && v.a[i].cnt >= 1, "interval valid");
            if (i > 0)
                check(v.a[i - 1].st < v.a[i].st || (v.a[i - 1].st == v.a[i].st && v.a[i - 1].en < v.a[i].en),
                      "intervals sorted and merged");
        }
    }
    for (uint32_t r = 0; mi->jumps && r < mi->n_seq; ++r) {
        const ls_idx_jump_v &v = mi->jumps[r];
        check(v.n >= 0 && v.n <= v.m && (v.n == 0 || v.a), "jump list shape");
        for (int32_t i = 0; i < v.n; ++i) {
            check(v.a[i].off >= 0 && v.a[i].off2 >= 0 && v.a[i].off != v.a[i].off2, "jump valid");
            if (i > 0)
                check(v.a[i - 1].off < v.a[i].off ||
                          (v.a[i - 1].off == v.a[i].off && v.a[i - 1].off2 < v.a[i].off2),
                      "jumps sorted and merged");
        }
    }
    for (uint32_t r = 0; mi->splice_scores && r < 2 * mi->n_seq; ++r) {
        const ls_idx_spsc_v &v = mi->splice_scores[r];
        check(v.n <= v.m && (v.n == 0 || v.a), "score list shape");
        for (uint32_t i = 0; i < v.n; ++i) {
            const int64_t pos = (int64_t)(v.a[i] >> 8), b = (int)(uint8_t)v.a[i];
            check(pos > 0 && pos < (int64_t)mi->seq[r / 2].len, "score position inside its target");
            check(b >= 128 - 2 * max_sc && b <= 129 + 2 * max_sc, "score byte within the maximum");
            if (i > 0) check(v.a[i - 1] <= v.a[i], "scores sorted");
        }
    }
}

/* The three lookups over one window (en0 below 0: to the target end). */
NO_COVERAGE void lookup(const ls_idx *mi, int32_t rid, int64_t st, int64_t en0, int max_sc, std::vector<uint8_t> &out) {
    const bool valid = rid >= 0 && (uint32_t)rid < mi->n_seq;
    const int64_t len = valid ? mi->seq[rid].len : 100;
    const int64_t en = en0 < 0 || en0 > len ? len : en0;

    // ls_idx_jump_get: records with off in (st, en].
    int32_t n = -1;
    const ls_idx_jump *a = ls_idx_jump_get(mi, rid, (int32_t)st, (int32_t)en0, &n);
    check(n >= 0, "jump count not negative");
    if (!valid || !mi->jumps) check(n == 0 && a == nullptr, "no jumps without a table");
    for (int32_t i = 0; i < n; ++i) check(a[i].off > st && a[i].off <= en, "jump inside the window");

    // ls_idx_spsc_get: one byte per position of [st, en), none at st itself.
    out.assign((size_t)(len + 3), 0xAA);
    const int64_t m = ls_idx_spsc_get(mi, rid, st, en0, (int)(st & 1), out.data());
    if (!valid || !mi->splice_scores) {
        check(m == -1, "no scores without a table");
    } else {
        check(m == (en > st ? en - st : 0), "score count is the window");
        for (int64_t x = 0; x < m; ++x)
            check(out[x] == 255 || (x > 0 && out[x] >= 128 - 2 * max_sc && out[x] <= 129 + 2 * max_sc),
                  "score byte valid");
        check(out[m] == 0xAA, "nothing written past the window");
    }

    // ls_idx_bed_junc over [max(st, 0), en).
    const int64_t bst = st < 0 ? 0 : st;
    out.assign((size_t)(len + 3), 0xAA);
    const int32_t lo = ls_idx_bed_junc(mi, rid, bst, en, out.data());
    if (!valid || !mi->intervals)
        check(lo == -1, "no marks without intervals");
    else
        check(lo >= 0 && lo <= mi->intervals[rid].n, "first interval index in range");
    for (int64_t x = 0; x < en - bst; ++x) check((out[x] & ~15) == 0, "junction marks are bits 0-3");
    if (en >= bst) check(out[en - bst] == 0xAA, "nothing marked past the window");
}

/* Short windows stepping over every target, whole targets, windows across
 * the end or reversed, and targets out of range. */
NO_COVERAGE void lookups(const ls_idx *mi, int max_sc) {
    std::vector<uint8_t> out;
    for (int32_t rid = -1; rid <= (int32_t)mi->n_seq; ++rid) {
        const int64_t len = rid >= 0 && (uint32_t)rid < mi->n_seq ? mi->seq[rid].len : 100;
        for (int64_t st = -1; st <= len; st += 37) {
            lookup(mi, rid, st, st + 1, max_sc, out);
            lookup(mi, rid, st, st + 50, max_sc, out);
        }
        lookup(mi, rid, -1, -1, max_sc, out);
        lookup(mi, rid, 0, len, max_sc, out);
        lookup(mi, rid, len - 10, len + 5, max_sc, out);
        lookup(mi, rid, 20, 5, max_sc, out);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup();
    FILE *fp = fopen(g_path.c_str(), "wb");
    if (fp == nullptr) abort();
    if (size && fwrite(data, 1, size, fp) != size) abort();
    fclose(fp);
    ls_idx *mi = g_mi;
    const char *path = g_path.c_str();

    const int n_alt = ls_idx_alt_read(mi, path);
    int n_marked = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) n_marked += mi->seq[i].is_alt;
    check(n_alt == -1 || (n_alt == mi->n_alt && n_marked <= n_alt), "ALT count");

    ls_idx_bed_read(mi, path, 0);
    check_tables(mi, 63);
    ls_idx_bed_read(mi, path, 1);
    ls_idx_jjump_read(mi, path, 1, -1);
    ls_idx_jjump_read(mi, path, 0, 1);
    ls_idx_spsc_read(mi, path, 20);
    check_tables(mi, 20);
    lookups(mi, 20);

    // A maximum from the input, capped to 0..63 by the reader.
    int max_sc = size ? (int)data[size - 1] % 80 - 8 : 5;
    const float scale = size ? (float)(data[0] % 5) * 0.25f : 0.5f;
    if (ls_idx_spsc_read2(mi, path, max_sc, scale) == 0) {
        max_sc = max_sc > 63 ? 63 : max_sc < 0 ? 0 : max_sc;
        check_tables(mi, max_sc);
        lookups(mi, max_sc);
    }
    clear_tables(mi);
    return 0;
}

#include "replay_main.h"
