/* lodestar: public interface of the mapping library.
 *
 * Plain records and free functions with C linkage, so that C programs and
 * other languages can bind to them. Everything the library hands out is owned
 * by the caller afterwards; each declaration says how to release it.
 * Options and the process-wide globals are set before work starts and only
 * read while threads run. */
#ifndef LODESTAR_H
#define LODESTAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- CIGAR operations: length << 4 | code ---- */
#define LS_CIGAR_MATCH      0
#define LS_CIGAR_INS        1
#define LS_CIGAR_DEL        2
#define LS_CIGAR_N_SKIP     3
#define LS_CIGAR_SOFTCLIP   4
#define LS_CIGAR_HARDCLIP   5
#define LS_CIGAR_PAD        6
#define LS_CIGAR_EQ_MATCH   7
#define LS_CIGAR_X_MISMATCH 8
#define LS_CIGAR_BACK       9
#define LS_CIGAR_STR        "MIDNSHP=XB"

/* ---- index flags (ls_idxopt.flag, also kept in the index) ---- */
#define LS_I_HPC       0x1
#define LS_I_SKIP_SEQ  0x2
#define LS_I_SKIP_NAME 0x4

/* ---- mapping flags (ls_mapopt.flag, 64 bits) ---- */
#define LS_F_SKIP_DIAG        0x1LL
#define LS_F_HALF_PAIRS       0x2LL
#define LS_F_BASE_ALIGN       0x4LL
#define LS_F_SAM_OUT          0x8LL
#define LS_F_DROP_QUAL        0x10LL
#define LS_F_CG_TAG           0x20LL
#define LS_F_CS_TAG           0x40LL
#define LS_F_SPLICE           0x80LL
#define LS_F_SPLICE_FWD       0x100LL
#define LS_F_SPLICE_RC        0x200LL
#define LS_F_NO_LONG_JOIN     0x400LL
#define LS_F_CS_LONG          0x800LL
#define LS_F_SHORT_READ       0x1000LL
#define LS_F_FRAGMENT         0x2000LL
#define LS_F_NO_SECONDARY     0x4000LL
#define LS_F_TWO_IO_THREADS   0x8000LL
#define LS_F_LONG_CIGAR       0x10000LL
#define LS_F_INDEPENDENT_SEGS 0x20000LL
#define LS_F_SPLICE_FLANK     0x40000LL
#define LS_F_SOFT_CLIP        0x80000LL
#define LS_F_FORWARD_ONLY     0x100000LL
#define LS_F_REVERSE_ONLY     0x200000LL
#define LS_F_HEAP_MERGE       0x400000LL
#define LS_F_ALL_CHAINS       0x800000LL
#define LS_F_MD_TAG           0x1000000LL
#define LS_F_COPY_COMMENT     0x2000000LL
#define LS_F_EQX              0x4000000LL
#define LS_F_PAF_UNMAPPED     0x8000000LL
#define LS_F_NO_END_FILTER    0x10000000LL
#define LS_F_HARD_MASK_LEVEL  0x20000000LL
#define LS_F_SAM_HITS_ONLY    0x40000000LL
#define LS_F_RMQ              0x80000000LL
#define LS_F_QUERY_STRAND     0x100000000LL
#define LS_F_NO_INVERSION     0x200000000LL
#define LS_F_NO_NAME_HASH     0x400000000LL
#define LS_F_SPLICE_OLD       0x800000000LL
#define LS_F_SECONDARY_SEQ    0x1000000000LL
#define LS_F_DS_TAG           0x2000000000LL
#define LS_F_WEAK_PAIRING     0x4000000000LL
#define LS_F_SHORT_RNA        0x8000000000LL
#define LS_F_JUNC_OUT         0x10000000000LL

/* ---- debug bits of ls_debug_flags ---- */
#define LS_DBG_NO_ARENA    0x1
#define LS_DBG_QUERY_STATS 0x2
#define LS_DBG_SEEDS       0x4
#define LS_DBG_ALIGN       0x8
#define LS_DBG_CHAINS      0x10
#define LS_DBG_SEED_FREQ   0x20

