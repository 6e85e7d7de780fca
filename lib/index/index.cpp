/* Bucketed minimizer index: the open-addressing tables, building a part from
 * a batch reader or from strings, lookup, statistics, the packed target
 * store and the name index. Index files and the reader are in
 * index/index_file.cpp. */
#include "index/index.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/big_alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "base/threads.h"
#include "index/sketch.h"

namespace {

/* The smallest power of two not below x; 0 stays 0. */
uint64_t round_up_pow2(uint64_t x) {
    if (x == 0) return 0;
    --x;
    x |= x >> 1, x |= x >> 2, x |= x >> 4, x |= x >> 8, x |= x >> 16, x |= x >> 32;
    return x + 1;
}

/* ---- open-addressing table, shared by the bucket tables and the name index ---- */

/* Slot states: 2 bits per slot, 16 slots per word; bit 1 = empty, bit 0 =
 * deleted. A fresh word (0xaaaaaaaa) has all 16 slots empty. */
inline uint32_t slot_bits(const uint32_t *f, uint32_t i) {
    return f[i >> 4] >> ((i & 15U) << 1) & 3U;
}
inline bool slot_empty(const uint32_t *f, uint32_t i) {
    return slot_bits(f, i) & 2U;
}
inline bool slot_deleted(const uint32_t *f, uint32_t i) {
    return slot_bits(f, i) & 1U;
}
inline bool slot_free(const uint32_t *f, uint32_t i) {
    return slot_bits(f, i) != 0;
}
inline void slot_mark_used(uint32_t *f, uint32_t i) {
    f[i >> 4] &= ~(3U << ((i & 15U) << 1));
}
inline void slot_mark_filled(uint32_t *f, uint32_t i) {
    f[i >> 4] &= ~(2U << ((i & 15U) << 1));
}
inline void slot_mark_deleted(uint32_t *f, uint32_t i) {
    f[i >> 4] |= 1U << ((i & 15U) << 1);
}
inline uint32_t upper_bound_of(uint32_t cap) {
    return (uint32_t)(cap * 0.77 + 0.5);
}

/* Minimizer keys: bit 0 marks a single occurrence and is not part of the
 * key, so the hash and the comparison both drop it. */
struct KeyU64 {
    static uint32_t hash(uint64_t key) { return (uint32_t)(key >> 1); }
    static bool eq(uint64_t a, uint64_t b) { return a >> 1 == b >> 1; }
};

/* Names: h = h * 31 + byte over the bytes taken as signed chars. */
struct KeyName {
    static uint32_t hash(const char *s) {
        uint32_t h = (uint32_t)(int8_t)*s;
        if (h != 0)
            for (++s; *s; ++s) h = (h << 5) - h + (uint32_t)(int8_t)*s;
        return h;
    }
    static bool eq(const char *a, const char *b) { return strcmp(a, b) == 0; }
};

template <typename H, typename Traits> int table_resize(H *h, uint32_t n) {
    uint64_t cap = 4;
    while (cap < n) cap <<= 1;
    if (cap > (1ULL << 31)) return -1; // n_buckets + 1 must still fit in 32 bits
    const uint32_t new_cap = (uint32_t)cap;
    if (h->size >= upper_bound_of(new_cap)) return 0; // the keys would not fit: keep the table
    size_t nw = ls_idx_flag_words(new_cap);
    uint32_t *new_flags = static_cast<uint32_t *>(malloc(nw * sizeof(uint32_t)));
    if (new_flags == nullptr) return -1;
    for (size_t i = 0; i < nw; ++i) new_flags[i] = 0xaaaaaaaaU;
    using K = std::remove_pointer_t<decltype(h->keys)>;
    using V = std::remove_pointer_t<decltype(h->vals)>;
    if (h->n_buckets < new_cap) { // grow the arrays first, rehash in place
        K *nk = static_cast<K *>(realloc(h->keys, (size_t)new_cap * sizeof(K)));
        if (nk == nullptr) return free(new_flags), -1;
        h->keys = nk;
        V *nv = static_cast<V *>(realloc(h->vals, (size_t)new_cap * sizeof(V)));
        if (nv == nullptr) return free(new_flags), -1;
        h->vals = nv;
    }
    // Re-place every live entry. An entry is taken out of its old slot (marked
    // deleted there) and put into the first empty slot of its new probe
    // sequence; if a live old entry still sits in that slot, the two swap and
    // the displaced one is placed in turn. Old slots marked deleted are never
    // visited again, so each entry moves exactly once.
    const uint32_t mask = new_cap - 1;
    for (uint32_t j = 0; j != h->n_buckets; ++j) {
        if (slot_free(h->flags, j)) continue;
        K key = h->keys[j];
        V val = h->vals[j];
        slot_mark_deleted(h->flags, j);
        for (;;) {
            uint32_t i = Traits::hash(key) & mask, step = 0;
            while (!slot_empty(new_flags, i)) i = (i + (++step)) & mask;
            slot_mark_filled(new_flags, i);
            if (i < h->n_buckets && !slot_free(h->flags, i)) {
                std::swap(key, h->keys[i]);
                std::swap(val, h->vals[i]);
                slot_mark_deleted(h->flags, i);
            } else {
                h->keys[i] = key;
                h->vals[i] = val;
                break;
            }
        }
    }
    if (h->n_buckets > new_cap) { // shrinking: a failed realloc just keeps the larger block
        if (K *nk = static_cast<K *>(realloc(h->keys, (size_t)new_cap * sizeof(K)))) h->keys = nk;
        if (V *nv = static_cast<V *>(realloc(h->vals, (size_t)new_cap * sizeof(V)))) h->vals = nv;
    }
    free(h->flags);
    h->flags = new_flags;
    h->n_buckets = new_cap;
    h->n_occupied = h->size;
    h->upper_bound = upper_bound_of(new_cap);
    return 0;
}

template <typename H, typename Traits, typename K> uint32_t table_put(H *h, K key, int *absent) {
    if (h->n_occupied >= h->upper_bound) {
        // Mostly deleted slots: rebuild at the same capacity; else double.
        int ret = h->n_buckets > (uint64_t)h->size << 1 ? table_resize<H, Traits>(h, h->n_buckets - 1)
                                                        : table_resize<H, Traits>(h, h->n_buckets + 1);
        if (ret < 0) {
            *absent = -1;
            return h->n_buckets;
        }
    }
    const uint32_t nb = h->n_buckets, mask = nb - 1;
    uint32_t i = Traits::hash(key) & mask, x;
    if (slot_empty(h->flags, i)) {
        x = i;
    } else {
        // Triangular probing visits every slot of a power-of-two table once
        // in its first nb steps; the load bound keeps an empty slot, so the
        // search ends at an equal key or the first empty slot.
        uint32_t site = nb, last = i, step = 0;
        x = nb;
        while (!slot_empty(h->flags, i) && (slot_deleted(h->flags, i) || !Traits::eq(h->keys[i], key))) {
            if (slot_deleted(h->flags, i) && site == nb) site = i;
            i = (i + (++step)) & mask;
            if (i == last) {
                x = site;
                break;
            }
        }
        if (x == nb) x = slot_empty(h->flags, i) && site != nb ? site : i;
    }
    LS_ASSERT(x < nb);
    if (slot_empty(h->flags, x)) {
        h->keys[x] = key;
        slot_mark_used(h->flags, x);
        ++h->size, ++h->n_occupied;
        *absent = 1;
    } else if (slot_deleted(h->flags, x)) { // a deleted slot is already counted as occupied
        h->keys[x] = key;
        slot_mark_used(h->flags, x);
        ++h->size;
        *absent = 1;
    } else {
        *absent = 0;
    }
    return x;
}

template <typename H, typename Traits, typename K> inline uint32_t table_get(const H *h, K key) {
    const uint32_t nb = h->n_buckets;
    if (nb == 0) return 0;
    const uint32_t mask = nb - 1;
    uint32_t i = Traits::hash(key) & mask, last = i, step = 0;
    while (!slot_empty(h->flags, i) && (slot_deleted(h->flags, i) || !Traits::eq(h->keys[i], key))) {
        i = (i + (++step)) & mask;
        if (i == last) return nb;
    }
    return slot_free(h->flags, i) ? nb : i;
}

template <typename H> void table_free(H *h) {
    if (h == nullptr) return;
    free(h->flags);
    free(h->keys);
    free(h->vals);
    free(h);
}

/* Inserts the names of all targets; the first target of a name keeps it.
 * Returns whether some name repeated. */
bool fill_name_index(ls_idx_name_hash *h, const ls_idx *mi) {
    bool dup = false;
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const char *name = mi->seq[i].name;
        if (name == nullptr) continue; // LS_I_SKIP_NAME: nothing to find by name
        int absent;
        uint32_t slot = table_put<ls_idx_name_hash, KeyName>(h, name, &absent);
        if (absent < 0) ls_out_of_memory("ls_idx_build_name_index", 0);
        if (absent)
            h->vals[slot] = i;
        else
            dup = true;
    }
    return dup;
}

