/* Parallel loop with interleaved shares and work stealing; pipeline of
 * ordered steps under one mutex and one condition variable. */
#include "base/threads.h"

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

/* ---- parallel loop ---- */

struct ForLoop;

/* One share of the range: the indices t, t + T, t + 2T, ... of thread t.
 * next is the share's next unclaimed index; it only grows, by atomic
 * fetch-and-add, so each index is claimed exactly once whoever claims it.
 * Slots sit on separate cache lines so that claims on different shares do
 * not contend. */
struct alignas(64) ForSlot {
    std::atomic<int64_t> next;
    ForLoop *loop;
};

struct ForLoop {
    int n_threads;
    int64_t n;
    void (*func)(void *data, long i, int tid);
    void *data;
    ForSlot *slots;
};

void for_serial(void (*func)(void *, long, int), void *data, long n) {
    for (long i = 0; i < n; ++i) func(data, i, 0);
}

/* The share with the smallest next index (the first one on ties): the
 * share furthest behind. Plain reads suffice: a stale value only makes the
 * following fetch-and-add find the share exhausted, and the thread that
 * claimed in between is still running and will look again. */
ForSlot *laggard(const ForLoop *lp) {
    ForSlot *best = &lp->slots[0];
    int64_t best_next = best->next.load(std::memory_order_relaxed);
    for (int t = 1; t < lp->n_threads; ++t) {
        int64_t v = lp->slots[t].next.load(std::memory_order_relaxed);
        if (v < best_next) best = &lp->slots[t], best_next = v;
    }
    return best;
}

void for_worker(ForSlot *own) {
    const ForLoop *lp = own->loop;
    int tid = (int)(own - lp->slots);
    int64_t step = lp->n_threads;
    for (;;) {
        int64_t i = own->next.fetch_add(step);
        if (i >= lp->n) break;
        lp->func(lp->data, (long)i, tid);
    }
    // Own share done: help the share furthest behind until all are done.
    for (;;) {
        int64_t k = laggard(lp)->next.fetch_add(step);
        if (k >= lp->n) break;
        lp->func(lp->data, (long)k, tid);
    }
}

/* ---- pipeline ---- */

struct Pipeline;

struct PipeWorker {
    Pipeline *pl;
    int64_t index; /* batch being carried */
    int step;      /* next step to run; n_steps once retired */
    void *data;    /* what the previous step returned for this batch */
};

struct Pipeline {
    void *shared;
    void *(*func)(void *shared, int step, void *in);
    int64_t next_index; /* next batch index to hand out */
    int n_workers, n_steps;
    std::mutex mtx;
    std::condition_variable cv;
    PipeWorker *workers;
};

/* A worker may run its step only when no other worker holds an earlier
 * batch at the same or an earlier step: then all earlier batches have
 * finished this step, and no one else is running it. Called under the
 * mutex. */
bool must_wait(const Pipeline *pl, const PipeWorker *w) {
    for (int j = 0; j < pl->n_workers; ++j) {
        const PipeWorker *o = &pl->workers[j];
        if (o != w && o->step <= w->step && o->index < w->index) return true;
    }
    return false;
}

void pipe_worker(PipeWorker *w) {
    Pipeline *pl = w->pl;
    // w->step and w->index change only on this thread (under the mutex, as
    // other workers read them there), so this thread reads them freely.
    while (w->step < pl->n_steps) {
        {
            std::unique_lock<std::mutex> lk(pl->mtx);
            pl->cv.wait(lk, [pl, w] { return !must_wait(pl, w); });
        }
        void *out = pl->func(pl->shared, w->step, w->step > 0 ? w->data : nullptr);
        w->data = out;
        std::lock_guard<std::mutex> lk(pl->mtx);
        // No output from a non-last step retires the worker. So does no
        // output from step 0 when it is the only step: the input is
        // exhausted, and going round again would never end.
        if (out || (w->step == pl->n_steps - 1 && w->step > 0))
            w->step = (w->step + 1) % pl->n_steps;
        else
            w->step = pl->n_steps;
        if (w->step == 0) w->index = pl->next_index++;
        pl->cv.notify_all();
    }
}

/* One worker on the calling thread, without any lock: the fallback when the
 * scheduling state cannot be set up. */
void pipe_serial(void *(*func)(void *, int, void *), void *shared, int n_steps) {
    for (;;) {
        void *data = nullptr;
        for (int step = 0; step < n_steps; ++step) {
            data = func(shared, step, data);
            if (!data && (step != n_steps - 1 || step == 0)) return;
        }
        if (n_steps <= 0) return;
    }
}

} // namespace

void ls_parallel_for(int n_threads, void (*func)(void *data, long i, int tid), void *data, long n) {
    if (n_threads < 2) {
        for_serial(func, data, n);
        return;
    }
    std::unique_ptr<ForSlot[]> slots(new (std::nothrow) ForSlot[n_threads]);
    std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[n_threads]);
    if (!slots || !threads) {
        for_serial(func, data, n);
        return;
    }
    ForLoop loop = {n_threads, n, func, data, slots.get()};
    for (int t = 0; t < n_threads; ++t) {
        slots[t].next.store(t, std::memory_order_relaxed);
        slots[t].loop = &loop;
    }
    int started = 0;
    for (; started < n_threads; ++started) {
        try {
            threads[started] = std::thread(for_worker, &slots[started]);
        } catch (...) { break; }
    }
    // A thread that could not start leaves its share to the calling thread,
    // which runs it as that thread and then steals like every other; the
    // shares of later slots are drained by stealing.
    if (started < n_threads) for_worker(&slots[started]);
    for (int t = 0; t < started; ++t) threads[t].join();
}

void ls_pipeline(int n_threads, void *(*func)(void *shared, int step, void *in), void *shared, int n_steps) {
    // One worker runs the steps batch after batch: the calling thread does
    // that without starting a thread.
    if (n_threads < 2) {
        pipe_serial(func, shared, n_steps);
        return;
    }
    const int n_workers = n_threads;
    std::unique_ptr<Pipeline> pl;
    try {
        pl.reset(new Pipeline());
    } catch (...) {}
    std::unique_ptr<PipeWorker[]> workers(new (std::nothrow) PipeWorker[n_workers]);
    if (!pl || !workers) {
        pipe_serial(func, shared, n_steps);
        return;
    }
    std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[n_workers]);
    pl->shared = shared;
    pl->func = func;
    pl->n_workers = n_workers;
    pl->n_steps = n_steps;
    pl->workers = workers.get();
    for (int j = 0; j < n_workers; ++j) workers[j] = PipeWorker{pl.get(), j, 0, nullptr};
    pl->next_index = n_workers;
    int started = 0;
    if (threads) {
        for (; started < n_workers; ++started) {
            try {
                threads[started] = std::thread(pipe_worker, &workers[started]);
            } catch (...) { break; }
        }
    }
    if (started < n_workers) {
        // The calling thread becomes worker `started`; the later workers
        // never run. Retiring them unblocks workers waiting behind their
        // batch indices, which are simply skipped.
        {
            std::lock_guard<std::mutex> lk(pl->mtx);
            for (int j = started + 1; j < n_workers; ++j) workers[j].step = n_steps;
            pl->cv.notify_all();
        }
        pipe_worker(&workers[started]);
    }
    for (int j = 0; j < started; ++j) threads[j].join();
}
