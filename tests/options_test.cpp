#include "options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// Every field of the two records, in declaration order.
#define LS_IDXOPT_FIELDS(X) X(k) X(w) X(flag) X(bucket_bits) X(sketch_batch_bases) X(index_part_bases)

// clang-format off
#define LS_MAPOPT_FIELDS(X) \
    X(flag) X(hash_seed) X(dust_threshold) X(max_query_len) X(bw) X(long_bw) X(chain_max_gap) \
    X(chain_max_gap_ref) X(max_fragment_len) X(chain_skip_limit) X(chain_iter_limit) \
    X(chain_min_anchors) X(chain_min_score) X(gap_cost_scale) X(skip_cost_scale) X(rmq_cap) \
    X(rmq_inner_distance) X(rmq_rescue_min) X(rmq_rescue_fraction) X(overlap_mask_level) \
    X(overlap_mask_len) X(secondary_ratio) X(max_secondary) X(alt_drop_fraction) \
    X(match_score) X(mismatch_penalty) X(gap_open) X(gap_ext) X(gap_open2) X(gap_ext2) \
    X(transition_penalty) X(ambiguous_score) X(noncanonical_penalty) X(junction_bonus) \
    X(junction_penalty) X(zdrop) X(zdrop_inversion) X(end_bonus) X(min_dp_score) X(min_dp_len) \
    X(anchor_extend_len) X(anchor_extend_shift) X(max_clip_fraction) X(rank_min_length) \
    X(rank_fraction) X(pair_orientation) X(pair_bonus) X(jump_min_matches) X(mid_occ_fraction) \
    X(query_occ_fraction) X(mid_occ_min) X(mid_occ_max) X(mid_occ) X(occ_cap) X(occ_cap_max) \
    X(occ_distance) X(batch_bases) X(max_dp_cells) X(arena_cap) X(split_prefix)
// clang-format on

// The records are shared with every module and with C callers: their field
// widths are part of the interface.
#define SAME_TYPE(rec, field, type) static_assert(std::is_same<decltype(rec::field), type>::value, #field)
SAME_TYPE(ls_idxopt, k, int16_t);
SAME_TYPE(ls_idxopt, w, int16_t);
SAME_TYPE(ls_idxopt, flag, int16_t);
SAME_TYPE(ls_idxopt, bucket_bits, int16_t);
SAME_TYPE(ls_idxopt, sketch_batch_bases, int64_t);
SAME_TYPE(ls_idxopt, index_part_bases, uint64_t);
SAME_TYPE(ls_mapopt, flag, int64_t);
SAME_TYPE(ls_mapopt, batch_bases, int64_t);
SAME_TYPE(ls_mapopt, max_dp_cells, int64_t);
SAME_TYPE(ls_mapopt, arena_cap, int64_t);
SAME_TYPE(ls_mapopt, split_prefix, const char *);
#define FLOAT_FIELD(f) SAME_TYPE(ls_mapopt, f, float);
FLOAT_FIELD(gap_cost_scale)
FLOAT_FIELD(skip_cost_scale)
FLOAT_FIELD(rmq_rescue_fraction)
FLOAT_FIELD(overlap_mask_level)
FLOAT_FIELD(secondary_ratio)
FLOAT_FIELD(alt_drop_fraction)
FLOAT_FIELD(max_clip_fraction)
FLOAT_FIELD(rank_fraction)
FLOAT_FIELD(mid_occ_fraction)
FLOAT_FIELD(query_occ_fraction)

// The field lists above are complete: laid end to end with natural alignment
// they account for every byte of the records.
template <typename T> struct Layout {
    size_t end = 0;
    bool ok = true;
    template <typename F> void add(size_t off) {
        size_t at = (end + alignof(F) - 1) / alignof(F) * alignof(F);
        if (off != at) ok = false;
        end = off + sizeof(F);
    }
    bool complete() const { return ok && (end + alignof(T) - 1) / alignof(T) * alignof(T) == sizeof(T); }
};

TEST(Options, FieldListsCoverTheWholeRecords) {
    Layout<ls_idxopt> li;
#define ADD_I(f) li.add<decltype(ls_idxopt::f)>(offsetof(ls_idxopt, f));
    LS_IDXOPT_FIELDS(ADD_I)
    EXPECT_TRUE(li.complete());
    Layout<ls_mapopt> lm;
#define ADD_M(f) lm.add<decltype(ls_mapopt::f)>(offsetof(ls_mapopt, f));
    LS_MAPOPT_FIELDS(ADD_M)
    EXPECT_TRUE(lm.complete());
}

void expect_same(const ls_idxopt &want, const ls_idxopt &got, const std::string &what) {
#define CMP_I(f) EXPECT_EQ(want.f, got.f) << what << ": ls_idxopt." #f;
    LS_IDXOPT_FIELDS(CMP_I)
}

void expect_same(const ls_mapopt &want, const ls_mapopt &got, const std::string &what) {
#define CMP_M(f) EXPECT_EQ(want.f, got.f) << what << ": ls_mapopt." #f;
    LS_MAPOPT_FIELDS(CMP_M)
}

// Restores the process-wide verbosity when a test ends.
struct Verbosity {
    int saved = ls_verbosity;
    explicit Verbosity(int v) { ls_verbosity = v; }
    ~Verbosity() { ls_verbosity = saved; }
};

ls_idxopt idx_defaults() {
    ls_idxopt io;
    ls_idxopt_defaults(&io);
    return io;
}

ls_mapopt map_defaults() {
    ls_mapopt mo;
    ls_mapopt_defaults(&mo);
    return mo;
}

