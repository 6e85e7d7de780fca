/* Fuzz target of the index-file loader. The input bytes are loaded as an
 * index file twice: from a memory stream (size unknown to the loader, so its
 * arrays grow only with the bytes read) and from a temporary file (size
 * known, so counts are checked against it). Every part that loads is then
 * used the way the mapper uses it: every stored key is looked up and its
 * positions checked to lie inside the part, the bases of every target are
 * extracted on both strands, the occurrence threshold and the name index are
 * computed, and the part is written out again and must load back (the
 * writer's checksum is the loader's). Both loads must agree on how many parts
 * load and whether the file ends cleanly.
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the index_fuzz target, then run e.g.
 *   ./index_fuzz -max_len=200000 corpus/
 * A seed corpus is any index file, for example one written by
 * ls_idx_reader_open(target, opt, "seed.idx") with small bucket_bits. The
 * seeds of the earlier format (format2_*, no checksum) let mutations reach a
 * whole load; a mutated seed of the current format still passes every
 * structural check before its checksum fails. The mapped_* seeds are of the
 * mapped format, which each loaded part is also written in and loaded back.
 * Compiled with -DLS_FUZZ_MAIN instead of -fsanitize=fuzzer, the program runs
 * the target once on each file named on its command line. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "index/index.h"

#define LS_FUZZ_TARGET "index_fuzz"
#include "fuzz_check.h"

namespace {

void use_part(const ls_idx *mi, FILE *sink) {
    check(mi->w >= 1 && mi->w <= 255 && mi->k >= 1 && mi->k <= 28, "w and k in range");
    check(mi->bucket_bits >= 0 && mi->bucket_bits <= 2 * mi->k, "bucket bits in range");
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
        const ls_idx_hash *h = mi->buckets[i].table;
        for (uint32_t j = 0; h && j < h->n_buckets; ++j) {
            if (!ls_idx_hash_exist(h, j)) continue;
            int n;
            const uint64_t *p = ls_idx_lookup(mi, (h->keys[j] >> 1) << mi->bucket_bits | i, &n);
            check(p != nullptr && n > 0, "a stored key is found");
            for (int c = 0; c < n; ++c) {
                uint64_t rid = p[c] >> 32;
                check(rid < mi->n_seq, "position names a target");
                check((p[c] >> 1 & 0x7fffffff) < mi->seq[rid].len, "position inside its target");
            }
        }
    }
    if (mi->packed_seq) {
        std::vector<uint8_t> buf;
        for (uint32_t i = 0; i < mi->n_seq; ++i) {
            const int len = (int)mi->seq[i].len;
            if (len <= 0 || len > (1 << 20)) continue;
            buf.resize(len);
            check(ls_idx_get_bases(mi, (int)i, 0, len, buf.data()) == len, "forward extraction");
            for (uint8_t c : buf) check(c <= 4, "base code 0 to 4");
            check(ls_idx_get_bases_rc(mi, (int)i, 0, len, buf.data()) == len, "reverse extraction");
        }
    }
    ls_idx_max_occ(mi, 0.0002f);
    ls_idx_build_name_index(const_cast<ls_idx *>(mi));
    for (uint32_t i = 0; i < mi->n_seq && i < 1000; ++i)
        if (mi->seq[i].name) check(ls_idx_name_to_id(mi, mi->seq[i].name) >= 0, "name found");
    for (bool mapped : {false, true}) {
        rewind(sink);
        std::string why;
        check((mapped ? ls_idx_write_mapped_part(sink, mi, &why) : ls_idx_write(sink, mi)) == 0,
              "a loaded part is written again");
        rewind(sink);
        int status;
        ls_idx *again = ls_idx_load2(sink, "again", 0, &status);
        check(status == 1 && again != nullptr && again->n_seq == mi->n_seq, "the part written loads back");
        check(ls_idx_max_occ(again, 0.0002f) == ls_idx_max_occ(mi, 0.0002f), "the same threshold");
        ls_idx_destroy(again);
    }
}

/* Loads parts until the end or a failure; returns the number of parts and
 * the final status through *status. */
int load_all(FILE *fp, FILE *sink, int *status) {
    int n = 0;
    for (;;) {
        ls_idx *mi = ls_idx_load2(fp, "fuzz", n, status);
        if (mi == nullptr) break;
        check(*status == 1, "status 1 with a part");
        use_part(mi, sink);
        ls_idx_destroy(mi);
        ++n;
    }
    check(*status == 0 || *status == -1, "status 0 or -1 without a part");
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ls_verbosity = 0;
    FILE *sink = tmpfile();
    if (sink == nullptr) return 0;
    int n_mem = -1, st_mem = 0, n_file = -1, st_file = 0;
    if (size > 0) { // a memory stream of 0 bytes cannot be opened
        if (FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "rb")) {
            n_mem = load_all(fp, sink, &st_mem);
            fclose(fp);
        }
    }
    if (FILE *fp = tmpfile()) {
        if (fwrite(data, 1, size, fp) == size) {
            rewind(fp);
            n_file = load_all(fp, sink, &st_file);
        }
        fclose(fp);
    }
    if (n_mem >= 0 && n_file >= 0) {
        check(n_mem == n_file, "both loads give the same parts");
        check(st_mem == st_file, "both loads end alike");
    }
    fclose(sink);
    return 0;
}

#include "replay_main.h"
