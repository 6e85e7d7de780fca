/* Fuzz target of the whole path from query bytes to output lines. The input
 * is a FASTA/FASTQ query file (plain or gzip) mapped against a small fixed
 * genome (map_genome.h, indexed once at start) under option sets given as
 * command lines: chaining only, and base-level alignment with MD, cs and ds
 * strings, short-read pairs, spliced alignment and all chains kept. Each
 * execution maps under the chaining set and one aligned set that the
 * input's length picks; the replay uses every set. The records come from
 * the batch reader and are grouped and mapped as the file pipeline does;
 * every region gives a PAF line and, where the options allow SAM, a SAM
 * record; every unmapped query a PAF line without hit and an unmapped SAM
 * record. The oracle: either the
 * reader reports the input as malformed, or every line passes the strict
 * checks of sam_check.h and each SAM alignment lies inside its target. A
 * violation prints the option set, the line and the fault, then aborts. The
 * SAM header is checked once at start.
 *
 * LS_MAP_FUZZ_PRINT=1 in the environment prints every line checked, with
 * its option set, to standard output (for triage).
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the map_fuzz target, then run e.g.
 *   ./map_fuzz -close_fd_mask=2 scratch/ tests/fuzz/corpus/map
 * Compiled with -DLS_FUZZ_MAIN instead of -fsanitize=fuzzer, the program runs
 * the target once on each file named on its command line. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "args.h"
#include "base/arena.h"
#include "lodestar.h"
#include "map/regions.h"
#include "map_genome.h"
#include "seqio/seq_reader.h"
#include "../common/sam_check.h"

namespace {

/* Option sets, as the command's arguments after "lodestar"; the first
 * aligns nothing. */
const char *const kOptionSets[] = {
    "-x map-ont --paf-no-hit",
    "-x map-ont -a --MD --eqx",
    "-x map-hifi -c --cs=long --secondary-seq --qstrand",
    "-x sr -a --ds",
    "-x splice -a --cs -Y",
    "-x map-ont -a -P --frag=yes --secondary-seq",
};
const int kNumSets = (int)(sizeof(kOptionSets) / sizeof(kOptionSets[0]));

struct Setup {
    ls_idx *mi = nullptr;
    ls_mapopt opt[kNumSets];
    std::string path; // the input bytes go here
    bool print = false;
};
Setup g;

void report(int set, const char *what, const std::string &line, const std::string &why) {
    std::string shown;
    for (unsigned char c : line.substr(0, 2000)) {
        char buf[8];
        if (c == '\t' || (c >= ' ' && c < 0x7f))
            shown += (char)c;
        else
            snprintf(buf, sizeof(buf), "\\x%02x", c), shown += buf;
    }
    fprintf(stderr, "map_fuzz: %s line invalid under \"%s\": %s\n  %s\n", what,
            set >= 0 ? kOptionSets[set] : "(header)", why.c_str(), shown.c_str());
    abort();
}

/* Target span of a CIGAR (M, D, N, =, X). */
int64_t cigar_target_len(const std::string &c) {
    int64_t total = 0, len = 0;
    for (char ch : c) {
        if (ch >= '0' && ch <= '9') {
            len = len * 10 + (ch - '0');
            continue;
        }
        if (strchr("MDN=X", ch) != nullptr) total += len;
        len = 0;
    }
    return total;
}

/* Beyond syntax: an aligned record lies inside a target of the index. */
void check_sam_against_index(int set, const std::string &line) {
    std::vector<std::string> f(1);
    for (char c : line) {
        if (c == '\t') {
            if (f.size() == 6) break;
            f.emplace_back();
        } else {
            f.back() += c;
        }
    }
    if (f[2] == "*") return;
    const int rid = ls_idx_name_to_id(g.mi, f[2].c_str());
    if (rid < 0) report(set, "SAM", line, "RNAME is no target of the index");
    if (f[5] == "*") return;
    const int64_t end = atoll(f[3].c_str()) - 1 + cigar_target_len(f[5]);
    if (atoll(f[3].c_str()) < 1 || end > (int64_t)g.mi->seq[rid].len)
        report(set, "SAM", line, "alignment runs past the end of its target");
}