/* ---- process-wide globals ---- */
extern int ls_verbosity;     /* 1: option errors; 2: warnings; 3: progress lines */
extern double ls_start_time; /* wall-clock reference of progress lines */
extern int ls_debug_flags;   /* LS_DBG_* bits */

/* ---- shared records ---- */

/* Two 64-bit words: minimizers, anchors and many sort keys are packed into it. */
typedef struct {
    uint64_t x, y;
} ls128;

/* Growable array of ls128: count, capacity and items (in an arena, or the
 * system allocator for a null arena). Appending to a full array doubles the
 * capacity (2 when it was 0). */
typedef struct {
    size_t n, m;
    ls128 *a;
} ls128_vec;

/* Index-building options. */
typedef struct {
    int16_t k, w, flag, bucket_bits;
    int64_t sketch_batch_bases;
    uint64_t index_part_bases;
} ls_idxopt;

/* Mapping and alignment options. */
typedef struct {
    int64_t flag;
    int hash_seed;
    int dust_threshold;
    int max_query_len;

    int bw, long_bw;
    int chain_max_gap, chain_max_gap_ref;
    int max_fragment_len;
    int chain_skip_limit, chain_iter_limit;
    int chain_min_anchors, chain_min_score;
    float gap_cost_scale, skip_cost_scale;
    int rmq_cap, rmq_inner_distance, rmq_rescue_min;
    float rmq_rescue_fraction;

    float overlap_mask_level;
    int overlap_mask_len;
    float secondary_ratio;
    int max_secondary;
    float alt_drop_fraction;

    int match_score, mismatch_penalty;
    int gap_open, gap_ext, gap_open2, gap_ext2;
    int transition_penalty;
    int ambiguous_score;
    int noncanonical_penalty;
    int junction_bonus, junction_penalty;
    int zdrop, zdrop_inversion;
    int end_bonus;
    int min_dp_score, min_dp_len;
    int anchor_extend_len, anchor_extend_shift;
    float max_clip_fraction;
    int rank_min_length;
    float rank_fraction;

    int pair_orientation, pair_bonus;
    int jump_min_matches;

    float mid_occ_fraction, query_occ_fraction;
    int mid_occ_min, mid_occ_max;
    int mid_occ;
    int occ_cap, occ_cap_max;
    int occ_distance;

    int64_t batch_bases;
    int64_t max_dp_cells;
    int64_t arena_cap;

    const char *split_prefix;
} ls_mapopt;

/* One input record. All texts are separate system allocations owned by the
 * record: free name, seq, qual and comment, then the batch array. */
typedef struct {
    int32_t len, rec_id;
    char *name, *seq, *qual, *comment;
} ls_bseq_rec;

/* A built or loaded index part; see its entry points. */
typedef struct ls_idx ls_idx;

/* ---- options ---- */

/* Fill the defaults. ls_mapopt_defaults zeroes the whole record first. */
void ls_idxopt_defaults(ls_idxopt *io);
void ls_mapopt_defaults(ls_mapopt *mo);

/* Apply a named preset (null: both defaults). Returns 0, or -1 for an
 * unrecognised name. A name only changes the fields it names. */
int ls_opt_preset(const char *preset, ls_idxopt *io, ls_mapopt *mo);

/* Update the mapping options from an index part: splice flag, mid_occ (only
 * while it is not positive) and long_bw. */
void ls_mapopt_update(ls_mapopt *mo, const ls_idx *mi);

/* Set the bandwidths to the longest intron in splice mode. */
void ls_mapopt_set_intron_len(ls_mapopt *mo, int max_intron_len);

/* Check that the options are consistent: 0, or a negative code with one
 * message on standard error. */
int ls_opt_check(const ls_idxopt *io, const ls_mapopt *mo);

/* ---- index ---- */

/* Occurrence threshold: minimizers occurring more often than the returned
 * count are among the fraction f of most frequent ones. */
int32_t ls_idx_max_occ(const ls_idx *mi, float f);

/* ---- timing ---- */
double ls_realtime(void);
double ls_cputime(void);
long ls_peak_rss(void);

#ifdef __cplusplus
}
#endif

#endif
