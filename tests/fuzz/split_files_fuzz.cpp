/* Fuzz target of the split-index temporary-file reader. The first input byte
 * picks the merge's settings; the rest is written as the temporary file of
 * part 0. With bit 1 set, part 1 is a valid file written by the library's own
 * writer (one target; three queries, as many as the seeds hold), so that the
 * fuzzed regions are joined with real ones and ranked together. The headers
 * are read, then one query after another is merged until a merge fails or
 * part 0 ends (then the end check runs). Any result is fine; merged regions
 * must lie inside their target and query, and nothing may leak.
 *
 * Settings byte: bit 0 base-level alignment records (LS_F_BASE_ALIGN), bit 1
 * a second part, bits 2-3 the query length (1000, 200, 20 or 100000), bits
 * 4-7 LS_F_ALL_CHAINS, LS_F_SHORT_READ, LS_F_SPLICE, LS_F_HARD_MASK_LEVEL.
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the split_files_fuzz target, then run e.g.
 *   ./split_files_fuzz -max_len=8192 scratch/ tests/fuzz/corpus/split_files
 * Seeds come from make_fuzz_seeds.cpp. Compiled with -DLS_FUZZ_MAIN instead
 * of -fsanitize=fuzzer, the program runs the target once on each file named
 * on its command line. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "index/index.h"
#include "pipeline/split_files.h"

#define LS_FUZZ_TARGET "split_files_fuzz"
#include "fuzz_check.h"

namespace {

std::string g_dir, g_prefix;
ls_idx *g_part1; // the target of part 1

void setup() {
    if (g_part1) return;
    ls_verbosity = 0;
    std::string s(300, 'A');
    uint32_t x = 7;
    for (char &c : s) c = "ACGT"[(x = x * 1103515245u + 12345u) >> 30];
    const char *seq[1] = {s.c_str()}, *name[1] = {"chrB"};
    g_part1 = ls_idx_str(10, 15, 0, 2, 1, seq, name);
    check(g_part1 != nullptr, "part 1 built");
    g_part1->part_index = 1;
    char tmpl[] = "/tmp/split_files_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_dir = tmpl;
    g_prefix = g_dir + "/sf";
    atexit([] {
        remove((g_prefix + ".0000.tmp").c_str()); // written here, not by the module
        ls_split_remove(g_prefix.c_str(), 2);
        rmdir(g_dir.c_str());
        ls_idx_destroy(g_part1);
    });
}

/* Part 1: three queries, the second with a region of 40 bases (clipped
 * to the query length) on chrB. */
void write_part1(int64_t flag, int qlen) {
    FILE *fp = ls_split_open_out(g_prefix.c_str(), g_part1);
    check(fp != nullptr, "part 1 opened");
    const int len = qlen < 40 ? qlen : 40;
    const uint32_t cap = sizeof(ls_extra) / 4 + 1;
    ls_extra *p = static_cast<ls_extra *>(calloc(cap, 4));
    p->capacity = cap;
    p->aln_score = p->max_score = p->raw_max_score = 2 * len;
    p->n_cigar = 1;
    p->cigar[0] = (uint32_t)len << 4 | LS_CIGAR_MATCH;
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.n_anchors = 4, r.chain_score = r.initial_score = len;
    r.qe = len, r.rs = 10, r.re = 10 + len;
    r.match_len = r.block_len = len;
    r.divergence = 0.0f;
    r.p = (flag & LS_F_BASE_ALIGN) ? p : nullptr;
    for (int q = 0; q < 3; ++q) check(ls_split_write_query(fp, flag, q & 1, &r, 0, 0) == 0, "part 1 written");
    free(p);
    fclose(fp);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup();
    const uint8_t ctl = size ? data[0] : 0;
    const uint8_t *body = size ? data + 1 : data;
    const size_t body_size = size ? size - 1 : 0;
    const int n_parts = ctl & 2 ? 2 : 1;
    const int qlens[4] = {1000, 200, 20, 100000};
    const int qlen = qlens[ctl >> 2 & 3];
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.split_prefix = g_prefix.c_str();
    if (ctl & 1) opt.flag |= LS_F_BASE_ALIGN;
    if (ctl & 16) opt.flag |= LS_F_ALL_CHAINS;
    if (ctl & 32) opt.flag |= LS_F_SHORT_READ;
    if (ctl & 64) opt.flag |= LS_F_SPLICE;
    if (ctl & 128) opt.flag |= LS_F_HARD_MASK_LEVEL;

    const std::string part0 = g_prefix + ".0000.tmp";
    FILE *out = fopen(part0.c_str(), "wb");
    if (out == nullptr) abort();
    if (body_size && fwrite(body, 1, body_size, out) != body_size) abort();
    fclose(out);
    if (n_parts == 2) write_part1(opt.flag, qlen);

    FILE *files[2] = {nullptr, nullptr};
    uint32_t n_seq[2] = {0, 0};
    int err = -1;
    ls_idx *mi = ls_split_read_headers(g_prefix.c_str(), n_parts, files, n_seq, &err);
    if (mi == nullptr) {
        check(err == LS_MAP_ERR_INPUT && files[0] == nullptr, "a failed header read closes its files");
    } else {
        check(err == 0 && mi->n_seq == n_seq[0] + n_seq[1], "merged target count");
        for (uint32_t i = 0; i < mi->n_seq; ++i) check(mi->seq[i].name != nullptr, "every target named");
        const int32_t rid_shift[2] = {0, (int32_t)n_seq[0]};
        for (size_t iter = 0;; ++iter) {
            check(iter <= body_size / 12, "each query takes 12 bytes or more");
            const int c = fgetc(files[0]);
            if (c == EOF) {
                ls_split_check_end(n_parts, files, g_prefix.c_str());
                break;
            }
            ungetc(c, files[0]);
            ls_reg *regs = nullptr;
            int n_reg = -1, rep = -1, gap = -1;
            const int ret =
                ls_split_merge_query(n_parts, files, rid_shift, mi, &opt, qlen, nullptr, &regs, &n_reg, &rep, &gap);
            if (ret != 0) {
                check(ret == -1 && regs == nullptr && n_reg == 0, "a failed merge returns nothing");
                break;
            }
            check(n_reg >= 0, "region count not negative");
            for (int i = 0; i < n_reg; ++i) {
                const ls_reg &r = regs[i];
                check(r.target_id >= 0 && (uint32_t)r.target_id < mi->n_seq, "region names a target");
                check(0 <= r.rs && r.rs <= r.re && (uint32_t)r.re <= mi->seq[r.target_id].len,
                      "region inside its target");
                check(0 <= r.qs && r.qs <= r.qe && r.qe <= qlen, "region inside the query");
                if (opt.flag & LS_F_BASE_ALIGN) check(r.p != nullptr, "alignment detail kept");
                free(r.p);
            }
            free(regs);
        }
        fclose(files[0]);
        if (files[1]) fclose(files[1]);
        ls_idx_destroy(mi);
    }
    remove(part0.c_str());
    ls_split_remove(g_prefix.c_str(), 2);
    return 0;
}

#include "replay_main.h"
