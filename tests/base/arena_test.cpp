#include "base/arena.h"
#include "base/big_alloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
/* The out-of-memory test asks for 2^62 bytes: the system allocator must say
 * no with a null pointer rather than have the sanitizer stop the process. */
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

/* The size word in front of an arena block, in 16-byte units. */
size_t units_of(const void *p) {
    return static_cast<const size_t *>(p)[-1];
}

km_stats stats(const km_arena *km) {
    km_stats s;
    km_stat(km, &s);
    return s;
}

/* Everything returned: each core is one free block and only its header unit is used. */
void expect_all_free(const km_arena *km) {
    km_stats s = stats(km);
    EXPECT_EQ(s.n_blocks, s.n_cores);
    EXPECT_EQ(s.available, s.capacity - 16 * s.n_cores);
}

} // namespace

TEST(Arena, FirstAllocationTakesOneDefaultCore) {
    km_arena *km = km_create();
    km_stats s = stats(km);
    EXPECT_EQ(s.capacity + s.available + s.n_blocks + s.n_cores + s.largest, 0u); /* never allocated */
    void *p = km_malloc(km, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    EXPECT_EQ(units_of(p), 1u);
    s = stats(km);
    EXPECT_EQ(s.n_cores, 1u);
    EXPECT_EQ(s.capacity, 8388608u);
    EXPECT_EQ(s.largest, 8388608u);
    EXPECT_EQ(s.n_blocks, 1u);
    EXPECT_EQ(s.available, (524288u - 2) * 16); /* core header and the 1-unit block */
    kfree(km, p);
    expect_all_free(km);
    km_release(km);
}

TEST(Arena, UnitsCarvingAndRoving) {
    km_arena *km = km_create();
    /* (n + 23) / 16 units; a block of u units offers 16u - 8 bytes. */
    const size_t sizes[] = {1, 8, 9, 24, 25, 40, 41, 100};
    const size_t units[] = {1, 1, 2, 2, 3, 3, 4, 7};
    char *prev = nullptr;
    for (int i = 0; i < 8; ++i) {
        char *p = static_cast<char *>(km_malloc(km, sizes[i]));
        EXPECT_EQ(units_of(p), units[i]) << sizes[i];
        /* Blocks are carved from the top of the free block, each right below the last. */
        if (prev) { EXPECT_EQ(prev - p, (ptrdiff_t)(units[i] * 16)); }
        prev = p;
    }
    /* A freed block becomes the roving head and the next walk starts after
     * it, so the walk reaches the big block before coming back to the hole. */
    char *a = static_cast<char *>(km_malloc(km, 100));
    char *g = static_cast<char *>(km_malloc(km, 100));
    char *h = static_cast<char *>(km_malloc(km, 100));
    kfree(km, a);
    char *b = static_cast<char *>(km_malloc(km, 100));
    EXPECT_EQ(b, h - 7 * 16);
    kfree(km, g); /* joins the free a above: a 14-unit hole */
    EXPECT_EQ(stats(km).n_blocks, 2u);
    kfree(km, b); /* joins the big block below, now the roving head */
    /* The walk now meets the hole first, and an exact fit is unlinked whole. */
    char *d = static_cast<char *>(km_malloc(km, 14 * 16 - 8));
    EXPECT_EQ(d, g);
    EXPECT_EQ(units_of(d), 14u);
    EXPECT_EQ(stats(km).n_blocks, 1u);
    km_release(km);
}

TEST(Arena, FreeingFourBlocksInEveryOrderLeavesOneBlockPerCore) {
    const size_t sizes[4] = {1, 24, 1000, 70000};
    int order[4] = {0, 1, 2, 3};
    int n_orders = 0;
    do {
        km_arena *km = km_create_in(nullptr, 4096); /* 64 KiB cores: the last block needs its own */
        void *p[4];
        for (int i = 0; i < 4; ++i) p[i] = km_malloc(km, sizes[i]);
        EXPECT_EQ(stats(km).n_cores, 2u);
        for (int i = 0; i < 4; ++i) kfree(km, p[order[i]]);
        expect_all_free(km);
        km_release(km);
        ++n_orders;
    } while (std::next_permutation(order, order + 4));
    EXPECT_EQ(n_orders, 24);
}

TEST(Arena, LargeRequestsRoundTheCoreUp) {
    km_arena *km = km_create();
    void *p = km_malloc(km, 8388608); /* 524289 units + header: two minimum cores */
    km_stats s = stats(km);
    EXPECT_EQ(s.n_cores, 1u);
    EXPECT_EQ(s.capacity, 16777216u);
    EXPECT_EQ(s.available, (1048576u - 1 - 524289) * 16);
    void *q = km_malloc(km, 3 * 8388608); /* 1572865 units: a 32 MiB core */
    s = stats(km);
    EXPECT_EQ(s.n_cores, 2u);
    EXPECT_EQ(s.capacity, 16777216u + 33554432u);
    EXPECT_EQ(s.largest, 33554432u);
    /* A request of exactly one minimum core in units still needs a header unit more. */
    void *r = km_malloc(km, 524288 * 16 - 8);
    EXPECT_EQ(units_of(r), 524288u);
    memset(p, 1, 8388608);
    memset(q, 2, 3 * 8388608);
    kfree(km, q);
    kfree(km, p);
    kfree(km, r);
    expect_all_free(km);
    km_release(km);
}

TEST(Arena, ReallocNeverShrinksAndGrowsInPlaceWhileItFits) {
    km_arena *km = km_create();
    char *p = static_cast<char *>(km_malloc(km, 100));
    for (int i = 0; i < 100; ++i) p[i] = (char)i;
    EXPECT_EQ(km_realloc(km, p, 10), p);
    EXPECT_EQ(km_realloc(km, p, 104), p); /* 7 units offer 104 bytes */
    char *q = static_cast<char *>(km_realloc(km, p, 105));
    EXPECT_NE(q, p);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(q[i], (char)i);
    /* 24 bytes: 2 units offering 24 bytes. */
    char *r = static_cast<char *>(km_malloc(km, 24));
    EXPECT_EQ(units_of(r), 2u);
    EXPECT_EQ(km_realloc(km, r, 24), r);
    memcpy(r, "0123456789abcdefghijklmn", 24);
    char *t = static_cast<char *>(km_realloc(km, r, 25));
    EXPECT_NE(t, r);
    EXPECT_EQ(std::string(t, 24), "0123456789abcdefghijklmn");
    EXPECT_EQ(km_realloc(km, nullptr, 5) != nullptr, true);
    EXPECT_EQ(km_realloc(km, t, 0), nullptr); /* frees */
    kfree(km, q);
    /* Only the 5-byte block (1 unit) is still out; it was carved from the
     * top of the freed first block, so the rest has merged into one. */
    km_stats s = stats(km);
    EXPECT_EQ(s.n_blocks, 1u);
    EXPECT_EQ(s.available, s.capacity - 16 - 16);
    km_release(km);
}

TEST(Arena, MoveCopiesIntoAFreshBlock) {
    /* 1 KiB cores: each block below starts a core of its own and sits at its
     * top, so copying past a block would read past the core (which the
     * sanitizer build reports). */
    km_arena *km = km_create_in(nullptr, 64);
    char *p = static_cast<char *>(km_malloc(km, 1000));
    for (int i = 0; i < 1000; ++i) p[i] = (char)(i * 7);
    char *q = static_cast<char *>(km_move(km, p, 300));
    EXPECT_NE(q, p);
    EXPECT_EQ(units_of(q), (300u + 23) / 16);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(q[i], (char)(i * 7));
    /* Moving to more than the block holds copies only what it holds. */
    char *r = static_cast<char *>(km_move(km, q, 5000));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(r[i], (char)(i * 7));
    EXPECT_EQ(km_move(km, nullptr, 10), nullptr);
    EXPECT_EQ(stats(km).n_cores, 3u);
    EXPECT_EQ(km_move(km, r, 0), nullptr); /* frees r */
    expect_all_free(km);
    km_release(km);
}

TEST(Arena, NullArenaIsTheSystemAllocator) {
    EXPECT_EQ(km_malloc(nullptr, 0), nullptr);
    EXPECT_EQ(km_calloc(nullptr, 0, 8), nullptr);
    EXPECT_EQ(km_calloc(nullptr, 8, 0), nullptr);
    char *p = static_cast<char *>(km_calloc(nullptr, 10, 10));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    p = static_cast<char *>(km_realloc(nullptr, p, 1000)); /* may shrink or move: plain realloc */
    p[999] = 1;
    EXPECT_EQ(km_move(nullptr, p, 10), p);
    free(p); /* system memory: free works as well as kfree */
    char *q = static_cast<char *>(km_realloc(nullptr, nullptr, 10));
    q = static_cast<char *>(km_realloc(nullptr, q, 5));
    EXPECT_EQ(km_realloc(nullptr, q, 0), nullptr);
    void *r = km_malloc(nullptr, 3);
    kfree(nullptr, r);
    kfree(nullptr, nullptr);
    km_stats s = stats(nullptr);
    EXPECT_EQ(s.capacity + s.available + s.n_blocks + s.n_cores + s.largest, 0u);
    km_release(nullptr);
    /* And a real arena with empty arguments. */
    km_arena *km = km_create();
    EXPECT_EQ(km_malloc(km, 0), nullptr);
    EXPECT_EQ(km_calloc(km, 0, 3), nullptr);
    kfree(km, nullptr);
    EXPECT_EQ(stats(km).n_cores, 0u);
    km_release(km);
}

TEST(Arena, ChildArenaTakesItsCoresFromTheParent) {
    km_arena *parent = km_create();
    km_arena *child = km_create_in(parent, 0);
    void *p = km_malloc(child, 1);
    /* The child's record took 4 parent units, so its first core (524286
     * units, a parent block of 524287) no longer fits the first parent core;
     * it fills the body of a second one exactly. */
    km_stats c = stats(child), s = stats(parent);
    EXPECT_EQ(c.capacity, 524286u * 16);
    EXPECT_EQ(s.n_cores, 2u);
    EXPECT_EQ(s.capacity, 2u * 8388608);
    EXPECT_EQ(s.n_blocks, 1u);
    EXPECT_EQ(s.available, (524287u - 4) * 16);
    /* A grandchild with small cores, and a child of a parent with tiny cores. */
    km_arena *grand = km_create_in(child, 64);
    km_arena *tiny = km_create_in(nullptr, 2);
    km_arena *tiny_child = km_create_in(tiny, 0);
    std::vector<void *> blocks;
    for (int i = 1; i < 200; ++i) {
        blocks.push_back(km_calloc(grand, i, 3));
        blocks.push_back(km_malloc(tiny_child, i * 5));
    }
    kfree(child, p);
    km_release(grand);
    km_release(tiny_child);
    expect_all_free(child);
    expect_all_free(tiny);
    km_release(child);
    expect_all_free(parent);
    km_release(parent);
    km_release(tiny);
}

namespace {

struct LiveBlock {
    unsigned char *p;
    size_t n;
    unsigned seed;
};

unsigned char pattern(unsigned seed, size_t i) {
    return (unsigned char)(seed * 0x9e3779b1u + i * 131u + (i >> 8));
}

void fill(LiveBlock &b, unsigned seed) {
    b.seed = seed;
    for (size_t i = 0; i < b.n; ++i) b.p[i] = pattern(seed, i);
}

bool intact(const LiveBlock &b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (b.p[i] != pattern(b.seed, i)) return false;
    return true;
}

/* Blocks lie apart and every byte of the arena is accounted for: live
 * blocks, free blocks and one header unit per core. */
void check_layout(const km_arena *km, std::vector<LiveBlock> live) {
    std::sort(live.begin(), live.end(), [](const LiveBlock &a, const LiveBlock &b) { return a.p < b.p; });
    uint64_t used = 0;
    for (size_t i = 0; i < live.size(); ++i) {
        size_t u = units_of(live[i].p);
        ASSERT_GE(u * 16 - 8, live[i].n);
        used += u * 16;
        if (i + 1 < live.size()) { ASSERT_LE(live[i].p - 8 + u * 16, live[i + 1].p - 8); }
    }
    km_stats s = stats(km);
    ASSERT_EQ(s.capacity, s.available + used + 16 * s.n_cores);
}

void stress(km_arena *km, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<LiveBlock> live;
    auto rand_size = [&]() -> size_t {
        unsigned r = rng() % 100;
        if (r < 60) return 1 + rng() % 64;
        if (r < 95) return 1 + rng() % 4096;
        return 1 + rng() % 200000; /* above the small test cores */
    };
    for (int op = 0; op < 6000; ++op) {
        unsigned r = rng() % 100;
        if (live.size() < 50 || r < 35) { /* malloc or calloc */
            LiveBlock b;
            b.n = rand_size();
            if (r & 1) {
                b.p = static_cast<unsigned char *>(km_calloc(km, b.n, 1));
                for (size_t i = 0; i < b.n; ++i) ASSERT_EQ(b.p[i], 0);
            } else {
                b.p = static_cast<unsigned char *>(km_malloc(km, b.n));
            }
            fill(b, (unsigned)op);
            live.push_back(b);
        } else if (r < 65) { /* free */
            size_t k = rng() % live.size();
            ASSERT_TRUE(intact(live[k], live[k].n));
            kfree(km, live[k].p);
            live[k] = live.back();
            live.pop_back();
        } else if (r < 90) { /* realloc, growing or shrinking */
            LiveBlock &b = live[rng() % live.size()];
            size_t n = rng() % 2 ? b.n * 2 + rng() % 64 : 1 + rng() % b.n;
            unsigned char *q = static_cast<unsigned char *>(km_realloc(km, b.p, n));
            if (km && n <= b.n) { ASSERT_EQ(q, b.p); }
            b.p = q;
            ASSERT_TRUE(intact(b, std::min(n, b.n)));
            b.n = n;
            fill(b, (unsigned)op);
        } else { /* km_move */
            LiveBlock &b = live[rng() % live.size()];
            size_t n = 1 + rng() % b.n;
            b.p = static_cast<unsigned char *>(km_move(km, b.p, n));
            ASSERT_TRUE(intact(b, n));
            b.n = n;
        }
        if (km && op % 97 == 0) check_layout(km, live);
    }
    for (const LiveBlock &b : live) ASSERT_TRUE(intact(b, b.n));
    if (km) check_layout(km, live);
    std::shuffle(live.begin(), live.end(), rng);
    for (const LiveBlock &b : live) kfree(km, b.p);
    if (km) expect_all_free(km);
}

} // namespace

TEST(Arena, RandomizedStressAgainstAShadowModel) {
    km_arena *big = km_create();
    stress(big, 1);
    EXPECT_EQ(stats(big).n_cores, 1u);
    km_release(big);

    km_arena *small = km_create_in(nullptr, 4096);
    stress(small, 2);
    EXPECT_GT(stats(small).n_cores, 3u); /* many cores whose free blocks interleave */
    km_release(small);

    km_arena *parent = km_create_in(nullptr, 8192);
    km_arena *child = km_create_in(parent, 0);
    stress(child, 3);
    km_release(child);
    expect_all_free(parent);
    km_release(parent);

    stress(nullptr, 4);
}

TEST(Arena, StatPrintLine) {
    testing::internal::CaptureStderr();
    km_stat_print(nullptr);
    km_arena *km = km_create();
    km_stat_print(km);
    void *p = km_malloc(km, 1);
    km_stat_print(km);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[km_stat] cap=0, avail=0, largest=0, n_core=0, n_block=0\n"
                   "[km_stat] cap=0, avail=0, largest=0, n_core=0, n_block=0\n"
                   "[km_stat] cap=8388608, avail=8388576, largest=8388608, n_core=1, n_block=1\n");
    kfree(km, p);
    km_release(km);
}

