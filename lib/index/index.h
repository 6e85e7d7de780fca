/* Internals of the index module: the open-addressing tables behind the
 * buckets and the name index, and the building blocks that the index reader
 * shares with the builder. The records an index part is made of (ls_idx,
 * ls_idx_seq, ls_idx_bucket) and the entry points are public (lodestar.h).
 *
 * A part owns its arena (names and the target array, unless LS_DBG_NO_ARENA
 * is set) and system memory for the packed bases, the bucket array, every
 * bucket's positions and table, and the name index. */
#ifndef LODESTAR_INDEX_INDEX_H
#define LODESTAR_INDEX_INDEX_H

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "lodestar.h"
#include "base/arena.h"
#include "seqio/seq_reader.h"

/* Open-addressing table with triangular probing. Slot states take 2 bits,
 * 16 slots per 32-bit word: bit 1 = empty, bit 0 = deleted. The table grows
 * once `n_occupied` reaches `upper_bound` = capacity * 0.77 + 0.5.
 *
 * Bucket tables map a minimizer key to a value. Keys are (h >> bucket_bits)
 * << 1; bit 0 is not part of the key's identity: it marks a minimizer that
 * occurs once, whose value is then its position (else the value is
 * start in pos << 32 | count). */
struct ls_idx_hash {
    uint32_t n_buckets, size, n_occupied, upper_bound;
    uint32_t *flags;
    uint64_t *keys, *vals;
};

/* Name index: the keys are the targets' own name texts (not copies). */
struct ls_idx_name_hash {
    uint32_t n_buckets, size, n_occupied, upper_bound;
    uint32_t *flags;
    const char **keys;
    uint32_t *vals;
};

/* An empty table (capacity 0; the first insertion sizes it), or null when
 * memory is short. */
ls_idx_hash *ls_idx_hash_init(void);
void ls_idx_hash_destroy(ls_idx_hash *h);
/* Makes room for n keys without growing: capacity = the smallest power of
 * two not below n, at least 4, unless the current keys would not fit under
 * that capacity's bound (then nothing changes). Returns 0, or -1 when memory
 * is short (the table is unchanged). */
int ls_idx_hash_resize(ls_idx_hash *h, uint32_t n);
/* Finds or inserts key. Returns its slot with *absent 1 if it was inserted,
 * 0 if it was there; returns h->n_buckets with *absent -1 when memory is
 * short. A new key's value is left unset. */
uint32_t ls_idx_hash_put(ls_idx_hash *h, uint64_t key, int *absent);
/* Slot of key, or h->n_buckets when it is absent. */
uint32_t ls_idx_hash_get(const ls_idx_hash *h, uint64_t key);
/* Non-zero when slot i holds a key. */
int ls_idx_hash_exist(const ls_idx_hash *h, uint32_t i);

/* An empty part: w below 2 becomes 1, b is capped at 2k, 2^b zeroed buckets,
 * a new arena unless LS_DBG_NO_ARENA is set. Null when k is not 1..28, w is
 * above 255 or b is negative, or when memory is short. */
ls_idx *ls_idx_new(int w, int k, int b, int flag);

/* Builds the next part from a batch reader: whole batches of about
 * mini_batch_size bases, until the bases read exceed batch_size. Null when
 * fp is null or at its end (or the options are invalid). n_threads threads
 * finish the buckets; at most 3 run the read/sketch/dispatch pipeline. */
ls_idx *ls_idx_gen(ls_bseq_file *fp, int w, int k, int b, int flag, int mini_batch_size, int n_threads,
                   uint64_t batch_size);

/* -1 if path cannot be opened (errno says why); 0 for "-", anything other
 * than a regular file (a pipe or a device is read as sequences, and probing
 * it would consume its bytes), a file shorter than 4 bytes or one that does
 * not start like an index part; otherwise the file size. An index part starts
 * with either magic, "LSI" and another version byte, or a magic damaged in
 * one bit, so that a damaged index is reported as one rather than read as
 * sequences. */
int64_t ls_idx_probe_file(const char *path);

/* A lookup walks four dependent memory blocks (bucket record, table record,
 * slot arrays, positions), each likely a cache miss on a large index. Callers
 * that look up many hashes in a row hint them ahead in stages, each stage
 * reading only what the previous one brought into the cache: stage 0 the
 * bucket record, stage 1 the table record, stage 2 the first probed slot.
 * Only a hint: results never depend on it. */
static inline void ls_idx_prefetch(const ls_idx *mi, uint64_t h, int stage) {
    const ls_idx_bucket *b = &mi->buckets[h & ((1ULL << mi->bucket_bits) - 1)];
    if (stage == 0) {
        __builtin_prefetch(b);
        return;
    }
    const ls_idx_hash *t = b->table;
    if (t == nullptr) return;
    if (stage == 1) {
        __builtin_prefetch(t);
        return;
    }
    if (t->n_buckets == 0) return;
    const uint32_t slot = (uint32_t)(h >> mi->bucket_bits) & (t->n_buckets - 1);
    __builtin_prefetch(&t->flags[slot >> 4]);
    __builtin_prefetch(&t->keys[slot]);
    __builtin_prefetch(&t->vals[slot]);
}

/* Bytes that open every part of an index file: 'L', 'S', 'I' and the format
 * version. Version 3, the one written, ends each part with a checksum;
 * version 2 parts carry none and are still read. */
