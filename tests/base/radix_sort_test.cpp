#include "base/diagnostics.h"
#include "base/radix_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

const size_t kSizes[] = {0, 1, 2, 63, 64, 65, 1000, 100000};

enum class KeyKind { Random, LowByteOnly, AllEqual, RandomHigh, FewDistinct };
const KeyKind kKinds[] = {KeyKind::Random, KeyKind::LowByteOnly, KeyKind::AllEqual, KeyKind::RandomHigh,
                          KeyKind::FewDistinct};

std::vector<uint64_t> make_keys(size_t n, KeyKind kind, uint64_t seed) {
    std::mt19937_64 rng(seed);
    // A common prefix with bits set throughout, so that the passes over the
    // shared bytes see a single bucket each.
    const uint64_t base = 0x9e3779b97f4a7c00ULL;
    std::vector<uint64_t> keys(n);
    for (auto &k : keys) {
        switch (kind) {
        case KeyKind::Random:
            k = rng();
            break;
        case KeyKind::LowByteOnly:
            k = base | (rng() & 0xff);
            break;
        case KeyKind::AllEqual:
            k = base;
            break;
        case KeyKind::RandomHigh:
            k = (rng() & 0xffff000000000000ULL) | (rng() % 1000);
            break;
        case KeyKind::FewDistinct:
            k = (rng() % 7) << 40;
            break;
        }
    }
    return keys;
}

std::string what(size_t n, KeyKind kind) {
    return "n=" + std::to_string(n) + " kind=" + std::to_string((int)kind);
}

TEST(RadixSort, Sort128xMatchesStdSortOnKeyAndKeepsRecords) {
    for (KeyKind kind : kKinds) {
        for (size_t n : kSizes) {
            std::vector<uint64_t> keys = make_keys(n, kind, 11 + n);
            std::vector<ls128> in(n);
            for (size_t i = 0; i < n; ++i) in[i] = ls128{keys[i], i * 2654435761ULL};
            std::vector<ls128> got = in;
            ls_sort_128x(got.data(), got.data() + n);
            std::vector<ls128> want = in;
            std::sort(want.begin(), want.end(), [](const ls128 &a, const ls128 &b) { return a.x < b.x; });
            bool same_keys = true;
            for (size_t i = 0; i < n; ++i) same_keys = same_keys && got[i].x == want[i].x;
            EXPECT_TRUE(same_keys) << what(n, kind);
            // Same multiset of whole records: compare after a full sort.
            auto full = [](const ls128 &a, const ls128 &b) { return a.x != b.x ? a.x < b.x : a.y < b.y; };
            std::sort(got.begin(), got.end(), full);
            std::sort(want.begin(), want.end(), full);
            bool same_records = true;
            for (size_t i = 0; i < n; ++i)
                same_records = same_records && got[i].x == want[i].x && got[i].y == want[i].y;
            EXPECT_TRUE(same_records) << what(n, kind);
        }
    }
}

TEST(RadixSort, Sort64MatchesStdSort) {
    for (KeyKind kind : kKinds) {
        for (size_t n : kSizes) {
            std::vector<uint64_t> got = make_keys(n, kind, 99 + n);
            std::vector<uint64_t> want = got;
            ls_sort_64(got.data(), got.data() + n);
            std::sort(want.begin(), want.end());
            EXPECT_TRUE(got == want) << what(n, kind);
        }
    }
}

TEST(RadixSort, ShortRangesAreInsertionSortedAndKeepEqualKeysInOrder) {
    std::mt19937_64 rng(5);
    for (size_t n : {2, 17, 64}) {
        std::vector<ls128> a(n);
        for (size_t i = 0; i < n; ++i) a[i] = ls128{rng() % 4, i};
        ls_sort_128x(a.data(), a.data() + n);
        for (size_t i = 1; i < n; ++i) {
            ASSERT_LE(a[i - 1].x, a[i].x);
            if (a[i - 1].x == a[i].x) { ASSERT_LT(a[i - 1].y, a[i].y) << "n=" << n; }
        }
    }
    // The insertion sort on its own keeps equal keys in order at any length.
    std::vector<ls128> b(500);
    for (size_t i = 0; i < b.size(); ++i) b[i] = ls128{rng() % 10, i};
    rs_insertsort_128x(b.data(), b.data() + b.size());
    for (size_t i = 1; i < b.size(); ++i)
        ASSERT_TRUE(b[i - 1].x < b[i].x || (b[i - 1].x == b[i].x && b[i - 1].y < b[i].y));
    // One record and an empty range are left alone.
    ls128 one = {7, 8};
    ls_sort_128x(&one, &one + 1);
    ls_sort_128x(&one, &one);
    EXPECT_EQ(one.x, 7u);
    EXPECT_EQ(one.y, 8u);
}

TEST(RadixSort, WorkerSortsOnlyTheBitsFromItsShiftDown) {
    std::vector<uint64_t> keys = make_keys(20000, KeyKind::Random, 3);
    // Fewer bits per pass and shifts not on byte boundaries still end at bit 0.
    struct {
        int n_bits, s;
    } full_cover[] = {{3, 61}, {5, 59}, {8, 56}, {1, 63}};
    for (auto c : full_cover) {
        std::vector<uint64_t> got = keys, want = keys;
        rs_sort_64(got.data(), got.data() + got.size(), c.n_bits, c.s);
        std::sort(want.begin(), want.end());
        EXPECT_TRUE(got == want) << c.n_bits << " " << c.s;
    }
    // Starting at shift 40 with 8 bits distributes on bits 40..47 and
    // ignores the bits above them.
    std::vector<uint64_t> got = keys;
    rs_sort_64(got.data(), got.data() + got.size(), 8, 40);
    for (size_t i = 1; i < got.size(); ++i) ASSERT_LE((got[i - 1] >> 40) & 0xff, (got[i] >> 40) & 0xff) << i;
    EXPECT_FALSE(std::is_sorted(got.begin(), got.end()));
    std::vector<uint64_t> a = keys, b = got;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_TRUE(a == b);
}

