/* Every option that changes ls_idxopt or ls_mapopt, written once as data: its
 * spellings, value, help line, how a text value is read and applied, and how
 * its current value is shown. The command's parser and --help, and the Python
 * keywords, all read this table. */
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <type_traits>

#include "lodestar.h"

namespace {

struct OptDef;
typedef bool (*ApplyFn)(const OptDef &d, ls_idxopt *io, ls_mapopt *mo, const char *v, std::string *why);
typedef std::string (*ShowFn)(const OptDef &d, const ls_idxopt *io, const ls_mapopt *mo);

struct OptDef {
    ls_opt_info info;
    ApplyFn apply;
    ShowFn show;   /* null: no default shown */
    double lo, hi; /* range of a number */
    int64_t bits;  /* flag bits a switch sets (or a yes|no option sets or clears) */
    int64_t clear; /* flag bits a switch clears */
    bool yes_sets; /* yes|no: "yes" sets the bits (otherwise it clears them) */
};

constexpr double kIntMax = 2147483647.0;

std::string fmt_float(double v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%g", v);
    return buf;
}

/* Why a count is refused: not a number at all, or outside [lo, hi]. */
std::string count_error(const char *s, long long lo, long long hi) {
    long long v;
    if (ls_opt_parse_size(s, -(1LL << 62), 1LL << 62, &v, nullptr, 0) == 0)
        return "'" + std::string(s) + "' is out of range (" + std::to_string(lo) + " to " +
               std::to_string(hi) + ")";
    return "'" + std::string(s) + "' is not a number";
}

bool parse_int(const char *s, long long lo, long long hi, long long *out, std::string *why) {
    if (ls_opt_parse_size(s, lo, hi, out, nullptr, 0) == 0) return true;
    *why = count_error(s, lo, hi);
    return false;
}

bool parse_float(const char *s, double lo, double hi, double *out, std::string *why) {
    char *end = nullptr;
    errno = 0;
    const double v = strtod(s, &end);
    if (end == s || *end != 0 || errno == ERANGE || isnan(v)) {
        *why = "'" + std::string(s) + "' is not a number";
        return false;
    }
    if (v < lo || v > hi) {
        *why = "'" + std::string(s) + "' is out of range (" + fmt_float(lo) + " to " + fmt_float(hi) + ")";
        return false;
    }
    *out = v;
    return true;
}

/* The field a member pointer names, in whichever record holds it. */
template <typename C, typename T> C owner_of(T C::*);

template <auto F, typename IO, typename MO> auto &field(IO *io, MO *mo) {
    if constexpr (std::is_same<decltype(owner_of(F)), ls_idxopt>::value)
        return io->*F;
    else
        return mo->*F;
}

template <auto F>
bool apply_int(const OptDef &d, ls_idxopt *io, ls_mapopt *mo, const char *v, std::string *why) {
    long long x;
    if (!parse_int(v, (long long)d.lo, (long long)d.hi, &x, why)) return false;
    auto &f = field<F>(io, mo);
    f = static_cast<typename std::remove_reference<decltype(f)>::type>(x);
    return true;
}

template <auto F> std::string show_int(const OptDef &, const ls_idxopt *io, const ls_mapopt *mo) {
    return std::to_string(field<F>(io, mo));
}

template <auto F>
bool apply_float(const OptDef &d, ls_idxopt *io, ls_mapopt *mo, const char *v, std::string *why) {
    double x;
    if (!parse_float(v, d.lo, d.hi, &x, why)) return false;
    field<F>(io, mo) = (float)x;
    return true;
}

template <auto F> std::string show_float(const OptDef &, const ls_idxopt *io, const ls_mapopt *mo) {
    return fmt_float(field<F>(io, mo));
}

/* "A" or "A,B": without B the second field keeps its value. */
template <auto F1, auto F2>
bool apply_pair(const OptDef &d, ls_idxopt *io, ls_mapopt *mo, const char *v, std::string *why) {
    const long long lo = (long long)d.lo, hi = (long long)d.hi;
    long long x, y = 0;
    const char *comma = strchr(v, ',');
    if (!comma) {
        if (!parse_int(v, lo, hi, &x, why)) return false;
    } else {
        const std::string first(v, comma - v);
        if (!parse_int(first.c_str(), lo, hi, &x, why) || !parse_int(comma + 1, lo, hi, &y, why))
            return false;
    }
    field<F1>(io, mo) = (int)x;
    if (comma) field<F2>(io, mo) = (int)y;
    return true;
}

template <auto F1, auto F2> std::string show_pair(const OptDef &, const ls_idxopt *io, const ls_mapopt *mo) {
    return std::to_string(field<F1>(io, mo)) + "," + std::to_string(field<F2>(io, mo));
}

bool apply_flag(const OptDef &d, ls_idxopt *, ls_mapopt *mo, const char *, std::string *) {
    mo->flag = (mo->flag & ~d.clear) | d.bits;
    return true;
}

/* "yes|no"; no value means yes. */
bool apply_yes_no(const OptDef &d, ls_idxopt *, ls_mapopt *mo, const char *v, std::string *why) {
    bool yes;
    if (v == nullptr || strcmp(v, "yes") == 0)
        yes = true;
    else if (strcmp(v, "no") == 0)
        yes = false;
    else {
        *why = "'" + std::string(v) + "' is neither yes nor no";
        return false;
    }
    if (yes == d.yes_sets)
        mo->flag |= d.bits;
    else
        mo->flag &= ~d.bits;
    return true;
}

std::string show_yes_no(const OptDef &d, const ls_idxopt *, const ls_mapopt *mo) {
    return ((mo->flag & d.bits) != 0) == d.yes_sets ? "yes" : "no";
}

bool apply_hpc(const OptDef &, ls_idxopt *io, ls_mapopt *, const char *, std::string *) {
    io->flag |= LS_I_HPC;
    return true;
}

bool apply_strand(const OptDef &, ls_idxopt *, ls_mapopt *mo, const char *v, std::string *why) {
    const int64_t both = LS_F_SPLICE_FWD | LS_F_SPLICE_RC;
    int64_t bits;
    if (strcmp(v, "f") == 0)
        bits = LS_F_SPLICE_FWD;
    else if (strcmp(v, "r") == 0)
        bits = LS_F_SPLICE_RC;
    else if (strcmp(v, "b") == 0)
        bits = both;
    else if (strcmp(v, "n") == 0)
        bits = 0;
    else {
        *why = "'" + std::string(v) + "' is none of f, r, b, n";
        return false;
    }
    mo->flag = (mo->flag & ~both) | bits;
    return true;
}

std::string show_strand(const OptDef &, const ls_idxopt *, const ls_mapopt *mo) {
    const bool f = mo->flag & LS_F_SPLICE_FWD, r = mo->flag & LS_F_SPLICE_RC;
    return f && r ? "b" : f ? "f" : r ? "r" : "n";
}

bool apply_cs(const OptDef &, ls_idxopt *, ls_mapopt *mo, const char *v, std::string *why) {
    if (v == nullptr || strcmp(v, "short") == 0)
        mo->flag &= ~LS_F_CS_LONG;
    else if (strcmp(v, "long") == 0)
        mo->flag |= LS_F_CS_LONG;
    else {
        *why = "'" + std::string(v) + "' is neither short nor long";
        return false;
    }
    mo->flag |= LS_F_CS_TAG | LS_F_BASE_ALIGN;
    return true;
}

template <auto F>
constexpr OptDef int_opt(char s, const char *l, const char *meta, int g, const char *help, double lo,
                         double hi) {
    return {{s, l, meta, 0, g, help}, apply_int<F>, show_int<F>, lo, hi, 0, 0, false};
}

template <auto F>
constexpr OptDef float_opt(char s, const char *l, int g, const char *help, double lo, double hi) {
    return {{s, l, "FLOAT", 0, g, help}, apply_float<F>, show_float<F>, lo, hi, 0, 0, false};
}

template <auto F1, auto F2>
constexpr OptDef pair_opt(char s, const char *l, const char *meta, int g, const char *help, double lo,
                          double hi) {
    return {{s, l, meta, 0, g, help}, apply_pair<F1, F2>, show_pair<F1, F2>, lo, hi, 0, 0, false};
}

/* A switch that sets some mapping flags and clears others. */
constexpr OptDef flag_opt(char s, const char *l, int g, const char *help, int64_t set, int64_t clear = 0) {
    return {{s, l, nullptr, 0, g, help}, apply_flag, nullptr, 0, 0, set, clear, false};
}

constexpr OptDef yes_no_opt(const char *l, int g, const char *help, int64_t bits, bool yes_sets) {
    return {{0, l, "yes|no", 1, g, help}, apply_yes_no, show_yes_no, 0, 0, bits, 0, yes_sets};
}

/* An option with a reading of its own. */
constexpr OptDef own_opt(char s, const char *l, const char *meta, int value_optional, int g, const char *help,
                         ApplyFn apply, ShowFn show = nullptr) {
    return {{s, l, meta, value_optional, g, help}, apply, show, 0, 0, 0, 0, false};
}

#define IO(f) &ls_idxopt::f
#define MO(f) &ls_mapopt::f

// In the groups the command's help shows them; the command decides the order
// it lists them in, between its own options.
constexpr OptDef kOptTable[] = {
    // Work
    int_opt<MO(batch_bases)>('K', "batch", "NUM", LS_OPT_WORK, "query bases loaded per batch", 1, 1LL << 40),
    int_opt<IO(index_part_bases)>('I', "part-size", "NUM", LS_OPT_WORK, "target bases per index part", 1,
                                  1LL << 50),
    int_opt<IO(sketch_batch_bases)>(0, "sketch-batch", "NUM", LS_OPT_WORK,
                                    "target bases read per batch while indexing", 1, kIntMax),
    // Index
    int_opt<IO(k)>('k', nullptr, "INT", LS_OPT_INDEX, "k-mer length", 1, 28),
    int_opt<IO(w)>('w', nullptr, "INT", LS_OPT_INDEX, "minimizer window length", 1, 255),
    own_opt('H', "hpc", nullptr, 0, LS_OPT_INDEX, "minimizers on homopolymer-compressed sequence", apply_hpc),
    int_opt<IO(bucket_bits)>(0, "bucket-bits", "INT", LS_OPT_INDEX, "hash bits selecting an index bucket", 1,
                             28),
    // Mapping
    float_opt<MO(mid_occ_fraction)>('f', "mid-occ-frac", LS_OPT_MAPPING,
                                    "ignore this fraction of the most frequent minimizers", 0, 1),
    pair_opt<MO(mid_occ_min), MO(mid_occ_max)>('U', "mid-occ-range", "INT[,INT]", LS_OPT_MAPPING,
                                               "lower and upper bound of the computed occurrence threshold",
                                               1, kIntMax),
    int_opt<MO(mid_occ)>(0, "mid-occ", "INT", LS_OPT_MAPPING,
                         "ignore minimizers occurring more often (0: from -f)", 0, kIntMax),
    float_opt<MO(query_occ_fraction)>(0, "q-occ-frac", LS_OPT_MAPPING,
                                      "per-query fraction of repetitive minimizers kept", 0, 1),
    int_opt<MO(occ_cap)>(0, "occ-cap", "INT", LS_OPT_MAPPING, "higher occurrence limit when chaining again",
                         0, kIntMax),
    int_opt<MO(occ_cap_max)>(0, "occ-cap-max", "INT", LS_OPT_MAPPING, "upper occurrence cap", 0, kIntMax),
    int_opt<MO(occ_distance)>(0, "occ-dist", "INT", LS_OPT_MAPPING,
                              "keep frequent minimizers this far from the kept ones", 0, kIntMax),
    int_opt<MO(chain_max_gap)>('g', "max-gap", "NUM", LS_OPT_MAPPING, "largest gap inside a chain", 0,
                               kIntMax),
    int_opt<MO(chain_max_gap_ref)>(0, "max-gap-ref", "NUM", LS_OPT_MAPPING,
                                   "largest target-side gap inside a chain (-1: as -g)", -1, kIntMax),
    pair_opt<MO(bw), MO(long_bw)>('r', "bandwidth", "NUM[,NUM]", LS_OPT_MAPPING,
                                  "bandwidth of chaining and alignment, and of long joins", 0, kIntMax),
    int_opt<MO(chain_min_anchors)>('n', "min-anchors", "INT", LS_OPT_MAPPING, "fewest anchors in a chain", 1,
                                   kIntMax),
    int_opt<MO(chain_min_score)>('m', "min-chain-score", "INT", LS_OPT_MAPPING, "lowest chain score kept", 0,
                                 kIntMax),
    float_opt<MO(gap_cost_scale)>(0, "chain-gap-scale", LS_OPT_MAPPING, "scale of the chaining gap cost", 0,
                                  1e6),
    float_opt<MO(skip_cost_scale)>(0, "chain-skip-scale", LS_OPT_MAPPING, "scale of the chaining skip cost",
                                   0, 1e6),
    int_opt<MO(chain_skip_limit)>(0, "chain-skip", "INT", LS_OPT_MAPPING, "chaining skip limit", 0, kIntMax),
    int_opt<MO(chain_iter_limit)>(0, "chain-iter", "INT", LS_OPT_MAPPING, "chaining iteration limit", 0,
                                  kIntMax),
    yes_no_opt("rmq", LS_OPT_MAPPING, "chain by range-maximum queries", LS_F_RMQ, true),
    int_opt<MO(rmq_cap)>(0, "rmq-cap", "INT", LS_OPT_MAPPING, "size cap of range-maximum chaining", 0,
                         kIntMax),
    int_opt<MO(rmq_inner_distance)>(0, "rmq-inner", "INT", LS_OPT_MAPPING,
                                    "inner distance of range-maximum chaining", 0, kIntMax),
    int_opt<MO(rmq_rescue_min)>(0, "rmq-rescue", "INT", LS_OPT_MAPPING,
                                "rescue size of range-maximum chaining", 0, kIntMax),
    float_opt<MO(rmq_rescue_fraction)>(0, "rmq-rescue-frac", LS_OPT_MAPPING,
                                       "rescue ratio of range-maximum chaining", 0, 1),
    flag_opt(0, "no-long-join", LS_OPT_MAPPING, "do not join chains across long gaps", LS_F_NO_LONG_JOIN),
    float_opt<MO(secondary_ratio)>('p', "pri-ratio", LS_OPT_MAPPING,
                                   "lowest secondary-to-primary score ratio kept", 0, 1),
    int_opt<MO(max_secondary)>('N', "max-secondary", "INT", LS_OPT_MAPPING, "secondary mappings kept", 0,
                               kIntMax),
    yes_no_opt("secondary", LS_OPT_MAPPING, "report secondary mappings", LS_F_NO_SECONDARY, false),
    float_opt<MO(overlap_mask_level)>('M', "mask-level", LS_OPT_MAPPING,
                                      "overlap fraction that makes a mapping secondary", 0, 1),
    int_opt<MO(overlap_mask_len)>(0, "mask-len", "NUM", LS_OPT_MAPPING, "overlap length limit of that test",
                                  0, kIntMax),
    flag_opt(0, "hard-mask-level", LS_OPT_MAPPING, "apply the mask level to every overlap",
             LS_F_HARD_MASK_LEVEL),
    float_opt<MO(alt_drop_fraction)>(0, "alt-drop", LS_OPT_MAPPING, "score drop for mappings to ALT targets",
                                     0, 1),
    flag_opt('P', "all-chains", LS_OPT_MAPPING, "keep all chains", LS_F_ALL_CHAINS),
    flag_opt('X', "all-vs-all", LS_OPT_MAPPING,
             "all-versus-all: keep all chains, skip self and dual mappings",
             LS_F_ALL_CHAINS | LS_F_SKIP_DIAG | LS_F_HALF_PAIRS),
    flag_opt(0, "for-only", LS_OPT_MAPPING, "map the query's forward strand only", LS_F_FORWARD_ONLY),
    flag_opt(0, "rev-only", LS_OPT_MAPPING, "map the query's reverse strand only", LS_F_REVERSE_ONLY),
    flag_opt(0, "qstrand", LS_OPT_MAPPING, "target coordinates along the query's strand (PAF)",
             LS_F_QUERY_STRAND),
    flag_opt(0, "sr", LS_OPT_MAPPING, "short-read mode", LS_F_SHORT_READ),
    flag_opt(0, "mapq-from-alignment", LS_OPT_MAPPING,
             "mapping quality from the aligned scores of competing placements (aligns)",
             LS_F_MAPQ_FROM_ALN | LS_F_BASE_ALIGN),
    yes_no_opt("frag", LS_OPT_MAPPING, "pair mates of one file by their names", LS_F_FRAGMENT, true),
    int_opt<MO(max_fragment_len)>('F', "max-frag-len", "NUM", LS_OPT_MAPPING,
                                  "longest fragment of a proper pair", 0, kIntMax),
    int_opt<MO(pair_orientation)>(0, "pair-orient", "INT", LS_OPT_MAPPING,
                                  "mate orientation bits: 1 second mate reversed, 2 first (-1: no pairing)",
                                  -1, 3),
    int_opt<MO(pair_bonus)>(0, "pair-bonus", "INT", LS_OPT_MAPPING, "score bonus of a proper pair", 0,
                            kIntMax),
    flag_opt(0, "indep-mates", LS_OPT_MAPPING, "map the mates of a pair independently",
             LS_F_INDEPENDENT_SEGS),
    int_opt<MO(dust_threshold)>(0, "dust", "INT", LS_OPT_MAPPING, "low-complexity masking score (0: off)", 0,
                                kIntMax),
    int_opt<MO(max_query_len)>(0, "max-qlen", "NUM", LS_OPT_MAPPING,
                               "skip queries longer than this (0: no limit)", 0, kIntMax),
    int_opt<MO(hash_seed)>(0, "seed", "INT", LS_OPT_MAPPING, "seed of the tie-breaking hash", -kIntMax,
                           kIntMax),
    // Alignment
    flag_opt('c', "cigar", LS_OPT_ALIGN, "align base by base; CIGAR in PAF (cg:Z)",
             LS_F_BASE_ALIGN | LS_F_CG_TAG),
    int_opt<MO(match_score)>('A', "match", "INT", LS_OPT_ALIGN, "match score", 0, 127),
    int_opt<MO(mismatch_penalty)>('B', "mismatch", "INT", LS_OPT_ALIGN, "mismatch penalty", 0, 127),
    pair_opt<MO(gap_open), MO(gap_open2)>('O', "gap-open", "INT[,INT]", LS_OPT_ALIGN,
                                          "gap-open penalties of the two gap models", 0, 127),
    pair_opt<MO(gap_ext), MO(gap_ext2)>('E', "gap-ext", "INT[,INT]", LS_OPT_ALIGN,
                                        "gap-extension penalties of the two models", 0, 127),
    int_opt<MO(transition_penalty)>(0, "transition", "INT", LS_OPT_ALIGN, "transition mismatch penalty", 0,
                                    127),
    int_opt<MO(ambiguous_score)>(0, "score-N", "INT", LS_OPT_ALIGN, "score against an ambiguous base", 0,
                                 127),
    pair_opt<MO(zdrop), MO(zdrop_inversion)>('z', "zdrop", "INT[,INT]", LS_OPT_ALIGN,
                                             "Z-drop of extension and of inversions", 0, kIntMax),
    int_opt<MO(min_dp_score)>('s', "min-dp-score", "INT", LS_OPT_ALIGN, "lowest alignment score kept", 0,
                              kIntMax),
    int_opt<MO(min_dp_len)>(0, "min-dp-len", "INT", LS_OPT_ALIGN,
                            "shortest stretch aligned by dynamic programming", 0, kIntMax),
    int_opt<MO(end_bonus)>(0, "end-bonus", "INT", LS_OPT_ALIGN, "bonus for reaching a query end (-1: none)",
                           -1, kIntMax),
    float_opt<MO(max_clip_fraction)>(0, "max-clip-frac", LS_OPT_ALIGN,
                                     "largest clipped fraction of the query", 0, 1),
    int_opt<MO(rank_min_length)>(0, "rank-min-len", "INT", LS_OPT_ALIGN,
                                 "shortest query whose alignment scores are recalibrated", 0, kIntMax),
    float_opt<MO(rank_fraction)>(0, "rank-frac", LS_OPT_ALIGN, "fraction used by that recalibration", 0, 1),
    int_opt<MO(max_dp_cells)>(0, "max-dp-cells", "NUM", LS_OPT_ALIGN,
                              "largest alignment matrix, in cells (0: none)", 0, 1LL << 50),
    pair_opt<MO(anchor_extend_len), MO(anchor_extend_shift)>(0, "anchor-ext", "INT[,INT]", LS_OPT_ALIGN,
                                                             "anchor extension length and shift", 0, kIntMax),
    flag_opt(0, "no-inversion", LS_OPT_ALIGN, "do not align inversions", LS_F_NO_INVERSION),
    flag_opt(0, "eqx", LS_OPT_ALIGN, "CIGARs with =/X instead of M", LS_F_EQX),
    // Spliced
    flag_opt(0, "splice", LS_OPT_SPLICE, "spliced alignment", LS_F_SPLICE),
    own_opt(0, "strand", "f|r|b|n", 0, LS_OPT_SPLICE,
            "transcript strand: forward, reverse, both, or none (no splice signals)", apply_strand,
            show_strand),
    int_opt<MO(noncanonical_penalty)>('C', "noncanon", "INT", LS_OPT_SPLICE,
                                      "penalty of a non-canonical splice site", 0, 127),
    int_opt<MO(junction_bonus)>(0, "junc-bonus", "INT", LS_OPT_SPLICE, "bonus of an annotated junction", 0,
                                127),
    int_opt<MO(junction_penalty)>(0, "junc-penalty", "INT", LS_OPT_SPLICE, "junction penalty", 0, 127),
    yes_no_opt("splice-flank", LS_OPT_SPLICE, "score the bases flanking splice sites", LS_F_SPLICE_FLANK,
               true),
    int_opt<MO(jump_min_matches)>(0, "jump-min-match", "INT", LS_OPT_SPLICE,
                                  "fewest matches for a splice jump", 0, kIntMax),
    flag_opt(0, "write-junc", LS_OPT_SPLICE, "write the introns of spliced alignments, not mappings",
             LS_F_JUNC_OUT | LS_F_BASE_ALIGN),
    // Output
    flag_opt('a', "sam", LS_OPT_OUTPUT, "SAM output (base alignment included)",
             LS_F_SAM_OUT | LS_F_BASE_ALIGN),
    own_opt(0, "cs", "short|long", 1, LS_OPT_OUTPUT, "cs difference string", apply_cs),
    flag_opt(0, "ds", LS_OPT_OUTPUT, "ds difference string", LS_F_DS_TAG | LS_F_BASE_ALIGN),
    flag_opt(0, "MD", LS_OPT_OUTPUT, "MD string", LS_F_MD_TAG | LS_F_BASE_ALIGN),
    flag_opt('L', "long-cigar", LS_OPT_OUTPUT, "CIGARs of 65536 operations or more in the CG tag",
             LS_F_LONG_CIGAR),
    flag_opt('Y', "soft-clip", LS_OPT_OUTPUT, "soft clipping in supplementary records", LS_F_SOFT_CLIP),
    flag_opt(0, "secondary-seq", LS_OPT_OUTPUT, "bases and qualities in secondary records",
             LS_F_SECONDARY_SEQ),
    yes_no_opt("mate-tags", LS_OPT_OUTPUT, "MC and MQ tags (the mate's CIGAR and mapping quality) for pairs",
               LS_F_NO_MATE_TAGS, false),
    flag_opt('y', "copy-comment", LS_OPT_OUTPUT,
             "copy the FASTA/FASTQ comment (SAM/BAM/CRAM: the tags) to the output", LS_F_COPY_COMMENT),
    flag_opt(0, "paf-no-hit", LS_OPT_OUTPUT, "PAF lines for unmapped queries", LS_F_PAF_UNMAPPED),
    flag_opt(0, "sam-hit-only", LS_OPT_OUTPUT, "no SAM records for unmapped queries", LS_F_SAM_HITS_ONLY),
    flag_opt(0, "no-qual", LS_OPT_OUTPUT, "no base qualities in SAM", LS_F_DROP_QUAL),
};

#undef IO
#undef MO

constexpr int kOptCount = (int)(sizeof(kOptTable) / sizeof(kOptTable[0]));

/* As the command line spells the name: "-k" or "--bandwidth". */
std::string spelled(const char *name) {
    if (name == nullptr) return "";
    return (strlen(name) == 1 ? "-" : "--") + std::string(name);
}

void put_text(char *buf, size_t size, const std::string &text) {
    if (buf && size > 0) snprintf(buf, size, "%s", text.c_str());
}

int set_option(ls_idxopt *io, ls_mapopt *mo, const char *name, const char *value, char *err,
               size_t err_size) {
    const int i = ls_opt_find(name);
    if (i < 0) {
        put_text(err, err_size, "unknown option '" + spelled(name) + "'");
        return -2;
    }
    const OptDef &d = kOptTable[i];
    if (d.info.meta && !d.info.value_optional && value == nullptr) {
        put_text(err, err_size, "option '" + spelled(name) + "' needs a value");
        return -1;
    }
    if (!d.info.meta && value != nullptr) {
        put_text(err, err_size, "option '" + spelled(name) + "' takes no value");
        return -1;
    }
    std::string why;
    if (!d.apply(d, io, mo, value, &why)) {
        put_text(err, err_size, "option '" + spelled(name) + "': " + why);
        return -1;
    }
    return 0;
}

} // namespace

