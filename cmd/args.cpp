#include "args.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>

namespace lodestar_cmd {

namespace {

enum Group { kPreset, kWork, kIndex, kMapping, kAlign, kSplice, kOutput, kNumGroups };
const char *const kGroupTitle[kNumGroups] = {"Presets",   "Work",    "Index", "Mapping",
                                             "Alignment", "Spliced", "Output"};

typedef std::function<bool(Args &, const char *, std::string *)> Apply;
typedef std::function<std::string(const Args &)> Default;

struct OptSpec {
    char short_name;       /* 0: none */
    const char *long_name; /* null: none */
    const char *meta;      /* value name; null for a switch */
    bool value_optional;   /* a switch that may take "=VALUE" */
    Group group;
    const char *help;
    Apply apply;
    Default dflt; /* empty: no default shown */
};

const long long kIntMax = 2147483647LL;

std::string fmt_float(double v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%g", v);
    return buf;
}

bool parse_int(const char *s, long long lo, long long hi, long long *out, std::string *err) {
    if (!parse_size(s, lo, hi, out)) {
        long long v;
        if (parse_size(s, -(1LL << 62), 1LL << 62, &v))
            *err = "'" + std::string(s) + "' is out of range (" + std::to_string(lo) + " to " +
                   std::to_string(hi) + ")";
        else
            *err = "'" + std::string(s) + "' is not a number";
        return false;
    }
    return true;
}

bool parse_float(const char *s, double lo, double hi, double *out, std::string *err) {
    char *end = nullptr;
    errno = 0;
    const double v = strtod(s, &end);
    if (end == s || *end != 0 || errno == ERANGE || isnan(v)) {
        *err = "'" + std::string(s) + "' is not a number";
        return false;
    }
    if (v < lo || v > hi) {
        *err = "'" + std::string(s) + "' is out of range (" + fmt_float(lo) + " to " + fmt_float(hi) + ")";
        return false;
    }
    *out = v;
    return true;
}

/* "A" or "A,B": the second value defaults to keeping the field as it is. */
bool parse_pair(const char *s, long long lo, long long hi, long long *a, long long *b, bool *has_b,
                std::string *err) {
    const char *comma = strchr(s, ',');
    *has_b = comma != nullptr;
    if (!comma) return parse_int(s, lo, hi, a, err);
    const std::string first(s, comma - s);
    return parse_int(first.c_str(), lo, hi, a, err) && parse_int(comma + 1, lo, hi, b, err);
}

/* An integer option bound to one field. */
template <typename Field>
OptSpec int_opt(char s, const char *l, const char *meta, Group g, const char *help, Field field, long long lo,
                long long hi) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        long long x;
        if (!parse_int(v, lo, hi, &x, err)) return false;
        field(a) = static_cast<typename std::remove_reference<decltype(field(a))>::type>(x);
        return true;
    };
    o.dflt = [=](const Args &a) { return std::to_string(field(const_cast<Args &>(a))); };
    return o;
}

template <typename Field>
OptSpec float_opt(char s, const char *l, const char *meta, Group g, const char *help, Field field, double lo,
                  double hi) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        double x;
        if (!parse_float(v, lo, hi, &x, err)) return false;
        field(a) = (float)x;
        return true;
    };
    o.dflt = [=](const Args &a) { return fmt_float(field(const_cast<Args &>(a))); };
    return o;
}

template <typename Field>
OptSpec text_opt(char s, const char *l, const char *meta, Group g, const char *help, Field field) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        if (*v == 0) {
            *err = "the value is empty";
            return false;
        }
        field(a) = v;
        return true;
    };
    return o;
}

/* A switch that sets some mapping flags and clears others. */
OptSpec flag_opt(char s, const char *l, Group g, const char *help, int64_t set, int64_t clear = 0) {
    OptSpec o{s, l, nullptr, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *, std::string *) {
        a.mo.flag = (a.mo.flag & ~clear) | set;
        return true;
    };
    return o;
}

