/* lodestar: public interface of the mapping library.
 *
 * Plain records and free functions with C linkage, so that C programs and
 * other languages can bind to them. Everything the library hands out is owned
 * by the caller afterwards; each declaration says how to release it.
 * Options and the process-wide globals are set before work starts and only
 * read while threads run. */
#ifndef LODESTAR_H
#define LODESTAR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden symbols; what this header declares is its
 * interface and stays visible in the shared library. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Version of the library and its commands. */
#define LS_VERSION "0.2.0"

/* LS_VERSION of the library linked in, which may be another build than the
 * header a program was compiled with. A static string: not to be freed. */
const char *ls_version(void);

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
#define LS_F_MAPQ_FROM_ALN    0x20000000000LL /* mapping quality from aligned scores; needs LS_F_BASE_ALIGN */
#define LS_F_NO_MATE_TAGS     0x40000000000LL /* no MC and MQ tags in SAM records of pairs */

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

/* ---- messages on standard error ----
 * The library never colours its messages. A command that prints its own
 * lines uses these too, so that every line on standard error has one form. */
#define LS_LOG_ERROR   1
#define LS_LOG_WARNING 2
#define LS_LOG_INFO    3

/* Prints "[ERROR] text", "[WARNING] text" or "[INFO] text" and a newline when
 * ls_verbosity is at least level; fmt is printf-style text without prefix or
 * newline. */
