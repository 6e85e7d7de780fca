/* Fuzz target of the SAM, BAM and CRAM query reader. The input bytes are
 * written to a temporary file and read through ls_seqfile_open_query, which
 * hands them to htslib when their content is one of those formats (and to
 * the FASTA/FASTQ parser otherwise). Besides memory errors it checks what a
 * consumer relies on: bases are letters, a quality is as long as its bases
 * and printable, a failure says why, the end is sticky, and a rewind gives
 * the same reads again.
 *
 * Build as for seq_reader_fuzz (-DLODESTAR_FUZZ=ON, target hts_reads_fuzz);
 * compiled with -DLS_FUZZ_MAIN instead, the program runs the target once on
 * each file named on its command line. */
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "lodestar.h"

#define LS_FUZZ_TARGET "hts_reads_fuzz"
#include "fuzz_check.h"

namespace {

std::string g_path;

// Every read until the first failure, as one text; the failure's result in *last.
std::string read_all(ls_seqfile *f, int *last) {
    std::string out;
    ls_seqfile_rec r;
    int ret;
    while ((ret = ls_seqfile_read(f, &r)) >= 0) {
        check((size_t)ret == r.seq_len, "result is the sequence length");
        check(r.qual_len == 0 || r.qual_len == r.seq_len, "quality as long as the sequence");
        for (size_t i = 0; i < r.seq_len; ++i) check(isalpha((unsigned char)r.seq[i]), "bases are letters");
        for (size_t i = 0; i < r.qual_len; ++i)
            check(r.qual[i] >= '!' && r.qual[i] <= '~', "qualities are printable");
        out.append(r.name, r.name_len).append("|").append(r.seq, r.seq_len).append("|");
        out.append(r.qual, r.qual_len).append("|").append(r.comment, r.comment_len).append("\n");
    }
    check(ret >= LS_SEQ_NOT_SEQUENCE, "known negative result");
    check(ret == LS_SEQ_EOF || ret == LS_SEQ_READ_ERROR || ls_seqfile_error_text(f)[0] != 0,
          "a failure says why");
    *last = ret;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/hts_reads_fuzz_XXXXXX";
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
    ls_seqfile *f = ls_seqfile_open_query(g_path.c_str(), nullptr);
    if (f == nullptr) return 0;
    int last = 0, again_last = 0;
    const std::string first = read_all(f, &last);
    // A damaged record may be followed by more reads; read on to the end.
    for (int n = 0; last != LS_SEQ_EOF && last != LS_SEQ_READ_ERROR && last != LS_SEQ_NOT_SEQUENCE; ++n) {
        // Each fault consumes at least one byte of the decompressed text,
        // which deflate can make about 1032 times the file.
        check((size_t)n <= 1100 * size + 64, "reading makes progress");
        read_all(f, &last);
    }
    ls_seqfile_rec r;
    check(ls_seqfile_read(f, &r) == last, "the end is sticky");
    if (ls_seqfile_rewind(f) == 0) check(read_all(f, &again_last) == first, "rewind gives the same reads");
    ls_seqfile_close(f);
    return 0;
}

#define LS_FUZZ_HAS_INITIALIZE
#include "replay_main.h"