/* "--name=yes|no" (plain "--name" means yes): sets or clears the bits. */
OptSpec yes_no_opt(const char *l, Group g, const char *help, int64_t bits, bool yes_sets) {
    OptSpec o{0, l, "yes|no", true, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        bool yes;
        if (v == nullptr || strcmp(v, "yes") == 0)
            yes = true;
        else if (strcmp(v, "no") == 0)
            yes = false;
        else {
            *err = "'" + std::string(v) + "' is neither yes nor no";
            return false;
        }
        if (yes == yes_sets)
            a.mo.flag |= bits;
        else
            a.mo.flag &= ~bits;
        return true;
    };
    o.dflt = [=](const Args &a) { return ((a.mo.flag & bits) != 0) == yes_sets ? "yes" : "no"; };
    return o;
}

/* An option whose value sets two fields ("A[,B]"). */
template <typename F1, typename F2>
OptSpec pair_opt(char s, const char *l, const char *meta, Group g, const char *help, F1 f1, F2 f2, long long lo,
                 long long hi) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        long long x, y = 0;
        bool has_y;
        if (!parse_pair(v, lo, hi, &x, &y, &has_y, err)) return false;
        f1(a) = (int)x;
        if (has_y) f2(a) = (int)y;
        return true;
    };
    o.dflt = [=](const Args &a) {
        Args &m = const_cast<Args &>(a);
        return std::to_string(f1(m)) + "," + std::to_string(f2(m));
    };
    return o;
}

#define IO(f) [](Args &a) -> decltype(a.io.f) & { return a.io.f; }
#define MO(f) [](Args &a) -> decltype(a.mo.f) & { return a.mo.f; }
#define ARG(f) [](Args &a) -> decltype(a.f) & { return a.f; }