int ls_opt_count(void) {
    return kOptCount;
}

const ls_opt_info *ls_opt_info_at(int i) {
    return i >= 0 && i < kOptCount ? &kOptTable[i].info : nullptr;
}

int ls_opt_find(const char *name) {
    if (name == nullptr || *name == 0) return -1;
    const bool one_letter = name[1] == 0;
    for (int i = 0; i < kOptCount; ++i) {
        const ls_opt_info &o = kOptTable[i].info;
        if (one_letter ? o.short_name == name[0] : o.long_name && strcmp(o.long_name, name) == 0) return i;
    }
    return -1;
}

int ls_opt_set(ls_idxopt *io, ls_mapopt *mo, const char *name, const char *value, char *err,
               size_t err_size) {
    // Messages are built in std::string; running out of memory for one is
    // reported like any other failure rather than thrown through C.
    try {
        return set_option(io, mo, name, value, err, err_size);
    } catch (const std::bad_alloc &) {
        put_text(err, err_size, "out of memory");
        return -1;
    }
}

int ls_opt_default_text(const ls_idxopt *io, const ls_mapopt *mo, int i, char *buf, size_t size) {
    if (i < 0 || i >= kOptCount || kOptTable[i].show == nullptr) return -1;
    try {
        const std::string text = kOptTable[i].show(kOptTable[i], io, mo);
        put_text(buf, size, text);
        return (int)text.size();
    } catch (const std::bad_alloc &) { return -1; }
}

int ls_opt_parse_size(const char *text, long long lo, long long hi, long long *out, char *err,
                      size_t err_size) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    bool ok = !(end == text || errno == ERANGE || isnan(v));
    if (ok) {
        double mult = 1.0;
        if (*end == 'k' || *end == 'K')
            mult = 1e3, ++end;
        else if (*end == 'm' || *end == 'M')
            mult = 1e6, ++end;
        else if (*end == 'g' || *end == 'G')
            mult = 1e9, ++end;
        v *= mult;
        // Only whole numbers: "2.5k" is 2500, "2.5" is not a count.
        ok = *end == 0 && v == floor(v) && v >= (double)lo && v <= (double)hi;
    }
    if (ok) {
        *out = (long long)v;
        return 0;
    }
    if (err && err_size > 0) {
        try {
            put_text(err, err_size, count_error(text, lo, hi));
        } catch (const std::bad_alloc &) { put_text(err, err_size, "out of memory"); }
    }
    return -1;
}