/* ---- building ---- */

/* The minimizers of a part as they are collected: one array for all
 * buckets (the first batch's own array, which later batches extend), grouped
 * by bucket in place at the end. Its memory goes back to the system range by
 * range as buckets are finished, so building never holds the minimizers and
 * the finished tables twice over. */
struct Collected {
    ls128 *a = nullptr;
    size_t n = 0, m = 0;

    ~Collected() { free(a); }
};

/* Moves a batch's minimizers (from the system allocator) into the
 * collection. The first non-empty batch is taken over as it is, which spares
 * a copy of a whole chromosome's minimizers. */
void ls_idx_dispatch(Collected *c, ls128_vec *batch) {
    if (c->a == nullptr) {
        c->a = batch->a, c->n = batch->n, c->m = batch->m;
        batch->a = nullptr, batch->n = batch->m = 0;
        return;
    }
    if (c->n + batch->n > c->m) {
        size_t m = c->m;
        while (m < c->n + batch->n) m <<= 1;
        c->a = static_cast<ls128 *>(ls_xrealloc(c->a, m * sizeof(ls128), "ls_idx_dispatch"));
        c->m = m;
    }
    if (batch->n) memcpy(c->a + c->n, batch->a, batch->n * sizeof(ls128));
    c->n += batch->n;
}

