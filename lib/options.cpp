/* Index and mapping options: defaults, presets and check. What the options
 * take from an index is worked out in map/limits.cpp. */
#include "options.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/diagnostics.h"

namespace {

// All-versus-all overlap modes: every chain is kept, a sequence is not
// matched against itself and each pair is reported once.
constexpr int64_t kAllVsAllFlags = LS_F_ALL_CHAINS | LS_F_SKIP_DIAG | LS_F_HALF_PAIRS | LS_F_NO_LONG_JOIN;

void preset_all_vs_all(ls_mapopt *mo) {
    mo->flag |= kAllVsAllFlags;
    mo->chain_min_score = 100;
    mo->secondary_ratio = 0.0f;
    mo->chain_skip_limit = 25;
    mo->occ_distance = 0;
}

// Accurate long reads: longer seeds and windows, fewer but more specific
// minimizers, so the occurrence bounds shrink too.
void preset_long_accurate(ls_idxopt *io, ls_mapopt *mo) {
    io->flag = 0, io->k = 19, io->w = 19;
    mo->chain_max_gap = 10000;
    mo->mid_occ_min = 50, mo->mid_occ_max = 500;
}

void set_scores(ls_mapopt *mo, int a, int b, int q, int e, int q2, int e2) {
    mo->match_score = a, mo->mismatch_penalty = b;
    mo->gap_open = q, mo->gap_ext = e;
    mo->gap_open2 = q2, mo->gap_ext2 = e2;
}

// Settings every assembly-to-reference preset shares.
void preset_asm_common(ls_idxopt *io, ls_mapopt *mo) {
    io->flag = 0, io->k = 19, io->w = 19;
    mo->bw = 1000, mo->long_bw = 100000;
    mo->chain_max_gap = 10000;
    mo->flag |= LS_F_RMQ;
    mo->mid_occ_min = 50, mo->mid_occ_max = 500;
    mo->min_dp_score = 200;
    mo->max_secondary = 50;
}

void preset_short_read(ls_idxopt *io, ls_mapopt *mo) {
    io->flag = 0, io->k = 21, io->w = 11;
    mo->flag |= LS_F_SHORT_READ | LS_F_FRAGMENT | LS_F_NO_SECONDARY | LS_F_TWO_IO_THREADS | LS_F_HEAP_MERGE;
    mo->pair_orientation = 1;
    set_scores(mo, 2, 8, 12, 2, 24, 1);
    mo->max_fragment_len = 800;
    mo->chain_max_gap = 100;
    mo->bw = 100, mo->long_bw = 100;
    mo->secondary_ratio = 0.5f;
    mo->max_secondary = 20;
    mo->chain_min_anchors = 2;
    mo->chain_min_score = 25;
    mo->zdrop = 100, mo->zdrop_inversion = 100;
    mo->end_bonus = 10;
    mo->min_dp_score = 40;
    mo->mid_occ = 1000;
    mo->occ_cap = 5000;
    mo->batch_bases = 50000000;
}

// Spliced alignment: bandwidths as long as the longest intron, no cap on the
// DP matrix (introns make it long and thin) and splice-site scoring.
void preset_splice(ls_idxopt *io, ls_mapopt *mo) {
    io->flag = 0, io->k = 15, io->w = 5;
    mo->flag |= LS_F_SPLICE | LS_F_SPLICE_FWD | LS_F_SPLICE_RC | LS_F_SPLICE_FLANK;
    mo->max_dp_cells = 0;
    mo->bw = 200000, mo->long_bw = 200000;
    mo->chain_max_gap = 2000;
    mo->chain_max_gap_ref = 200000;
    set_scores(mo, 1, 2, 2, 1, 32, 0);
    mo->noncanonical_penalty = 9;
    mo->junction_bonus = 9;
    mo->junction_penalty = 5;
    mo->zdrop = 200, mo->zdrop_inversion = 100;
}

// Higher-quality spliced reads tolerate fewer mismatches and gaps.
void preset_splice_hq_scores(ls_mapopt *mo) {
    mo->noncanonical_penalty = 5;
    mo->mismatch_penalty = 4;
    mo->gap_open = 6;
    mo->gap_open2 = 24;
}

// The presets, one row per set of settings, in the order --help lists them.
// Rows that apply different settings but suit the same reads share one help
// line: the later rows leave help null and join the line above.
struct Preset {
    const char *names; // ", " between aliases
    const char *help;
    void (*apply)(ls_idxopt *io, ls_mapopt *mo);
};

const Preset kPresetTable[] = {
    {"map-ont, lr", "noisy long reads (nanopore); the default settings",
     [](ls_idxopt *, ls_mapopt *) {
         // The defaults are tuned for noisy long reads already.
     }},
    {"map-pb, map10k", "noisy PacBio reads, homopolymer-compressed minimizers",
     [](ls_idxopt *io, ls_mapopt *) { io->flag |= LS_I_HPC, io->k = 19; }},
    {"map-hifi, map-ccs", "accurate long reads (HiFi)",
     [](ls_idxopt *io, ls_mapopt *mo) {
         preset_long_accurate(io, mo);
         set_scores(mo, 1, 4, 6, 2, 26, 1);
         mo->min_dp_score = 200;
     }},
    {"lr:hq", "accurate long reads, default scoring", preset_long_accurate},
    {"lr:hqae", "accurate long reads, range-maximum chaining",
     [](ls_idxopt *io, ls_mapopt *mo) {
         io->flag = 0, io->k = 25, io->w = 51;
         mo->flag |= LS_F_RMQ;
         mo->mid_occ_min = 50, mo->mid_occ_max = 500;
         mo->rmq_inner_distance = 5000;
         mo->occ_distance = 200;
         mo->max_secondary = 100;
         mo->gap_cost_scale = 5.0f;
     }},
    {"map-iclr", "synthetic long reads",
     [](ls_idxopt *io, ls_mapopt *mo) {
         io->flag = 0, io->k = 19;
         mo->mismatch_penalty = 6, mo->gap_open = 10, mo->transition_penalty = 4, mo->gap_open2 = 50;
     }},
    {"map-iclr-prerender", nullptr,
     [](ls_idxopt *io, ls_mapopt *mo) {
         io->flag = 0, io->k = 15;
         mo->mismatch_penalty = 6, mo->gap_open = 10, mo->transition_penalty = 1, mo->gap_open2 = 50;
     }},
    {"ava-ont", "all-versus-all overlaps of noisy long reads",
     [](ls_idxopt *io, ls_mapopt *mo) {
         io->flag = 0, io->k = 15, io->w = 5;
         preset_all_vs_all(mo);
         mo->bw = 2000, mo->long_bw = 2000;
     }},
    {"ava-pb", nullptr,
     [](ls_idxopt *io, ls_mapopt *mo) {
         io->flag |= LS_I_HPC, io->k = 19, io->w = 5;
         preset_all_vs_all(mo);
         mo->long_bw = mo->bw;
     }},
    {"asm5", "assembly to reference, from closest to most divergent",
     [](ls_idxopt *io, ls_mapopt *mo) {
         preset_asm_common(io, mo);
         set_scores(mo, 1, 19, 39, 3, 81, 1);
         mo->zdrop = 200, mo->zdrop_inversion = 200;
     }},
    {"asm10", nullptr,
     [](ls_idxopt *io, ls_mapopt *mo) {
         preset_asm_common(io, mo);
         set_scores(mo, 1, 9, 16, 2, 41, 1);
         mo->zdrop = 200, mo->zdrop_inversion = 200;
     }},
    {"asm20", nullptr,
     [](ls_idxopt *io, ls_mapopt *mo) {
         preset_asm_common(io, mo);
         set_scores(mo, 1, 4, 6, 2, 26, 1);
         io->w = 10;
         mo->zdrop = 200, mo->zdrop_inversion = 200;
     }},
    {"sr, short", "short single or paired reads", preset_short_read},
    {"splice, cdna", "spliced long reads (cDNA, direct RNA)", preset_splice},
    {"splice:hq", "spliced accurate long reads",
     [](ls_idxopt *io, ls_mapopt *mo) {
         preset_splice(io, mo);
         preset_splice_hq_scores(mo);
     }},
    {"splice:sr", "spliced short reads (RNA-seq)",
     [](ls_idxopt *io, ls_mapopt *mo) {
         // Short RNA reads are paired like short reads but stay in splice
         // mode; LS_F_SHORT_READ is deliberately left off.
         preset_splice(io, mo);
         mo->flag |= LS_F_FRAGMENT | LS_F_NO_SECONDARY | LS_F_TWO_IO_THREADS | LS_F_HEAP_MERGE |
                     LS_F_WEAK_PAIRING | LS_F_SHORT_RNA;
         preset_splice_hq_scores(mo);
         mo->chain_min_score = 25;
         mo->min_dp_score = 40;
         mo->min_dp_len = 20;
         mo->pair_orientation = 1;
         mo->max_secondary = 10;
         mo->batch_bases = 100000000;
     }},
};

// Whether name is one of the ", "-separated aliases in names.
bool has_name(const char *names, const char *name) {
    const size_t n = strlen(name);
    for (const char *s = names;;) {
        const char *e = strchr(s, ',');
        const size_t len = e ? (size_t)(e - s) : strlen(s);
        if (len == n && strncmp(s, name, n) == 0) return true;
        if (!e) return false;
        s = e + 2;
    }
}

// The help lines: rows that share one are joined, names in table order.
// Built once (a function-local static is thread-safe) and kept for the run.
const std::vector<ls_preset_info> &preset_list() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Preset &p : kPresetTable) {
            if (p.help || v.empty()) v.emplace_back(p.names);
            else v.back() += std::string(", ") + p.names;
        }
        return v;
    }();
    static const std::vector<ls_preset_info> list = [] {
        std::vector<ls_preset_info> v;
        for (const Preset &p : kPresetTable)
            if (p.help) v.push_back({names[v.size()].c_str(), p.help});
        return v;
    }();
    return list;
}