const std::vector<OptSpec> &option_table() {
    static const std::vector<OptSpec> table = [] {
        std::vector<OptSpec> t;
        // Presets
        {
            OptSpec o{'x', "preset", "STR", false, kPreset, nullptr, nullptr, nullptr};
            o.help = "apply a preset (below) before all other options";
            o.apply = [](Args &, const char *, std::string *) { return true; }; // applied first
            t.push_back(o);
        }
        // Work
        t.push_back(int_opt('t', "threads", "INT", kWork, "threads for building the index and for mapping",
                            ARG(n_threads), 1, 1024));
        t.push_back(int_opt('K', "batch", "NUM", kWork, "query bases loaded per batch", MO(batch_bases), 1,
                            1LL << 40));
        t.push_back(int_opt('I', "part-size", "NUM", kWork, "target bases per index part", IO(index_part_bases),
                            1, 1LL << 50));
        t.push_back(int_opt(0, "sketch-batch", "NUM", kWork, "target bases read per batch while indexing",
                            IO(sketch_batch_bases), 1, kIntMax));
        t.push_back(text_opt('d', "save-index", "FILE", kWork, "save the index to FILE", ARG(index_out)));
        t.push_back(text_opt(0, "split-prefix", "STR", kWork,
                             "merge the results of several index parts through temporary files STR.*.tmp",
                             ARG(split_prefix)));
        // Index
        t.push_back(int_opt('k', nullptr, "INT", kIndex, "k-mer length", IO(k), 1, 28));
        t.push_back(int_opt('w', nullptr, "INT", kIndex, "minimizer window length", IO(w), 1, 255));
        {
            OptSpec o{'H', "hpc", nullptr, false, kIndex, "minimizers on homopolymer-compressed sequence",
                      nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) {
                a.io.flag |= LS_I_HPC;
                return true;
            };
            t.push_back(o);
        }
        t.push_back(int_opt(0, "bucket-bits", "INT", kIndex, "hash bits selecting an index bucket",
                            IO(bucket_bits), 1, 28));
        // Mapping
        t.push_back(float_opt('f', "mid-occ-frac", "FLOAT", kMapping,
                              "ignore this fraction of the most frequent minimizers", MO(mid_occ_fraction), 0,
                              1));
        t.push_back(pair_opt('U', "mid-occ-range", "INT[,INT]", kMapping,
                             "lower and upper bound of the computed occurrence threshold", MO(mid_occ_min),
                             MO(mid_occ_max), 1, kIntMax));
        t.push_back(int_opt(0, "mid-occ", "INT", kMapping,
                            "ignore minimizers occurring more often (0: from -f)", MO(mid_occ), 0, kIntMax));
        t.push_back(float_opt(0, "q-occ-frac", "FLOAT", kMapping,
                              "per-query fraction of repetitive minimizers kept", MO(query_occ_fraction), 0,
                              1));
        t.push_back(int_opt(0, "occ-cap", "INT", kMapping, "higher occurrence limit when chaining again",
                            MO(occ_cap), 0, kIntMax));
        t.push_back(int_opt(0, "occ-cap-max", "INT", kMapping, "upper occurrence cap", MO(occ_cap_max), 0,
                            kIntMax));
        t.push_back(int_opt(0, "occ-dist", "INT", kMapping,
                            "keep frequent minimizers this far from the kept ones", MO(occ_distance), 0,
                            kIntMax));
        t.push_back(int_opt('g', "max-gap", "NUM", kMapping, "largest gap inside a chain", MO(chain_max_gap),
                            0, kIntMax));
        t.push_back(int_opt(0, "max-gap-ref", "NUM", kMapping,
                            "largest target-side gap inside a chain (-1: as -g)", MO(chain_max_gap_ref), -1,
                            kIntMax));
        t.push_back(pair_opt('r', "bandwidth", "NUM[,NUM]", kMapping,
                             "bandwidth of chaining and alignment, and of long joins", MO(bw), MO(long_bw), 0,
                             kIntMax));
        t.push_back(int_opt('n', "min-anchors", "INT", kMapping, "fewest anchors in a chain",
                            MO(chain_min_anchors), 1, kIntMax));
        t.push_back(int_opt('m', "min-chain-score", "INT", kMapping, "lowest chain score kept",
                            MO(chain_min_score), 0, kIntMax));
        t.push_back(float_opt(0, "chain-gap-scale", "FLOAT", kMapping, "scale of the chaining gap cost",
                              MO(gap_cost_scale), 0, 1e6));
        t.push_back(float_opt(0, "chain-skip-scale", "FLOAT", kMapping, "scale of the chaining skip cost",
                              MO(skip_cost_scale), 0, 1e6));
        t.push_back(int_opt(0, "chain-skip", "INT", kMapping, "chaining skip limit", MO(chain_skip_limit), 0,
                            kIntMax));
        t.push_back(int_opt(0, "chain-iter", "INT", kMapping, "chaining iteration limit",
                            MO(chain_iter_limit), 0, kIntMax));
        t.push_back(yes_no_opt("rmq", kMapping, "chain by range-maximum queries", LS_F_RMQ, true));
        t.push_back(int_opt(0, "rmq-cap", "INT", kMapping, "size cap of range-maximum chaining", MO(rmq_cap),
                            0, kIntMax));
        t.push_back(int_opt(0, "rmq-inner", "INT", kMapping, "inner distance of range-maximum chaining",
                            MO(rmq_inner_distance), 0, kIntMax));
        t.push_back(int_opt(0, "rmq-rescue", "INT", kMapping, "rescue size of range-maximum chaining",
                            MO(rmq_rescue_min), 0, kIntMax));
        t.push_back(float_opt(0, "rmq-rescue-frac", "FLOAT", kMapping,
                              "rescue ratio of range-maximum chaining", MO(rmq_rescue_fraction), 0, 1));
        t.push_back(flag_opt(0, "no-long-join", kMapping, "do not join chains across long gaps",
                             LS_F_NO_LONG_JOIN));
        t.push_back(float_opt('p', "pri-ratio", "FLOAT", kMapping,
                              "lowest secondary-to-primary score ratio kept", MO(secondary_ratio), 0, 1));
        t.push_back(int_opt('N', "max-secondary", "INT", kMapping, "secondary mappings kept",
                            MO(max_secondary), 0, kIntMax));
        t.push_back(yes_no_opt("secondary", kMapping, "report secondary mappings", LS_F_NO_SECONDARY, false));
        t.push_back(float_opt('M', "mask-level", "FLOAT", kMapping,
                              "overlap fraction that makes a mapping secondary", MO(overlap_mask_level), 0,
                              1));
        t.push_back(int_opt(0, "mask-len", "NUM", kMapping, "overlap length limit of that test",
                            MO(overlap_mask_len), 0, kIntMax));
        t.push_back(flag_opt(0, "hard-mask-level", kMapping, "apply the mask level to every overlap",
                             LS_F_HARD_MASK_LEVEL));
        t.push_back(text_opt(0, "alt", "FILE", kMapping, "list of ALT targets, one name per line", ARG(alt)));
        t.push_back(float_opt(0, "alt-drop", "FLOAT", kMapping, "score drop for mappings to ALT targets",
                              MO(alt_drop_fraction), 0, 1));
        t.push_back(flag_opt('P', "all-chains", kMapping, "keep all chains", LS_F_ALL_CHAINS));
        t.push_back(flag_opt('X', "all-vs-all", kMapping,
                             "all-versus-all: keep all chains, skip self and dual mappings",
                             LS_F_ALL_CHAINS | LS_F_SKIP_DIAG | LS_F_HALF_PAIRS));
        t.push_back(flag_opt(0, "for-only", kMapping, "map the query's forward strand only",
                             LS_F_FORWARD_ONLY));
        t.push_back(flag_opt(0, "rev-only", kMapping, "map the query's reverse strand only",
                             LS_F_REVERSE_ONLY));
        t.push_back(flag_opt(0, "qstrand", kMapping, "target coordinates along the query's strand (PAF)",
                             LS_F_QUERY_STRAND));
        t.push_back(flag_opt(0, "sr", kMapping, "short-read mode", LS_F_SHORT_READ));
        t.push_back(flag_opt(0, "mapq-from-alignment", kMapping,
                             "mapping quality from the aligned scores of competing placements (aligns)",
                             LS_F_MAPQ_FROM_ALN | LS_F_BASE_ALIGN));
        t.push_back(yes_no_opt("frag", kMapping, "pair mates of one file by their names", LS_F_FRAGMENT, true));
        t.push_back(int_opt('F', "max-frag-len", "NUM", kMapping, "longest fragment of a proper pair",
                            MO(max_fragment_len), 0, kIntMax));
        t.push_back(int_opt(0, "pair-orient", "INT", kMapping,
                            "mate orientation bits: 1 second mate reversed, 2 first (-1: no pairing)",
                            MO(pair_orientation), -1, 3));
        t.push_back(int_opt(0, "pair-bonus", "INT", kMapping, "score bonus of a proper pair", MO(pair_bonus),
                            0, kIntMax));
        t.push_back(flag_opt(0, "indep-mates", kMapping, "map the mates of a pair independently",
                             LS_F_INDEPENDENT_SEGS));
        t.push_back(int_opt(0, "dust", "INT", kMapping, "low-complexity masking score (0: off)",
                            MO(dust_threshold), 0, kIntMax));
        t.push_back(int_opt(0, "max-qlen", "NUM", kMapping, "skip queries longer than this (0: no limit)",
                            MO(max_query_len), 0, kIntMax));
        t.push_back(int_opt(0, "seed", "INT", kMapping, "seed of the tie-breaking hash", MO(hash_seed),
                            -kIntMax, kIntMax));
        // Alignment
        t.push_back(flag_opt('c', "cigar", kAlign, "align base by base; CIGAR in PAF (cg:Z)",
                             LS_F_BASE_ALIGN | LS_F_CG_TAG));
        t.push_back(int_opt('A', "match", "INT", kAlign, "match score", MO(match_score), 0, 127));
        t.push_back(int_opt('B', "mismatch", "INT", kAlign, "mismatch penalty", MO(mismatch_penalty), 0, 127));
        t.push_back(pair_opt('O', "gap-open", "INT[,INT]", kAlign, "gap-open penalties of the two gap models",
                             MO(gap_open), MO(gap_open2), 0, 127));
        t.push_back(pair_opt('E', "gap-ext", "INT[,INT]", kAlign, "gap-extension penalties of the two models",
                             MO(gap_ext), MO(gap_ext2), 0, 127));
        t.push_back(int_opt(0, "transition", "INT", kAlign, "transition mismatch penalty",
                            MO(transition_penalty), 0, 127));
        t.push_back(int_opt(0, "score-N", "INT", kAlign, "score against an ambiguous base",
                            MO(ambiguous_score), 0, 127));
        t.push_back(pair_opt('z', "zdrop", "INT[,INT]", kAlign, "Z-drop of extension and of inversions",
                             MO(zdrop), MO(zdrop_inversion), 0, kIntMax));
        t.push_back(int_opt('s', "min-dp-score", "INT", kAlign, "lowest alignment score kept",
                            MO(min_dp_score), 0, kIntMax));
        t.push_back(int_opt(0, "min-dp-len", "INT", kAlign, "shortest stretch aligned by dynamic programming",
                            MO(min_dp_len), 0, kIntMax));
        t.push_back(int_opt(0, "end-bonus", "INT", kAlign, "bonus for reaching a query end (-1: none)",
                            MO(end_bonus), -1, kIntMax));
        t.push_back(float_opt(0, "max-clip-frac", "FLOAT", kAlign, "largest clipped fraction of the query",
                              MO(max_clip_fraction), 0, 1));
        t.push_back(int_opt(0, "rank-min-len", "INT", kAlign,
                            "shortest query whose alignment scores are recalibrated", MO(rank_min_length), 0,
                            kIntMax));
        t.push_back(float_opt(0, "rank-frac", "FLOAT", kAlign, "fraction used by that recalibration",
                              MO(rank_fraction), 0, 1));
        t.push_back(int_opt(0, "max-dp-cells", "NUM", kAlign, "largest alignment matrix, in cells (0: none)",
                            MO(max_dp_cells), 0, 1LL << 50));
        t.push_back(pair_opt(0, "anchor-ext", "INT[,INT]", kAlign, "anchor extension length and shift",
                             MO(anchor_extend_len), MO(anchor_extend_shift), 0, kIntMax));
        t.push_back(flag_opt(0, "no-inversion", kAlign, "do not align inversions", LS_F_NO_INVERSION));
        t.push_back(flag_opt(0, "eqx", kAlign, "CIGARs with =/X instead of M", LS_F_EQX));
        // Spliced
        t.push_back(flag_opt(0, "splice", kSplice, "spliced alignment", LS_F_SPLICE));
        t.push_back(int_opt('G', "max-intron", "NUM", kSplice, "longest intron (spliced mode)",
                            ARG(max_intron), 1, kIntMax));
        {
            OptSpec o{0, "strand", "f|r|b|n", false, kSplice,
                      "transcript strand: forward, reverse, both, or none (no splice signals)", nullptr,
                      nullptr};
            o.apply = [](Args &a, const char *v, std::string *err) {
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
                    *err = "'" + std::string(v) + "' is none of f, r, b, n";
                    return false;
                }
                a.mo.flag = (a.mo.flag & ~both) | bits;
                return true;
            };
            o.dflt = [](const Args &a) {
                const bool f = a.mo.flag & LS_F_SPLICE_FWD, r = a.mo.flag & LS_F_SPLICE_RC;
                return std::string(f && r ? "b" : f ? "f" : r ? "r" : "n");
            };
            t.push_back(o);
        }
        t.push_back(int_opt('C', "noncanon", "INT", kSplice, "penalty of a non-canonical splice site",
                            MO(noncanonical_penalty), 0, 127));
        t.push_back(int_opt(0, "junc-bonus", "INT", kSplice, "bonus of an annotated junction",
                            MO(junction_bonus), 0, 127));
        t.push_back(int_opt(0, "junc-penalty", "INT", kSplice, "junction penalty", MO(junction_penalty), 0,
                            127));
        t.push_back(text_opt(0, "junc-bed", "FILE", kSplice, "annotated introns (BED12)", ARG(junc_bed)));
        t.push_back(text_opt(0, "jump", "FILE", kSplice, "splice-jump junctions (BED12)", ARG(jump)));
        t.push_back(text_opt(0, "pass1", "FILE", kSplice, "junctions written by an earlier --write-junc run",
                             ARG(pass1)));
        t.push_back(text_opt(0, "spsc", "FILE", kSplice,
                             "splice-site scores (name, position, strand, D|A, score)", ARG(spsc)));
        t.push_back(yes_no_opt("splice-flank", kSplice, "score the bases flanking splice sites",
                               LS_F_SPLICE_FLANK, true));
        t.push_back(int_opt(0, "jump-min-match", "INT", kSplice, "fewest matches for a splice jump",
                            MO(jump_min_matches), 0, kIntMax));
        t.push_back(flag_opt(0, "write-junc", kSplice, "write the introns of spliced alignments, not mappings",
                             LS_F_JUNC_OUT | LS_F_BASE_ALIGN));
        // Output
        t.push_back(flag_opt('a', "sam", kOutput, "SAM output (base alignment included)",
                             LS_F_SAM_OUT | LS_F_BASE_ALIGN));
        t.push_back(text_opt('o', "output", "FILE", kOutput, "write the results to FILE", ARG(out_path)));
        t.push_back(text_opt('R', "read-group", "STR", kOutput, "SAM read group line, e.g. '@RG\\tID:x\\tSM:y'",
                             ARG(rg_line)));
        {
            OptSpec o{0, "cs", "short|long", true, kOutput, "cs difference string", nullptr, nullptr};
            o.apply = [](Args &a, const char *v, std::string *err) {
                if (v == nullptr || strcmp(v, "short") == 0)
                    a.mo.flag &= ~LS_F_CS_LONG;
                else if (strcmp(v, "long") == 0)
                    a.mo.flag |= LS_F_CS_LONG;
                else {
                    *err = "'" + std::string(v) + "' is neither short nor long";
                    return false;
                }
                a.mo.flag |= LS_F_CS_TAG | LS_F_BASE_ALIGN;
                return true;
            };
            t.push_back(o);
        }
        t.push_back(flag_opt(0, "ds", kOutput, "ds difference string", LS_F_DS_TAG | LS_F_BASE_ALIGN));
        t.push_back(flag_opt(0, "MD", kOutput, "MD string", LS_F_MD_TAG | LS_F_BASE_ALIGN));
        t.push_back(flag_opt('L', "long-cigar", kOutput, "CIGARs of 65536 operations or more in the CG tag",
                             LS_F_LONG_CIGAR));
        t.push_back(flag_opt('Y', "soft-clip", kOutput, "soft clipping in supplementary records",
                             LS_F_SOFT_CLIP));
        t.push_back(flag_opt(0, "secondary-seq", kOutput, "bases and qualities in secondary records",
                             LS_F_SECONDARY_SEQ));
        t.push_back(flag_opt('y', "copy-comment", kOutput, "copy the FASTA/FASTQ comment to the output",
                             LS_F_COPY_COMMENT));
        t.push_back(flag_opt(0, "paf-no-hit", kOutput, "PAF lines for unmapped queries", LS_F_PAF_UNMAPPED));
        t.push_back(flag_opt(0, "sam-hit-only", kOutput, "no SAM records for unmapped queries",
                             LS_F_SAM_HITS_ONLY));
        t.push_back(flag_opt(0, "no-qual", kOutput, "no base qualities in SAM", LS_F_DROP_QUAL));
        t.push_back(int_opt('v', "verbose", "INT", kOutput,
                            "verbosity: 1 errors, 2 also warnings and progress, 3 library details",
                            ARG(verbosity), 0, 10));
        {
            OptSpec o{0, "version", nullptr, false, kOutput, "print the version and exit", nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) { return a.version = true; };
            t.push_back(o);
        }
        {
            OptSpec o{'h', "help", nullptr, false, kOutput, "print this help and exit", nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) { return a.help = true; };
            t.push_back(o);
        }
        return t;
    }();
    return table;
}