// Records in which every field differs from its default, so that a preset
// touching a field it should leave alone cannot go unnoticed.
const char kPrefix[] = "pfx";

ls_idxopt idx_unusual() {
    ls_idxopt io = idx_defaults();
    io.k = 7, io.w = 3, io.flag = LS_I_SKIP_SEQ | LS_I_SKIP_NAME, io.bucket_bits = 12;
    io.sketch_batch_bases = 1234567, io.index_part_bases = 98765;
    return io;
}

ls_mapopt map_unusual_full() {
    ls_mapopt mo;
    memset(&mo, 0, sizeof(mo));
    int i = 0;
#define SET_UNUSUAL(f) set_unusual(mo.f, i++);
    auto set_unusual = [](auto &field, int n) {
        using T = std::remove_reference_t<decltype(field)>;
        if constexpr (std::is_pointer<T>::value) {
            field = kPrefix;
        } else if constexpr (std::is_floating_point<T>::value) {
            field = 0.375f + static_cast<float>(n);
        } else {
            field = static_cast<T>(1001 + 3 * n);
        }
    };
    LS_MAPOPT_FIELDS(SET_UNUSUAL)
    mo.flag = LS_F_CS_TAG | LS_F_EQX | LS_F_JUNC_OUT;
    return mo;
}

TEST(Options, Defaults) {
    // Garbage beforehand must not leak through: the two results are equal
    // byte for byte, padding included.
    ls_idxopt io1, io2;
    ls_mapopt mo1, mo2;
    memset(&io1, 0xab, sizeof(io1)), memset(&io2, 0x00, sizeof(io2));
    memset(&mo1, 0xab, sizeof(mo1)), memset(&mo2, 0x00, sizeof(mo2));
    ls_idxopt_defaults(&io1), ls_idxopt_defaults(&io2);
    ls_mapopt_defaults(&mo1), ls_mapopt_defaults(&mo2);
    EXPECT_EQ(0, memcmp(&io1, &io2, sizeof(io1)));
    EXPECT_EQ(0, memcmp(&mo1, &mo2, sizeof(mo1)));

    EXPECT_EQ(15, io1.k);
    EXPECT_EQ(10, io1.w);
    EXPECT_EQ(0, io1.flag);
    EXPECT_EQ(14, io1.bucket_bits);
    EXPECT_EQ(50000000, io1.sketch_batch_bases);
    EXPECT_EQ(8000000000ULL, io1.index_part_bases);

    const ls_mapopt &m = mo1;
    EXPECT_EQ(0, m.flag);
    EXPECT_EQ(11, m.hash_seed);
    EXPECT_EQ(0, m.dust_threshold);
    EXPECT_EQ(0, m.max_query_len);
    EXPECT_EQ(500, m.bw);
    EXPECT_EQ(20000, m.long_bw);
    EXPECT_EQ(5000, m.chain_max_gap);
    EXPECT_EQ(-1, m.chain_max_gap_ref);
    EXPECT_EQ(0, m.max_fragment_len);
    EXPECT_EQ(25, m.chain_skip_limit);
    EXPECT_EQ(5000, m.chain_iter_limit);
    EXPECT_EQ(3, m.chain_min_anchors);
    EXPECT_EQ(40, m.chain_min_score);
    EXPECT_EQ(0.8f, m.gap_cost_scale);
    EXPECT_EQ(0.0f, m.skip_cost_scale);
    EXPECT_EQ(100000, m.rmq_cap);
    EXPECT_EQ(1000, m.rmq_inner_distance);
    EXPECT_EQ(1000, m.rmq_rescue_min);
    EXPECT_EQ(0.1f, m.rmq_rescue_fraction);
    EXPECT_EQ(0.5f, m.overlap_mask_level);
    EXPECT_EQ(2147483647, m.overlap_mask_len);
    EXPECT_EQ(0.8f, m.secondary_ratio);
    EXPECT_EQ(5, m.max_secondary);
    EXPECT_EQ(0.15f, m.alt_drop_fraction);
    EXPECT_EQ(2, m.match_score);
    EXPECT_EQ(4, m.mismatch_penalty);
    EXPECT_EQ(4, m.gap_open);
    EXPECT_EQ(2, m.gap_ext);
    EXPECT_EQ(24, m.gap_open2);
    EXPECT_EQ(1, m.gap_ext2);
    EXPECT_EQ(0, m.transition_penalty);
    EXPECT_EQ(1, m.ambiguous_score);
    EXPECT_EQ(0, m.noncanonical_penalty);
    EXPECT_EQ(0, m.junction_bonus);
    EXPECT_EQ(0, m.junction_penalty);
    EXPECT_EQ(400, m.zdrop);
    EXPECT_EQ(200, m.zdrop_inversion);
    EXPECT_EQ(-1, m.end_bonus);
    EXPECT_EQ(80, m.min_dp_score);
    EXPECT_EQ(200, m.min_dp_len);
    EXPECT_EQ(20, m.anchor_extend_len);
    EXPECT_EQ(6, m.anchor_extend_shift);
    EXPECT_EQ(1.0f, m.max_clip_fraction);
    EXPECT_EQ(500, m.rank_min_length);
    EXPECT_EQ(0.9f, m.rank_fraction);
    EXPECT_EQ(0, m.pair_orientation);
    EXPECT_EQ(33, m.pair_bonus);
    EXPECT_EQ(3, m.jump_min_matches);
    EXPECT_EQ(0.0002f, m.mid_occ_fraction);
    EXPECT_EQ(0.01f, m.query_occ_fraction);
    EXPECT_EQ(10, m.mid_occ_min);
    EXPECT_EQ(1000000, m.mid_occ_max);
    EXPECT_EQ(0, m.mid_occ);
    EXPECT_EQ(0, m.occ_cap);
    EXPECT_EQ(4095, m.occ_cap_max);
    EXPECT_EQ(500, m.occ_distance);
    EXPECT_EQ(500000000, m.batch_bases);
    EXPECT_EQ(100000000, m.max_dp_cells);
    EXPECT_EQ(500000000, m.arena_cap);
    EXPECT_EQ(nullptr, m.split_prefix);
}