/* Reorders a[0, n) in place so that the values of each key k = key(v) in
 * [0, n_keys) stand together, in key order, and fills start[0..n_keys] with
 * where each key's run begins. Each value is swapped straight to the next
 * free slot of its key; the order within a key is lost. With few keys the
 * write positions stay in cache, which is why buckets are grouped in two
 * such passes rather than one. */
template <typename Key> void partition_in_place(ls128 *a, size_t n, uint64_t n_keys, Key key, uint64_t *start) {
    std::fill(start, start + n_keys + 1, 0);
    for (size_t i = 0; i < n; ++i) ++start[key(a[i]) + 1];
    for (uint64_t k = 0; k < n_keys; ++k) start[k + 1] += start[k];
    std::vector<uint64_t> next(start, start + n_keys);
    for (uint64_t k = 0; k < n_keys; ++k) {
        while (next[k] < start[k + 1]) {
            ls128 v = a[next[k]];
            uint64_t d = key(v);
            while (d != k) {
                std::swap(v, a[next[d]++]);
                d = key(v);
            }
            a[next[k]++] = v;
        }
    }
}

/* Turns one bucket's collected minimizers into its table and position array.
 * Runs for different buckets concurrently: it touches bucket i only. */
void finish_bucket(ls_idx *mi, long i, ls128 *a, size_t n_mins) {
    ls_idx_bucket *b = &mi->buckets[i];
    if (n_mins == 0) return;
    ls_sort_128x(a, a + n_mins);

    // Distinct hashes, and the minimizers in runs of more than one.
    size_t n_keys = 0, n_pos = 0;
    for (size_t j = 1, n = 1; j <= n_mins; ++j) {
        if (j == n_mins || a[j].x >> 8 != a[j - 1].x >> 8) {
            ++n_keys;
            if (n > 1) n_pos += n;
            n = 1;
        } else {
            ++n;
        }
    }
    LS_ASSERT(n_keys <= UINT32_MAX && n_pos <= INT32_MAX);
    ls_idx_hash *h = ls_idx_hash_init();
    if (h == nullptr || ls_idx_hash_resize(h, (uint32_t)n_keys) < 0) ls_out_of_memory("worker_post", 0);
    b->n_pos = (int32_t)n_pos;
    b->pos = static_cast<uint64_t *>(ls_xcalloc(n_pos, sizeof(uint64_t), "worker_post"));

    size_t start_a = 0, start_p = 0;
    for (size_t j = 1, n = 1; j <= n_mins; ++j) {
        if (j == n_mins || a[j].x >> 8 != a[j - 1].x >> 8) {
            const ls128 *p = &a[j - 1];
            uint64_t key = p->x >> 8 >> mi->bucket_bits << 1;
            int absent;
            uint32_t slot = ls_idx_hash_put(h, key, &absent);
            if (absent < 0) ls_out_of_memory("worker_post", 0);
            LS_ASSERT(absent && j == start_a + n);
            if (n == 1) {
                h->keys[slot] |= 1;
                h->vals[slot] = p->y;
            } else {
                for (size_t k = 0; k < n; ++k) b->pos[start_p + k] = a[start_a + k].y;
                // The radix sort does not keep positions of equal hashes in order.
                ls_sort_64(b->pos + start_p, b->pos + start_p + n);
                h->vals[slot] = (uint64_t)start_p << 32 | n;
                start_p += n;
            }
            start_a = j, n = 1;
        } else {
            ++n;
        }
    }
    b->table = h;
    if (!(b->n_pos == (int32_t)start_p))
        ls_assert_fail("b->n == (int32_t)start_p", __func__, __FILE__, __LINE__);
}

