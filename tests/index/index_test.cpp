/* Index: tables, lookup against a brute-force map of the sketch, building in
 * parts, index files (round trips, layout, damaged files) and the packed
 * store with the name index. */
#include "index/index.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/diagnostics.h"
#include "index/sketch.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lstest::TempDir;

/* Replaces a file by a new one: rewriting it in place makes the file system
 * flush the old blocks on every close, which is slow in a loop. */
void replace_file(const std::string &path, const std::string &content) {
    unlink(path.c_str());
    lstest::write_file(path, content);
}

/* CRC-32 (reflected, polynomial 0xedb88320) bit by bit, independent of
 * zlib's table-driven code. */
uint32_t crc32_bitwise(const std::string &s, size_t n) {
    uint32_t c = 0xffffffffU;
    for (size_t i = 0; i < n; ++i) {
        c ^= (uint8_t)s[i];
        for (int k = 0; k < 8; ++k) c = c >> 1 ^ (0xedb88320U & (0U - (c & 1)));
    }
    return ~c;
}

/* ---- test data ---- */

/* Random targets with planted repeats on both strands, a few N runs and a
 * little lower case, so that many minimizers occur more than once. */
std::vector<std::string> random_genome(uint64_t seed, int n_targets, int min_len, int max_len) {
    std::mt19937_64 rng(seed);
    auto below = [&](uint64_t n) { return (uint64_t)(rng() % n); };
    std::vector<std::string> g;
    std::vector<std::string> repeats;
    for (int i = 0; i < 4; ++i) {
        std::string r;
        size_t l = 50 + below(400);
        for (size_t j = 0; j < l; ++j) r += "ACGT"[below(4)];
        repeats.push_back(r);
    }
    for (int t = 0; t < n_targets; ++t) {
        size_t len = min_len + below(max_len - min_len + 1);
        std::string s;
        while (s.size() < len) {
            uint64_t what = below(100);
            if (what < 6)
                s += repeats[below(repeats.size())];
            else if (what < 10)
                s += lssim::revcomp(repeats[below(repeats.size())]);
            else if (what < 11)
                s += std::string(1 + below(30), 'N');
            else
                for (int j = 0; j < 64; ++j) s += "ACGT"[below(4)];
        }
        s.resize(len);
        for (size_t j = 0; j < s.size(); ++j)
            if (below(50) == 0 && s[j] != 'N') s[j] = (char)tolower(s[j]);
        g.push_back(s);
    }
    return g;
}

std::string fasta(const std::vector<std::string> &seqs, const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < seqs.size(); ++i) {
        out += ">" + names[i] + " some comment\n";
        for (size_t j = 0; j < seqs[i].size(); j += 60) out += seqs[i].substr(j, 60) + "\n";
    }
    return out;
}

std::vector<std::string> numbered_names(size_t n, const char *prefix = "chr") {
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i) names.push_back(prefix + std::to_string(i + 1));
    return names;
}

/* Minimizer hash -> every position, sorted: the index's answer worked out
 * from the sketch alone. */
using BruteMap = std::map<uint64_t, std::vector<uint64_t>>;

BruteMap brute_force(const std::vector<std::string> &seqs, size_t first, size_t n, int w, int k, int hpc) {
    BruteMap m;
    for (size_t i = 0; i < n; ++i) {
        const std::string &s = seqs[first + i];
        if (s.empty()) continue;
        ls128_vec v = {0, 0, nullptr};
        ls_sketch(nullptr, s.data(), (int)s.size(), w, k, (uint32_t)i, hpc, &v);
        for (size_t j = 0; j < v.n; ++j) m[v.a[j].x >> 8].push_back(v.a[j].y);
        kfree(nullptr, v.a);
    }
    for (auto &e : m) std::sort(e.second.begin(), e.second.end());
    return m;
}

std::vector<uint64_t> lookup(const ls_idx *mi, uint64_t h) {
    int n = -1;
    const uint64_t *p = ls_idx_lookup(mi, h, &n);
    EXPECT_GE(n, 0);
    if (n == 0) { EXPECT_EQ(p, nullptr); }
    return p ? std::vector<uint64_t>(p, p + n) : std::vector<uint64_t>();
}

/* Every minimizer is found at exactly its positions, and hashes that do not
 * occur give nothing. */
void expect_matches(const ls_idx *mi, const BruteMap &m, uint64_t seed, bool need_repeats = true) {
    size_t n_multi = 0;
    for (const auto &e : m) {
        ASSERT_EQ(lookup(mi, e.first), e.second) << "hash " << e.first;
        n_multi += e.second.size() > 1;
    }
    if (need_repeats) { EXPECT_GT(n_multi, 0U) << "the genome should have repeated minimizers"; }
    std::mt19937_64 rng(seed);
    const uint64_t mask = (1ULL << 2 * mi->k) - 1;
    for (int i = 0; i < 2000; ++i) {
        uint64_t h = rng() & mask;
        if (m.count(h)) continue;
        int n = -1;
        EXPECT_EQ(ls_idx_lookup(mi, h, &n), nullptr);
        EXPECT_EQ(n, 0);
    }
}

std::vector<uint8_t> bases(const ls_idx *mi, int rid, bool rev) {
    std::vector<uint8_t> out(mi->seq[rid].len + 1);
    int n = ls_idx_get_bases_strand(mi, rev, rid, 0, (int)mi->seq[rid].len, out.data());
    out.resize(n < 0 ? 0 : n);
    return out;
}

std::vector<uint8_t> codes(const std::string &s) {
    std::vector<uint8_t> c;
    for (char ch : s) c.push_back(ls_nt4_table[(uint8_t)ch]);
    return c;
}

/* Restores the process-wide verbosity when a test ends. */
struct Verbosity {
    int saved = ls_verbosity;
    explicit Verbosity(int v) { ls_verbosity = v; }
    ~Verbosity() { ls_verbosity = saved; }
};

ls_idxopt options(int k, int w, int bucket_bits, int64_t batch, uint64_t part) {
    ls_idxopt o;
    ls_idxopt_defaults(&o);
    o.k = (int16_t)k, o.w = (int16_t)w, o.bucket_bits = (int16_t)bucket_bits;
    o.sketch_batch_bases = batch, o.index_part_bases = part;
    return o;
}

/* Reads every part of a target file; returns the parts (caller destroys)
 * and the reader's error bits. */
std::vector<ls_idx *> read_all(const std::string &path, const ls_idxopt *o, const char *out, int n_threads,
                               int *error, int format = LS_IDX_FORMAT_STREAM) {
    std::vector<ls_idx *> parts;
    ls_idx_reader *r = ls_idx_reader_open(path.c_str(), o, out);
    EXPECT_NE(r, nullptr);
    if (r == nullptr) return parts;
    ls_idx_reader_set_output_format(r, format);
    while (ls_idx *mi = ls_idx_reader_read(r, n_threads)) parts.push_back(mi);
    *error = ls_idx_reader_error(r);
    EXPECT_TRUE(ls_idx_reader_eof(r));
    ls_idx_reader_close(r);
    return parts;
}

void destroy_all(std::vector<ls_idx *> &parts) {
    for (ls_idx *mi : parts) ls_idx_destroy(mi);
    parts.clear();
}

/* ---- tests ---- */