TEST(Options, NullPresetAppliesBothDefaults) {
    ls_idxopt io = idx_unusual();
    ls_mapopt mo = map_unusual_full();
    EXPECT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    expect_same(idx_defaults(), io, "null preset");
    expect_same(map_defaults(), mo, "null preset");
}

// ---- the presets, written out by hand ----

using Change = std::function<void(ls_idxopt &, ls_mapopt &)>;

void scores(ls_mapopt &m, int a, int b, int q, int e, int q2, int e2) {
    m.match_score = a, m.mismatch_penalty = b, m.gap_open = q, m.gap_ext = e, m.gap_open2 = q2,
    m.gap_ext2 = e2;
}

const Change kNothing = [](ls_idxopt &, ls_mapopt &) {};

const Change kAvaOnt = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 15, i.w = 5;
    m.flag |= LS_F_ALL_CHAINS | LS_F_SKIP_DIAG | LS_F_HALF_PAIRS | LS_F_NO_LONG_JOIN;
    m.chain_min_score = 100, m.secondary_ratio = 0.0f, m.chain_skip_limit = 25;
    m.bw = 2000, m.long_bw = 2000, m.occ_distance = 0;
};

const Change kMapPb = [](ls_idxopt &i, ls_mapopt &) { i.flag |= LS_I_HPC, i.k = 19; };

const Change kAvaPb = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag |= LS_I_HPC, i.k = 19, i.w = 5;
    m.flag |= LS_F_ALL_CHAINS | LS_F_SKIP_DIAG | LS_F_HALF_PAIRS | LS_F_NO_LONG_JOIN;
    m.chain_min_score = 100, m.secondary_ratio = 0.0f, m.chain_skip_limit = 25;
    m.long_bw = m.bw, m.occ_distance = 0;
};

const Change kLrHq = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 19, i.w = 19;
    m.chain_max_gap = 10000, m.mid_occ_min = 50, m.mid_occ_max = 500;
};

const Change kMapHifi = [](ls_idxopt &i, ls_mapopt &m) {
    kLrHq(i, m);
    scores(m, 1, 4, 6, 2, 26, 1);
    m.min_dp_score = 200;
};

const Change kLrHqae = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 25, i.w = 51;
    m.flag |= LS_F_RMQ;
    m.mid_occ_min = 50, m.mid_occ_max = 500, m.rmq_inner_distance = 5000, m.occ_distance = 200;
    m.max_secondary = 100, m.gap_cost_scale = 5.0f;
};

const Change kIclrPrerender = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 15;
    m.mismatch_penalty = 6, m.gap_open = 10, m.transition_penalty = 1, m.gap_open2 = 50;
};

const Change kIclr = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 19;
    m.mismatch_penalty = 6, m.gap_open = 10, m.transition_penalty = 4, m.gap_open2 = 50;
};

const Change kAsmCommon = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 19, i.w = 19;
    m.bw = 1000, m.long_bw = 100000, m.chain_max_gap = 10000;
    m.flag |= LS_F_RMQ;
    m.mid_occ_min = 50, m.mid_occ_max = 500, m.min_dp_score = 200, m.max_secondary = 50;
};

const Change kAsm5 = [](ls_idxopt &i, ls_mapopt &m) {
    kAsmCommon(i, m);
    scores(m, 1, 19, 39, 3, 81, 1);
    m.zdrop = 200, m.zdrop_inversion = 200;
};

const Change kAsm10 = [](ls_idxopt &i, ls_mapopt &m) {
    kAsmCommon(i, m);
    scores(m, 1, 9, 16, 2, 41, 1);
    m.zdrop = 200, m.zdrop_inversion = 200;
};

const Change kAsm20 = [](ls_idxopt &i, ls_mapopt &m) {
    kAsmCommon(i, m);
    i.w = 10;
    scores(m, 1, 4, 6, 2, 26, 1);
    m.zdrop = 200, m.zdrop_inversion = 200;
};

const Change kShort = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 21, i.w = 11;
    m.flag |= LS_F_SHORT_READ | LS_F_FRAGMENT | LS_F_NO_SECONDARY | LS_F_TWO_IO_THREADS | LS_F_HEAP_MERGE;
    m.pair_orientation = 1;
    scores(m, 2, 8, 12, 2, 24, 1);
    m.max_fragment_len = 800, m.chain_max_gap = 100, m.bw = 100, m.long_bw = 100;
    m.secondary_ratio = 0.5f, m.max_secondary = 20, m.chain_min_anchors = 2, m.chain_min_score = 25;
    m.zdrop = 100, m.zdrop_inversion = 100, m.end_bonus = 10, m.min_dp_score = 40;
    m.mid_occ = 1000, m.occ_cap = 5000, m.batch_bases = 50000000;
};

const Change kSplice = [](ls_idxopt &i, ls_mapopt &m) {
    i.flag = 0, i.k = 15, i.w = 5;
    m.flag |= LS_F_SPLICE | LS_F_SPLICE_FWD | LS_F_SPLICE_RC | LS_F_SPLICE_FLANK;
    m.max_dp_cells = 0, m.bw = 200000, m.long_bw = 200000;
    m.chain_max_gap = 2000, m.chain_max_gap_ref = 200000;
    scores(m, 1, 2, 2, 1, 32, 0);
    m.noncanonical_penalty = 9, m.junction_bonus = 9, m.junction_penalty = 5;
    m.zdrop = 200, m.zdrop_inversion = 100;
};