/* Buckets are finished in groups of consecutive buckets: a group's
 * minimizers are first grouped by bucket, its tables built, and its range of
 * the collection given back to the system. */
struct PostJob {
    ls_idx *mi;
    Collected *c;
    int group_bits;                   // log2 of the number of groups
    std::vector<uint64_t> group_start; // group g holds c->a[group_start[g], group_start[g + 1])
};

void worker_post(void *g, long group, int) {
    PostJob *job = static_cast<PostJob *>(g);
    const int low_bits = job->mi->bucket_bits - job->group_bits;
    const uint64_t lo = job->group_start[group], hi = job->group_start[group + 1];
    ls128 *a = job->c->a + lo;
    const uint64_t n_sub = 1ULL << low_bits, mask = n_sub - 1;
    std::vector<uint64_t> start(n_sub + 1);
    partition_in_place(a, hi - lo, n_sub, [mask](const ls128 &m) { return m.x >> 8 & mask; }, start.data());
    for (uint64_t j = 0; j < n_sub; ++j)
        finish_bucket(job->mi, (long)((uint64_t)group << low_bits | j), a + start[j], start[j + 1] - start[j]);
    ls_release_pages(a, (hi - lo) * sizeof(ls128));
}

/* Finishes every bucket from the collected minimizers. */
void finish_buckets(ls_idx *mi, Collected *c, int n_threads) {
    PostJob job;
    job.mi = mi;
    job.c = c;
    job.group_bits = mi->bucket_bits < 7 ? mi->bucket_bits : 7;
    const int low_bits = mi->bucket_bits - job.group_bits;
    const uint64_t n_groups = 1ULL << job.group_bits;
    job.group_start.resize(n_groups + 1);
    partition_in_place(c->a, c->n, n_groups,
                       [low_bits, n_groups](const ls128 &m) { return m.x >> 8 >> low_bits & (n_groups - 1); },
                       job.group_start.data());
    ls_parallel_for(n_threads, worker_post, &job, (long)n_groups);
}

/* State shared by the steps of the build pipeline. */
struct pipeline_t {
    int mini_batch_size;
    uint64_t batch_size, sum_len;
    ls_bseq_file *fp;
    ls_idx *mi;
    Collected mins;
};

/* One batch of targets on its way through the pipeline. */
struct step_t {
    int n_seq;
    ls_bseq_rec *seq;
    ls128_vec a;
};

char *copy_name(km_arena *km, const char *name) {
    size_t l = strlen(name);
    char *s = static_cast<char *>(km_malloc(km, l + 1));
    memcpy(s, name, l + 1);
    return s;
}

/* Stores one record as the next target: name, length, offset and its bases. */
void add_target(ls_idx *mi, const char *name, const char *seq, uint32_t len, uint64_t offset) {
    ls_idx_seq *t = &mi->seq[mi->n_seq];
    t->name = (mi->flag & LS_I_SKIP_NAME) || name == nullptr ? nullptr : copy_name(mi->arena, name);
    t->offset = offset;
    t->len = len;
    t->is_alt = 0;
    if (!(mi->flag & LS_I_SKIP_SEQ)) {
        uint32_t *packed = mi->packed_seq;
        for (uint32_t j = 0; j < len; ++j) {
            uint64_t o = offset + j;
            packed[o >> 3] |= (uint32_t)ls_nt4_table[(uint8_t)seq[j]] << ((o & 7) << 2);
        }
    }
}

/* Step 0: read a batch and store its targets; step 1: sketch it; step 2:
 * distribute its minimizers into the buckets. */
