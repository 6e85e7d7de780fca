/* Fuzz target of the FASTA/FASTQ readers. The input bytes are written to a
 * temporary file (zlib reads it as plain text or, with the gzip magic, as
 * compressed data) and go through the record parser, a rewind, the batch
 * reader in fragment mode and the lockstep reader. Besides memory errors it
 * checks that the readers agree with each other.
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the seq_reader_fuzz target, then run e.g.
 *   ./seq_reader_fuzz -max_len=100000 -close_fd_mask=2 corpus/
 * (-close_fd_mask=2 silences the readers' warnings about malformed input.)
 * Compiled with -DLS_FUZZ_MAIN instead of -fsanitize=fuzzer, the program runs
 * the target once on each file named on its command line. */
#include <stdint.h>
#include <stdio.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "seqio/seq_reader.h"

#define LS_FUZZ_TARGET "seq_reader_fuzz"
#include "fuzz_check.h"

namespace {

std::string g_path;

// Each string's zero byte sits at its length, inside its allocation.
void check_string(const ls_string &s) {
    if (s.s == nullptr) return;
    check(s.l < s.m, "string length below capacity");
    check(s.s[s.l] == 0, "string terminated");
}

struct Result {
    int ret;
    std::string name, seq, qual;
};

// Parses the whole file; the first negative result ends the list.
std::vector<Result> parse(ls_seq_reader *ks) {
    std::vector<Result> out;
    for (;;) {
        int ret = ls_seq_reader_read(ks);
        check_string(ks->name);
        check_string(ks->comment);
        check_string(ks->seq);
        check_string(ks->qual);
        if (ret >= 0) {
            check((uint64_t)ret == ks->seq.l, "result is the sequence length");
            check(ks->qual.l == 0 || ks->qual.l == ks->seq.l, "quality as long as the sequence");
            for (uint64_t i = 0; i < ks->seq.l; ++i) check(isalpha((unsigned char)ks->seq.s[i]), "bases are letters");
            for (uint64_t i = 0; i < ks->qual.l; ++i)
                check(ks->qual.s[i] >= '!' && ks->qual.s[i] <= '~', "qualities are printable");
            out.push_back({ret, std::string(ks->name.s, ks->name.l), std::string(ks->seq.s, ks->seq.l),
                           std::string(ks->qual.s ? ks->qual.s : "", ks->qual.l)});
        } else {
            check(ret >= LS_SEQ_NOT_SEQUENCE, "known negative result");
            check(ret == LS_SEQ_EOF || ret == LS_SEQ_READ_ERROR || ks->fault[0] != 0, "a failure says why");
            out.push_back({ret, "", "", ""});
            if (ret == LS_SEQ_EOF || ret == LS_SEQ_READ_ERROR || ret == LS_SEQ_NOT_SEQUENCE)
                check(ls_seq_reader_read(ks) == ret, "the end is sticky");
            return out;
        }
    }
}

void free_batch(ls_bseq_rec *a, int n) {
    for (int i = 0; i < n; ++i) {
        free(a[i].name);
        free(a[i].seq);
        free(a[i].qual);
        free(a[i].comment);
    }
    free(a);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/bseq_fuzz_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    close(fd);
    g_path = tmpl;
    atexit([] { remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *out = fopen(g_path.c_str(), "wb");
    if (!out) abort();
    if (size && fwrite(data, 1, size, out) != size) abort();
    fclose(out);

    // Parser, then the same again after a rewind.
    gzFile f = gzopen(g_path.c_str(), "r");
    if (!f) return 0;
    // A few compressed bytes can expand to many records, so progress is
    // bounded by the bytes the reader will see, not by the input's size.
    size_t plain_size = 0;
    for (char buf[4096];;) {
        int got = gzread(f, buf, sizeof(buf));
        if (got <= 0) break;
        plain_size += (size_t)got;
    }
    if (gzrewind(f) != 0) {
        gzclose(f);
        return 0;
    }
    ls_seq_reader *ks = ls_seq_reader_init(f);
    std::vector<Result> first = parse(ks);
    bool read_error = first.back().ret == LS_SEQ_READ_ERROR;
    if (gzrewind(f) == 0) {
        ls_seq_reader_rewind(ks);
        std::vector<Result> again = parse(ks);
        check(again.size() == first.size(), "rewind gives the same records");
        for (size_t i = 0; i < again.size(); ++i)
            check(again[i].ret == first[i].ret && again[i].seq == first[i].seq &&
                      again[i].name == first[i].name && again[i].qual == first[i].qual,
                  "rewind gives the same records");
    }
    ls_seq_reader_destroy(ks);
    gzclose(f);

    // Batch reader in fragment mode with a batch size from the input: it
    // yields the parser's records in order, all of them unless a malformed
    // record came first (after which it goes on where the parser stopped).
    int64_t chunk = size ? 1 + data[0] % 64 : 1;
    ls_bseq_file *fp = ls_bseq_open(g_path.c_str());
    if (!fp) return 0;
    size_t n_good = first.size() - 1, k = 0;
    for (size_t iter = 0;; ++iter) {
        check(iter <= plain_size + 2, "batch reader makes progress");
        int n = -1;
        ls_bseq_rec *a = ls_bseq_read3(fp, chunk, 1, 1, 1, &n);
        check((a == nullptr) == (n == 0), "array null exactly when empty");
        for (int i = 0; i < n; ++i, ++k) {
            if (k >= n_good) continue;
            const Result &r = first[k];
            check(a[i].len == r.ret && memcmp(a[i].name, r.name.data(), r.name.size() + 1) == 0,
                  "batch matches parser");
            for (int j = 0; j < a[i].len; ++j) {
                char c = r.seq[j] == 'U' ? 'T' : r.seq[j] == 'u' ? 't' : r.seq[j];
                check(a[i].seq[j] == c, "batch sequence matches parser");
            }
            check(a[i].qual == nullptr ? r.qual.empty()
                                       : memcmp(a[i].qual, r.qual.data(), r.qual.size() + 1) == 0,
                  "batch quality matches parser");
        }
        free_batch(a, n);
        if (n == 0 && ls_bseq_eof(fp)) break;
    }
    if (first.back().ret != LS_SEQ_BAD_FASTQ && first.back().ret != LS_SEQ_BAD_BYTE)
        check(k == n_good, "batch reader saw every record");
    if (read_error) check(ls_bseq_error(fp) != 0, "read error flagged");
    ls_bseq_close(fp);

    // Two readers of the same file in lockstep agree pass by pass.
    ls_bseq_file *pair[2] = {ls_bseq_open(g_path.c_str()), ls_bseq_open(g_path.c_str())};
    if (pair[0] && pair[1]) {
        for (int iter = 0; iter < 1000000; ++iter) {
            int n = -1;
            ls_bseq_rec *a = ls_bseq_read_frag2(2, pair, chunk, 1, 1, &n);
            check(n % 2 == 0, "lockstep count is a multiple of the readers");
            for (int i = 0; i < n; i += 2)
                check(a[i].len == a[i + 1].len && memcmp(a[i].seq, a[i + 1].seq, a[i].len) == 0,
                      "lockstep pairs agree");
            free_batch(a, n);
            if (n == 0) break;
        }
    }
    ls_bseq_close(pair[0]);
    ls_bseq_close(pair[1]);
    return 0;
}

#define LS_FUZZ_HAS_INITIALIZE
#include "replay_main.h"