TEST(ArenaDeathTest, CorruptionAndExhaustionAbortWithTheirMessages) {
    km_arena *km = km_create();
    char *a = static_cast<char *>(km_malloc(km, 100));
    char *b = static_cast<char *>(km_malloc(km, 100));
    char *c = static_cast<char *>(km_malloc(km, 100));
    char *d = static_cast<char *>(km_malloc(km, 100));
    /* c lies between allocated b and d: freed twice it is its own free block. */
    kfree(km, c);
    EXPECT_DEATH(kfree(km, c), "\\[kfree\\] The end of the allocated block enters a free block\\.\n");
    /* A size word grown over the free block above. */
    EXPECT_DEATH(
        {
            reinterpret_cast<size_t *>(d)[-1] += 1;
            kfree(km, d);
        },
        "\\[kfree\\] The end of the allocated block enters a free block\\.\n");
    /* Free the top block a and grow the free c over b into a: the statistics
     * walk sees it (c + 15 units is one unit into a). */
    kfree(km, a);
    EXPECT_DEATH(
        {
            reinterpret_cast<size_t *>(c)[-1] += 8;
            km_stat_print(km);
        },
        "\\[km_stat\\] The end of a free block enters another free block\\.\n");
    /* d merges with the big free block below and with c above; freed again
     * it lies inside that block. */
    kfree(km, d);
    EXPECT_EQ(stats(km).n_blocks, 2u);
    EXPECT_DEATH(kfree(km, d), "\\[kfree\\] The end of a free block enters the allocated block\\.\n");
    EXPECT_DEATH(km_malloc(km, (size_t)1 << 62), "out of memory: morecore asked for [0-9]+ bytes\n");
    EXPECT_DEATH(km_malloc(km, SIZE_MAX), "\\[morecore\\] insufficient memory\n");
    EXPECT_DEATH(km_calloc(km, SIZE_MAX / 2, 3), "\\[morecore\\] insufficient memory\n");
    kfree(km, b);
    expect_all_free(km);
    km_release(km);
}