void *worker_pipeline(void *shared, int step, void *in) {
    pipeline_t *p = static_cast<pipeline_t *>(shared);
    ls_idx *mi = p->mi;
    if (step == 0) {
        // A part holds whole batches and ends with the first one that crosses
        // the part size; a reader that failed ends the part where it failed.
        if (p->sum_len > p->batch_size || ls_bseq_error(p->fp)) return nullptr;
        step_t *s = static_cast<step_t *>(ls_xcalloc(1, sizeof(step_t), "worker_pipeline"));
        s->seq = ls_bseq_read(p->fp, p->mini_batch_size, 0, &s->n_seq);
        if (s->seq == nullptr) {
            free(s);
            return nullptr;
        }
        LS_ASSERT((uint64_t)p->mi->n_seq + s->n_seq <= UINT32_MAX);
        uint64_t old_m = round_up_pow2(mi->n_seq), m = round_up_pow2((uint64_t)mi->n_seq + s->n_seq);
        if (old_m != m) {
            mi->seq = static_cast<ls_idx_seq *>(km_realloc(mi->arena, mi->seq, m * sizeof(ls_idx_seq)));
        }
        if (!(mi->flag & LS_I_SKIP_SEQ)) {
            uint64_t batch_len = 0;
            for (int i = 0; i < s->n_seq; ++i) batch_len += (uint32_t)s->seq[i].len;
            uint64_t old_words = round_up_pow2((p->sum_len + 7) / 8);
            uint64_t words = round_up_pow2((p->sum_len + batch_len + 7) / 8);
            if (old_words != words) { // new words read as zero
                uint32_t *packed =
                    static_cast<uint32_t *>(ls_big_realloc(mi->packed_seq, words * sizeof(uint32_t)));
                if (packed == nullptr) ls_out_of_memory("worker_pipeline", words * sizeof(uint32_t));
                mi->packed_seq = packed;
            }
        }
        for (int i = 0; i < s->n_seq; ++i) {
            ls_bseq_rec *r = &s->seq[i];
            add_target(mi, r->name, r->seq, (uint32_t)r->len, p->sum_len);
            p->sum_len += (uint32_t)r->len;
            r->rec_id = (int32_t)mi->n_seq++;
        }
        return s;
    }
    step_t *s = static_cast<step_t *>(in);
    if (step == 1) {
        for (int i = 0; i < s->n_seq; ++i) {
            ls_bseq_rec *r = &s->seq[i];
            if (r->len > 0)
                ls_sketch(nullptr, r->seq, r->len, mi->w, mi->k, (uint32_t)r->rec_id, mi->flag & LS_I_HPC,
                          &s->a);
            else
                ls_log(LS_LOG_WARNING, "the length database sequence '%s' is 0", r->name);
            free(r->name);
            free(r->seq);
            free(r->qual);
            free(r->comment);
        }
        free(s->seq);
        s->seq = nullptr, s->n_seq = 0;
        return s;
    }
    ls_idx_dispatch(&p->mins, &s->a);
    kfree(nullptr, s->a.a);
    free(s);
    return nullptr;
}

/* ---- packed store ---- */

inline uint8_t packed_base(const uint32_t *packed, uint64_t o) {
    return packed[o >> 3] >> ((o & 7) << 2) & 0xf;
}

/* Shared range check of the extraction routines: the target of rid, or null
 * when rid or start is out of range. */
const ls_idx_seq *extraction_target(const ls_idx *mi, int rid, int start) {
    if (rid < 0 || (uint32_t)rid >= mi->n_seq) return nullptr;
    const ls_idx_seq *t = &mi->seq[rid];
    if (start < 0 || (uint32_t)start >= t->len) return nullptr;
    return t;
}

void free_annotations(ls_idx *mi) {
    if (mi->intervals) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) free(mi->intervals[i].a);
        free(mi->intervals);
    }
    if (mi->splice_scores) {
        for (uint64_t i = 0; i < 2ULL * mi->n_seq; ++i) free(mi->splice_scores[i].a);
        free(mi->splice_scores);
    }
    if (mi->jumps) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) free(mi->jumps[i].a);
        free(mi->jumps);
    }
}

/* Occurrence count behind an occupied slot. */
inline uint32_t slot_count(const ls_idx_hash *h, uint32_t i) {
    return h->keys[i] & 1 ? 1 : (uint32_t)h->vals[i];
}

} // namespace

/* ---- tables ---- */

ls_idx_hash *ls_idx_hash_init(void) {
    return static_cast<ls_idx_hash *>(calloc(1, sizeof(ls_idx_hash)));
}
void ls_idx_hash_destroy(ls_idx_hash *h) {
    table_free(h);
}
int ls_idx_hash_resize(ls_idx_hash *h, uint32_t n) {
    return table_resize<ls_idx_hash, KeyU64>(h, n);
}
uint32_t ls_idx_hash_put(ls_idx_hash *h, uint64_t key, int *absent) {
    return table_put<ls_idx_hash, KeyU64>(h, key, absent);
}
uint32_t ls_idx_hash_get(const ls_idx_hash *h, uint64_t key) {
    return table_get<ls_idx_hash, KeyU64>(h, key);
}
int ls_idx_hash_exist(const ls_idx_hash *h, uint32_t i) {
    return i < h->n_buckets && !slot_free(h->flags, i);
}