const Change kSpliceHq = [](ls_idxopt &i, ls_mapopt &m) {
    kSplice(i, m);
    m.noncanonical_penalty = 5, m.mismatch_penalty = 4, m.gap_open = 6, m.gap_open2 = 24;
};

const Change kSpliceSr = [](ls_idxopt &i, ls_mapopt &m) {
    kSplice(i, m);
    m.flag |= LS_F_FRAGMENT | LS_F_NO_SECONDARY | LS_F_TWO_IO_THREADS | LS_F_HEAP_MERGE | LS_F_WEAK_PAIRING |
              LS_F_SHORT_RNA;
    m.noncanonical_penalty = 5, m.mismatch_penalty = 4, m.gap_open = 6, m.gap_open2 = 24;
    m.chain_min_score = 25, m.min_dp_score = 40, m.min_dp_len = 20, m.pair_orientation = 1;
    m.max_secondary = 10, m.batch_bases = 100000000;
};

struct PresetCase {
    const char *name;
    int ret;
    Change change;
};

const std::vector<PresetCase> &preset_cases() {
    static const std::vector<PresetCase> cases = {
        {"lr", 0, kNothing},
        {"map-ont", 0, kNothing},
        {"ava-ont", 0, kAvaOnt},
        {"map10k", 0, kMapPb},
        {"map-pb", 0, kMapPb},
        {"ava-pb", 0, kAvaPb},
        {"lr:hq", 0, kLrHq},
        {"map-hifi", 0, kMapHifi},
        {"map-ccs", 0, kMapHifi},
        {"lr:hqae", 0, kLrHqae},
        {"map-iclr-prerender", 0, kIclrPrerender},
        {"map-iclr", 0, kIclr},
        {"asm5", 0, kAsm5},
        {"asm10", 0, kAsm10},
        {"asm20", 0, kAsm20},
        {"short", 0, kShort},
        {"sr", 0, kShort},
        {"splice", 0, kSplice},
        {"cdna", 0, kSplice},
        {"splice:hq", 0, kSpliceHq},
        {"splice:sr", 0, kSpliceSr},
        // Unknown "asm" names fail only after the shared part is written.
        {"asm", -1, kAsmCommon},
        {"asm7", -1, kAsmCommon},
        {"asm2", -1, kAsmCommon},
        {"asm200", -1, kAsmCommon},
        {"asm5x", -1, kAsmCommon},
        {"asmfoo", -1, kAsmCommon},
        // Anything else fails and touches nothing.
        {"", -1, kNothing},
        {"LR", -1, kNothing},
        {"map", -1, kNothing},
        {"map-hifi ", -1, kNothing},
        {"srx", -1, kNothing},
        {"splice:", -1, kNothing},
        {"splice:lr", -1, kNothing},
        {"cDNA", -1, kNothing},
        {"as", -1, kNothing},
        {"xasm5", -1, kNothing},
    };
    return cases;
}

// Each preset, applied on top of the defaults and on top of records where
// every field is unusual, changes exactly the fields of its row.
TEST(Options, PresetsChangeExactlyTheirFields) {
    const std::pair<ls_idxopt, ls_mapopt> bases[] = {
        {idx_defaults(), map_defaults()},
        {idx_unusual(), map_unusual_full()},
    };
    for (const auto &pc : preset_cases()) {
        for (int b = 0; b < 2; ++b) {
            ls_idxopt io = bases[b].first, want_io = io;
            ls_mapopt mo = bases[b].second, want_mo = mo;
            pc.change(want_io, want_mo);
            std::string what = std::string("preset \"") + pc.name + "\" on base " + std::to_string(b);
            EXPECT_EQ(pc.ret, ls_opt_preset(pc.name, &io, &mo)) << what;
            expect_same(want_io, io, what);
            expect_same(want_mo, mo, what);
        }
    }
}

TEST(Options, PresetEdgeCases) {
    // Defaults then "map-hifi".
    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    ASSERT_EQ(0, ls_opt_preset("map-hifi", &io, &mo));
    EXPECT_EQ(19, io.k);
    EXPECT_EQ(19, io.w);
    EXPECT_EQ(1, mo.match_score);
    EXPECT_EQ(26, mo.gap_open2);
    EXPECT_EQ(10000, mo.chain_max_gap);
    EXPECT_EQ(200, mo.min_dp_score);
    EXPECT_EQ(500, mo.bw);
    EXPECT_EQ(0, mo.flag);

    // An unknown "asm" name fails with the shared settings already written.
    ASSERT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    EXPECT_EQ(-1, ls_opt_preset("asm7", &io, &mo));
    EXPECT_EQ(19, io.k);
    EXPECT_EQ(19, io.w);
    EXPECT_TRUE(mo.flag & LS_F_RMQ);
    EXPECT_EQ(400, mo.zdrop);

    // "ava-pb" copies whatever bandwidth is current.
    ASSERT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    mo.bw = 777;
    ASSERT_EQ(0, ls_opt_preset("ava-pb", &io, &mo));
    EXPECT_EQ(777, mo.long_bw);

    // "splice:sr" pairs reads but is not short-read mode.
    ASSERT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    ASSERT_EQ(0, ls_opt_preset("splice:sr", &io, &mo));
    EXPECT_FALSE(mo.flag & LS_F_SHORT_READ);
    EXPECT_TRUE(mo.flag & LS_F_SPLICE);

    // Presets stack: "map-pb" after "sr" keeps the short-read mapping options.
    ASSERT_EQ(0, ls_opt_preset(nullptr, &io, &mo));
    ASSERT_EQ(0, ls_opt_preset("sr", &io, &mo));
    ASSERT_EQ(0, ls_opt_preset("map-pb", &io, &mo));
    EXPECT_EQ(19, io.k);
    EXPECT_EQ(11, io.w);
    EXPECT_EQ(LS_I_HPC, io.flag);
    EXPECT_EQ(100, mo.bw);
}