#undef IO
#undef MO
#undef ARG

const OptSpec *find_short(char c) {
    for (const OptSpec &o : option_table())
        if (o.short_name == c) return &o;
    return nullptr;
}

const OptSpec *find_long(const std::string &name) {
    for (const OptSpec &o : option_table())
        if (o.long_name && name == o.long_name) return &o;
    return nullptr;
}

struct Token {
    const OptSpec *spec;
    std::string spelled; /* as typed: "-t" or "--threads" */
    const char *value;   /* null for a switch without value */
};

/* Splits the command line into options (with their values) and positional
 * arguments. Short switches may be bundled ("-ax sr"); a value follows its
 * option in the same word or in the next one. */
bool tokenize(int argc, char *const *argv, std::vector<Token> *tokens, std::vector<std::string> *positional,
              std::string *err) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            for (++i; i < argc; ++i) positional->push_back(argv[i]);
            break;
        }
        if (arg[0] == '-' && arg[1] == '-') {
            const char *eq = strchr(arg + 2, '=');
            const std::string name = eq ? std::string(arg + 2, eq - arg - 2) : std::string(arg + 2);
            const std::string spelled = "--" + name;
            const OptSpec *o = find_long(name);
            if (o == nullptr) {
                *err = "unknown option '" + spelled + "'";
                return false;
            }
            const char *value = eq ? eq + 1 : nullptr;
            if (o->meta && !o->value_optional && value == nullptr) {
                if (i + 1 >= argc) {
                    *err = "option '" + spelled + "' needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (!o->meta && value != nullptr) {
                *err = "option '" + spelled + "' takes no value";
                return false;
            }
            tokens->push_back({o, spelled, value});
        } else if (arg[0] == '-' && arg[1] != 0) {
            for (int j = 1; arg[j]; ++j) {
                const std::string spelled = std::string("-") + arg[j];
                const OptSpec *o = find_short(arg[j]);
                if (o == nullptr) {
                    *err = "unknown option '" + spelled + "'";
                    return false;
                }
                if (!o->meta || o->value_optional) {
                    tokens->push_back({o, spelled, nullptr});
                    continue;
                }
                const char *value = arg + j + 1;
                if (*value == 0) {
                    if (i + 1 >= argc) {
                        *err = "option '" + spelled + "' needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                tokens->push_back({o, spelled, value});
                break;
            }
        } else {
            positional->push_back(arg);
        }
    }
    return true;
}

/* The read-group line must be one SAM header line with an ID; the SAM
 * writer repeats these checks, but a bad line should stop the run before any
 * index is built, in PAF mode too. */
bool check_read_group(const std::string &rg, std::string *err) {
    if (rg.compare(0, 3, "@RG") != 0) {
        *err = "option '-R': the read group line must start with @RG";
        return false;
    }
    if (rg.find('\t') != std::string::npos) {
        *err = "option '-R': the read group line holds literal tabs; write them as \\t";
        return false;
    }
    for (unsigned char c : rg)
        if (c < ' ' || c == 0x7f) {
            *err = "option '-R': the read group line holds a control character (a line break?)";
            return false;
        }
    const size_t id = rg.find("\\tID:");
    if (id == std::string::npos) {
        *err = "option '-R': the read group line has no ID field (\\tID:...)";
        return false;
    }
    if (id + 5 == rg.size() || rg[id + 5] == '\\') {
        *err = "option '-R': the read group ID is empty";
        return false;
    }
    return true;
}

} // namespace

