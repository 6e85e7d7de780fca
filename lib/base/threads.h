/* The two thread drivers that carry all multi-threading of the library: a
 * parallel loop over an index range and a pipeline of ordered steps over a
 * stream of batches. Both start their threads on entry and join them before
 * returning, so no thread outlives a call; their bookkeeping is freed before
 * they return. The callbacks' data belong to the caller. */
#ifndef LODESTAR_BASE_THREADS_H
#define LODESTAR_BASE_THREADS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Calls func(data, i, tid) exactly once for each i in 0 .. n - 1 and returns
 * when all calls have returned. tid is 0 .. n_threads - 1 and no two calls
 * with the same tid run at once, so func may use per-thread buffers indexed
 * by tid; calls for different i run concurrently. With n_threads below 2 all
 * calls run on the calling thread in ascending order with tid 0. If the
 * system cannot start a thread, the calling thread takes over that thread's
 * work (the result is the same, only less parallel). */
void ls_parallel_for(int n_threads, void (*func)(void *data, long i, int tid), void *data, long n);

/* Runs n_steps steps over a stream of batches with max(n_threads, 1) workers.
 * func(shared, step, in): step 0 gets in = null and returns a new batch, or
 * null when the input is exhausted; step s + 1 gets what step s returned for
 * the same batch. A null from a step other than the last ends its worker;
 * the last step's result is ignored. Every step sees the batches in input
 * order and never runs for two batches at once; different steps of
 * different batches run concurrently, and at most one batch per worker is in
 * flight. If the system cannot start a worker thread, the calling thread
 * runs that worker and no further ones are started. */
void ls_pipeline(int n_threads, void *(*func)(void *shared, int step, void *in), void *shared, int n_steps);

#ifdef __cplusplus
}
#endif

#endif