// Every name of the library's list, in list order.
std::vector<std::string> listed_presets() {
    std::vector<std::string> names;
    for (int i = 0; i < ls_opt_preset_count(); ++i) {
        std::string s = ls_opt_preset_info(i)->names;
        for (size_t b = 0, e; b <= s.size(); b = e + 2) {
            e = std::min(s.find(", ", b), s.size());
            names.push_back(s.substr(b, e - b));
        }
    }
    return names;
}

// The list names exactly the presets the table above accepts, each once, with
// a help line, and ends where it says.
TEST(Options, PresetListMatchesThePresets) {
    std::vector<std::string> accepted, listed = listed_presets();
    for (const auto &pc : preset_cases())
        if (pc.ret == 0) accepted.push_back(pc.name);
    std::sort(accepted.begin(), accepted.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(accepted, listed);
    for (int i = 0; i < ls_opt_preset_count(); ++i) EXPECT_STRNE("", ls_opt_preset_info(i)->help) << i;
    EXPECT_EQ(nullptr, ls_opt_preset_info(-1));
    EXPECT_EQ(nullptr, ls_opt_preset_info(ls_opt_preset_count()));
}

// The options every listed preset produces from the defaults are consistent.
TEST(Options, EveryPresetPassesTheCheck) {
    Verbosity v(2);
    for (const std::string &name : listed_presets()) {
        ls_idxopt io;
        ls_mapopt mo;
        ls_opt_preset(nullptr, &io, &mo);
        ASSERT_EQ(0, ls_opt_preset(name.c_str(), &io, &mo)) << name;
        testing::internal::CaptureStderr();
        int ret = ls_opt_check(&io, &mo);
        EXPECT_EQ("", testing::internal::GetCapturedStderr()) << name;
        EXPECT_EQ(0, ret) << name;
    }
}

// ---- update and intron length ----

TEST(Options, UpdateKeepsPositiveMidOcc) {
    Verbosity v(2);
    ls_mapopt mo = map_defaults();
    mo.mid_occ = 1000;
    ls_mapopt want = mo;
    // The index is not consulted while mid_occ is positive.
    testing::internal::CaptureStderr();
    ls_mapopt_update(&mo, nullptr);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    expect_same(want, mo, "update with mid_occ 1000");

    // Bandwidth fix-up: a long bandwidth below the bandwidth is raised to it.
    mo.bw = 600, mo.long_bw = 500;
    ls_mapopt_update(&mo, nullptr);
    EXPECT_EQ(600, mo.long_bw);
    EXPECT_EQ(600, mo.bw);
    mo.bw = 300;
    ls_mapopt_update(&mo, nullptr);
    EXPECT_EQ(600, mo.long_bw);
    EXPECT_EQ(1000, mo.mid_occ);
}

// Without a positive mid_occ the index is needed; a missing one is a
// caller's bug that stops the program instead of crashing later.
TEST(Options, UpdateWithoutMidOccNeedsAnIndex) {
    ls_mapopt mo = map_defaults();
    EXPECT_DEATH(ls_mapopt_update(&mo, nullptr), "mi != nullptr");
    mo.mid_occ = -1;
    EXPECT_DEATH(ls_mapopt_update(&mo, nullptr), "mi != nullptr");
}

TEST(Options, UpdateAddsSpliceForEitherStrand) {
    const int64_t cases[][2] = {
        {LS_F_SPLICE_FWD, LS_F_SPLICE_FWD | LS_F_SPLICE},
        {LS_F_SPLICE_RC, LS_F_SPLICE_RC | LS_F_SPLICE},
        {LS_F_SPLICE_FWD | LS_F_SPLICE_RC, LS_F_SPLICE_FWD | LS_F_SPLICE_RC | LS_F_SPLICE},
        {LS_F_SPLICE_FLANK | LS_F_CS_TAG, LS_F_SPLICE_FLANK | LS_F_CS_TAG},
        {0, 0},
        {LS_F_SPLICE, LS_F_SPLICE},
    };
    for (const auto &c : cases) {
        ls_mapopt mo = map_defaults();
        mo.mid_occ = 7;
        mo.flag = c[0];
        ls_mapopt want = mo;
        want.flag = c[1];
        ls_mapopt_update(&mo, nullptr);
        expect_same(want, mo, "splice flag " + std::to_string(c[0]));
    }
}

// Skips "digits.<decimals digits>" at *p; false if the text is not there.
bool skip_fixed(const char *&p, int decimals) {
    if (*p == '-') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    while (isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p++ != '.') return false;
    for (int i = 0; i < decimals; ++i, ++p)
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

TEST(Options, UpdateProgressLineAtVerbosityThree) {
    Verbosity v(3);
    ls_mapopt mo = map_defaults();
    mo.mid_occ = 1234;
    testing::internal::CaptureStderr();
    ls_mapopt_update(&mo, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    // "[M::ls_mapopt_update::%.3f*%.2f] mid_occ = 1234\n"
    const char prefix[] = "[M::ls_mapopt_update::";
    ASSERT_EQ(0u, err.rfind(prefix, 0)) << err;
    const char *p = err.c_str() + strlen(prefix);
    ASSERT_TRUE(skip_fixed(p, 3)) << err;
    ASSERT_EQ('*', *p++) << err;
    ASSERT_TRUE(skip_fixed(p, 2)) << err;
    EXPECT_STREQ("] mid_occ = 1234\n", p) << err;
}

// Computing mid_occ from an index part (its occurrence threshold, then
// mid_occ_min, then mid_occ_max only when above mid_occ_min) needs a built
// index. To do once an index can be built from a few sequences here: an index
// whose threshold is below mid_occ_min gives mid_occ_min; one above
// mid_occ_max gives mid_occ_max; with mid_occ_min 50 and mid_occ_max 10 a
// threshold of, say, 80 stays 80; the first update fixes mid_occ and a second
// part does not change it.
TEST(Options, UpdateComputesMidOccFromIndexPart) {
    // A random sequence (its k-mers occur once) and a 25-base block repeated
    // 300 times between random spacers, so the most frequent minimizers
    // occur about 300 times.
    uint64_t x = 7;
    auto base = [&x]() {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        return "ACGT"[(x >> 33) & 3];
    };
    std::string uniq, rep, block;
    for (int i = 0; i < 20000; ++i) uniq += base();
    for (int i = 0; i < 25; ++i) block += base();
    for (int i = 0; i < 300; ++i) {
        rep += block;
        for (int j = 0; j < 40; ++j) rep += base();
    }
    const char *seqs[] = {uniq.c_str(), rep.c_str()};
    const char *names[] = {"uniq", "rep"};
    ls_idx *mi = ls_idx_str(1, 15, 0, 14, 2, seqs, names);
    ASSERT_NE(mi, nullptr);
    const int raw = ls_idx_max_occ(mi, 0.0002f);
    ASSERT_GT(raw, 100) << "the repeat should set the threshold";

    ls_mapopt mo = map_defaults();
    mo.mid_occ_fraction = 0.0002f;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, raw);

    // Computed once: a later part leaves it alone.
    mo.mid_occ_fraction = 0.5f;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, raw);

    // Raised to the lower bound.
    mo = map_defaults();
    mo.mid_occ_fraction = 0.0002f;
    mo.mid_occ_min = raw + 7;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, raw + 7);

    // Lowered to the upper bound only when it lies above the lower bound.
    mo = map_defaults();
    mo.mid_occ_fraction = 0.0002f;
    mo.mid_occ_min = 5;
    mo.mid_occ_max = 50;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, 50);

    mo = map_defaults();
    mo.mid_occ_fraction = 0.0002f;
    mo.mid_occ_min = 50;
    mo.mid_occ_max = 10;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, raw);

    // A fraction of 0 ignores nothing.
    mo = map_defaults();
    mo.mid_occ_fraction = 0.0f;
    mo.mid_occ_max = 20;
    ls_mapopt_update(&mo, mi);
    EXPECT_EQ(mo.mid_occ, 20) << "2147483647 capped by mid_occ_max";
    ls_idx_destroy(mi);
}