Args::Args() {
    ls_idxopt_defaults(&io);
    ls_mapopt_defaults(&mo);
}

const char *preset_names() {
    static const std::string names = [] {
        std::string s;
        for (int i = 0; i < ls_opt_preset_count(); ++i)
            s += (s.empty() ? "" : ", ") + std::string(ls_opt_preset_info(i)->names);
        return s;
    }();
    return names.c_str();
}

bool parse_size(const char *text, long long lo, long long hi, long long *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (end == text || errno == ERANGE || isnan(v)) return false;
    double mult = 1.0;
    if (*end == 'k' || *end == 'K')
        mult = 1e3, ++end;
    else if (*end == 'm' || *end == 'M')
        mult = 1e6, ++end;
    else if (*end == 'g' || *end == 'G')
        mult = 1e9, ++end;
    if (*end != 0) return false;
    v *= mult;
    // Only whole numbers: "2.5k" is 2500, "2.5" is not a count.
    if (v != floor(v) || v < (double)lo || v > (double)hi) return false;
    *out = (long long)v;
    return true;
}

bool parse_args(int argc, char *const *argv, Args *a, std::string *err) {
    std::vector<Token> tokens;
    if (!tokenize(argc, argv, &tokens, &a->positional, err)) return false;
    for (const Token &t : tokens) {
        if (t.spec->short_name != 'x') continue;
        // Presets set overlapping fields, so a second one would silently
        // undo part of the first.
        if (!a->preset.empty() && a->preset != t.value) {
            *err = "option '-x': presets do not combine ('" + a->preset + "', then '" + t.value +
                   "'); give one";
            return false;
        }
        ls_idxopt io = a->io;
        ls_mapopt mo = a->mo;
        // A name starting with "asm" writes part of its settings before it is
        // refused, so the preset is tried on copies.
        if (ls_opt_preset(t.value, &io, &mo) != 0) {
            *err = "unknown preset '" + std::string(t.value) + "'; valid presets: " + preset_names();
            return false;
        }
        a->io = io, a->mo = mo;
        a->preset = t.value;
    }
    bool bw_given = false;
    for (const Token &t : tokens) {
        std::string why;
        if (!t.spec->apply(*a, t.value, &why)) {
            *err = "option '" + t.spelled + "': " + why;
            return false;
        }
        if (t.spec->short_name == 'r') bw_given = true;
    }
    if (a->max_intron > 0) {
        // The intron length sets the bandwidths; an explicit -r still wins.
        const int bw = a->mo.bw, long_bw = a->mo.long_bw;
        ls_mapopt_set_intron_len(&a->mo, a->max_intron);
        if (bw_given) a->mo.bw = bw, a->mo.long_bw = long_bw;
    }
    if (!a->rg_line.empty() && !check_read_group(a->rg_line, err)) return false;
    if (!a->split_prefix.empty()) a->mo.split_prefix = a->split_prefix.c_str();
    return true;
}