TEST(RadixSortDeathTest, MoreThanEightBitsPerPassIsFatal) {
    std::vector<ls128> a(100, ls128{1, 2});
    EXPECT_DEATH(rs_sort_128x(a.data(), a.data() + a.size(), 9, 55), "n_bits <= RS_MAX_BITS");
}

template <typename T> void check_select(T (*select)(size_t, T *, size_t), uint64_t seed) {
    std::mt19937_64 rng(seed);
    // Every rank of small arrays, with many ties and with wide values.
    for (size_t n = 1; n <= 24; ++n) {
        for (uint64_t range : {3ULL, 1000000ULL}) {
            std::vector<T> in(n);
            for (auto &v : in) v = (T)(rng() % range);
            std::vector<T> sorted = in;
            std::sort(sorted.begin(), sorted.end());
            for (size_t k = 0; k < n; ++k) {
                std::vector<T> a = in;
                ASSERT_EQ(select(n, a.data(), k), sorted[k]) << "n=" << n << " k=" << k;
                std::sort(a.begin(), a.end());
                ASSERT_TRUE(a == sorted) << "not a permutation";
            }
        }
    }
    // Random ranks of larger arrays, including sorted, reversed and constant.
    // (Reversed input is slow for this pivot rule at small ranks, hence the
    // moderate size.)
    const size_t n = 20000;
    std::vector<T> in(n);
    for (auto &v : in) v = (T)rng();
    std::vector<std::vector<T>> inputs = {in, in, in, std::vector<T>(n, (T)42)};
    std::sort(inputs[1].begin(), inputs[1].end());
    std::sort(inputs[2].rbegin(), inputs[2].rend());
    for (const auto &input : inputs) {
        std::vector<T> sorted = input;
        std::sort(sorted.begin(), sorted.end());
        std::vector<size_t> ks = {0, n - 1, n / 2};
        for (int r = 0; r < 5; ++r) ks.push_back(rng() % n);
        for (size_t k : ks) {
            std::vector<T> a = input;
            ASSERT_EQ(select(n, a.data(), k), sorted[k]) << "k=" << k;
        }
    }
}

TEST(Select, MatchesSortingAtEveryRank) {
    check_select<uint32_t>(ls_select_u32, 1);
    check_select<uint64_t>(ls_select_u64, 2);
    uint32_t hand[] = {9, 1, 8, 2, 7};
    EXPECT_EQ(ls_select_u32(5, hand, 2), 7u);
}

TEST(SelectDeathTest, RankOutsideTheArrayIsFatal) {
    uint64_t a[3] = {3, 2, 1};
    EXPECT_DEATH(ls_select_u64(3, a, 3), "k < n");
}

template <typename T>
void check_heap(void (*make)(size_t, T *), void (*adjust)(size_t, size_t, T *), uint64_t seed) {
    // Worked by hand: 3 sinks to the right (7 is larger), then 2 to the
    // right of its children (5 over 4), then 1 down the path 7, 6.
    T hand[] = {1, 2, 3, 4, 5, 6, 7};
    make(7, hand);
    EXPECT_EQ(std::vector<T>(hand, hand + 7), (std::vector<T>{7, 5, 6, 4, 2, 1, 3}));
    // Equal children: the left one moves up.
    T tie[] = {1, 5, 5};
    adjust(0, 3, tie);
    EXPECT_EQ(std::vector<T>(tie, tie + 3), (std::vector<T>{5, 1, 5}));
    // A child equal to the sifted value still moves up, so the walk goes on
    // and lifts the 7 below it.
    T eq[] = {5, 5, 5, 7};
    adjust(0, 4, eq);
    EXPECT_EQ(std::vector<T>(eq, eq + 4), (std::vector<T>{5, 7, 5, 5}));
    adjust(0, 0, eq); // empty heap: untouched

    std::mt19937_64 rng(seed);
    for (size_t n : {0, 1, 2, 3, 10, 31, 32, 33, 1000}) {
        for (uint64_t range : {4ULL, 1ULL << 40}) {
            std::vector<T> a(n);
            for (auto &v : a) v = (T)(rng() % range);
            std::vector<T> sorted = a;
            std::sort(sorted.begin(), sorted.end());
            make(n, a.data());
            for (size_t i = 1; i < n; ++i) ASSERT_GE(a[(i - 1) / 2], a[i]) << "n=" << n << " i=" << i;
            std::vector<T> popped;
            for (size_t m = n; m > 0; --m) {
                popped.push_back(a[0]);
                std::swap(a[0], a[m - 1]);
                adjust(0, m - 1, a.data());
            }
            std::vector<T> desc(sorted.rbegin(), sorted.rend());
            ASSERT_TRUE(popped == desc) << "n=" << n;
            ASSERT_TRUE(a == sorted) << "n=" << n;
        }
    }
}

TEST(Heap, MakeGivesHeapAndPopsComeOutDescending) {
    check_heap<uint64_t>(ls_heap_make_u64, ls_heap_adjust_u64, 7);
    check_heap<uint32_t>(ls_heap_make_u32, ls_heap_adjust_u32, 8);
}

} // namespace