TEST(IndexHash, ProbingResizingAndKeysIgnoringBitZero) {
    ls_idx_hash *h = ls_idx_hash_init();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ls_idx_hash_get(h, 2), h->n_buckets); // empty table: absent
    ASSERT_EQ(ls_idx_hash_resize(h, 3), 0);
    EXPECT_EQ(h->n_buckets, 4U);
    EXPECT_EQ(h->upper_bound, 3U); // 4 * 0.77 + 0.5 = 3.58
    // Three keys of hash 0 in a table of 4: slots 0, then 0+1, then 1+2.
    int absent;
    EXPECT_EQ(ls_idx_hash_put(h, 0 << 1, &absent), 0U);
    EXPECT_EQ(absent, 1);
    EXPECT_EQ(ls_idx_hash_put(h, 4 << 1 | 1, &absent), 1U);
    EXPECT_EQ(ls_idx_hash_put(h, 8 << 1, &absent), 3U);
    EXPECT_EQ(h->size, 3U);
    // Occupied slots have reached the bound: the next insertion, even of a
    // key that is there, first doubles the table and re-places the keys
    // (0 -> slot 0, 4 -> slot 4, 8 -> slot 0 taken, slot 1).
    EXPECT_EQ(ls_idx_hash_put(h, 4 << 1, &absent), 4U); // bit 0 is not part of the key
    EXPECT_EQ(absent, 0);
    EXPECT_EQ(h->n_buckets, 8U);
    EXPECT_EQ(h->upper_bound, 6U);
    EXPECT_EQ(h->keys[4], 4U << 1 | 1) << "the stored key keeps its bit 0";
    EXPECT_EQ(ls_idx_hash_get(h, 8 << 1 | 1), 1U);
    EXPECT_EQ(ls_idx_hash_put(h, 1 << 1, &absent), 2U); // slot 1 taken, then 1 + 1
    EXPECT_EQ(absent, 1);
    EXPECT_EQ(h->size, 4U);
    // Resizing never drops below what the keys need.
    ASSERT_EQ(ls_idx_hash_resize(h, 4), 0);
    EXPECT_EQ(h->n_buckets, 8U);
    ls_idx_hash_destroy(h);

    // Against a set, through many resizes.
    h = ls_idx_hash_init();
    std::mt19937_64 rng(7);
    std::map<uint64_t, uint64_t> ref;
    for (int i = 0; i < 20000; ++i) {
        uint64_t key = (rng() % 30000) << 1;
        uint32_t slot = ls_idx_hash_put(h, key, &absent);
        ASSERT_EQ(absent, ref.count(key) ? 0 : 1);
        if (absent) h->vals[slot] = i, ref[key] = i;
    }
    EXPECT_EQ(h->size, ref.size());
    EXPECT_LE(h->n_occupied, h->upper_bound);
    EXPECT_EQ(h->n_buckets & (h->n_buckets - 1), 0U);
    for (const auto &e : ref) {
        uint32_t slot = ls_idx_hash_get(h, e.first);
        ASSERT_NE(slot, h->n_buckets);
        EXPECT_EQ(h->vals[slot], e.second);
    }
    size_t n = 0;
    for (uint32_t i = 0; i < h->n_buckets; ++i) n += ls_idx_hash_exist(h, i);
    EXPECT_EQ(n, ref.size());
    EXPECT_EQ(ls_idx_hash_get(h, 30001 << 1), h->n_buckets);
    ls_idx_hash_destroy(h);
}

TEST(IndexLookup, EveryMinimizerOfRandomGenomesIsFoundAtExactlyItsPositions) {
    struct Case {
        int w, k, b, hpc;
    } cases[] = {{10, 15, 14, -1}, {5, 11, 4, 0},   {1, 9, 0, 0},
                 {10, 15, 8, 1},   {20, 21, 14, 0}, {3, 5, 14, 0}};
    uint64_t seed = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE("w=" + std::to_string(c.w) + " k=" + std::to_string(c.k) + " b=" + std::to_string(c.b));
        auto g = random_genome(seed++, 6, 0, 20000);
        g[2] = ""; // an empty target keeps its id
        std::vector<const char *> s;
        for (auto &x : g) s.push_back(x.c_str());
        int hpc = c.hpc < 0 ? 0 : c.hpc;
        ls_idx *mi = ls_idx_str(c.w, c.k, hpc, c.b, (int)g.size(), s.data(), nullptr);
        ASSERT_NE(mi, nullptr);
        EXPECT_EQ(mi->bucket_bits, std::min(c.b < 0 ? 14 : c.b, 2 * c.k));
        EXPECT_EQ(mi->flag, (hpc ? LS_I_HPC : 0) | LS_I_SKIP_NAME);
        EXPECT_EQ(mi->n_seq, g.size());
        expect_matches(mi, brute_force(g, 0, g.size(), c.w, c.k, hpc), seed);
        // Single occurrences live in the table value; groups come from pos.
        for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
            const ls_idx_bucket *b = &mi->buckets[i];
            EXPECT_EQ(b->mins.n, 0U);
            if (b->table == nullptr) { EXPECT_EQ(b->n_pos, 0); }
        }
        for (size_t i = 0; i < g.size(); ++i) EXPECT_EQ(bases(mi, (int)i, false), codes(g[i]));
        ls_idx_destroy(mi);
    }
}

TEST(IndexLookup, SmallCasesByHand) {
    // A target shorter than k: no table anywhere, every lookup empty.
    const char *shorty[] = {"ACGTACG"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 1, shorty, nullptr);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->n_seq, 1U);
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) EXPECT_EQ(mi->buckets[i].table, nullptr);
    int n = -1;
    EXPECT_EQ(ls_idx_lookup(mi, 12345, &n), nullptr);
    EXPECT_EQ(n, 0);
    ls_idx_destroy(mi);

    // b = 14 with k = 5 gives 10 bucket bits; w below 2 becomes 1.
    mi = ls_idx_str(0, 5, 0, 14, 1, shorty, nullptr);
    EXPECT_EQ(mi->bucket_bits, 10);
    EXPECT_EQ(mi->w, 1);
    ls_idx_destroy(mi);
    EXPECT_EQ(ls_idx_str(10, 29, 0, 14, 1, shorty, nullptr), nullptr);

    // One k-mer three times (w = 1 keeps every k-mer): count 3, ascending
    // positions; a k-mer seen once points at the table value itself.
    const std::string unit = "GATTACAGG";
    const std::string s3 = unit + "C" + unit + "T" + unit;
    const char *seqs[] = {s3.c_str()};
    mi = ls_idx_str(1, 9, 0, 4, 1, seqs, nullptr);
    ls128_vec v = {0, 0, nullptr};
    ls_sketch(nullptr, unit.c_str(), 9, 1, 9, 0, 0, &v);
    ASSERT_EQ(v.n, 1U);
    const uint64_t h = v.a[0].x >> 8, strand = v.a[0].y & 1;
    auto pos = lookup(mi, h);
    ASSERT_EQ(pos.size(), 3U);
    EXPECT_EQ(pos[0], 8ULL << 1 | strand);
    EXPECT_EQ(pos[1], 18ULL << 1 | strand);
    EXPECT_EQ(pos[2], 28ULL << 1 | strand);
    ls_sketch(nullptr, s3.c_str() + 5, 9, 1, 9, 0, 0, &v); // "ACAGGCGAT", once
    ASSERT_EQ(v.n, 2U);
    const uint64_t h1 = v.a[1].x >> 8;
    const uint64_t *p = ls_idx_lookup(mi, h1, &n);
    ASSERT_EQ(n, 1);
    const ls_idx_hash *t = mi->buckets[h1 & 15].table;
    uint32_t slot = ls_idx_hash_get(t, h1 >> 4 << 1);
    EXPECT_EQ(p, &t->vals[slot]);
    EXPECT_EQ(t->keys[slot] & 1, 1U);
    EXPECT_EQ(*p, v.a[1].y + (5ULL << 1)); // last base at 5 + 8
    kfree(nullptr, v.a);
    ls_idx_destroy(mi);
}

TEST(IndexMaxOcc, ThresholdFromTheRankOfOccurrenceCounts) {
    // 100000 distinct hashes, n_many of them with 500 occurrences, the rest
    // once. Rank floor(100000 * (1 - 0.0002)) = 99980.
    for (int n_many : {10, 30}) {
        ls_idx *mi = ls_idx_new(10, 15, 2, 0);
        ASSERT_NE(mi, nullptr);
        for (uint64_t i = 0; i < 100000; ++i) {
            ls_idx_bucket *b = &mi->buckets[i & 3];
            if (b->table == nullptr) b->table = ls_idx_hash_init();
            int absent;
            bool many = i < (uint64_t)n_many;
            uint32_t slot = ls_idx_hash_put(b->table, i >> 2 << 1 | (many ? 0 : 1), &absent);
            b->table->vals[slot] = many ? 500 : 0;
        }
        EXPECT_EQ(ls_idx_max_occ(mi, 0.0002f), n_many == 10 ? 2 : 501);
        EXPECT_EQ(ls_idx_max_occ(mi, 0.0f), INT32_MAX);
        EXPECT_EQ(ls_idx_max_occ(mi, -1.0f), INT32_MAX);
        EXPECT_EQ(ls_idx_max_occ(mi, 1e-30f), 501); // rank clamped to the largest count
        EXPECT_EQ(ls_idx_max_occ(mi, 2.0f), 2);     // rank clamped to the smallest
        ls_idx_destroy(mi);
    }
    ls_idx *empty = ls_idx_new(10, 15, 2, 0);
    EXPECT_EQ(ls_idx_max_occ(empty, 0.0002f), INT32_MAX);
    ls_idx_destroy(empty);
}