void check_line(int set, bool sam, const ls_string &str) {
    const std::string line(str.s != nullptr ? str.s : "", str.l);
    if (g.print) printf("%d\t%s\n", set, line.c_str());
    std::string why;
    if (sam) {
        if (!ls_test_sam_line_ok(line, &why)) report(set, "SAM", line, why);
        check_sam_against_index(set, line);
    } else if (!ls_test_paf_line_ok(line, &why)) {
        report(set, "PAF", line, why);
    }
}

void free_recs(std::vector<ls_bseq_rec> &recs) {
    for (ls_bseq_rec &r : recs) free(r.name), free(r.seq), free(r.qual), free(r.comment);
    recs.clear();
}

/* Reads the whole file as the pipeline does, stopping at the first batch that
 * the reader flags. Returns false when the input was malformed. */
bool read_records(const ls_mapopt &opt, std::vector<ls_bseq_rec> &recs) {
    ls_bseq_file *fp = ls_bseq_open(g.path.c_str());
    if (fp == nullptr) abort();
    bool ok = true;
    for (;;) {
        int n = 0;
        ls_bseq_rec *a = ls_bseq_read3(fp, opt.batch_bases, 1, 0, !!(opt.flag & LS_F_FRAGMENT), &n);
        recs.insert(recs.end(), a, a + n);
        free(a);
        if (ls_bseq_error(fp)) ok = false;
        if (n == 0 || !ok) break;
    }
    ls_bseq_close(fp);
    return ok;
}

/* Maps the records under option set `set` and checks every line. */
void map_and_check(int set) {
    const ls_mapopt &opt = g.opt[set];
    const int64_t flag = opt.flag;
    std::vector<ls_bseq_rec> recs;
    const bool input_ok = read_records(opt, recs);
    const int n = (int)recs.size();
    std::vector<int> n_reg(n), rep_len(n), frag_gap(n);
    std::vector<ls_reg *> reg(n);
    ls_tbuf *b = ls_tbuf_init();
    km_arena *km = km_create();
    ls_string str = {0, 0, nullptr};
    const bool frag_mode = (flag & LS_F_FRAGMENT) != 0;
    // Fragments as the pipeline groups them: consecutive records of one
    // name, at most LS_MAX_SEG of them.
    for (int i = 1, off = 0; i <= n; ++i) {
        if (i < n && frag_mode && i - off < LS_MAX_SEG && ls_same_fragment(recs[i - 1].name, recs[i].name))
            continue;
        const int pe = i - off;
        // SAM as the command can ask for it: not with target coordinates
        // along the query, and only with base-level alignment for pairs
        // (whose SAM primaries come from alignment).
        const bool sam = !(flag & LS_F_QUERY_STRAND) && ((flag & LS_F_BASE_ALIGN) || pe == 1);
        ls_map_records(g.mi, pe, &recs[off], &n_reg[off], &reg[off], &rep_len[off], &frag_gap[off], b, &opt);
        for (int s = 0; s < pe; ++s) {
            const ls_bseq_rec *t = &recs[off + s];
            const ls_reg *const *regss = (const ls_reg *const *)&reg[off];
            for (int j = 0; j < n_reg[off + s]; ++j) {
                const ls_reg *r = &reg[off + s][j];
                if ((flag & LS_F_NO_SECONDARY) && r->id != r->parent) continue;
                if (sam) {
                    ls_sam_format(&str, g.mi, t, s, j, pe, &n_reg[off], regss, km, flag, rep_len[off + s]);
                    if (input_ok) check_line(set, true, str);
                }
                ls_paf_format(&str, g.mi, t, r, km, flag, rep_len[off + s], pe, s);
                if (input_ok) check_line(set, false, str);
            }
            if (n_reg[off + s] == 0) {
                if (sam) {
                    ls_sam_format(&str, g.mi, t, s, -1, pe, &n_reg[off], regss, km, flag, rep_len[off + s]);
                    if (input_ok) check_line(set, true, str);
                }
                ls_paf_format(&str, g.mi, t, nullptr, nullptr, flag, rep_len[off + s], pe, s);
                if (input_ok) check_line(set, false, str);
            }
        }
        off = i;
    }
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n_reg[i]; ++j) free(reg[i][j].p);
        free(reg[i]);
    }
    free(str.s);
    km_release(km);
    ls_tbuf_destroy(b);
    free_recs(recs);
}