void ls_log_message(int level, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Prints prefix (as given, may be empty), the text and a newline, whatever the
 * verbosity: for a command's own prefixes, usage lines and failures that must
 * show even when messages are silenced. */
void ls_log_line(const char *prefix, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void ls_log_vline(const char *prefix, const char *fmt, va_list ap);

/* A receiver of messages (see ls_run_set_log): level is LS_LOG_ERROR,
 * LS_LOG_WARNING or LS_LOG_INFO (progress lines are LS_LOG_INFO); line is the
 * whole line as standard error would show it, prefix included, without the
 * newline. It may be called from any of the run's threads, one call at a
 * time. */
typedef void (*ls_log_fn)(void *data, int level, const char *line);

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

/* The presets ls_opt_preset accepts, grouped by the reads they suit: names
 * holds one or more names separated by ", " (aliases, or presets that differ
 * only in degree), help a one-line description. */
typedef struct {
    const char *names;
    const char *help;
} ls_preset_info;

/* The number of groups of presets, and group i (0 to count-1, in the order
 * the command's help lists them; null outside that range). The records and
 * texts are static: never freed, shared by every thread. */
int ls_opt_preset_count(void);
const ls_preset_info *ls_opt_preset_info(int i);

/* The options that change ls_idxopt or ls_mapopt, as the command spells them
 * (a short letter, a long name or both), in help groups. A command or binding
 * reads them from here: what is not in this list (files, threads, presets,
 * verbosity) belongs to the caller. */
#define LS_OPT_WORK    0
#define LS_OPT_INDEX   1
#define LS_OPT_MAPPING 2
#define LS_OPT_ALIGN   3
#define LS_OPT_SPLICE  4
#define LS_OPT_OUTPUT  5

typedef struct {
    char short_name;       /* 0: none */
    const char *long_name; /* null: none */
    const char *meta;      /* name of the value, e.g. "INT[,INT]"; null for a switch */
    int value_optional;    /* 1: a switch that may take a value ("yes|no", "short|long") */
    int group;             /* LS_OPT_* */
    const char *help;      /* one line */
} ls_opt_info;

/* The number of options, and option i (0 to count-1; null outside that
 * range). The records and texts are static: never freed, shared by every
 * thread. */
int ls_opt_count(void);
const ls_opt_info *ls_opt_info_at(int i);

/* The option a name stands for: one letter is a short name, anything longer a
 * long name (without dashes). Returns its index, or -1. */
int ls_opt_find(const char *name);

/* Applies one option to the records: name as ls_opt_find reads it, value as
 * text (null for a switch; a yes|no switch without value means yes). Returns
 * 0; -1 for a value that is missing, not wanted or refused; -2 for an unknown
 * name. On failure err (if not null) holds one line naming the option as typed
 * ("-k" or "--bandwidth") and the value, e.g. "option '-k': '29' is out of
 * range (1 to 28)"; the records are then unchanged. */
int ls_opt_set(ls_idxopt *io, ls_mapopt *mo, const char *name, const char *value, char *err, size_t err_size);

/* Writes the value option i has in the records, as the command's help shows
 * it ("15", "0.8", "500,20000", "yes"), into buf (at most size bytes with the
 * final 0). Returns the length of the whole text, or -1 when the option shows
 * no value (switches) or i is out of range. */
int ls_opt_default_text(const ls_idxopt *io, const ls_mapopt *mo, int i, char *buf, size_t size);

/* A size or count such as 500, 4k, 2.5M or 8G (decimal multiples; whole
 * numbers only), within [lo, hi]. Returns 0 with *out set, or -1 with why in
 * err (if not null): "'x' is not a number" or "'9' is out of range (1 to 8)". */
int ls_opt_parse_size(const char *text, long long lo, long long hi, long long *out, char *err, size_t err_size);

/* Update the mapping options from an index part: splice flag, mid_occ (only
 * while it is not positive) and long_bw. */
void ls_mapopt_update(ls_mapopt *mo, const ls_idx *mi);

/* What mapping takes from an index rather than from the caller, in a record
 * of its own, so that the options as given stay as given: a caller keeps its
 * parsed ls_mapopt and maps with a resolved copy. */
typedef struct {
    int mid_occ; /* minimizers occurring more often are ignored */
} ls_map_limits;

/* The limits for options mo and index part mi: mo's mid_occ when positive,
 * else the threshold of mi for mid_occ_fraction, raised to mid_occ_min and,
 * when mid_occ_max is above mid_occ_min, lowered to mid_occ_max. mi may be
 * null when mo's mid_occ is positive. The value is meant to be worked out
 * once, from the first part, and kept for every later part. */
void ls_map_limits_get(const ls_mapopt *mo, const ls_idx *mi, ls_map_limits *lim);
/* The options a run maps with: *out becomes mo with lim applied, the splice
 * flag set when a splice strand is, and long_bw at least bw. out may be mo.
 * ls_mapopt_update(mo, mi) is ls_map_limits_get then this, into mo. */
void ls_mapopt_resolve(const ls_mapopt *mo, const ls_map_limits *lim, ls_mapopt *out);

/* Set the bandwidths to the longest intron in splice mode. */
void ls_mapopt_set_intron_len(ls_mapopt *mo, int max_intron_len);

/* Check that the options are consistent: 0, or a negative code with one
 * message on standard error. */
int ls_opt_check(const ls_idxopt *io, const ls_mapopt *mo);

/* ---- sequence files ---- */

/* Results of ls_seqfile_read besides a sequence length. Every failure is
 * negative, so callers that only test for a negative result stop on all. */
#define LS_SEQ_EOF        (-1) /* end of input */
#define LS_SEQ_BAD_FASTQ  (-2) /* a malformed record: a FASTQ line missing or out of place, a quality of
                                  another length than the sequence, or the input ends inside it */
#define LS_SEQ_READ_ERROR (-3) /* the input ended with a read or decompression error */
#define LS_SEQ_TOO_LONG   (-4) /* a sequence of 2^31 bases or more (the record was read whole) */
#define LS_SEQ_BAD_BYTE   (-5) /* a byte that is not a letter in a sequence, not a quality character
                                  ('!' to '~') in a quality, or a NUL in a header */
/* LS_SEQ_NOT_SEQUENCE: the input is not FASTA or FASTQ: an index file, other
 * binary data, or a BAM, CRAM or SAM file not opened as a query file. */
#define LS_SEQ_NOT_SEQUENCE (-6)

/* A FASTA/FASTQ file read one record at a time. Opaque; one thread at a
 * time. */
typedef struct ls_seqfile ls_seqfile;

/* How query files in SAM, BAM or CRAM are read. Such a file is recognised by
 * its content, and only as a regular file given by name (a stream cannot be
 * looked at twice). Each primary record is one read as it was sequenced:
 * secondary and supplementary records are skipped, a reverse-strand record
 * is turned back, and a hard-clipped primary, which lacks part of its read,
 * is skipped with one warning per file. The record's tags, in SAM text,
 * become the read's comment; those the mapper writes itself or that describe
 * an old alignment (NM, MD, AS, XS, SA, MC, MQ, ms, nn, tp, cm, s1, s2, de,
 * dv, rl, cg, cs, ds, ts, zd) never do. A zeroed record: every other tag,
 * CRAM decoded with htslib's REF_PATH and REF_CACHE. */
typedef struct {
    const char *reference; /* FASTA that CRAM queries were compressed against; null: none */
    const char *keep_tags; /* comma-separated two-letter names: only these tags; null: all */
    int drop_rg;           /* nonzero: leave RG out (the run writes its own) */
} ls_query_input;

/* Checks a --keep-tags list: two-letter tag names ([A-Za-z][A-Za-z0-9])
 * separated by commas. Returns 0, or -1 with the reason (naming the bad
 * name) in why (n bytes, may be null). */
int ls_tag_list_check(const char *list, char *why, size_t n);

/* One record as ls_seqfile_read leaves it. The texts belong to the file:
 * never null (empty when absent), zero-terminated, and valid until the next
 * read, rewind or close of that file; copy what must live longer. The
 * lengths count the bytes before the terminating zero (a text may hold zero
 * bytes of its own). */
typedef struct {
    const char *name;    /* header text up to the first white space */
    const char *comment; /* rest of the header line */
    const char *seq;     /* sequence bytes as read: no case or U-to-T change */
    const char *qual;    /* quality text; empty for FASTA */
    size_t name_len, comment_len, seq_len, qual_len;
} ls_seqfile_rec;

/* Opens a FASTA/FASTQ file, plain or gzip (also several gzip members in a
 * row); "-" is standard input, which the file then owns and closes. Returns
 * null, with errno telling why, when the file cannot be opened or memory is
 * short. Close with ls_seqfile_close. */
ls_seqfile *ls_seqfile_open(const char *path);
/* ls_seqfile_open that also reads SAM, BAM and CRAM files (see
 * ls_query_input; in null: the zeroed record). A file htslib cannot open or
 * whose header is damaged opens, and its first read fails saying why. Without
 * htslib in the build, the same as ls_seqfile_open. */
ls_seqfile *ls_seqfile_open_query(const char *path, const ls_query_input *in);

/* Reads the next record into *out. Returns its sequence length (0 or more)
 * or one of the negative LS_SEQ_* results (ls_seqfile_error_text says why).
 * After LS_SEQ_BAD_FASTQ, LS_SEQ_BAD_BYTE or LS_SEQ_TOO_LONG, *out holds
 * what was read of the refused record; reading may go on, though the record
 * after a malformed one may be lost with it. After LS_SEQ_EOF,
 * LS_SEQ_READ_ERROR or LS_SEQ_NOT_SEQUENCE, *out is empty and every further
 * call returns the same until the file is rewound. */
int ls_seqfile_read(ls_seqfile *f, ls_seqfile_rec *out);

/* Goes back to the first record. Returns 0, or -1 when the input cannot be
 * rewound (a pipe, or an input that hit a read error): reading then
 * goes on from where the input stands, without the bytes already buffered,
 * and is not the file from its start. */
int ls_seqfile_rewind(ls_seqfile *f);

/* Why the last read failed, for a message: the record's number and name and
 * what is wrong with it, or the read or decompression error, without the
 * path; "" when it did not fail. Valid until the next call on f. */
const char *ls_seqfile_error_text(const ls_seqfile *f);

/* Closes the input and frees the file with its texts; null does nothing. */
void ls_seqfile_close(ls_seqfile *f);

/* ---- index ---- */

/* Memory arena of an index part or a thread buffer, also the scratch of the
 * formatting calls; opaque here. */
struct km_arena;

/* Open-addressing table of one bucket (64-bit keys and values); its layout is
 * internal to the index module. */
typedef struct ls_idx_hash ls_idx_hash;
/* Target name to target id; internal to the index module. */
typedef struct ls_idx_name_hash ls_idx_name_hash;
typedef struct ls_idx_map ls_idx_map;

/* One target of an index part. */
typedef struct {
    char *name;      /* null when the part was built with LS_I_SKIP_NAME */
    uint64_t offset; /* position of the target's first base in packed_seq */
    uint32_t len;
    uint32_t is_alt; /* 0 or 1 */
} ls_idx_seq;

/* One bucket: the minimizers whose hash has these low bits. While a part is
 * built, mins collects them; afterwards mins is empty and the positions of
 * the minimizers that occur more than once sit in pos, grouped by minimizer
 * and ascending within a group. table is null when no minimizer fell here. */
typedef struct {
    ls128_vec mins;
    int32_t n_pos;
    uint64_t *pos;
    ls_idx_hash *table;
} ls_idx_bucket;

/* Annotation records (attached after a part exists; never stored in index
 * files). Every array below comes from the system allocator and is freed
 * with the part. */
typedef struct {
    int32_t st, en, cnt;   /* [st, en); cnt: identical intervals merged */
    signed int score : 30; /* -1 when absent */
    signed int strand : 2; /* +1, -1, or 0 for none */
} ls_idx_intv;
typedef struct {
    int32_t n, m;
    ls_idx_intv *a;
} ls_idx_intv_v;

typedef struct {
    int32_t off, off2, cnt;
    int16_t strand;
    uint16_t flag; /* bit 0: annotated junction */
} ls_idx_jump;
typedef struct {
    int32_t n, m;
    ls_idx_jump *a;
} ls_idx_jump_v;

typedef struct {
    uint32_t n, m;
    uint64_t *a; /* position << 8 | score byte, ascending */
} ls_idx_spsc_v;

/* An index part. Read-only once built or loaded: any number of threads may
 * look up minimizers and extract bases at once. */
struct ls_idx {
    int bucket_bits; /* low hash bits selecting a bucket (at most 2k) */
    int w, k, flag;  /* window, k-mer length, LS_I_* */
    uint32_t n_seq;
    int part_index; /* number of this part within its target file, from 0 */
    int n_alt;
    ls_idx_seq *seq;              /* n_seq targets; target id = array index */
    uint32_t *packed_seq;         /* 4 bits per base; null with LS_I_SKIP_SEQ */
    ls_idx_bucket *buckets;       /* 1 << bucket_bits */
    ls_idx_intv_v *intervals;     /* n_seq lists, or null */
    ls_idx_spsc_v *splice_scores; /* 2 * n_seq lists ('+' then '-'), or null */
    ls_idx_jump_v *jumps;         /* n_seq lists, or null */
    struct km_arena *arena;       /* names and seq; null with LS_DBG_NO_ARENA */
    ls_idx_name_hash *name_index; /* built on demand */
    /* Non-null when the part was loaded from an index file of the mapped
     * format: its targets' names, packed bases, positions and tables are
     * then read-only views of that file, which the part keeps mapped until
     * ls_idx_destroy. Null when the part owns all its memory. A file that
     * another process shortens meanwhile raises SIGBUS where a lost page is
     * touched: a program that cannot rule that out handles the signal (the
     * lodestar command stops with a message naming the file). */
    ls_idx_map *map;
};

/* Yields the index parts of a target file one at a time. Opaque. */
typedef struct ls_idx_reader ls_idx_reader;

/* Index file formats a reader can save parts in. MAPPED, the default, is
 * laid out so that later loads map the file and use it in place (processes
 * on one machine then share one copy); STREAM is the earlier format, which
 * earlier versions read. Every version since the mapped format reads both. */
#define LS_IDX_FORMAT_STREAM 0
#define LS_IDX_FORMAT_MAPPED 1

/* Bits of ls_idx_reader_error. INPUT: the target file could not be read
 * whole (a truncated or corrupt index file, one whose checksum does not
 * match, a malformed sequence file, a read error). OUTPUT: the index file
 * asked for will not be saved (a write failed, or INPUT); nothing was put
 * under its name. */
#define LS_IDX_ERR_INPUT  0x1
#define LS_IDX_ERR_OUTPUT 0x2

/* Opens a reader on a target path: an index file (a regular file recognised
 * by its first four bytes; one damaged there is still taken for an index and
 * reported when read) or a FASTA/FASTQ file, plain or gzip. "-" (standard
 * input), a pipe or a device is always read as sequences, and no byte of it
 * is consumed here. opt null means the default index options; they are
 * copied. With out_path, every part yielded is also written to that index
 * file, under a temporary name next to it (see ls_outfile_open) that
 * ls_idx_reader_close renames into place. Returns null when the target cannot
 * be opened (no message: errno says why), or after one message with errno 0
 * when the target is a gzip-compressed index (decompress it first), the
 * options are invalid (k not 1 to 28, w above 255, negative bucket bits),
 * out_path is the target file itself, or the output cannot be created.
 * Close with ls_idx_reader_close. */
ls_idx_reader *ls_idx_reader_open(const char *path, const ls_idxopt *opt, const char *out_path);
/* Chooses the format the reader saves parts in (LS_IDX_FORMAT_*; mapped by
 * default); call it before the first part is read. Returns 0, or -1 for an
 * unknown format. */
int ls_idx_reader_set_output_format(ls_idx_reader *r, int format);
/* With full 0, parts of the mapped format are loaded without reading them
 * whole: their header, section table and target and bucket records are
 * checked, so every array lies inside the file, but not the checksums and
 * contents of the arrays. Loads are then almost instant, and damage inside
 * the arrays goes unnoticed: only for files you made and keep. The default
 * (1) checks everything. Parts of the stream format are always checked. */
void ls_idx_reader_set_check(ls_idx_reader *r, int full);

/* The next part, built with n_threads threads or loaded; null when there is
 * none left or reading failed. The caller owns the part (ls_idx_destroy).
 * After a null, ls_idx_reader_error tells a clean end (0) from a failure. */
ls_idx *ls_idx_reader_read(ls_idx_reader *r, int n_threads);

/* Non-zero when the reader loads a saved index file, zero when it builds
 * the parts from sequences. */
int ls_idx_reader_is_index(const ls_idx_reader *r);

/* Non-zero when the reader has no more input. */
int ls_idx_reader_eof(const ls_idx_reader *r);

/* 0, or LS_IDX_ERR_* bits of what went wrong so far; each failure was
 * reported once on standard error. After LS_IDX_ERR_INPUT the reader yields
 * no further part: the parts yielded before are whole, but the target file
 * was not read to its end (a part built from a sequence file that failed
 * partway holds only the targets before the failure). */
int ls_idx_reader_error(const ls_idx_reader *r);

/* Closes input and output and frees the reader (null does nothing). With an
 * index file asked for, it appears under its name now, whole, and 0 is
 * returned; otherwise -1, after a message, and only the temporary file is
 * removed: a write or the rename failed, ls_idx_reader_error has any bit set,
 * or the parts were not all read (the reader is not at its end). A device
 * (/dev/stdout) is written as the parts come and is never removed. Without
 * an index file asked for, returns 0. */
int ls_idx_reader_close(ls_idx_reader *r);

/* Builds one index of a whole FASTA/FASTQ file (bucket bits 14). Null if the
 * file cannot be opened, has no sequence, or could not be read whole. */
ls_idx *ls_idx_build(const char *path, int w, int k, int flag, int n_threads);

/* Builds an index of n in-memory sequences on the calling thread; names may
 * be null (then LS_I_SKIP_NAME is set), otherwise they must be distinct.
 * bucket_bits below 0 means 14. Null for k outside 1..28 or w above 255. */
ls_idx *ls_idx_str(int w, int k, int is_hpc, int bucket_bits, int n, const char **seq, const char **name);

/* Frees a part and everything it holds; null does nothing. */
void ls_idx_destroy(ls_idx *mi);

/* Writes two statistics lines about the part to standard error. */
void ls_idx_stat(const ls_idx *mi);
/* Distinct minimizers of the part and their positions in all (either
 * pointer may be null). */
void ls_idx_count(const ls_idx *mi, uint64_t *n_distinct, uint64_t *n_positions);

/* Positions of the minimizer hash h (the x word shifted right by 8): *n of
 * them, ascending, each target id << 32 | last-base position << 1 | strand.
 * Null with *n = 0 when h does not occur. The pointer stays valid while the
 * part lives. */
const uint64_t *ls_idx_lookup(const ls_idx *mi, uint64_t h, int *n);

/* Occurrence threshold: minimizers occurring more often than the returned
 * count are among the fraction f of most frequent ones. */
int32_t ls_idx_max_occ(const ls_idx *mi, float f);

/* Appends one part to an index file, in the current format (ending with a
 * checksum of the part), and flushes. Returns 0, or -1 after a
 * message when the part cannot be stored (a target name of 256 bytes or
 * more, which the file cannot hold: nothing is written then) or writing
 * failed (the stream then holds a partial part). */
int ls_idx_write(FILE *fp, const ls_idx *mi);
/* The same in the mapped format (LS_IDX_FORMAT_MAPPED): a part starting at a
 * multiple of 64 bytes of the file is mapped in place when loaded; parts
 * written one after another keep that alignment. */
int ls_idx_write_mapped(FILE *fp, const ls_idx *mi);

/* Loads the next part of an index file. Returns the part with *status 1; or
 * null with *status 0 at a clean end (no byte left); or null with *status -1
 * when the bytes there do not form a whole, consistent part or its checksum
 * does not match: one message on standard error names fn (may be null),
 * part_index and what was wrong. A part of the earlier format, which has no
 * checksum, loads with a note at verbosity 2 or more when part_index is 0. */
ls_idx *ls_idx_load2(FILE *fp, const char *fn, int part_index, int *status);
/* ls_idx_load2 without name or status: null at the end or on failure. */
ls_idx *ls_idx_load(FILE *fp);

/* Bases of target rid from start to min(end, len) - 1 as codes 0..4 (A, C, G,
 * T, other), one byte each; out must hold end - start bytes. Returns
 * min(end, len) - start (nothing written when not positive), or -1 if rid or
 * start is out of range. The part must hold its bases (no LS_I_SKIP_SEQ). */
int ls_idx_get_bases(const ls_idx *mi, int rid, int start, int end, uint8_t *out);
/* The same interval in reverse-strand coordinates: out[j] is the complement of
 * forward position len - start - 1 - j. */
int ls_idx_get_bases_rc(const ls_idx *mi, int rid, int start, int end, uint8_t *out);
/* ls_idx_get_bases_rc when is_rev is non-zero, else ls_idx_get_bases. */
int ls_idx_get_bases_strand(const ls_idx *mi, int is_rev, int rid, int start, int end, uint8_t *out);

/* Builds the name-to-id table unless it exists. Returns 0, or 1 when some
 * names repeat (the first target of a name wins). Not thread-safe. */
int ls_idx_build_name_index(ls_idx *mi);
/* Target id of a name; -1 if absent, -2 if there is no name table yet. */
int ls_idx_name_to_id(const ls_idx *mi, const char *name);

/* ---- annotations ----
 * Tables read from text files (plain or gzip; "-" or a null path is standard
 * input) after a part exists, attached to it and freed with it. Readers look
 * targets up by name (the name index is built on first use) and skip lines
 * they cannot use without a message (except in GTF and GFF3, below); they
 * must not run while the part is used for mapping. The lookups only read and
 * may run on many threads. */

/* Marks the targets named by the lines of path (each cut at its first white
 * space) as ALT contigs and stores the number of such lines in n_alt.
 * Returns that number, or -1 if the file cannot be opened or read. */
int ls_idx_alt_read(ls_idx *mi, const char *path);

/* Results of the two intron readers below besides 0 and -1; the part is
 * left unchanged with either. */
#define LS_ANNOT_BAD_LINE  (-2) /* a malformed GTF or GFF3 line: too few or too many columns, a start or end
                                   that is not a position, an end before the start (said on standard error,
                                   with the file and the line number) */
#define LS_ANNOT_NO_INTRON (-3) /* no line or transcript of the file gave an intron (or, for ls_idx_bed_read
                                   without read_junc, an interval), whichever targets the part holds */

/* The intron readers take BED, GTF or GFF3, told apart by the first line
 * that is not a comment, blank, or a track or browser line: nine
 * tab-separated columns with positions in the fourth and fifth and a strand
 * in the seventh make GTF or GFF3 (GFF3 after a "##gff-version 3" line or
 * when the attributes read key=value), anything else BED. In GTF and GFF3
 * the exon lines give the introns: grouped into transcripts by transcript_id
 * (GTF) or by each id of Parent (GFF3), sorted by start, an intron lies
 * between each two consecutive exons that neither touch nor overlap; the
 * tables then hold exactly what a BED12 line per transcript (blocks = exons,
 * score ".") in order of first appearance would give. Transcripts whose
 * exons lie on several targets or strands are skipped (ls_idx_jjump_read
 * warns, naming them). Other features are ignored.
 *
 * ls_idx_bed_read replaces the part's intervals with those of the file: with
 * read_junc, the introns of BED12 lines and transcripts; otherwise each BED
 * line's interval, each transcript's span. Returns 0, -1 (the part
 * unchanged) if the file cannot be opened or read, or an LS_ANNOT_* result. */
int ls_idx_bed_read(ls_idx *mi, const char *path, int read_junc);
/* Adds the introns of a BED12, GTF or GFF3 file (BED lines scoring below
 * min_sc dropped when min_sc is 1 or more; GTF and GFF3 transcripts carry no
 * score and are all dropped then) to the part's jump lists, each record with
 * the flag value flag; identical junctions merge, summing counts and OR-ing
 * flags. Returns 0, -1 (the part unchanged) if the file cannot be opened or
 * read, or an LS_ANNOT_* result. */
int ls_idx_jjump_read(ls_idx *mi, const char *path, int flag, int min_sc);
/* Replaces the part's splice-site scores with those of a table of lines
 * "name, position, strand, D|A, score" (tab-separated); scores are scaled
 * when 0 < scale < 1 and clamped to [-max_sc, max_sc] with max_sc capped to
 * 0..63. Returns 0, or -1 (the part unchanged) if the file cannot be opened
 * or read. */
int ls_idx_spsc_read2(ls_idx *mi, const char *path, int max_sc, float scale);
int ls_idx_spsc_read(ls_idx *mi, const char *path, int max_sc);

/* The jump records of target rid whose off lies in (st, en] (en below 0 or
 * beyond the target: the target length). Returns the first of *n records,
 * pointing into the part, or null with *n = 0 when there are none. */
const ls_idx_jump *ls_idx_jump_get(const ls_idx *mi, int32_t rid, int32_t st, int32_t en, int32_t *n);
/* Splice-site scores of target rid over the open range (st, en) (en = en0,
 * or the target length when en0 is below 0 or beyond it) on one strand (rev:
 * the '-' list): out[x] is the best score byte at position st + x, 255 where
 * there is none. Fills out[0 .. en - st) and returns en - st (0 when en is
 * not above st); -1 if rid is out of range or the part has no scores. */
int64_t ls_idx_spsc_get(const ls_idx *mi, int32_t rid, int64_t st, int64_t en0, int rev, uint8_t *out);
/* Junction marks of target rid over [st, en) from the annotated intervals
 * lying wholly inside it: '+' introns OR 1 at their first base and 2 at their
 * last, '-' introns 8 and 4. Zeroes out[0 .. en - st) first. Returns the
 * index of the first interval starting at or after st, or -1 if rid is out
 * of range or the part has no intervals. */
int32_t ls_idx_bed_junc(const ls_idx *mi, int32_t rid, int64_t st, int64_t en, uint8_t *out);

/* ---- regions ---- */

/* Alignment detail of a region: seven 32-bit header words, then the CIGAR.
 * A detail without CIGAR is 8 zeroed words with capacity 8. */
typedef struct {
    uint32_t capacity;                                /* 32-bit words allocated, header included */
    int32_t aln_score;                                /* DP score of the whole alignment */
    int32_t max_score;                                /* best-scoring segment; used for ranking and mapq */
    int32_t alt_max_score;                            /* best max_score among the regions a primary masks */
    int32_t raw_max_score;                            /* max_score before recalibration */
    uint32_t n_ambiguous : 30, transcript_strand : 2; /* strand: 0 ?, 1 +, 2 -, 3 undecided */
    uint32_t n_cigar;                                 /* operations in use */
    uint32_t cigar[];                                 /* length << 4 | LS_CIGAR_* code */
} ls_extra;

/* One region. A primary has parent == id; at most one region of an array has
 * sam_pri, and only a primary. A region with n_anchors == 0 that is not
 * inverted is soft-deleted (ls_hit_sort removes it). */
typedef struct {
    int32_t id;        /* position in the array; -1 for a fresh split until renumbered */
    int32_t n_anchors; /* anchors of the region's chain */
    int32_t target_id;
    int32_t chain_score;
    int32_t qs, qe;        /* query interval, forward-strand coordinates */
    int32_t rs, re;        /* target interval, forward-strand coordinates */
    int32_t parent;        /* id of the primary; -1 none; -2 provisional primary */
    int32_t sub_score;     /* best chain score this primary masks */
    int32_t anchor_start;  /* first anchor in the query's anchor array */
    int32_t match_len;     /* query bases in seed matches / matching bases */
    int32_t block_len;     /* alignment block length */
    int32_t n_suboptimal;  /* secondaries close to this primary */
    int32_t initial_score; /* chain score at creation */
    uint32_t mapq : 8, zdrop_split : 2, reverse : 1, inverted : 1, sam_pri : 1, proper_pair : 1,
        read_through : 1, seg_derived : 1, seg_index : 8, split_at_inversion : 1, on_alt : 1,
        kept_other_strand : 1, spliced : 1, : 4;
    uint32_t tie_hash; /* breaks score ties only */
    float divergence;  /* -1.0 until estimated */
    ls_extra *p;       /* alignment detail, or null */
} ls_reg;

/* ---- mapping ---- */

/* Per-thread mapping buffer. */
typedef struct {
    struct km_arena *arena; /* the thread's arena; null with LS_DBG_NO_ARENA */
    int32_t repeat_len;     /* of the last query */
    int32_t fragment_gap;   /* target-side gap limit used for the last query */
} ls_tbuf;

/* A zeroed buffer with a new arena (none when LS_DBG_NO_ARENA is set in
 * ls_debug_flags). Null when memory is short. Release with ls_tbuf_destroy. */
ls_tbuf *ls_tbuf_init(void);
/* Releases the arena and the buffer; null does nothing. */
void ls_tbuf_destroy(ls_tbuf *b);

/* Maps one single-segment query of qlen bases (qname may be null) and
 * returns its regions, *n_regs of them. The caller frees every region's p,
 * then the array, even when *n_regs is 0 (the array may then be null). */
ls_reg *ls_map(const ls_idx *mi, int qlen, const char *seq, int *n_regs, ls_tbuf *b, const ls_mapopt *opt,
               const char *qname);

/* Maps a query of n_segs segments (the mates of a fragment): n_regs[s] and
 * regs[s] receive segment s's regions, owned by the caller as for ls_map.
 * With LS_F_WEAK_PAIRING, two segments, LS_F_BASE_ALIGN and a non-negative
 * pair_orientation, each mate is mapped on its own and then paired. */
void ls_map_frag(const ls_idx *mi, int n_segs, const int *qlens, const char **seqs, int *n_regs,
                 ls_reg **regs, ls_tbuf *b, const ls_mapopt *opt, const char *qname);

/* Most segments (mates) a fragment may have; ls_map_records leaves a
 * fragment of more unmapped. */
#define LS_MAX_SEG 255

/* Maps the n_segs records of one fragment (1, or the mates in file order)
 * exactly as ls_map_file_frag does: mates turned to the orientation of
 * opt->pair_orientation for mapping and back after, segments mapped one by
 * one with LS_F_INDEPENDENT_SEGS. Segment s gets n_regs[s] regions in
 * regs[s] (owned as for ls_map), its repeat length in repeat_len[s] and the
 * fragment gap in fragment_gap[s] (the formatting calls take both). The
 * records are changed while mapping and restored before the call returns. */
void ls_map_records(const ls_idx *mi, int n_segs, ls_bseq_rec *recs, int *n_regs, ls_reg **regs,
                    int *repeat_len, int *fragment_gap, ls_tbuf *b, const ls_mapopt *opt);

/* Whether two query names belong to one fragment: equal once a final "/1",
 * "/2", ... is cut from names of three characters or more. Files of mates
 * read in lockstep and interleaved files (LS_F_FRAGMENT) group records so. */
int ls_same_fragment(const char *a, const char *b);

/* ---- mapping whole files ---- */

/* Results of the file-level mapping calls below. */
#define LS_MAP_ERR_OPEN   (-1) /* no query file given, or one could not be opened: nothing mapped */
#define LS_MAP_ERR_INPUT  (-2) /* a query file could not be read to its end (a read error, a truncated
                                * gzip member, a malformed record): the queries before the fault were
                                * mapped and written, nothing after it */