TEST(IndexBuild, PartsFollowBatchBoundariesAndKeepEverything) {
    TempDir dir;
    // Ten targets of 300 bases, batches of 600 bases (two targets), parts
    // of 1000 bases: a part ends with the batch that crosses 1000, so parts
    // hold 4, 4 and 2 targets, and no empty part follows.
    auto g = random_genome(11, 10, 300, 300);
    auto names = numbered_names(g.size());
    lstest::write_file(dir.file("t.fa"), fasta(g, names));
    ls_idxopt o = options(15, 10, 10, 600, 1000);
    int error = -1;
    auto parts = read_all(dir.file("t.fa"), &o, nullptr, 3, &error);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(parts.size(), 3U);
    size_t first = 0;
    for (size_t p = 0; p < parts.size(); ++p) {
        ls_idx *mi = parts[p];
        EXPECT_EQ(mi->part_index, (int)p);
        EXPECT_EQ(mi->n_seq, p < 2 ? 4U : 2U);
        for (uint32_t i = 0; i < mi->n_seq; ++i) {
            EXPECT_STREQ(mi->seq[i].name, names[first + i].c_str());
            EXPECT_EQ(mi->seq[i].len, 300U);
            EXPECT_EQ(mi->seq[i].offset, 300ULL * i);
            EXPECT_EQ(bases(mi, (int)i, false), codes(g[first + i]));
        }
        expect_matches(mi, brute_force(g, first, mi->n_seq, 10, 15, 0), p, false);
        first += mi->n_seq;
    }
    destroy_all(parts);

    // Whole-file build, options of the flags honoured.
    ls_idx *mi = ls_idx_build(dir.file("t.fa").c_str(), 10, 15, LS_I_SKIP_NAME | LS_I_SKIP_SEQ, 2);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->n_seq, 10U);
    EXPECT_EQ(mi->bucket_bits, 14);
    EXPECT_EQ(mi->seq[3].name, nullptr);
    EXPECT_EQ(mi->packed_seq, nullptr);
    expect_matches(mi, brute_force(g, 0, g.size(), 10, 15, 0), 3);
    ls_idx_destroy(mi);
    EXPECT_EQ(ls_idx_build(dir.file("missing.fa").c_str(), 10, 15, 0, 1), nullptr);

    // An empty file and a file of one empty record.
    lstest::write_file(dir.file("empty.fa"), "");
    parts = read_all(dir.file("empty.fa"), nullptr, nullptr, 3, &error);
    EXPECT_EQ(parts.size(), 0U);
    EXPECT_EQ(error, 0);
    lstest::write_file(dir.file("zero.fa"), ">z\n>y\nACGTACGTACGTACGTAAACCC\n");
    {
        Verbosity v(2);
        testing::internal::CaptureStderr();
        parts = read_all(dir.file("zero.fa"), nullptr, nullptr, 3, &error);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[WARNING] the length database sequence 'z' is 0\n");
    }
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0]->n_seq, 2U);
    EXPECT_EQ(parts[0]->seq[0].len, 0U);
    EXPECT_EQ(parts[0]->seq[1].offset, 0U);
    destroy_all(parts);
}

TEST(IndexFile, WrittenThenLoadedPartsAnswerIdentically) {
    TempDir dir;
    auto g = random_genome(21, 7, 1, 9000);
    auto names = numbered_names(g.size(), "contig_");
    lstest::write_file(dir.file("t.fa"), fasta(g, names));
    // 0x40: a bit with no meaning to the index still survives the round trip.
    for (int flag : {0, LS_I_SKIP_SEQ, LS_I_SKIP_NAME, LS_I_HPC, 0x40 | LS_I_HPC}) {
        SCOPED_TRACE("flag " + std::to_string(flag));
        ls_idxopt o = options(15, 10, 12, 20000, 20000);
        o.flag = (int16_t)flag;
        int error = -1;
        auto built = read_all(dir.file("t.fa"), &o, dir.file("t.idx").c_str(), 2, &error);
        EXPECT_EQ(error, 0);
        ASSERT_GE(built.size(), 2U);
        EXPECT_EQ(ls_idx_probe_file(dir.file("t.idx").c_str()),
                  (int64_t)lstest::read_file(dir.file("t.idx")).size());
        auto loaded = read_all(dir.file("t.idx"), &o, nullptr, 2, &error);
        EXPECT_EQ(error, 0);
        ASSERT_EQ(loaded.size(), built.size());
        size_t first = 0;
        for (size_t p = 0; p < built.size(); ++p) {
            const ls_idx *a = built[p], *b = loaded[p];
            EXPECT_EQ(b->part_index, (int)p);
            EXPECT_EQ(b->w, a->w);
            EXPECT_EQ(b->k, a->k);
            EXPECT_EQ(b->bucket_bits, a->bucket_bits);
            EXPECT_EQ(b->flag, flag);
            ASSERT_EQ(b->n_seq, a->n_seq);
            for (uint32_t i = 0; i < a->n_seq; ++i) {
                if (flag & LS_I_SKIP_NAME)
                    EXPECT_EQ(b->seq[i].name, nullptr);
                else
                    EXPECT_STREQ(b->seq[i].name, names[first + i].c_str());
                EXPECT_EQ(b->seq[i].len, a->seq[i].len);
                EXPECT_EQ(b->seq[i].offset, a->seq[i].offset);
                EXPECT_EQ(b->seq[i].is_alt, 0U);
                if (!(flag & LS_I_SKIP_SEQ)) {
                    EXPECT_EQ(bases(b, (int)i, false), codes(g[first + i]));
                    EXPECT_EQ(bases(b, (int)i, true), bases(a, (int)i, true));
                }
            }
            if (flag & LS_I_SKIP_SEQ) { EXPECT_EQ(b->packed_seq, nullptr); }
            auto m = brute_force(g, first, a->n_seq, 10, 15, flag & LS_I_HPC);
            expect_matches(b, m, p);
            for (uint64_t i = 0; i < 1ULL << a->bucket_bits; ++i) {
                EXPECT_EQ(b->buckets[i].n_pos, a->buckets[i].n_pos);
                EXPECT_EQ(b->buckets[i].table == nullptr, a->buckets[i].table == nullptr);
            }
            first += a->n_seq;
        }
        destroy_all(built);
        destroy_all(loaded);
    }
}

/* An independent reading of the file layout: every item at its place. */
TEST(IndexFile, LayoutIsLittleEndianItemAfterItem) {
    const std::string s1 = "ACGTTGCAAGGCTTAACCGGTTAGCATCGATCGGATCCTAGN", s2 = "TTGACCA";
    const char *seqs[] = {s1.c_str(), s2.c_str()}, *names[] = {"first", "x"};
    ls_idx *mi = ls_idx_str(2, 5, 0, 2, 2, seqs, names);
    ASSERT_NE(mi, nullptr);
    FILE *fp = tmpfile();
    ASSERT_EQ(ls_idx_write(fp, mi), 0);
    std::string f((size_t)ftell(fp), '\0');
    rewind(fp);
    ASSERT_EQ(fread(&f[0], 1, f.size(), fp), f.size());
    fclose(fp);
    size_t o = 0;
    auto u32 = [&]() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= (uint32_t)(uint8_t)f[o++] << 8 * i;
        return v;
    };
    auto u64 = [&]() {
        uint64_t lo = u32();
        return lo | (uint64_t)u32() << 32;
    };
    EXPECT_EQ(f.substr(0, 4), std::string("LSI\3", 4));
    o = 4;
    EXPECT_EQ(u32(), 2U);
    EXPECT_EQ(u32(), 5U);
    EXPECT_EQ(u32(), 2U);
    EXPECT_EQ(u32(), 2U);
    EXPECT_EQ(u32(), 0U);
    EXPECT_EQ((uint8_t)f[o], 5);
    EXPECT_EQ(f.substr(o + 1, 5), "first");
    o += 6;
    EXPECT_EQ(u32(), s1.size());
    EXPECT_EQ((uint8_t)f[o], 1);
    EXPECT_EQ(f[o + 1], 'x');
    o += 2;
    EXPECT_EQ(u32(), s2.size());
    for (int i = 0; i < 4; ++i) {
        const ls_idx_bucket *b = &mi->buckets[i];
        EXPECT_EQ((int32_t)u32(), b->n_pos);
        for (int j = 0; j < b->n_pos; ++j) EXPECT_EQ(u64(), b->pos[j]);
        uint32_t m = u32();
        ASSERT_EQ(m, b->table ? b->table->size : 0);
        uint32_t slot = 0;
        for (uint32_t j = 0; j < m; ++j, ++slot) {
            while (!ls_idx_hash_exist(b->table, slot)) ++slot;
            EXPECT_EQ(u64(), b->table->keys[slot]);
            EXPECT_EQ(u64(), b->table->vals[slot]);
        }
    }
    const size_t total = s1.size() + s2.size();
    for (size_t j = 0; j < (total + 7) / 8; ++j) {
        uint32_t word = u32();
        for (size_t t = 0; t < 8 && 8 * j + t < total; ++t) {
            size_t g = 8 * j + t;
            char c = g < s1.size() ? s1[g] : s2[g - s1.size()];
            EXPECT_EQ(word >> 4 * t & 15, ls_nt4_table[(uint8_t)c]) << "base " << g;
        }
    }
    // The checksum of every byte before it; the standard check value first.
    ASSERT_EQ(crc32_bitwise("123456789", 9), 0xcbf43926U);
    const size_t end = o;
    EXPECT_EQ(u32(), crc32_bitwise(f, end));
    EXPECT_EQ(o, f.size());
    ls_idx_destroy(mi);
}