#define LS_IDX_MAGIC    "LSI\3"
#define LS_IDX_MAGIC_V2 "LSI\2"

/* Words of slot states a table of capacity cap takes, and whether slot i
 * of a state array holds a key (neither empty nor deleted). */
static inline size_t ls_idx_flag_words(uint32_t cap) {
    return cap < 16 ? 1 : cap >> 4;
}
static inline bool ls_idx_slot_used(const uint32_t *flags, uint32_t i) {
    return (flags[i >> 4] >> ((i & 15U) << 1) & 3U) == 0;
}

/* Whether every 4-bit code of n packed words is a base code 0 to 4: the
 * aligner indexes its score tables with them. */
bool ls_idx_packed_codes_ok(const uint32_t *a, uint64_t n);

/* The one message of a part that cannot be loaded: what was wrong, in file
 * fn (null: a stream), part `part`, at byte `at` of the part, which starts
 * at byte start of the file (-1: unknown, and the byte is counted from the
 * part's start). */
void ls_idx_load_fault(const char *fn, int part, int64_t start, uint64_t at, const char *what);

/* Bytes that open a part of the mapped format (index_mapped.cpp), laid out
 * to be used in place. */
#define LS_IDX_MAGIC_MAPPED "LSI\4"

/* What a part loaded from the mapped format owns: the file's bytes (a
 * read-only shared mapping, or memory read from a stream that cannot be
 * mapped) into which its arrays point, the table records of its buckets, and
 * the occurrence counts stored with it. */
struct ls_idx_map {
    void *base;
    size_t len;
    bool mapped; /* munmap base, else free it */
    ls_idx_hash *tables;
    const uint64_t *counts; /* n_counts (count, keys) pairs, ascending by count */
    uint64_t n_counts;
    int64_t n_single; /* keys occurring once; -1 when the contents were not checked */
};
void ls_idx_map_release(ls_idx_map *m);
/* The occurrence count of 0-based rank `rank` among all keys, or -1 past the
 * last key. */
int64_t ls_idx_map_occ_rank(const ls_idx_map *m, uint64_t rank);

/* Appends one part in the mapped format; the stream's position must be a
 * multiple of 64 for the part to be mapped when loaded. Returns 0, or -1 with
 * the reason in *why. */
int ls_idx_write_mapped_part(FILE *fp, const ls_idx *mi, std::string *why);
/* Loads the mapped-format part whose magic was just read from fp: maps it
 * where fp is a regular file, else reads it; checks every section, or with
 * full false only what keeps every array inside the part. Same results as
 * ls_idx_load2. */
ls_idx *ls_idx_load_mapped_part(FILE *fp, const char *fn, int part_index, bool full, int *status);

/* ---- annotations (internals; the readers and lookups are public) ---- */

/* Intervals of a BED, GTF or GFF3 file (told apart as ls_idx_bed_read
 * says), one sorted, duplicate-free list per target (n_seq lists; the caller
 * frees each list's array and the array of lists). With read_junc, lines of
 * 12 or more fields and transcripts give their introns (the gaps between
 * consecutive blocks or exons) instead of the interval itself. Lines whose
 * score is below min_sc are dropped when min_sc is 1 or more. Null if the
 * file cannot be opened or read or has a malformed GTF or GFF3 line; a file
 * that gave nothing yields empty lists. */
ls_idx_intv_v *ls_idx_bed_read_merge(ls_idx *mi, const char *path, int read_junc, int min_sc);

/* Index of the last record of a[0 .. n) whose off is not above x, or -1 when
 * x is below the first one (or n is 0); a is sorted by off. */
int32_t ls_idx_jump_get_core(int32_t n, const ls_idx_jump *a, int32_t x);
/* The same over splice-score entries, keyed by position (entry >> 8). */
int64_t ls_idx_find_intv(uint32_t n, const uint64_t *a, int64_t x);
/* Sorts one jump list by (off, off2) and merges identical pairs into their
 * first record (counts summed, flags OR-ed); shrinks the array. */
void ls_jump_sort_merge(ls_idx_jump_v *v);

extern "C" {
/* Annotation intervals by start (bed) and by end (end), splice-jump records
 * by off (jj) and by off2 (jj2); the keys are non-negative positions (see base/radix_sort.h). */
void ls_sort_bed(ls_idx_intv *beg, ls_idx_intv *end);
void rs_sort_bed(ls_idx_intv *beg, ls_idx_intv *end, int n_bits, int s);
void rs_insertsort_bed(ls_idx_intv *beg, ls_idx_intv *end);
void ls_sort_end(ls_idx_intv *beg, ls_idx_intv *end);
void rs_sort_end(ls_idx_intv *beg, ls_idx_intv *end, int n_bits, int s);
void rs_insertsort_end(ls_idx_intv *beg, ls_idx_intv *end);
void ls_sort_jj(ls_idx_jump *beg, ls_idx_jump *end);
void rs_sort_jj(ls_idx_jump *beg, ls_idx_jump *end, int n_bits, int s);
void rs_insertsort_jj(ls_idx_jump *beg, ls_idx_jump *end);
void ls_sort_jj2(ls_idx_jump *beg, ls_idx_jump *end);
void rs_sort_jj2(ls_idx_jump *beg, ls_idx_jump *end, int n_bits, int s);
void rs_insertsort_jj2(ls_idx_jump *beg, ls_idx_jump *end);
}

#endif