#define LS_MAP_ERR_OUTPUT (-3) /* writing the results (standard output or a temporary file) failed;
                                * the run stopped early */

/* Maps every query of the n_files files (one file, or mates read in
 * lockstep, one per file) with n_threads mapping threads and prints PAF,
 * SAM records or junction lines (by opt->flag) to standard output, in input
 * order whatever the thread count. With opt->split_prefix set, the raw
 * regions go to the temporary file of part mi->part_index instead (see
 * ls_split_merge). Returns 0 or one of the LS_MAP_ERR_* results; each fault
 * is reported once on standard error. The library never ends the process. */
int ls_map_file_frag(const ls_idx *mi, int n_files, const char **paths, const ls_mapopt *opt, int n_threads);
/* ls_map_file_frag with one file. */
int ls_map_file(const ls_idx *mi, const char *path, const ls_mapopt *opt, int n_threads);

/* Merges the temporary files of opt->split_prefix left by n_parts runs of
 * ls_map_file_frag (one per index part, over the same query files) and
 * prints the results as ls_map_file_frag does; with LS_F_SAM_OUT the merged
 * @SQ lines come first (the caller prints the rest of the header before).
 * When it succeeds, removes the temporary files that this process created
 * (see ls_split_discard). Returns 0, LS_MAP_ERR_OPEN when an argument is out
 * of range or a query or temporary file cannot be opened (the temporary
 * files are kept then), LS_MAP_ERR_INPUT when a query or temporary file is
 * cut short or corrupt, LS_MAP_ERR_OUTPUT when writing failed. */