TEST(IndexFile, OneAndThreeThreadsWriteTheSameBytes) {
    TempDir dir;
    auto g = random_genome(31, 40, 100, 12000);
    lstest::write_file(dir.file("t.fa"), fasta(g, numbered_names(g.size())));
    ls_idxopt o = options(15, 10, 14, 5000, 150000);
    int e1 = -1, e3 = -1;
    auto p1 = read_all(dir.file("t.fa"), &o, dir.file("1.idx").c_str(), 1, &e1);
    auto p3 = read_all(dir.file("t.fa"), &o, dir.file("3.idx").c_str(), 3, &e3);
    EXPECT_EQ(e1, 0);
    EXPECT_EQ(e3, 0);
    EXPECT_GE(p1.size(), 2U);
    EXPECT_EQ(p1.size(), p3.size());
    std::string f1 = lstest::read_file(dir.file("1.idx")), f3 = lstest::read_file(dir.file("3.idx"));
    EXPECT_GT(f1.size(), 1000U);
    EXPECT_TRUE(f1 == f3);
    destroy_all(p1);
    destroy_all(p3);
}

TEST(IndexFile, ReaderProbesAndWarnsAboutOverriddenParameters) {
    TempDir dir;
    lstest::write_file(dir.file("three"), "LSI");
    EXPECT_EQ(ls_idx_probe_file(dir.file("three").c_str()), 0);
    EXPECT_EQ(ls_idx_probe_file("-"), 0);
    EXPECT_EQ(ls_idx_probe_file(dir.file("none").c_str()), -1);
    EXPECT_EQ(ls_idx_reader_open(dir.file("none").c_str(), nullptr, nullptr), nullptr);

    auto g = random_genome(41, 4, 2000, 3000);
    lstest::write_file(dir.file("t.fa"), fasta(g, numbered_names(g.size())));
    ls_idxopt o = options(15, 10, 8, 1, 1); // one target per part
    int error = -1;
    auto parts = read_all(dir.file("t.fa"), &o, dir.file("t.idx").c_str(), 1, &error);
    ASSERT_EQ(parts.size(), 4U);
    destroy_all(parts);

    Verbosity v(2);
    o.k = 19;
    testing::internal::CaptureStderr();
    parts = read_all(dir.file("t.idx"), &o, nullptr, 1, &error);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(parts.size(), 4U);
    for (ls_idx *mi : parts) EXPECT_EQ(mi->k, 15);
    std::string warning =
        "[WARNING] Indexing parameters (-k, -w or -H) overridden by parameters used in "
        "the prebuilt index.\n";
    std::string four;
    for (int i = 0; i < 4; ++i) four += warning;
    EXPECT_EQ(err, four);
    destroy_all(parts);

    // Matching options, or a reader without options (defaults: k 15, w 10): silent.
    testing::internal::CaptureStderr();
    parts = read_all(dir.file("t.idx"), nullptr, nullptr, 1, &error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(parts.size(), 4U);
    destroy_all(parts);
}

/* The bytes of a small index file of two parts, and where the second begins. */
struct TwoParts {
    std::string bytes;
    size_t second = 0;
    size_t first_bucket = 0; /* offset of the first part's bucket 0 */
};

TwoParts two_part_file(const TempDir &dir) {
    auto g = random_genome(51, 4, 200, 700);
    lstest::write_file(dir.file("small.fa"), fasta(g, numbered_names(g.size())));
    ls_idxopt o = options(11, 5, 3, 500, 500);
    int error = -1;
    auto parts = read_all(dir.file("small.fa"), &o, dir.file("small.idx").c_str(), 1, &error);
    EXPECT_EQ(parts.size(), 2U);
    FILE *fp = tmpfile();
    ls_idx_write(fp, parts[0]);
    TwoParts t;
    t.second = (size_t)ftell(fp);
    t.first_bucket = 24;
    for (uint32_t i = 0; i < parts[0]->n_seq; ++i) t.first_bucket += 1 + strlen(parts[0]->seq[i].name) + 4;
    fclose(fp);
    destroy_all(parts);
    t.bytes = lstest::read_file(dir.file("small.idx"));
    return t;
}

/* Loads every part of the file through a reader; returns the number of parts
 * and the error bits. Each part is exercised so that a bad pointer shows. */
std::pair<int, int> load_through_reader(const std::string &path, bool full = true) {
    ls_idx_reader *r = ls_idx_reader_open(path.c_str(), nullptr, nullptr);
    if (r == nullptr) return {-1, -1};
    ls_idx_reader_set_check(r, full);
    int n = 0;
    while (ls_idx *mi = ls_idx_reader_read(r, 1)) {
        ++n;
        for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
            const ls_idx_hash *h = mi->buckets[i].table;
            for (uint32_t j = 0; h && j < h->n_buckets; ++j) {
                if (!ls_idx_hash_exist(h, j)) continue;
                int cnt;
                const uint64_t *p = ls_idx_lookup(mi, (h->keys[j] >> 1) << mi->bucket_bits | i, &cnt);
                for (int c = 0; c < cnt; ++c) {
                    uint32_t rid = (uint32_t)(p[c] >> 32);
                    EXPECT_LT(rid, mi->n_seq);
                    EXPECT_LT(p[c] >> 1 & 0x7fffffff, mi->seq[rid].len);
                }
            }
        }
        if (mi->packed_seq)
            for (uint32_t i = 0; i < mi->n_seq; ++i) bases(mi, (int)i, true);
        ls_idx_destroy(mi);
    }
    int error = ls_idx_reader_error(r);
    EXPECT_EQ(ls_idx_reader_read(r, 1), nullptr); // nothing after the end or a failure
    ls_idx_reader_close(r);
    return {n, error};
}