// Large arrays keep their bytes through every resize, between the heap and a
// mapping in both directions; bytes past the old size read as zero, also
// where an earlier larger size left data; a released range reads as zero in
// its whole pages and keeps the bytes it shares a page with.
TEST(BigAlloc, ResizesKeepBytesAndReleaseDropsWholePages) {
    auto fill = [](unsigned char *p, size_t n, unsigned seed) {
        for (size_t i = 0; i < n; ++i) p[i] = (unsigned char)(i * 31 + seed) | 1;
    };
    unsigned char *p = nullptr;
    size_t size = 0;
    unsigned seed = 0;
    const size_t big = (3UL << 20) + 7;
    for (size_t next : {100UL, 5000UL, 2UL << 20, big, big - 6, big, 1000UL, big, 1UL << 22}) {
        p = static_cast<unsigned char *>(ls_big_realloc(p, next));
        ASSERT_NE(p, nullptr);
        for (size_t i = 0; i < std::min(size, next); ++i)
            ASSERT_EQ(p[i], (unsigned char)((i * 31 + seed) | 1)) << next << " " << i;
        for (size_t i = size; i < next; ++i) ASSERT_EQ(p[i], 0) << next << " " << i;
        fill(p, next, ++seed);
        size = next;
    }
    const size_t lo = 12345, hi = 3000000;
    ls_release_pages(p + lo, hi - lo);
    size_t zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (i < lo || i >= hi)
            ASSERT_EQ(p[i], (unsigned char)((i * 31 + seed) | 1)) << i;
        else
            zeros += p[i] == 0;
    }
    EXPECT_GT(zeros, hi - lo - 2 * 65536); // all but the partial pages at both ends
    ls_big_free(p);
    unsigned char *z = static_cast<unsigned char *>(ls_big_alloc(3 << 20));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(*std::max_element(z, z + (3 << 20)), 0);
    ls_big_free(z);
}