/* ---- parts ---- */

ls_idx *ls_idx_new(int w, int k, int b, int flag) {
    if (k < 1 || k > 28 || w > 255 || b < 0) return nullptr;
    ls_idx *mi = static_cast<ls_idx *>(calloc(1, sizeof(ls_idx)));
    if (mi == nullptr) return nullptr;
    mi->w = w < 2 ? 1 : w;
    mi->k = k;
    mi->bucket_bits = b < 2 * k ? b : 2 * k;
    mi->flag = flag;
    mi->buckets = static_cast<ls_idx_bucket *>(calloc(1ULL << mi->bucket_bits, sizeof(ls_idx_bucket)));
    if (mi->buckets == nullptr) return free(mi), nullptr;
    if (!(ls_debug_flags & LS_DBG_NO_ARENA)) mi->arena = km_create();
    return mi;
}

void ls_idx_destroy(ls_idx *mi) {
    if (mi == nullptr) return;
    table_free(mi->name_index);
    // A mapped part's positions, tables, bases and names are views of its
    // file's bytes, released with the mapping.
    const bool views = mi->map != nullptr;
    if (mi->buckets && !views) {
        for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
            ls_idx_bucket *b = &mi->buckets[i];
            free(b->pos);
            free(b->mins.a);
            table_free(b->table);
        }
    }
    free_annotations(mi);
    if (!views) ls_big_free(mi->packed_seq);
    free(mi->buckets);
    if (mi->arena) {
        km_release(mi->arena); // holds the names and the target array
    } else if (mi->seq) {
        if (!views)
            for (uint32_t i = 0; i < mi->n_seq; ++i) free(mi->seq[i].name);
        free(mi->seq);
    }
    ls_idx_map_release(mi->map);
    free(mi);
}

ls_idx *ls_idx_gen(ls_bseq_file *fp, int w, int k, int b, int flag, int mini_batch_size, int n_threads,
                   uint64_t batch_size) {
    if (fp == nullptr || ls_bseq_eof(fp) || ls_bseq_error(fp)) return nullptr;
    pipeline_t pl;
    pl.mini_batch_size =
        mini_batch_size >= 0 && (uint64_t)mini_batch_size > batch_size ? (int)batch_size : mini_batch_size;
    pl.batch_size = batch_size;
    pl.sum_len = 0;
    pl.fp = fp;
    pl.mi = ls_idx_new(w, k, b, flag);
    if (pl.mi == nullptr) return nullptr;
    ls_pipeline(n_threads < 3 ? n_threads : 3, worker_pipeline, &pl, 3);
    if (pl.mi->n_seq == 0) {
        // The reader was at its end without knowing it yet: no part, rather
        // than an empty one.
        ls_idx_destroy(pl.mi);
        return nullptr;
    }
    ls_progress("ls_idx_gen", "collected minimizers\n");
    finish_buckets(pl.mi, &pl.mins, n_threads);
    ls_progress("ls_idx_gen", "sorted minimizers\n");
    return pl.mi;
}

ls_idx *ls_idx_build(const char *path, int w, int k, int flag, int n_threads) {
    ls_bseq_file *fp = ls_bseq_open(path);
    if (fp == nullptr) return nullptr;
    ls_idx *mi = ls_idx_gen(fp, w, k, 14, flag, 1 << 18, n_threads, UINT64_MAX);
    if (mi && ls_bseq_error(fp)) { // the reader has said what went wrong
        ls_idx_destroy(mi);
        mi = nullptr;
    }
    ls_bseq_close(fp);
    return mi;
}