TEST(IndexFile, TruncatedFilesAreReportedAtEveryOffset) {
    TempDir dir;
    TwoParts t = two_part_file(dir);
    ASSERT_GT(t.second, 100U);
    ASSERT_GT(t.bytes.size(), t.second + 100);
    const std::string path = dir.file("cut.idx");
    {
        Verbosity v(0);
        // Every offset near the part starts and ends, a stride elsewhere.
        std::set<size_t> cuts;
        for (size_t c = 4; c <= t.bytes.size(); c += 17) cuts.insert(c);
        for (size_t c = 4; c < 300; ++c) cuts.insert(c);
        for (size_t c = t.second - 40; c < t.second + 300; ++c) cuts.insert(c);
        for (size_t c = t.bytes.size() - 40; c <= t.bytes.size(); ++c) cuts.insert(c);
        for (size_t cut : cuts) {
            replace_file(path, t.bytes.substr(0, cut));
            auto res = load_through_reader(path);
            if (cut == t.bytes.size())
                EXPECT_EQ(res, std::make_pair(2, 0));
            else if (cut == t.second)
                EXPECT_EQ(res, std::make_pair(1, 0)) << "a clean end after the first part";
            else if (cut < t.second)
                EXPECT_EQ(res, std::make_pair(0, LS_IDX_ERR_INPUT)) << "cut at " << cut;
            else
                EXPECT_EQ(res, std::make_pair(1, LS_IDX_ERR_INPUT)) << "cut at " << cut;
        }
        // Bytes after the last part that are not a whole part.
        for (const std::string tail : {"L", LS_IDX_MAGIC, LS_IDX_MAGIC_V2, "XXXXXXXXXXXXXXXXXXXXXXXXX"}) {
            replace_file(path, t.bytes + tail);
            EXPECT_EQ(load_through_reader(path), std::make_pair(2, LS_IDX_ERR_INPUT)) << tail;
        }
    }
    // The message names the file, the part, what was wrong and where.
    lstest::write_file(path, t.bytes.substr(0, t.second + 30));
    testing::internal::CaptureStderr();
    load_through_reader(path);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("[ERROR]"), 0U) << err;
    EXPECT_NE(err.find("'" + path + "', part 1: the targets and buckets in the header would need"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("at byte " + std::to_string(t.second + 24)), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    // Without a known size the loader reads until the bytes run out (here
    // the 4 of the checksum and 10 of the bases are missing).
    FILE *mem = fmemopen(&t.bytes[0], t.bytes.size() - 14, "rb");
    int status = 0;
    testing::internal::CaptureStderr();
    ls_idx_destroy(ls_idx_load2(mem, "mem", 0, &status));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ls_idx_load2(mem, "mem", 1, &status), nullptr);
    EXPECT_EQ(status, -1);
    fclose(mem);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("'mem', part 1: the file ends inside the packed bases, 10 of its"), std::string::npos)
        << err;

    // A stream of unknown size: the same answers through a memory stream.
    Verbosity v(0);
    for (size_t cut = 1; cut <= t.bytes.size(); cut += cut < 300 ? 1 : 7) {
        FILE *fp = fmemopen(&t.bytes[0], cut, "rb");
        ASSERT_NE(fp, nullptr);
        int n = 0, status;
        while (ls_idx *mi = ls_idx_load2(fp, "mem", n, &status)) ls_idx_destroy(mi), ++n;
        fclose(fp);
        EXPECT_EQ(n, cut < t.second ? 0 : cut < t.bytes.size() ? 1 : 2);
        EXPECT_EQ(status, cut == t.second || cut == t.bytes.size() ? 0 : -1) << cut;
    }
}

TEST(IndexFile, DamagedHeadersAndCountsAreRefusedNotTrusted) {
    TempDir dir;
    TwoParts t = two_part_file(dir);
    const std::string path = dir.file("bad.idx");
    Verbosity v(0);
    auto with = [&](size_t off, uint8_t x) {
        std::string b = t.bytes;
        b[off] = (char)(b[off] ^ x);
        replace_file(path, b);
        return load_through_reader(path);
    };
    const std::pair<int, int> failed_first(0, LS_IDX_ERR_INPUT), failed_second(1, LS_IDX_ERR_INPUT);
    // High bytes of w, k, bucket bits, n_seq: impossible values or counts the
    // file cannot hold.
    for (size_t field = 0; field < 4; ++field) {
        EXPECT_EQ(with(4 + 4 * field + 3, 0x40), failed_first) << "field " << field;
        EXPECT_EQ(with(t.second + 4 + 4 * field + 3, 0x01), failed_second) << "field " << field;
    }
    // Flag bits without a meaning to the index are carried (see the round
    // trip), but one changed after writing fails the checksum.
    EXPECT_EQ(with(4 + 16 + 3, 0x40), failed_first);
    EXPECT_EQ(with(4 + 4 + 0, 0x20), failed_first);     // k = 11 ^ 32 = 43
    EXPECT_EQ(with(4 + 12, 0x40), failed_first);        // n_seq + 64 targets
    EXPECT_EQ(with(t.second + 1, 0x01), failed_second); // wrong magic of the second part
    // Bucket 0: n_pos negative or beyond the file, key count beyond the file.
    ASSERT_EQ(t.bytes[t.first_bucket + 3], 0);
    EXPECT_EQ(with(t.first_bucket + 3, 0x80), failed_first);
    EXPECT_EQ(with(t.first_bucket + 2, 0x10), failed_first);
    uint32_t n_pos = 0;
    memcpy(&n_pos, &t.bytes[t.first_bucket], 4);
    EXPECT_EQ(with(t.first_bucket + 4 + 8 * n_pos + 3, 0x01), failed_first);
    // Every byte of the first part's header and target records, each bit pattern.
    std::mt19937_64 rng(5);
    for (size_t off = 4; off < 80; ++off) {
        auto res = with(off, (uint8_t)(1 + rng() % 255));
        EXPECT_EQ(res.second, LS_IDX_ERR_INPUT) << "byte " << off;
    }
    // Random single-bit damage anywhere: a reported failure, never a crash,
    // a pointer out of the part or a silent load.
    int n_failed = 0;
    for (int trial = 0; trial < 400; ++trial) {
        size_t off = 4 + rng() % (t.bytes.size() - 4);
        auto res = with(off, (uint8_t)(1 << rng() % 8));
        n_failed += res.second != 0;
    }
    EXPECT_EQ(n_failed, 400);
}

TEST(IndexFile, EveryFlippedBitIsReportedNeverLoadedSilently) {
    TempDir dir;
    TwoParts t = two_part_file(dir);
    const std::string path = dir.file("flip.idx");
    // Every bit of 200 bytes spread over the file, and of both magics and
    // both checksums.
    std::set<size_t> offsets;
    for (size_t i = 0; i < 200; ++i) offsets.insert(i * t.bytes.size() / 200);
    for (size_t i = 0; i < 4; ++i)
        offsets.insert({i, t.second - 4 + i, t.second + i, t.bytes.size() - 4 + i});
    Verbosity v(1);
    for (size_t off : offsets) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string b = t.bytes;
            b[off] = (char)(b[off] ^ 1 << bit);
            replace_file(path, b);
            testing::internal::CaptureStderr();
            auto res = load_through_reader(path);
            const std::string err = testing::internal::GetCapturedStderr();
            // A magic turned into the earlier version's leaves the part's
            // bytes intact: it loads, and its checksum, read as the next
            // part's magic, is refused.
            const bool to_v2 = bit == 0 && (off == 3 || off == t.second + 3);
            EXPECT_EQ(res, std::make_pair((off < t.second ? 0 : 1) + to_v2, LS_IDX_ERR_INPUT))
                << "byte " << off << " bit " << bit;
            EXPECT_EQ(err.find("[ERROR] failed to load index file '" + path + "', part "), 0U)
                << err;
        }
    }
    // Damage that keeps the part consistent: target "chr1" turned into "chr3".
    std::string b = t.bytes;
    ASSERT_EQ(b.substr(25, 4), "chr1");
    b[28] ^= 2;
    replace_file(path, b);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_through_reader(path), std::make_pair(0, LS_IDX_ERR_INPUT));
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string at = std::to_string(t.second - 4); // the checksum's first byte
    EXPECT_NE(err.find("part 0: checksum mismatch: the file is damaged (at byte " + at), std::string::npos)
        << err;
}

/* The parts of an index file, loaded and written again. */
std::string reloaded(const std::string &path, const ls_idxopt *o) {
    int error = -1;
    auto parts = read_all(path, o, nullptr, 1, &error);
    EXPECT_EQ(error, 0);
    FILE *fp = tmpfile();
    for (ls_idx *mi : parts) EXPECT_EQ(ls_idx_write(fp, mi), 0);
    std::string bytes((size_t)ftell(fp), '\0');
    rewind(fp);
    EXPECT_EQ(fread(&bytes[0], 1, bytes.size(), fp), bytes.size());
    fclose(fp);
    destroy_all(parts);
    return bytes;
}