TEST(Options, IntronLength) {
    ls_mapopt mo = map_defaults();
    ls_mapopt want = mo;
    ls_mapopt_set_intron_len(&mo, 5000);
    expect_same(want, mo, "no splice flag");

    mo.flag = want.flag = LS_F_SPLICE;
    ls_mapopt_set_intron_len(&mo, 0);
    ls_mapopt_set_intron_len(&mo, -10);
    expect_same(want, mo, "length not positive");

    // The strand bits alone are not splice mode (the update adds LS_F_SPLICE).
    mo.flag = want.flag = LS_F_SPLICE_FWD;
    ls_mapopt_set_intron_len(&mo, 5000);
    expect_same(want, mo, "strand bit only");

    mo.flag = want.flag = LS_F_SPLICE;
    want.bw = want.long_bw = want.chain_max_gap_ref = 5000;
    ls_mapopt_set_intron_len(&mo, 5000);
    expect_same(want, mo, "splice mode");
}

// ---- consistency check ----

struct CheckRun {
    int ret;
    std::string err;
};

CheckRun run_check(const ls_idxopt &io, const ls_mapopt &mo) {
    testing::internal::CaptureStderr();
    int ret = ls_opt_check(&io, &mo);
    return {ret, testing::internal::GetCapturedStderr()};
}

#define ERR(text) "[ERROR] " text "\n"

const char kMsgRmq[] = ERR("--rmq doesn't work with --sr or --splice");
const char kMsgSplit[] = ERR("--cs or --MD doesn't work with --split-prefix");
const char kMsgKw[] = ERR("-k and -w must be positive");
const char kMsgN[] = ERR("-N must be no less than 0");
const char kMsgP[] = ERR("-p must be within 0 and 1 (including 0 and 1)");
const char kMsgStrand[] = ERR("--for-only and --rev-only can't be applied at the same time");
const char kMsgOE[] = ERR("-O and -E must be positive");
const char kMsgDual[] = ERR("dual gap penalties violating E1>E2 and O1+E1<O2+E2");
const char kMsgSum[] = ERR("scoring system violating ({-O}+{-E})+({-O2}+{-E2}) <= 127");
const char kMsgScoreN[] = ERR("--score-N should be within [0,{-B})");
const char kMsgZdrop[] = ERR("Z-drop should not be less than inversion-Z-drop");
const char kMsgXP[] = ERR("-X/-P and --secondary=no can't be applied at the same time");
const char kMsgQstrand[] = ERR("--qstrand doesn't work with -a, -H, --frag or --splice");
const char kWarnN0[] =
    "[WARNING] '-N 0' reduces mapping accuracy. Please use '--secondary=no' instead.\n";