int ls_split_merge(int n_files, const char **paths, const ls_mapopt *opt, int n_parts);

/* Removes the temporary files of prefix that this process created and has
 * not removed yet, for a split run that stops before its merge. A file this
 * process did not create (one left by an earlier run, one put in place of
 * ours) is never removed. Null does nothing. A temporary file is created
 * exclusively: a run whose file of a part exists already fails, naming it. */
void ls_split_discard(const char *prefix);

/* Running totals of the file pipeline in this process, for progress and
 * summary lines: queries and bases written out (to standard output or a
 * temporary file) and, among those queries, the ones with at least one
 * region. Updated once per batch; may be read from any thread at any time. */
typedef struct {
    uint64_t n_queries, n_bases, n_mapped;
} ls_map_stats;
void ls_map_stats_get(ls_map_stats *st);
/* Sets the totals back to zero (before the merge pass of a split run, say). */
void ls_map_stats_reset(void);

/* ---- output formats ---- */

/* Growable byte string. Capacities grow to powers of two with realloc and the
 * bytes are freed with free. After every read operation s[l] is 0. */
typedef struct {
    uint64_t l; /* bytes in use, not counting the terminating zero byte */
    uint64_t m; /* bytes allocated */
    char *s;    /* null until first use */
} ls_string;