ls_idx *ls_idx_str(int w, int k, int is_hpc, int bucket_bits, int n, const char **seq, const char **name) {
    if (bucket_bits < 0) bucket_bits = 14;
    if (n < 0) return nullptr;
    int flag = (is_hpc ? LS_I_HPC : 0) | (name == nullptr ? LS_I_SKIP_NAME : 0);
    ls_idx *mi = ls_idx_new(w, k, bucket_bits, flag);
    if (mi == nullptr) return nullptr;
    uint64_t sum_len = 0;
    for (int i = 0; i < n; ++i) sum_len += strlen(seq[i]);
    mi->seq = static_cast<ls_idx_seq *>(km_calloc(mi->arena, n ? n : 1, sizeof(ls_idx_seq)));
    mi->packed_seq = static_cast<uint32_t *>(ls_big_alloc((sum_len + 7) / 8 * sizeof(uint32_t)));
    if (mi->packed_seq == nullptr) ls_out_of_memory("ls_idx_str", (sum_len + 7) / 8 * sizeof(uint32_t));
    if (name) {
        mi->name_index =
            static_cast<ls_idx_name_hash *>(ls_xcalloc(1, sizeof(ls_idx_name_hash), "ls_idx_str"));
    }
    ls128_vec a = {0, 0, nullptr};
    Collected mins;
    sum_len = 0;
    for (int i = 0; i < n; ++i) {
        size_t l = strlen(seq[i]);
        LS_ASSERT(l <= INT32_MAX);
        add_target(mi, name ? name[i] : nullptr, seq[i], (uint32_t)l, sum_len);
        if (mi->seq[i].name) {
            int absent;
            uint32_t slot = table_put<ls_idx_name_hash, KeyName>(mi->name_index, mi->seq[i].name, &absent);
            if (absent < 0) ls_out_of_memory("ls_idx_str", 0);
            LS_ASSERT(absent);
            mi->name_index->vals[slot] = (uint32_t)i;
        }
        ++mi->n_seq;
        sum_len += l;
        if (l > 0) {
            a.n = 0;
            ls_sketch(nullptr, seq[i], (int)l, mi->w, mi->k, (uint32_t)i, is_hpc, &a);
            ls_idx_dispatch(&mins, &a);
        }
    }
    kfree(nullptr, a.a);
    finish_buckets(mi, &mins, 1);
    return mi;
}

/* ---- lookup and statistics ---- */

const uint64_t *ls_idx_lookup(const ls_idx *mi, uint64_t h, int *n) {
    const ls_idx_bucket *b = &mi->buckets[h & ((1ULL << mi->bucket_bits) - 1)];
    *n = 0;
    const ls_idx_hash *t = b->table;
    if (t == nullptr) return nullptr;
    uint32_t slot = table_get<ls_idx_hash, KeyU64>(t, h >> mi->bucket_bits << 1);
    if (slot == t->n_buckets) return nullptr;
    if (t->keys[slot] & 1) {
        *n = 1;
        return &t->vals[slot];
    }
    *n = (int)(uint32_t)t->vals[slot];
    return &b->pos[t->vals[slot] >> 32];
}

int32_t ls_idx_max_occ(const ls_idx *mi, float f) {
    if (!(f > 0.0f)) return INT32_MAX; // also for a fraction that is not a number
    const uint64_t n_buckets = 1ULL << mi->bucket_bits;
    size_t n = 0;
    for (uint64_t i = 0; i < n_buckets; ++i)
        if (mi->buckets[i].table) n += mi->buckets[i].table->size;
    if (n == 0) return INT32_MAX;
    // Rank floor(n * (1 - f)) in double precision. A fraction too small to
    // move the product below n would select past the end, and one above 1 a
    // negative rank: clamp to the counts that exist.
    const double r = (1.0 - f) * (double)n;
    size_t rank = r <= 0.0 ? 0 : (size_t)r;
    if (rank >= n) rank = n - 1;
    if (mi->map) {
        // A mapped part stores its counts: the same value without visiting
        // every slot of the file (compared with the tables at load, unless
        // the caller skipped the checks; counts that then fall short send
        // the walk below).
        const int64_t v = ls_idx_map_occ_rank(mi->map, rank);
        if (v >= 0) return v >= INT32_MAX ? INT32_MAX : (int32_t)v + 1;
    }
    uint32_t *cnt = static_cast<uint32_t *>(ls_xcalloc(n, sizeof(uint32_t), "ls_idx_max_occ"));
    size_t m = 0;
    for (uint64_t i = 0; i < n_buckets; ++i) {
        const ls_idx_hash *h = mi->buckets[i].table;
        if (h == nullptr) continue;
        for (uint32_t j = 0; j < h->n_buckets; ++j)
            if (!slot_free(h->flags, j)) cnt[m++] = slot_count(h, j);
    }
    LS_ASSERT(m == n);
    uint32_t v = ls_select_u32(n, cnt, rank);
    free(cnt);
    return v >= (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)v + 1;
}