/* The SAM header (written to standard output) with a read group, checked
 * line by line. The read group's ID then tags every record. */
void check_header() {
    char tmpl[] = "/tmp/map_fuzz_header_XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    fflush(stdout);
    const int saved = dup(1);
    dup2(fd, 1);
    char arg0[] = "lodestar", arg1[] = "-a", arg2[] = "ref\tname.fa";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    const int ret = ls_sam_header(g.mi, "@RG\\tID:fuzz\\tSM:x y", LS_VERSION, 3, argv);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    if (ret != 0) report(-1, "SAM header", "", "ls_sam_header failed");
    std::string text;
    char buf[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, buf, sizeof(buf))) > 0) text.append(buf, (size_t)got);
    close(fd);
    remove(tmpl);
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); ++lines) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(at, nl - at);
        std::string why;
        if (!ls_test_sam_header_line_ok(line, &why)) report(-1, "SAM header", line, why);
        at = nl + 1;
    }
    if (lines != 2 + g.mi->n_seq + 1) report(-1, "SAM header", text, "not @HD, @SQ per target, @RG, @PG");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ls_verbosity = 0;
    const char *env = getenv("LS_MAP_FUZZ_PRINT");
    g.print = env != nullptr && strcmp(env, "1") == 0;
    lssim::Genome genome;
    if (!ls_fuzz_map_genome(&genome)) abort();
    std::vector<const char *> seqs, names;
    for (const lssim::Contig &c : genome.contigs)
        seqs.push_back(c.seq.c_str()), names.push_back(c.name.c_str());
    g.mi = ls_idx_str(10, 15, 0, -1, (int)seqs.size(), seqs.data(), names.data());
    if (g.mi == nullptr || ls_idx_build_name_index(g.mi) != 0) abort();
    for (int s = 0; s < kNumSets; ++s) {
        std::vector<std::string> words{"lodestar"};
        for (const char *p = kOptionSets[s]; *p;) {
            const char *q = strchr(p, ' ');
            if (q == nullptr) q = p + strlen(p);
            words.emplace_back(p, q);
            p = *q ? q + 1 : q;
        }
        words.push_back("ref.fa"), words.push_back("reads.fa");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(&w[0]);
        lodestar_cmd::Args a;
        std::string err;
        if (!lodestar_cmd::parse_args((int)argv.size(), argv.data(), &a, &err) ||
            ls_opt_check(&a.io, &a.mo) < 0) {
            fprintf(stderr, "map_fuzz: option set \"%s\": %s\n", kOptionSets[s], err.c_str());
            abort();
        }
        g.opt[s] = a.mo;
        g.opt[s].split_prefix = nullptr;
        ls_mapopt_update(&g.opt[s], g.mi);
    }
    check_header();
    char tmpl[] = "/tmp/map_fuzz_XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    close(fd);
    g.path = tmpl;
    atexit([] { remove(g.path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *out = fopen(g.path.c_str(), "wb");
    if (!out) abort();
    if (size && fwrite(data, 1, size, out) != size) abort();
    fclose(out);
#ifdef LS_FUZZ_MAIN
    // The replay checks every input under every set.
    for (int s = 0; s < kNumSets; ++s) map_and_check(s);
#else
    // Fuzzing maps with the chaining set and one aligned set, picked by the
    // input's length, so that an execution costs two mappings, not six.
    map_and_check(0);
    map_and_check(1 + (int)(size % (kNumSets - 1)));
#endif
    return 0;
}

#define LS_FUZZ_HAS_INITIALIZE
#include "replay_main.h"