/* Appends formatted text to str. Only %d (int), %u (unsigned), %s
 * (zero-terminated text) and %c (one character) exist; any other conversion
 * aborts the process. A full string grows to the smallest power of two that
 * holds the new text plus the terminating zero, which s[l] is afterwards. */
void ls_string_printf(ls_string *str, const char *fmt, ...);

/* Writes one PAF line (no newline) into str, replacing its content. r null
 * means an unmapped query. rep_len < 0 omits the rl:i tag; with
 * LS_F_FRAGMENT and n_seg > 1 the name gets "/<seg_idx + 1>". km is scratch
 * for the difference strings. */
void ls_paf_format(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r,
                   struct km_arena *km, int64_t flag, int rep_len, int n_seg, int seg_idx);
/* ls_paf_format with n_seg = 0 and seg_idx = 0. */
void ls_paf_format_rl(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r,
                      struct km_arena *km, int64_t flag, int rep_len);
/* ls_paf_format with rep_len = -1, n_seg = 0 and seg_idx = 0. */
void ls_paf_format_basic(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r,
                         struct km_arena *km, int64_t flag);

/* Appends the tags that the PAF and SAM lines share: NM, ms, AS, nn (and ts)
 * for an aligned region, tp, cm, s1, s2 for a primary, de (aligned) or dv
 * (unaligned, divergence in 0..1), zd after a z-drop split. */
