#include "base/threads.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

/* ---- parallel loop ---- */

struct ForCheck {
    int n_threads;
    std::vector<std::atomic<int>> runs;   // calls per index
    std::vector<std::atomic<int>> in_tid; // calls running per thread index
    std::atomic<bool> bad_tid{false}, tid_shared{false};
    ForCheck(int t, long n) : n_threads(t), runs(n), in_tid(t > 0 ? t : 1) {}
};

void for_count(void *data, long i, int tid) {
    auto *c = static_cast<ForCheck *>(data);
    if (tid < 0 || tid >= (int)c->in_tid.size()) {
        c->bad_tid = true;
        return;
    }
    if (c->in_tid[tid].fetch_add(1) != 0) c->tid_shared = true;
    c->runs[i].fetch_add(1);
    if (i % 7 == 0) std::this_thread::yield();
    c->in_tid[tid].fetch_sub(1);
}

TEST(ParallelFor, EveryIndexRunsExactlyOnceWithAThreadIndexInRange) {
    for (int t : {2, 3, 4, 7, 16}) {
        for (long n : {0L, 1L, 2L, 3L, 5L, 15L, 16L, 17L, 1000L, 10007L}) {
            ForCheck c(t, n);
            ls_parallel_for(t, for_count, &c, n);
            EXPECT_FALSE(c.bad_tid) << t << " " << n;
            EXPECT_FALSE(c.tid_shared) << t << " " << n;
            long wrong = 0;
            for (long i = 0; i < n; ++i) wrong += c.runs[i].load() != 1;
            EXPECT_EQ(wrong, 0) << "threads=" << t << " n=" << n;
        }
    }
}

struct Ordered {
    std::thread::id caller;
    std::vector<long> order;
    bool other_thread = false, nonzero_tid = false;
};

void for_record(void *data, long i, int tid) {
    auto *o = static_cast<Ordered *>(data);
    o->order.push_back(i);
    o->other_thread |= std::this_thread::get_id() != o->caller;
    o->nonzero_tid |= tid != 0;
}

TEST(ParallelFor, BelowTwoThreadsRunsInOrderOnTheCallingThread) {
    for (int t : {1, 0, -3}) {
        Ordered o;
        o.caller = std::this_thread::get_id();
        ls_parallel_for(t, for_record, &o, 50);
        std::vector<long> want(50);
        for (long i = 0; i < 50; ++i) want[i] = i;
        EXPECT_EQ(o.order, want) << t;
        EXPECT_FALSE(o.other_thread);
        EXPECT_FALSE(o.nonzero_tid);
    }
}

/* Index 0 blocks until every other index has run. Thread 0's remaining
 * share (3, 6, 9, ... with 3 threads) can then only be done by the other
 * threads stealing from it, so without stealing this would wait forever;
 * the wait gives up after a minute so that a fault fails instead of hangs. */
struct Blocker {
    long n;
    std::atomic<long> done{0};
    std::atomic<bool> gave_up{false};
    std::vector<std::atomic<int>> runs;
    explicit Blocker(long n_) : n(n_), runs(n_) {}
};

void for_block_first(void *data, long i, int) {
    auto *b = static_cast<Blocker *>(data);
    if (i == 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (b->done.load() != b->n - 1) {
            if (std::chrono::steady_clock::now() > deadline) {
                b->gave_up = true;
                break;
            }
            std::this_thread::yield();
        }
    }
    b->runs[i].fetch_add(1);
    b->done.fetch_add(1);
}

TEST(ParallelFor, IdleThreadsStealFromTheShareFurthestBehind) {
    for (int t : {2, 3, 5}) {
        Blocker b(300);
        ls_parallel_for(t, for_block_first, &b, b.n);
        EXPECT_FALSE(b.gave_up) << t;
        long wrong = 0;
        for (long i = 0; i < b.n; ++i) wrong += b.runs[i].load() != 1;
        EXPECT_EQ(wrong, 0);
    }
}

/* ---- pipeline ---- */

struct Batch {
    long id;
    int last_step;
};

struct PipeCheck {
    int n_steps;
    long n_batches;
    int null_step = -1; // step that returns null for batch null_batch
    long null_batch = -1;
    long made = 0, step0_calls = 0; // touched by step 0 only
    std::vector<std::vector<long>> seen;
    std::vector<std::atomic<int>> in_step;
    std::atomic<int> live{0}, max_live{0};
    std::atomic<bool> bad{false};
    PipeCheck(int s, long n) : n_steps(s), n_batches(n), seen(s), in_step(s) {}
};

void *pipe_step(void *shared, int step, void *in) {
    auto *c = static_cast<PipeCheck *>(shared);
    if (step < 0 || step >= c->n_steps) {
        c->bad = true;
        return nullptr;
    }
    if (c->in_step[step].fetch_add(1) != 0) c->bad = true; // two batches in one step at once
    std::this_thread::yield();
    void *out = nullptr;
    if (step == 0) {
        if (in) c->bad = true;
        ++c->step0_calls;
        if (c->made < c->n_batches) {
            long id = c->made++;
            c->seen[0].push_back(id);
            if (c->n_steps == 1) {
                out = c; // a one-step pipeline only needs a non-null "more input"
            } else {
                out = new Batch{id, 0};
                int now = c->live.fetch_add(1) + 1;
                int prev = c->max_live.load();
                while (now > prev && !c->max_live.compare_exchange_weak(prev, now)) {}
            }
        }
    } else {
        auto *b = static_cast<Batch *>(in);
        if (!b || b->last_step != step - 1) {
            c->bad = true;
        } else {
            b->last_step = step;
            c->seen[step].push_back(b->id);
            bool drop = step == c->null_step && b->id == c->null_batch;
            if (drop || step == c->n_steps - 1) {
                // The last step's result is ignored: give back something
                // non-null for odd batches to check that.
                out = (!drop && (b->id & 1)) ? static_cast<void *>(c) : nullptr;
                delete b;
                c->live.fetch_sub(1);
            } else {
                out = b;
            }
        }
    }
    c->in_step[step].fetch_sub(1);
    return out;
}