// Starting from options that break all fourteen rules at once, repairing one
// rule at a time walks through every failure in order.
TEST(Options, CheckReportsFailuresInOrder) {
    Verbosity v(1);
    ls_idxopt io = idx_defaults();
    ls_mapopt mo = map_defaults();
    mo.bw = 600, mo.long_bw = 500;
    mo.flag = LS_F_RMQ | LS_F_SHORT_READ | LS_F_CS_TAG | LS_F_FORWARD_ONLY | LS_F_REVERSE_ONLY |
              LS_F_ALL_CHAINS | LS_F_NO_SECONDARY | LS_F_QUERY_STRAND | LS_F_SAM_OUT;
    mo.split_prefix = kPrefix;
    io.k = 0;
    mo.max_secondary = -1;
    mo.secondary_ratio = 1.5f;
    mo.gap_ext = 0;
    mo.ambiguous_score = 4;
    mo.zdrop = 100;

    struct Step {
        int ret;
        std::string msg;
        std::function<void()> repair;
    };
    const std::vector<Step> steps = {
        {-8, ERR("with '-rNUM1,NUM2', NUM1 (600) can't be larger than NUM2 (500)"),
         [&] { mo.long_bw = 600; }},
        {-7, kMsgRmq, [&] { mo.flag &= ~LS_F_RMQ; }},
        {-6, kMsgSplit, [&] { mo.split_prefix = nullptr; }},
        {-5, kMsgKw, [&] { io.k = 15; }},
        {-4, kMsgN, [&] { mo.max_secondary = 5; }},
        {-4, kMsgP, [&] { mo.secondary_ratio = 1.0f; }},
        {-3, kMsgStrand, [&] { mo.flag &= ~LS_F_REVERSE_ONLY; }},
        // Positive again, but the second gap model is now the wrong way round.
        {-1, kMsgOE, [&] { mo.gap_open = 20, mo.gap_ext = 1, mo.gap_open2 = 6, mo.gap_ext2 = 3; }},
        // Consistent dual model whose costs sum to 129.
        {-2, kMsgDual, [&] { mo.gap_open = 60, mo.gap_ext = 4, mo.gap_open2 = 62, mo.gap_ext2 = 3; }},
        {-1, kMsgSum, [&] { mo.gap_open = 4, mo.gap_ext = 2, mo.gap_open2 = 24, mo.gap_ext2 = 1; }},
        {-1, kMsgScoreN, [&] { mo.ambiguous_score = 3; }},
        {-5, kMsgZdrop, [&] { mo.zdrop = 200; }},
        {-5, kMsgXP, [&] { mo.flag &= ~LS_F_NO_SECONDARY; }},
        {-5, kMsgQstrand, [&] { mo.flag &= ~LS_F_SAM_OUT; }},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        CheckRun r = run_check(io, mo);
        EXPECT_EQ(steps[i].ret, r.ret) << "test " << i + 1;
        EXPECT_EQ(steps[i].msg, r.err) << "test " << i + 1;
        steps[i].repair();
    }
    CheckRun r = run_check(io, mo);
    EXPECT_EQ(0, r.ret);
    EXPECT_EQ("", r.err);
}

struct CheckCase {
    const char *what;
    std::function<void(ls_idxopt &, ls_mapopt &)> set;
    int ret;
    const char *msg; // null: passes
};