TEST(IndexFile, EarlierFormatLoadsWithANoteOncePerFile) {
    TempDir dir;
    TwoParts t = two_part_file(dir);
    // The same parts in the earlier layout: the other magic, no checksum.
    auto old_part = [&](size_t from, size_t to) {
        return std::string(LS_IDX_MAGIC_V2) + t.bytes.substr(from + 4, to - from - 8);
    };
    const std::string path = dir.file("old.idx");
    lstest::write_file(path, old_part(0, t.second) + old_part(t.second, t.bytes.size()));
    EXPECT_EQ(ls_idx_probe_file(path.c_str()), (int64_t)t.bytes.size() - 8);
    ls_idxopt o = options(11, 5, 3, 500, 500); // those of the file: no other warning
    const std::string current = reloaded(dir.file("small.idx"), &o);
    EXPECT_GT(current.size(), t.second);
    for (int verbosity : {1, 2}) {
        Verbosity v(verbosity);
        testing::internal::CaptureStderr();
        // The same parts as from the current format.
        EXPECT_TRUE(reloaded(path, &o) == current);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  verbosity < 2 ? ""
                                : "[WARNING] index file '" + path +
                                      "' was written by an earlier version and carries no checksum; damage "
                                      "cannot be detected. Save it again with -d to add one.\n");
    }
}

TEST(IndexFile, OnlyRegularFilesAreProbedAndGzipIndexesAreRefused) {
    TempDir dir;
    TwoParts t = two_part_file(dir);
    const std::string gz = dir.file("t.idx.gz"), fa_gz = dir.file("t.fa.gz"), fifo = dir.file("fifo");
    lstest::write_gzip(gz, t.bytes);
    lstest::write_gzip(fa_gz, ">a\nACGTACGTTTGACCATGACA\n");
    EXPECT_EQ(ls_idx_probe_file(gz.c_str()), 0);
    Verbosity v(1);
    testing::internal::CaptureStderr();
    errno = EINVAL;
    EXPECT_EQ(ls_idx_reader_open(gz.c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, 0) << "the message is the report";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] '" + gz +
                  "' is a gzip-compressed index file, which cannot be read as it is: decompress it "
                  "first\n");
    int error = -1;
    auto parts = read_all(fa_gz, nullptr, nullptr, 1, &error);
    EXPECT_EQ(parts.size(), 1U);
    destroy_all(parts);
    // A named pipe is not opened: its writer's bytes, index-like or not, all
    // reach whoever reads it. (Our end is open before the writer starts, so
    // that nothing blocks whatever the probe does.)
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string text = std::string(LS_IDX_MAGIC) + " and the rest";
    std::thread writer([&] { lstest::write_file(fifo, text); });
    EXPECT_EQ(ls_idx_probe_file(fifo.c_str()), 0);
    writer.join();
    char buf[64];
    const ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), text);
}

/* The names in a directory. */
std::set<std::string> listing(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

TEST(IndexFile, SavedOnlyWhenWholeAndFailuresRemoveNothingElse) {
    TempDir dir;
    const std::string fa = dir.file("t.fa"), idx = dir.file("t.idx");
    lstest::write_file(fa, fasta(random_genome(91, 3, 2000, 3000), numbered_names(3)));
    ls_idxopt o = options(15, 10, 8, 1, 1); // one target per part
    Verbosity v(1);
    // The file takes its name only when the reader closes after the end.
    ls_idx_reader *r = ls_idx_reader_open(fa.c_str(), &o, idx.c_str());
    ASSERT_NE(r, nullptr);
    int n = 0;
    while (ls_idx *mi = ls_idx_reader_read(r, 1)) {
        ls_idx_destroy(mi), ++n;
        EXPECT_NE(access(idx.c_str(), F_OK), 0);
    }
    EXPECT_EQ(n, 3);
    EXPECT_EQ(ls_idx_reader_close(r), 0);
    EXPECT_GT(ls_idx_probe_file(idx.c_str()), 0);
    const std::string saved = lstest::read_file(idx);

    // Failures report, leave an existing file as it was and no new file. The
    // full device is reached through a link, so that a fault removing the
    // output path would remove the link, not the machine's /dev/full.
    const std::string full = dir.file("full");
    struct stat st;
    const bool have_full = stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
    if (have_full) { ASSERT_EQ(symlink("/dev/full", full.c_str()), 0); }
    const std::set<std::string> before = listing(dir.path());
    struct Case {
        std::string out;
        int n_read; /* parts read before the close; -1: all */
        std::string message;
    } cases[] = {
        {idx, 1, "[ERROR] the index file '" + idx +
                     "' was not saved: reading stopped before the end of the target file\n"},
        {full, -1, "failed to write the index file '" + full + "': No space left on device"},
        {dir.file(std::string(300, 'n')), -1, "': File name too long\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        if (c.out == full && !have_full) continue;
        testing::internal::CaptureStderr();
        // A name the output cannot take may be refused at once (with errno
        // 0) or when the file is renamed into place.
        errno = EINVAL;
        r = ls_idx_reader_open(fa.c_str(), &o, c.out.c_str());
        if (r == nullptr) { EXPECT_TRUE(errno == 0 && c.out.size() > 255); }
        for (int i = 0; r && (c.n_read < 0 || i < c.n_read); ++i) {
            ls_idx *mi = ls_idx_reader_read(r, 1);
            if (mi == nullptr) break;
            ls_idx_destroy(mi);
        }
        if (r) { EXPECT_EQ(ls_idx_reader_close(r), -1); }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(lstest::read_file(idx) == saved);
        EXPECT_EQ(listing(dir.path()), before);
    }
    EXPECT_TRUE(!have_full || (lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) << "the link is kept";
    // The target itself is never the index file.
    testing::internal::CaptureStderr();
    errno = EINVAL;
    EXPECT_EQ(ls_idx_reader_open(fa.c_str(), &o, fa.c_str()), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("would replace the target file"),
              std::string::npos);
}

TEST(IndexFile, LongNamesAreRefusedForFilesButMapInMemory) {
    TempDir dir;
    const std::string long_name(300, 'n'), name255(255, 'm');
    auto g = random_genome(61, 2, 3000, 3000);
    {
        const char *seqs[] = {g[0].c_str(), g[1].c_str()}, *names[] = {name255.c_str(), long_name.c_str()};
        ls_idx *mi = ls_idx_str(10, 15, 0, 10, 2, seqs, names);
        ASSERT_NE(mi, nullptr);
        expect_matches(mi, brute_force(g, 0, 2, 10, 15, 0), 1);
        EXPECT_EQ(ls_idx_name_to_id(mi, long_name.c_str()), 1);
        FILE *fp = tmpfile();
        testing::internal::CaptureStderr();
        EXPECT_EQ(ls_idx_write(fp, mi), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(long_name), std::string::npos);
        EXPECT_EQ(ftell(fp), 0L) << "nothing written";
        fclose(fp);
        ls_idx_destroy(mi);
    }
    // Through the reader: the part is still built and yielded, the index
    // file is removed and the output error is set.
    lstest::write_file(dir.file("t.fa"), fasta(g, {name255, long_name}));
    ls_idxopt o = options(15, 10, 10, 1000, 1000); // two parts: the first is written, then removed
    Verbosity v(0);
    int error = -1;
    auto parts = read_all(dir.file("t.fa"), &o, dir.file("t.idx").c_str(), 1, &error);
    EXPECT_EQ(error, LS_IDX_ERR_OUTPUT);
    ASSERT_EQ(parts.size(), 2U);
    EXPECT_EQ(parts[1]->seq[0].name, long_name);
    EXPECT_NE(access(dir.file("t.idx").c_str(), F_OK), 0) << "no half-written index file";
    destroy_all(parts);
    // A name of 255 bytes round-trips.
    auto one = random_genome(62, 1, 500, 500);
    lstest::write_file(dir.file("u.fa"), fasta(one, {name255}));
    parts = read_all(dir.file("u.fa"), &o, dir.file("u.idx").c_str(), 1, &error);
    EXPECT_EQ(error, 0);
    destroy_all(parts);
    parts = read_all(dir.file("u.idx"), &o, nullptr, 1, &error);
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0]->seq[0].name, name255);
    destroy_all(parts);
}

TEST(IndexBuild, MalformedTargetFileIsNotTakenForComplete) {
    TempDir dir;
    // The third record's quality is short: the part holds the two before it.
    lstest::write_file(dir.file("t.fq"), "@a\nACGTACGTACGTACGTACGT\n+\nIIIIIIIIIIIIIIIIIIII\n"
                                         "@b\nTTGACCATTGACCAGGATCA\n+\nIIIIIIIIIIIIIIIIIIII\n"
                                         "@c\nACGTTT\n+\nII\n@d\nACGT\n+\nIIII\n");
    Verbosity v(1);
    testing::internal::CaptureStderr();
    int error = -1;
    ls_idxopt o = options(5, 2, 8, 10, 1000000);
    auto parts = read_all(dir.file("t.fq"), &o, dir.file("t.idx").c_str(), 3, &error);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, LS_IDX_ERR_INPUT | LS_IDX_ERR_OUTPUT);
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0]->n_seq, 2U);
    EXPECT_NE(err.find("could not be read whole"), std::string::npos) << err;
    EXPECT_NE(access(dir.file("t.idx").c_str(), F_OK), 0);
    destroy_all(parts);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ls_idx_build(dir.file("t.fq").c_str(), 2, 5, 0, 1), nullptr);
    testing::internal::GetCapturedStderr();
}