void ls_paf_tags(ls_string *str, const ls_reg *r);

/* Appends the difference string of an aligned region: MD when is_md, else ds
 * when is_ds, else cs (no_iden: identical stretches as lengths). write_tag
 * prefixes "\tMD:Z:", "\tcs:Z:" or "\tds:Z:". With is_qstrand, the region's
 * coordinates and CIGAR run along the query (the target is read on the
 * region's strand); otherwise along the forward target strand, and a
 * reverse region's query bases are reverse-complemented.
 * Returns 0; 0 with nothing written when r has no alignment detail; -1 with
 * nothing written when the region does not fit the query (qe beyond its
 * length, or no sequence) or the index (no stored bases, target or interval
 * out of range). A CIGAR that does not span the region, or holds operations
 * other than M, I, D, N, =, X, or an intron shorter than 2, is a fatal
 * internal error. */
int ls_write_diff_tags(struct km_arena *km, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t,
                       const ls_reg *r, int no_iden, int is_md, int is_ds, int write_tag, int is_qstrand);

/* The bare difference strings (no tag prefix) for library callers. Each
 * writes into *buf of capacity *max_len, growing it with realloc as needed
 * (both may start as null/0; the caller frees *buf), and returns the string
 * length, or -1 when ls_write_diff_tags refuses the region. seq is the
 * query's text (zero-terminated). */