// Each rule on its own, through each of its triggers, and the values just
// inside its bounds.
TEST(Options, CheckEachRule) {
    const std::vector<CheckCase> cases = {
        {"bw above long_bw", [](ls_idxopt &, ls_mapopt &m) { m.bw = 600, m.long_bw = 500; }, -8,
         ERR("with '-rNUM1,NUM2', NUM1 (600) can't be larger than NUM2 (500)")},
        {"bw equal to long_bw", [](ls_idxopt &, ls_mapopt &m) { m.bw = m.long_bw = 500; }, 0, nullptr},
        {"rmq with sr", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_RMQ | LS_F_SHORT_READ; }, -7, kMsgRmq},
        {"rmq with splice", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_RMQ | LS_F_SPLICE; }, -7, kMsgRmq},
        {"rmq alone", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_RMQ | LS_F_SPLICE_FWD; }, 0, nullptr},
        {"cs with split prefix",
         [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_CS_TAG, m.split_prefix = kPrefix; }, -6, kMsgSplit},
        {"MD with split prefix",
         [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_MD_TAG, m.split_prefix = kPrefix; }, -6, kMsgSplit},
        {"split prefix alone", [](ls_idxopt &, ls_mapopt &m) { m.split_prefix = kPrefix; }, 0, nullptr},
        {"ds with split prefix",
         [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_DS_TAG, m.split_prefix = kPrefix; }, 0, nullptr},
        {"k zero", [](ls_idxopt &i, ls_mapopt &) { i.k = 0; }, -5, kMsgKw},
        {"w zero", [](ls_idxopt &i, ls_mapopt &) { i.w = 0; }, -5, kMsgKw},
        {"k negative", [](ls_idxopt &i, ls_mapopt &) { i.k = -3; }, -5, kMsgKw},
        {"k and w one", [](ls_idxopt &i, ls_mapopt &) { i.k = i.w = 1; }, 0, nullptr},
        {"N negative", [](ls_idxopt &, ls_mapopt &m) { m.max_secondary = -1; }, -4, kMsgN},
        {"p negative", [](ls_idxopt &, ls_mapopt &m) { m.secondary_ratio = -0.01f; }, -4, kMsgP},
        {"p above one", [](ls_idxopt &, ls_mapopt &m) { m.secondary_ratio = 1.01f; }, -4, kMsgP},
        {"p not a number", [](ls_idxopt &, ls_mapopt &m) { m.secondary_ratio = std::nanf(""); }, -4, kMsgP},
        {"p zero", [](ls_idxopt &, ls_mapopt &m) { m.secondary_ratio = 0.0f; }, 0, nullptr},
        {"p one", [](ls_idxopt &, ls_mapopt &m) { m.secondary_ratio = 1.0f; }, 0, nullptr},
        {"both strands only",
         [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_FORWARD_ONLY | LS_F_REVERSE_ONLY; }, -3, kMsgStrand},
        {"forward only", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_FORWARD_ONLY; }, 0, nullptr},
        {"gap open zero", [](ls_idxopt &, ls_mapopt &m) { m.gap_open = 0; }, -1, kMsgOE},
        {"gap ext negative", [](ls_idxopt &, ls_mapopt &m) { m.gap_ext = -2; }, -1, kMsgOE},
        {"one gap model", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 4, 2, 4, 2); }, 0, nullptr},
        {"two valid gap models", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 6, 3, 20, 1); }, 0, nullptr},
        {"gap models swapped", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 20, 1, 6, 3); }, -2, kMsgDual},
        {"same extension", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 4, 1, 24, 1); }, -2, kMsgDual},
        {"equal short-gap cost", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 4, 2, 5, 1); }, -2,
         kMsgDual},
        {"gap sum 127", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 4, 2, 120, 1); }, 0, nullptr},
        {"gap sum 128", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 4, 2, 121, 1); }, -1, kMsgSum},
        {"one gap model sum 128", [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 60, 4, 60, 4); }, -1,
         kMsgSum},
        {"huge gap penalties",
         [](ls_idxopt &, ls_mapopt &m) { scores(m, 2, 4, 2147483000, 2, 2147483000, 2); }, -1, kMsgSum},
        {"score-N negative", [](ls_idxopt &, ls_mapopt &m) { m.ambiguous_score = -1; }, -1, kMsgScoreN},
        {"score-N equal to B", [](ls_idxopt &, ls_mapopt &m) { m.ambiguous_score = 4; }, -1, kMsgScoreN},
        {"score-N zero and B - 1",
         [](ls_idxopt &, ls_mapopt &m) { m.ambiguous_score = 0, m.mismatch_penalty = 1; }, 0, nullptr},
        {"zdrop below inversion", [](ls_idxopt &, ls_mapopt &m) { m.zdrop = 199; }, -5, kMsgZdrop},
        {"zdrop equal to inversion", [](ls_idxopt &, ls_mapopt &m) { m.zdrop = 200; }, 0, nullptr},
        {"all chains without secondaries",
         [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_ALL_CHAINS | LS_F_NO_SECONDARY; }, -5, kMsgXP},
        {"qstrand with SAM", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_QUERY_STRAND | LS_F_SAM_OUT; }, -5,
         kMsgQstrand},
        {"qstrand with frag", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_QUERY_STRAND | LS_F_FRAGMENT; },
         -5, kMsgQstrand},
        {"qstrand with splice", [](ls_idxopt &, ls_mapopt &m) { m.flag = LS_F_QUERY_STRAND | LS_F_SPLICE; },
         -5, kMsgQstrand},
        {"qstrand with HPC",
         [](ls_idxopt &i, ls_mapopt &m) { m.flag = LS_F_QUERY_STRAND, i.flag = LS_I_HPC; }, -5, kMsgQstrand},
        {"qstrand alone",
         [](ls_idxopt &i, ls_mapopt &m) { m.flag = LS_F_QUERY_STRAND, i.flag = LS_I_SKIP_SEQ; }, 0, nullptr},
    };
    for (const auto &c : cases) {
        ls_idxopt io = idx_defaults();
        ls_mapopt mo = map_defaults();
        c.set(io, mo);
        {
            Verbosity v(1);
            CheckRun r = run_check(io, mo);
            EXPECT_EQ(c.ret, r.ret) << c.what;
            EXPECT_EQ(c.msg ? c.msg : "", r.err) << c.what;
        }
        {
            Verbosity v(0);
            CheckRun r = run_check(io, mo);
            EXPECT_EQ(c.ret, r.ret) << c.what << " (verbosity 0)";
            EXPECT_EQ("", r.err) << c.what << " (verbosity 0)";
        }
    }
}

TEST(Options, CheckWarnsAboutNoSecondaries) {
    ls_idxopt io = idx_defaults();
    ls_mapopt mo = map_defaults();
    mo.max_secondary = 0;
    {
        Verbosity v(2);
        CheckRun r = run_check(io, mo);
        EXPECT_EQ(0, r.ret);
        EXPECT_EQ(kWarnN0, r.err);
    }
    {
        Verbosity v(1);
        CheckRun r = run_check(io, mo);
        EXPECT_EQ(0, r.ret);
        EXPECT_EQ("", r.err);
    }
    // The warning comes before the later tests, which still run.
    mo.secondary_ratio = 2.0f;
    {
        Verbosity v(2);
        CheckRun r = run_check(io, mo);
        EXPECT_EQ(-4, r.ret);
        EXPECT_EQ(std::string(kWarnN0) + kMsgP, r.err);
    }
    // An earlier failure stops the check before the warning.
    io.w = 0;
    {
        Verbosity v(2);
        CheckRun r = run_check(io, mo);
        EXPECT_EQ(-5, r.ret);
        EXPECT_EQ(kMsgKw, r.err);
    }
}

} // namespace