TEST(IndexStore, ExtractionOnBothStrands) {
    const char *seqs[] = {"ACGTA", "ACGTNACGTT"};
    const char *names[] = {"a", "b"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 2, seqs, names);
    ASSERT_NE(mi, nullptr);
    // Target b (10 bases) starts at offset 5: base 0 in word 0 bits 20..23,
    // base 3 in word 1 bits 0..3.
    EXPECT_EQ(mi->seq[1].offset, 5U);
    EXPECT_EQ(mi->packed_seq[0] >> 20 & 15, 0U);
    EXPECT_EQ(mi->packed_seq[1] & 15, 3U);
    uint8_t out[128];
    EXPECT_EQ(ls_idx_get_bases(mi, 1, 2, 100, out), 8);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>({2, 3, 4, 0, 1, 2, 3, 3}));
    EXPECT_EQ(ls_idx_get_bases_rc(mi, 0, 0, 3, out), 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), std::vector<uint8_t>({3, 0, 1}));
    EXPECT_EQ(ls_idx_get_bases_strand(mi, 1, 1, 3, 7, out), 4); // forward 6 down to 3, complemented
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>({2, 3, 4, 0}));
    EXPECT_EQ(ls_idx_get_bases_strand(mi, 0, 1, 4, 5, out), 1);
    EXPECT_EQ(out[0], 4);
    memset(out, 9, sizeof(out));
    EXPECT_EQ(ls_idx_get_bases(mi, 2, 0, 1, out), -1);
    EXPECT_EQ(ls_idx_get_bases(mi, -1, 0, 1, out), -1);
    EXPECT_EQ(ls_idx_get_bases(mi, 0, 5, 6, out), -1);
    EXPECT_EQ(ls_idx_get_bases_rc(mi, 0, 5, 6, out), -1);
    EXPECT_EQ(ls_idx_get_bases(mi, 0, 3, 3, out), 0);
    EXPECT_EQ(ls_idx_get_bases_rc(mi, 0, 3, 1, out), -2);
    EXPECT_EQ(out[0], 9) << "nothing written";
    ls_idx_destroy(mi);
}

TEST(IndexStore, NameIndexFirstTargetWins) {
    const char *seqs[] = {"ACGT", "ACGT", "ACGT", "ACGT"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 4, seqs, nullptr);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(ls_idx_name_to_id(mi, "x"), -2);
    ls_idx_destroy(mi);

    // Names given to ls_idx_str are indexed at once; a repeat is fatal there.
    const char *names[] = {"chr1", "chr2", "chr1", ""};
    const char *distinct[] = {"chr1", "chr2", "chr3", ""};
    mi = ls_idx_str(10, 15, 0, 14, 4, seqs, distinct);
    EXPECT_EQ(ls_idx_name_to_id(mi, "chr3"), 2);
    EXPECT_EQ(ls_idx_name_to_id(mi, ""), 3);
    EXPECT_EQ(ls_idx_name_to_id(mi, "chr4"), -1);
    EXPECT_EQ(ls_idx_build_name_index(mi), 0);
    ls_idx_destroy(mi);
    EXPECT_DEATH(ls_idx_str(10, 15, 0, 14, 4, seqs, names), "absent");

    // Built on demand from a part with repeated names: the lower id wins and
    // the warning is printed once.
    TempDir dir;
    lstest::write_file(dir.file("t.fa"), ">chr1\nACGT\n>chr2\nACGT\n>chr1\nAC\n>chr2\nA\n");
    ls_idx *p = ls_idx_build(dir.file("t.fa").c_str(), 10, 15, 0, 1);
    ASSERT_NE(p, nullptr);
    Verbosity v(2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ls_idx_build_name_index(p), 1);
    EXPECT_EQ(ls_idx_build_name_index(p), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[WARNING] some database sequences have identical sequence names\n");
    EXPECT_EQ(ls_idx_name_to_id(p, "chr1"), 0);
    EXPECT_EQ(ls_idx_name_to_id(p, "chr2"), 1);
    ls_idx_destroy(p);
}

TEST(IndexStat, TwoLines) {
    auto g = random_genome(71, 2, 5000, 5000);
    const char *seqs[] = {g[0].c_str(), g[1].c_str()};
    ls_idx *mi = ls_idx_str(10, 15, 1, 14, 2, seqs, nullptr);
    testing::internal::CaptureStderr();
    ls_idx_stat(mi);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        err,
        testing::internal::RE("^\\[M::ls_idx_stat\\] kmer size: 15; skip: 10; is_hpc: 1; #seq: 2\n"
                              "\\[M::ls_idx_stat::[0-9.]+\\*[0-9.]+\\] distinct minimizers: [0-9]+ "
                              "\\([0-9.]+% are singletons\\); average occurrences: [0-9.]+; average spacing: "
                              "[0-9.]+; total length: 10000\n$")))
        << err;
    ls_idx_destroy(mi);
}

TEST(IndexBuild, NoArenaMode) {
    int saved = ls_debug_flags;
    ls_debug_flags |= LS_DBG_NO_ARENA;
    auto g = random_genome(81, 3, 1000, 4000);
    std::vector<const char *> s;
    for (auto &x : g) s.push_back(x.c_str());
    const char *names[] = {"a", "b", "c"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 10, 3, s.data(), names);
    EXPECT_EQ(mi->arena, nullptr);
    expect_matches(mi, brute_force(g, 0, 3, 10, 15, 0), 9);
    FILE *fp = tmpfile();
    ASSERT_EQ(ls_idx_write(fp, mi), 0);
    rewind(fp);
    ls_idx *back = ls_idx_load(fp);
    fclose(fp);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->seq[2].name, "c");
    ls_idx_destroy(back);
    ls_idx_destroy(mi);
    ls_debug_flags = saved;
}

/* ---- the mapped format ---- */

/* Every lookup, base, name and threshold of b equals a's. */
void expect_same_part(const ls_idx *a, const ls_idx *b) {
    ASSERT_EQ(a->n_seq, b->n_seq);
    EXPECT_EQ(a->k, b->k);
    EXPECT_EQ(a->bucket_bits, b->bucket_bits);
    for (uint32_t i = 0; i < a->n_seq; ++i) {
        EXPECT_STREQ(a->seq[i].name, b->seq[i].name);
        EXPECT_EQ(a->seq[i].len, b->seq[i].len);
        EXPECT_EQ(a->seq[i].offset, b->seq[i].offset);
        EXPECT_EQ(bases(a, (int)i, true), bases(b, (int)i, true));
    }
    size_t n_keys = 0;
    for (uint64_t i = 0; i < 1ULL << a->bucket_bits; ++i) {
        const ls_idx_hash *h = a->buckets[i].table;
        for (uint32_t j = 0; h && j < h->n_buckets; ++j) {
            if (!ls_idx_hash_exist(h, j)) continue;
            ++n_keys;
            const uint64_t hash = (h->keys[j] >> 1) << a->bucket_bits | i;
            int na, nb;
            const uint64_t *pa = ls_idx_lookup(a, hash, &na), *pb = ls_idx_lookup(b, hash, &nb);
            ASSERT_EQ(na, nb);
            EXPECT_TRUE(std::equal(pa, pa + na, pb));
        }
    }
    EXPECT_GT(n_keys, 100U);
    for (float f : {0.0002f, 0.01f, 0.3f, 1.0f, 2.0f}) EXPECT_EQ(ls_idx_max_occ(a, f), ls_idx_max_occ(b, f)) << f;
}