int ls_diff_string_full(struct km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                        const char *seq, int is_md, int is_ds, int no_iden, int is_qstrand);
int ls_diff_string(struct km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                   const char *seq, int is_md, int no_iden, int is_qstrand);
int ls_cs_string(struct km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                 const char *seq, int no_iden);
int ls_ds_string(struct km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                 const char *seq, int no_iden);
int ls_md_string(struct km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                 const char *seq);

/* ---- SAM records and junction lines ---- */

/* ID of the read group given to ls_sam_header (empty when none was accepted);
 * every SAM record then carries "RG:Z:<id>". Written only by the header
 * writer, before records are formatted on any thread. */
extern char ls_rg_id[256];

/* Complement of each byte of sequence text: A/T, C/G, U->A, R/Y, K/M, B/V,
 * D/H in either case; every other byte maps to itself. */
extern const unsigned char ls_comp_table[256];

/* Prints the SAM header to standard output: @HD, one @SQ per target of mi
 * (may be null), the read-group line rg (may be null; "\t" and "\\" are
 * unescaped), and @PG with version (may be null) and the command line
 * argv[1 .. argc-1]. Returns 0, or -1 after one message on standard error
 * when rg was rejected (the header is still printed, without it, and
 * ls_rg_id stays empty), or -2 when standard output could not be written
 * (errno tells why; no message). */
int ls_sam_header(const ls_idx *mi, const char *rg, const char *version, int argc, char *const *argv);

/* Writes into str (replacing its content, no newline) the SAM record of
 * region reg_idx of segment seg_idx of a query of n_seg segments; segment s
 * has n_regss[s] regions in regss[s]. A reg_idx outside the segment's regions
 * gives the segment's unmapped record. Every segment with regions must have
 * one marked sam_pri. t is segment seg_idx's record, the only one read (the
 * MC and MQ tags of pairs, which need the mate's record, come with
 * ls_run_sam_format). km is scratch for the difference strings (null: the
 * system allocator); rep_len < 0 omits the rl:i tag. */
void ls_sam_format(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx, int reg_idx,
                   int n_seg, const int *n_regss, const ls_reg *const *regss, struct km_arena *km,
                   int64_t flag, int rep_len);
/* ls_sam_format with rep_len = -1. */
void ls_sam_format_basic(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx, int reg_idx,
                         int n_seg, const int *n_regss, const ls_reg *const *regss, struct km_arena *km,
                         int64_t flag);
/* The record of region r of a single-segment query whose regions are
 * regs[0 .. n_regs); r outside that array gives the unmapped record. No
 * mapping flags, no rl:i tag. */
void ls_sam_format_one(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r, int n_regs,
                       const ls_reg *regs);

/* Appends len bytes of text, reversed when reverse is set and then also
 * complemented through ls_comp_table when complement is set too. */
void ls_sam_append_seq(ls_string *str, const char *text, int len, int reverse, int complement);

/* Writes into str (replacing its content) one line per intron of a spliced
 * region whose transcript strand is known: target, intron start and end,
 * query name, splice-site score (donor GT 3, GC 2, AT 1; acceptor AG 3,
 * AC 1) and the transcript's strand on the target. Lines are joined by "\n"
 * with none after the last; empty when there is nothing to report. Bases
 * the part does not hold count as N. */
void ls_write_junc(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r);

/* ---- BAM and CRAM output ----
 * A writer that takes the SAM text of a run (header lines first, then
 * records; see ls_run_set_writer) and writes it as BAM or CRAM through
 * htslib: each record is the SAM line parsed back, so the file holds exactly
 * the records the SAM text holds. */
#define LS_FMT_SAM  0
#define LS_FMT_BAM  1
#define LS_FMT_CRAM 2

/* 1 when the library was built with htslib, else 0 (BAM and CRAM are then
 * refused with a message). */
int ls_hts_enabled(void);
/* The format a result file's name asks for: LS_FMT_BAM for ".bam",
 * LS_FMT_CRAM for ".cram" (any case), else LS_FMT_SAM. */
int ls_format_of_path(const char *path);

typedef struct ls_hts_writer ls_hts_writer;
/* Opens a writer of format (LS_FMT_BAM or LS_FMT_CRAM) onto a duplicate of
 * the open descriptor fd (the caller keeps and closes fd); name names the
 * file in messages. CRAM is compressed against ref_fasta, a FASTA file plain
 * or bgzip-compressed (htslib makes its .fai when missing). n_threads > 1
 * compresses on that many threads. Null after one message. */
ls_hts_writer *ls_hts_writer_open(int fd, const char *name, int format, const char *ref_fasta, int n_threads);
/* An ls_write_fn: data is the writer. Returns 0, or -1 with errno set and
 * no message (the run reports it). */
int ls_hts_writer_write(void *data, const char *buf, size_t len);
/* Writes what is left (the header alone when no record came; nothing when
 * no text came at all), closes the file and frees w. Returns 0, or -1 after
 * one message naming the file (none when a write had failed already, which
 * the run reported). Null does nothing. */