std::string help_text() {
    const Args defaults;
    std::string s = "Usage: lodestar [options] <target.fa[.gz] | index> [query.fq[.gz] [mate2.fq[.gz]]]\n"
                    "Maps DNA or RNA sequences to a reference and writes PAF (default) or SAM.\n"
                    "'-' reads standard input. Without a query only the index is built (save it with -d).\n"
                    "NUM accepts the suffixes k, M and G (1000, 10^6, 10^9).\n";
    for (int g = 0; g < kNumGroups; ++g) {
        s += "\n";
        s += kGroupTitle[g];
        s += ":\n";
        for (const OptSpec &o : option_table()) {
            if (o.group != g) continue;
            std::string left = "  ";
            if (o.short_name) left += std::string("-") + o.short_name;
            if (o.short_name && o.long_name) left += ", ";
            if (o.long_name) left += std::string("--") + o.long_name;
            if (o.meta) left += std::string(o.value_optional ? "[=" : " ") + o.meta + (o.value_optional ? "]" : "");
            if (left.size() < 28) left.resize(28, ' ');
            else left += " ";
            s += left + o.help;
            if (o.dflt) s += " [" + o.dflt(defaults) + "]";
            s += "\n";
        }
        if (g == kPreset)
            for (int i = 0; i < ls_opt_preset_count(); ++i) {
                const ls_preset_info *p = ls_opt_preset_info(i);
                std::string left = std::string("      ") + p->names;
                left.resize(std::max<size_t>(left.size() + 1, 34), ' ');
                s += left + p->help + "\n";
            }
    }
    return s;
}

} // namespace lodestar_cmd