void ls_idx_count(const ls_idx *mi, uint64_t *n_distinct, uint64_t *n_positions) {
    uint64_t n_keys = 0, n_occ = 0;
    // A mapped part knows its single keys (or, unchecked, has its stored
    // counts): no slot needs a visit.
    const bool known = mi->map != nullptr;
    if (known && mi->map->n_single >= 0) {
        n_occ = (uint64_t)mi->map->n_single;
    } else if (known) {
        for (uint64_t i = 0; i < mi->map->n_counts; ++i)
            if (mi->map->counts[2 * i] == 1) n_occ = mi->map->counts[2 * i + 1];
    }
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
        const ls_idx_hash *h = mi->buckets[i].table;
        if (h == nullptr) continue;
        n_keys += h->size;
        if (known) {
            n_occ += (uint32_t)mi->buckets[i].n_pos;
            continue;
        }
        // Every occurrence of a repeated minimizer has its entry in pos, so
        // only the single ones need counting, from the keys alone. A free
        // slot's key was never written: test the slot before its key.
        n_occ += (uint32_t)mi->buckets[i].n_pos;
        for (uint32_t j = 0; j < h->n_buckets; ++j) n_occ += !slot_free(h->flags, j) && (h->keys[j] & 1);
    }
    if (n_distinct) *n_distinct = n_keys;
    if (n_positions) *n_positions = n_occ;
}

void ls_idx_stat(const ls_idx *mi) {
    // A statistics dump the caller asked for, in its fixed form.
    ls_log_raw("[M::%s] kmer size: %d; skip: %d; is_hpc: %d; #seq: %d\n", __func__, mi->k, mi->w,
            mi->flag & LS_I_HPC, (int)mi->n_seq);
    uint64_t n_keys = 0, n_single = 0, n_occ = 0, total_len = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) total_len += mi->seq[i].len;
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
        const ls_idx_hash *h = mi->buckets[i].table;
        if (h == nullptr) continue;
        n_keys += h->size;
        for (uint32_t j = 0; j < h->n_buckets; ++j) {
            if (slot_free(h->flags, j)) continue;
            if (h->keys[j] & 1) ++n_single;
            n_occ += slot_count(h, j);
        }
    }
    // An index without minimizers prints zeros rather than not-a-number.
    double t = ls_realtime() - ls_start_time, cpu = ls_cputime(), t2 = ls_realtime() - ls_start_time;
    ls_log_raw(
        "[M::%s::%.3f*%.2f] distinct minimizers: %ld (%.2f%% are singletons); average occurrences: %.3lf; "
        "average spacing: %.3lf; total length: %ld\n",
        __func__, t, cpu / t2, (long)n_keys, n_keys ? 100.0 * n_single / n_keys : 0.0,
        n_keys ? (double)n_occ / n_keys : 0.0, n_occ ? (double)total_len / n_occ : 0.0, (long)total_len);
}

/* ---- packed store and names ---- */

int ls_idx_get_bases(const ls_idx *mi, int rid, int start, int end, uint8_t *out) {
    const ls_idx_seq *t = extraction_target(mi, rid, start);
    if (t == nullptr) return -1;
    if (end > (int64_t)t->len) end = (int)t->len;
    const uint64_t st = t->offset + start;
    for (int j = 0; j < end - start; ++j) out[j] = packed_base(mi->packed_seq, st + j);
    return end - start;
}

int ls_idx_get_bases_rc(const ls_idx *mi, int rid, int start, int end, uint8_t *out) {
    const ls_idx_seq *t = extraction_target(mi, rid, start);
    if (t == nullptr) return -1;
    if (end > (int64_t)t->len) end = (int)t->len;
    // out[j] is the complement of forward position len - start - 1 - j.
    const uint64_t last = t->offset + t->len - 1 - start;
    for (int j = 0; j < end - start; ++j) {
        uint8_t c = packed_base(mi->packed_seq, last - j);
        out[j] = c < 4 ? 3 - c : c;
    }
    return end - start;
}

int ls_idx_get_bases_strand(const ls_idx *mi, int is_rev, int rid, int start, int end, uint8_t *out) {
    return is_rev ? ls_idx_get_bases_rc(mi, rid, start, end, out)
                  : ls_idx_get_bases(mi, rid, start, end, out);
}

int ls_idx_build_name_index(ls_idx *mi) {
    if (mi->name_index) return 0;
    ls_idx_name_hash *h = static_cast<ls_idx_name_hash *>(ls_xcalloc(1, sizeof(ls_idx_name_hash), __func__));
    bool dup = fill_name_index(h, mi);
    mi->name_index = h;
    if (dup) ls_log(LS_LOG_WARNING, "some database sequences have identical sequence names");
    return dup ? 1 : 0;
}

int ls_idx_name_to_id(const ls_idx *mi, const char *name) {
    const ls_idx_name_hash *h = mi->name_index;
    if (h == nullptr) return -2;
    uint32_t slot = table_get<ls_idx_name_hash, KeyName>(h, name);
    return slot == h->n_buckets ? -1 : (int)h->vals[slot];
}