int ls_hts_writer_close(ls_hts_writer *w);

/* ---- runs ----
 * A run context owns what belongs to one mapping run rather than to the
 * process: where the results go, the read group, the running totals and the
 * progress clock, where messages go and how many, and the split-index
 * temporary files it created. Two runs share nothing, so one process may
 * hold several (a Python program with two mappers, say).
 *
 * The calls that take no run (ls_map_file_frag, ls_map_file, ls_split_merge,
 * ls_split_discard, ls_sam_header, ls_sam_format, ls_map_stats_get,
 * ls_map_stats_reset) work on the default run: standard output, the read
 * group in ls_rg_id, messages on standard error up to ls_verbosity, progress
 * timed from ls_start_time. A run is used by one caller at a time; the
 * pipeline's own threads use it safely. */
typedef struct ls_run ls_run;

/* A receiver of result text: called with len bytes (whole lines, several at
 * a time) in output order. Returns 0, or nonzero when the bytes could not be
 * taken (errno then tells why): the run stops and reports it. */
typedef int (*ls_write_fn)(void *data, const char *buf, size_t len);

/* A new run: results to standard output, no read group, totals at zero,
 * messages on standard error up to the ls_verbosity of now, progress timed
 * from now. Null when memory is short. */
ls_run *ls_run_init(void);
/* Removes the split-index temporary files the run created and has not
 * removed yet, then frees the run. Null does nothing. */
void ls_run_destroy(ls_run *run);
/* The default run, which lives as long as the process. */
ls_run *ls_run_default(void);

/* Results go to fp (not closed by the run; null: standard output). Each
 * batch is flushed, so that a failed write shows where it happened. */
void ls_run_set_output(ls_run *run, FILE *fp);
/* Results go to fn(data, ...) instead. */
void ls_run_set_writer(ls_run *run, ls_write_fn fn, void *data);
/* Messages go to fn(data, ...) (null: standard error), shown up to
 * verbosity (1 errors, 2 warnings, 3 progress lines). */
void ls_run_set_log(ls_run *run, ls_log_fn fn, void *data, int verbosity);
/* Progress lines are timed from t (an ls_realtime reading). */
void ls_run_set_start_time(ls_run *run, double t);

/* Takes the read-group line rg as ls_sam_header does ("\t" for a tab; it
 * must start with "@RG" and hold a non-empty ID of at most 255 bytes).
 * Returns 0, or -1 after one message, the run then having no read group;
 * null removes the read group. The run's SAM header carries the line, and
 * every SAM record of the run "RG:Z:<id>". */
int ls_run_set_read_group(ls_run *run, const char *rg);
/* The run's read-group ID; empty when none. */
const char *ls_run_read_group_id(const ls_run *run);
/* How the run reads query files in SAM, BAM or CRAM (see ls_query_input;
 * drop_rg is taken from the run's read group when the files open). The texts
 * are copied. Returns 0, or -1 after one message when keep_tags is not a
 * list of tag names. */
int ls_run_set_query_input(ls_run *run, const char *reference, const char *keep_tags);

/* The run's totals (see ls_map_stats); may be read from any thread at any
 * time. */
void ls_run_stats(const ls_run *run, ls_map_stats *st);
void ls_run_stats_reset(ls_run *run);

/* The run's SAM header, as ls_sam_header writes it, with the run's read
 * group. Returns 0, or -2 when it could not be written (errno tells why; no
 * message). */
int ls_run_sam_header(ls_run *run, const ls_idx *mi, const char *version, int argc, char *const *argv);
/* ls_sam_format with the run's read group; a comment that is not SAM tags
 * is warned about once per run. A pair's records (n_seg 2) also carry the MC
 * and MQ tags of the mate's primary when the mate is mapped and
 * LS_F_NO_MATE_TAGS is not set; the mate's clips need its length, so the two
 * records then lie side by side (t - seg_idx is the first), as the file
 * pipeline and the Python module keep them. */
void ls_run_sam_format(ls_run *run, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx,
                       int reg_idx, int n_seg, const int *n_regss, const ls_reg *const *regss,
                       struct km_arena *km, int64_t flag, int rep_len);
/* ls_map_file_frag, ls_split_merge and ls_split_discard within a run: the
 * results go to the run's output, the messages to its log, the totals to
 * its statistics, and the temporary files are the run's own. */
int ls_run_map_files(ls_run *run, const ls_idx *mi, int n_files, const char **paths, const ls_mapopt *opt,
                     int n_threads);
int ls_run_split_merge(ls_run *run, int n_files, const char **paths, const ls_mapopt *opt, int n_parts);
void ls_run_split_discard(ls_run *run, const char *prefix);

/* ---- result files ----
 * A result file is written under a temporary name created exclusively
 * (O_EXCL, no symbolic link followed) next to its final name, and renamed
 * over it only when complete, so that a failed or killed run leaves no
 * complete-looking file and a link planted at a predictable name is never
 * written through. A path that is itself a symbolic link writes the file it
 * points to, as a shell redirection does; the link stays. A device or pipe
 * (/dev/stdout, a named pipe) is written in place. Clean-up removes the
 * temporary file only, never the final path. */
typedef struct ls_outfile ls_outfile;

/* Opens path for writing; role names the file in messages ("output",
 * "index"). Returns null after one message on standard error naming the
 * file, or a missing directory. Finish with ls_outfile_commit or
 * ls_outfile_abandon. */
ls_outfile *ls_outfile_open(const char *path, const char *role);
/* The stream to write to; owned by f. */
FILE *ls_outfile_fp(const ls_outfile *f);
/* The temporary name (owned by f), or null for a file written in place. */
const char *ls_outfile_tmp_path(const ls_outfile *f);
/* Flushes and closes the stream and renames the file into place. Returns 0,
 * or -1 after a message (a write, close or rename failed; the temporary file
 * is removed). Frees f; null does nothing. */
int ls_outfile_commit(ls_outfile *f);
/* Closes the stream and removes the temporary file; frees f. Null does
 * nothing. */
void ls_outfile_abandon(ls_outfile *f);

/* ---- timing ---- */
double ls_realtime(void);
double ls_cputime(void);
long ls_peak_rss(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