/* The parts of a random genome (written to t.fa), saved to out in format. */
std::vector<ls_idx *> saved_genome(const TempDir &dir, uint64_t seed, int n, int min_len, int max_len, ls_idxopt o,
                                   const std::string &out, int format, int *error) {
    auto g = random_genome(seed, n, min_len, max_len);
    lstest::write_file(dir.file("t.fa"), fasta(g, numbered_names(g.size())));
    return read_all(dir.file("t.fa"), &o, dir.file(out).c_str(), 2, error, format);
}

TEST(IndexMapped, AnswersExactlyAsTheStreamFormatFromAFileOrAStream) {
    TempDir dir;
    int e = -1;
    auto built = saved_genome(dir, 91, 30, 100, 9000, options(15, 10, 10, 5000, 60000), "s.idx",
                              LS_IDX_FORMAT_STREAM, &e);
    ASSERT_EQ(e, 0);
    ASSERT_GE(built.size(), 2U);
    // From the saved stream file to the mapped format, and back from it.
    auto streamed = read_all(dir.file("s.idx"), nullptr, dir.file("m.idx").c_str(), 1, &e, LS_IDX_FORMAT_MAPPED);
    auto mapped = read_all(dir.file("m.idx"), nullptr, nullptr, 1, &e);
    ASSERT_EQ(mapped.size(), built.size());
    for (size_t i = 0; i < built.size(); ++i) {
        EXPECT_EQ(streamed[i]->map, nullptr);
        ASSERT_NE(mapped[i]->map, nullptr);
        EXPECT_TRUE(mapped[i]->map->mapped);
        EXPECT_EQ(mapped[i]->part_index, (int)i);
        expect_same_part(built[i], mapped[i]);
    }
    // The same bytes from a stream that cannot be mapped, and after a part
    // of the stream format (so not at a multiple of 64 bytes).
    const std::string bytes = lstest::read_file(dir.file("m.idx"));
    EXPECT_EQ(bytes.size() % 64, 0U);
    FILE *fp = tmpfile();
    ASSERT_EQ(ls_idx_write(fp, built[0]), 0);
    ASSERT_NE(ftell(fp) % 64, 0);
    fwrite(bytes.data(), 1, bytes.size(), fp);
    rewind(fp);
    FILE *mem = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
    int status;
    ls_idx *first = ls_idx_load2(fp, "mixed", 0, &status);
    ASSERT_EQ(status, 1);
    for (size_t i = 0; i < built.size(); ++i) {
        for (FILE *f : {mem, fp}) {
            ls_idx *mi = ls_idx_load2(f, "stream", (int)i, &status);
            ASSERT_EQ(status, 1) << i;
            EXPECT_FALSE(mi->map->mapped);
            expect_same_part(built[i], mi);
            ls_idx_destroy(mi);
        }
    }
    EXPECT_EQ(ls_idx_load2(fp, "mixed", 9, &status), nullptr);
    EXPECT_EQ(status, 0);
    fclose(fp);
    fclose(mem);
    ls_idx_destroy(first);
    destroy_all(built);
    destroy_all(streamed);
    destroy_all(mapped);
}

/* Section table of the part starting at byte at of a mapped file: offset
 * and size of each of the nine sections, from the part's start. */
std::vector<std::pair<uint64_t, uint64_t>> sections(const std::string &f, size_t at) {
    std::vector<std::pair<uint64_t, uint64_t>> v;
    for (int s = 0; s < 9; ++s) {
        uint64_t off, size;
        memcpy(&off, f.data() + at + 40 + 24 * s, 8);
        memcpy(&size, f.data() + at + 40 + 24 * s + 8, 8);
        v.push_back({off, size});
    }
    return v;
}

/* Sets the stored checksums of section s (or only the header's, s < 0) of
 * the first part to those of the bytes as they are now. */
void reseal(std::string &f, int s) {
    if (s >= 0) {
        auto sec = sections(f, 0);
        uint32_t c = crc32_bitwise(f.substr(sec[s].first, sec[s].second), sec[s].second);
        memcpy(&f[40 + 24 * s + 16], &c, 4);
    }
    uint32_t c = crc32_bitwise(f, 256);
    memcpy(&f[256], &c, 4);
}

TEST(IndexMapped, DamagedFilesAreErrorsWithAMessageNeverACrash) {
    TempDir dir;
    int e = -1;
    auto parts = saved_genome(dir, 92, 8, 200, 3000, options(11, 5, 6, 3000, 9000), "m.idx", LS_IDX_FORMAT_MAPPED, &e);
    ASSERT_EQ(parts.size(), 2U);
    destroy_all(parts);
    const std::string good = lstest::read_file(dir.file("m.idx"));
    uint64_t first;
    memcpy(&first, good.data() + 32, 8);
    const auto sec = sections(good, 0);
    const std::string path = dir.file("bad.idx");
    auto expect_error = [&](const std::string &bytes, int parts_before, const std::string &words,
                            const std::string &why) {
        replace_file(path, bytes);
        testing::internal::CaptureStderr();
        auto res = load_through_reader(path);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(res, std::make_pair(parts_before, LS_IDX_ERR_INPUT)) << why;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << why << ": " << err;
        EXPECT_NE(err.find("'" + path + "', part " + std::to_string(parts_before) + ": "), std::string::npos) << err;
        EXPECT_NE(err.find(words), std::string::npos) << why << ": " << err;
    };
    // Cut at each section's start, inside it, and at the end of each part.
    for (const auto &s : sec)
        for (uint64_t cut : {s.first, s.first + 1, s.first + s.second / 2})
            if (cut < first) expect_error(good.substr(0, cut), 0, "", "cut at " + std::to_string(cut));
    expect_error(good.substr(0, first - 1), 0, "the part would need", "first part short by one byte");
    expect_error(good.substr(0, good.size() - 64), 1, "the part would need", "second part short");
    // A flipped bit in each section and in the header.
    expect_error(std::string(good).replace(9, 1, 1, good[9] ^ 4), 0, "header checksum mismatch", "header");
    for (int s = 0; s < 9; ++s) {
        if (sec[s].second == 0) continue;
        for (uint64_t at : {sec[s].first, sec[s].first + sec[s].second - 1}) {
            std::string bad = good;
            bad[at] ^= 0x10;
            expect_error(bad, 0, "checksum mismatch in the", "section " + std::to_string(s));
        }
    }
    // Offsets and sizes that point outside the part, sealed with checksums
    // that match, and contents that contradict each other.
    struct Patch {
        size_t at;
        uint64_t value;
        int section; /* whose checksum to recompute, -1: the header only */
        const char *words;
    } patches[] = {
        {40 + 24 * 3, first, -1, "lies outside the part"},          // positions start at the part's end
        {40 + 24 * 7 + 8, ~0ULL / 2, -1, "lies outside the part"},   // a huge packed-bases size
        {40 + 24 * 2, sec[1].first, -1, "lies outside the part"},   // buckets before the names end
        {32, first + 1, -1, "invalid part size"},
        {(size_t)sec[0].first + 24, 1, 0, "target 1: offset"},      // target 1's offset
        {(size_t)sec[0].first + 8, 1U << 20, 0, "its name lies outside"},
        {(size_t)sec[2].first + 8, ~0ULL, 2, "lies outside the tables"}, // bucket 0's first slot
        {(size_t)sec[3].first, (uint64_t)999 << 32, 3, "points outside the targets"},
    };
    for (const Patch &p : patches) {
        if (p.section == 3 && sec[3].second == 0) continue;
        std::string bad = good;
        memcpy(&bad[p.at], &p.value, 8);
        reseal(bad, p.section);
        expect_error(bad, 0, p.words, p.words);
        // Unchecked loads still refuse arrays outside the part.
        if (p.section != 3) {
            Verbosity v(0);
            EXPECT_EQ(load_through_reader(path, false), std::make_pair(0, LS_IDX_ERR_INPUT)) << p.words;
        }
    }
    // What unchecked loads let through: damage inside the bases.
    std::string bad = good;
    bad[sec[7].first] ^= 1;
    Verbosity v(0);
    replace_file(path, bad);
    EXPECT_EQ(load_through_reader(path, false), std::make_pair(2, 0));
    EXPECT_EQ(load_through_reader(path, true), std::make_pair(0, LS_IDX_ERR_INPUT));
}

} // namespace