// Prints one option error when errors are shown and hands back its code.
int check_fail(int code, const char *msg) {
    ls_log(LS_LOG_ERROR, "%s", msg);
    return code;
}

} // namespace

void ls_idxopt_defaults(ls_idxopt *io) {
    memset(io, 0, sizeof(*io));
    io->k = 15;
    io->w = 10;
    io->flag = 0;
    io->bucket_bits = 14;
    io->sketch_batch_bases = 50000000;
    io->index_part_bases = 8000000000ULL;
}

void ls_mapopt_defaults(ls_mapopt *mo) {
    memset(mo, 0, sizeof(*mo));
    mo->flag = 0;
    mo->hash_seed = 11;
    mo->dust_threshold = 0;
    mo->max_query_len = 0;

    mo->bw = 500, mo->long_bw = 20000;
    mo->chain_max_gap = 5000, mo->chain_max_gap_ref = -1;
    mo->max_fragment_len = 0;
    mo->chain_skip_limit = 25, mo->chain_iter_limit = 5000;
    mo->chain_min_anchors = 3, mo->chain_min_score = 40;
    mo->gap_cost_scale = 0.8f, mo->skip_cost_scale = 0.0f;
    mo->rmq_cap = 100000, mo->rmq_inner_distance = 1000, mo->rmq_rescue_min = 1000;
    mo->rmq_rescue_fraction = 0.1f;

    mo->overlap_mask_level = 0.5f;
    mo->overlap_mask_len = 2147483647;
    mo->secondary_ratio = 0.8f;
    mo->max_secondary = 5;
    mo->alt_drop_fraction = 0.15f;

    set_scores(mo, 2, 4, 4, 2, 24, 1);
    mo->transition_penalty = 0;
    mo->ambiguous_score = 1;
    mo->noncanonical_penalty = 0;
    mo->junction_bonus = 0, mo->junction_penalty = 0;
    mo->zdrop = 400, mo->zdrop_inversion = 200;
    mo->end_bonus = -1;
    mo->min_dp_score = 80, mo->min_dp_len = 200;
    mo->anchor_extend_len = 20, mo->anchor_extend_shift = 6;
    mo->max_clip_fraction = 1.0f;
    mo->rank_min_length = 500;
    mo->rank_fraction = 0.9f;

    mo->pair_orientation = 0, mo->pair_bonus = 33;
    mo->jump_min_matches = 3;

    mo->mid_occ_fraction = 0.0002f, mo->query_occ_fraction = 0.01f;
    mo->mid_occ_min = 10, mo->mid_occ_max = 1000000;
    mo->mid_occ = 0;
    mo->occ_cap = 0, mo->occ_cap_max = 4095;
    mo->occ_distance = 500;

    mo->batch_bases = 500000000;
    mo->max_dp_cells = 100000000;
    mo->arena_cap = 500000000;

    mo->split_prefix = nullptr;
}