std::vector<long> ids(long n, long skip = -1) {
    std::vector<long> v;
    for (long i = 0; i < n; ++i)
        if (i != skip) v.push_back(i);
    return v;
}

TEST(Pipeline, ThreeStepsOverFiveBatchesWithTwoWorkers) {
    PipeCheck c(3, 5);
    ls_pipeline(2, pipe_step, &c, 3);
    EXPECT_FALSE(c.bad);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(c.seen[s], ids(5)) << "step " << s;
    EXPECT_EQ(c.step0_calls, 5 + 2); // every worker ends on its own null
    EXPECT_LE(c.max_live.load(), 2);
    EXPECT_EQ(c.live.load(), 0);
}

TEST(Pipeline, BatchesPassEveryStepInOrderWithAnyWorkerCount) {
    for (int w : {-1, 0, 1, 2, 3, 4}) {
        for (int s : {1, 2, 3, 4}) {
            const long n = 200;
            PipeCheck c(s, n);
            ls_pipeline(w, pipe_step, &c, s);
            int workers = w > 1 ? w : 1;
            EXPECT_FALSE(c.bad) << w << " " << s;
            for (int k = 0; k < s; ++k) EXPECT_EQ(c.seen[k], ids(n)) << "workers " << w << " step " << k;
            EXPECT_EQ(c.step0_calls, n + workers);
            EXPECT_LE(c.max_live.load(), workers);
            EXPECT_EQ(c.live.load(), 0);
        }
    }
}

TEST(Pipeline, FirstStepWithoutInputEndsEveryWorkerAtOnce) {
    for (int w : {1, 3}) {
        PipeCheck c(3, 0);
        ls_pipeline(w, pipe_step, &c, 3);
        EXPECT_FALSE(c.bad);
        EXPECT_EQ(c.step0_calls, w);
        EXPECT_TRUE(c.seen[1].empty());
        EXPECT_TRUE(c.seen[2].empty());
    }
}

TEST(Pipeline, NullFromAMiddleStepRetiresItsWorker) {
    for (int w : {1, 2, 3}) {
        const long n = 20;
        PipeCheck c(3, n);
        c.null_step = 1;
        c.null_batch = 5;
        ls_pipeline(w, pipe_step, &c, 3);
        EXPECT_FALSE(c.bad) << w;
        EXPECT_EQ(c.live.load(), 0);
        if (w == 1) {
            // The only worker is gone: nothing after batch 5 is read.
            EXPECT_EQ(c.seen[1], ids(6));
            EXPECT_EQ(c.seen[2], ids(5));
            EXPECT_EQ(c.step0_calls, 6);
        } else {
            // The others carry on; batch 5 never reaches the last step, and
            // one worker fewer meets the end of the input.
            EXPECT_EQ(c.seen[1], ids(n));
            EXPECT_EQ(c.seen[2], ids(n, 5));
            EXPECT_EQ(c.step0_calls, n + w - 1);
        }
    }
}

/* ---- threads that cannot start ---- */

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LS_NO_AS_LIMIT 1 // sanitizers reserve far more address space than any cap
#else

/* Caps the address space so that only `stacks` more default thread stacks
 * fit (with a little room for the heap), then runs both drivers with more
 * threads than that. Exits 0 when everything ran as it should. */
[[noreturn]] void run_with_room_for(int stacks) {
    pthread_attr_t attr;
    size_t stack_size = 8 << 20;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack_size);
        pthread_attr_destroy(&attr);
    }
    long pages = 0;
    FILE *fp = fopen("/proc/self/statm", "r");
    if (!fp || fscanf(fp, "%ld", &pages) != 1) exit(10);
    fclose(fp);
    rlimit lim;
    lim.rlim_cur = lim.rlim_max = pages * sysconf(_SC_PAGESIZE) + stack_size * stacks + stack_size / 2;
    if (setrlimit(RLIMIT_AS, &lim) != 0) exit(11);

    ForCheck fc(6, 5000);
    ls_parallel_for(6, for_count, &fc, 5000);
    if (fc.bad_tid || fc.tid_shared) exit(12);
    for (long i = 0; i < 5000; ++i)
        if (fc.runs[i].load() != 1) exit(13);

    const long n = 50;
    PipeCheck pc(3, n);
    ls_pipeline(4, pipe_step, &pc, 3);
    if (pc.bad || pc.live.load() != 0) exit(14);
    for (int k = 0; k < 3; ++k)
        if (pc.seen[k] != ids(n)) exit(15);
    // The calling thread stands in for the first worker that could not
    // start and the later ones never run: stacks + 1 workers end on a null.
    if (pc.step0_calls != n + stacks + 1) exit(16);
    exit(0);
}
#endif

TEST(ThreadsDeathTest, CallingThreadTakesOverWhenThreadsCannotStart) {
#ifdef LS_NO_AS_LIMIT
    GTEST_SKIP() << "address-space cap not usable under sanitizers";
#else
    for (int stacks : {0, 1, 2})
        EXPECT_EXIT(run_with_room_for(stacks), testing::ExitedWithCode(0), "") << stacks;
#endif
}

} // namespace