int ls_opt_preset(const char *preset, ls_idxopt *io, ls_mapopt *mo) {
    if (preset == nullptr) {
        ls_idxopt_defaults(io);
        ls_mapopt_defaults(mo);
        return 0;
    }
    for (const Preset &p : kPresetTable) {
        if (!has_name(p.names, preset)) continue;
        p.apply(io, mo);
        return 0;
    }
    // Every "asm" preset shares its first settings, and an unknown "asm" name
    // has always been refused only after writing them; callers try presets on
    // copies, so this is kept rather than made to touch nothing.
    if (strncmp(preset, "asm", 3) == 0) preset_asm_common(io, mo);
    return -1;
}

int ls_opt_preset_count(void) { return (int)preset_list().size(); }

const ls_preset_info *ls_opt_preset_info(int i) {
    const std::vector<ls_preset_info> &list = preset_list();
    return i >= 0 && i < (int)list.size() ? &list[i] : nullptr;
}

void ls_mapopt_set_intron_len(ls_mapopt *mo, int max_intron_len) {
    if (max_intron_len > 0 && (mo->flag & LS_F_SPLICE)) {
        mo->bw = mo->long_bw = mo->chain_max_gap_ref = max_intron_len;
    }
}

int ls_opt_check(const ls_idxopt *io, const ls_mapopt *mo) {
    if (mo->bw > mo->long_bw) {
        ls_log(LS_LOG_ERROR, "with '-rNUM1,NUM2', NUM1 (%d) can't be larger than NUM2 (%d)", mo->bw,
               mo->long_bw);
        return -8;
    }
    if ((mo->flag & LS_F_RMQ) && (mo->flag & (LS_F_SHORT_READ | LS_F_SPLICE)))
        return check_fail(-7, "--rmq doesn't work with --sr or --splice");
    if ((mo->flag & (LS_F_CS_TAG | LS_F_MD_TAG)) && mo->split_prefix != nullptr)
        return check_fail(-6, "--cs or --MD doesn't work with --split-prefix");
    if (io->k <= 0 || io->w <= 0)
        return check_fail(-5, "-k and -w must be positive");
    if (mo->max_secondary < 0)
        return check_fail(-4, "-N must be no less than 0");
    if (mo->max_secondary == 0)
        ls_log(LS_LOG_WARNING, "'-N 0' reduces mapping accuracy. Please use '--secondary=no' instead.");
    // Written so that a NaN ratio fails too: it lies within no range.
    if (!(mo->secondary_ratio >= 0.0f && mo->secondary_ratio <= 1.0f))
        return check_fail(-4, "-p must be within 0 and 1 (including 0 and 1)");
    if ((mo->flag & LS_F_FORWARD_ONLY) && (mo->flag & LS_F_REVERSE_ONLY))
        return check_fail(-3, "--for-only and --rev-only can't be applied at the same time");
    if (mo->gap_ext <= 0 || mo->gap_open <= 0)
        return check_fail(-1, "-O and -E must be positive");

    // Sums in 64 bits: huge penalties must fail the check, not overflow it.
    const int64_t q = mo->gap_open, e = mo->gap_ext, q2 = mo->gap_open2, e2 = mo->gap_ext2;
    // Two gap models only make sense when the second is the cheaper one for
    // long gaps: it extends more cheaply but costs more to open.
    const bool two_models = q != q2 || e != e2;
    if (two_models && !(e > e2 && q + e < q2 + e2))
        return check_fail(-2, "dual gap penalties violating E1>E2 and O1+E1<O2+E2");
    // The alignment kernels keep score differences in signed bytes, so the
    // costs of both gap models together must stay within 127.
    if ((q + e) + (q2 + e2) >= 128)
        return check_fail(-1, "scoring system violating ({-O}+{-E})+({-O2}+{-E2}) <= 127");
    if (mo->ambiguous_score < 0 || mo->ambiguous_score >= mo->mismatch_penalty)
        return check_fail(-1, "--score-N should be within [0,{-B})");
    if (mo->zdrop < mo->zdrop_inversion)
        return check_fail(-5, "Z-drop should not be less than inversion-Z-drop");
    if ((mo->flag & LS_F_ALL_CHAINS) && (mo->flag & LS_F_NO_SECONDARY))
        return check_fail(-5, "-X/-P and --secondary=no can't be applied at the same time");
    if ((mo->flag & LS_F_QUERY_STRAND) &&
        ((mo->flag & (LS_F_SAM_OUT | LS_F_FRAGMENT | LS_F_SPLICE)) || (io->flag & LS_I_HPC)))
        return check_fail(-5, "--qstrand doesn't work with -a, -H, --frag or --splice");
    return 0;
}
