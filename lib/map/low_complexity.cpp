/* Low-complexity masking by a symmetric repeat score over 3-base words.
 *
 * For a stretch of n words, r = sum over the 64 words of c(c - 1) / 2 counts
 * the pairs of equal words; the stretch is low-complexity when r / (n - 1)
 * exceeds T / 10. Scores are always compared cross-multiplied, so no
 * division (and no rounding) takes place.
 *
 * The window keeps two sets of counts: cw over all its words (sum rw), and
 * cv over its newest L words (sum rv), where L is the longest suffix in which
 * no word occurs more than 2T / 10 times. Only stretches longer than that
 * suffix are searched, since the suffix itself repeats too little. */
#include "map/low_complexity.h"

#include <stdint.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/nucleotides.h"

namespace {

/* A window of more bases could make a stretch's pair count overflow 32 bits:
 * 65534 words give 65534 * 65533 / 2 < 2^31 pairs. */
constexpr int kMaxWindow = 65536;

/* ---- deque of words ---- */

void deque_reserve(km_arena *km, ls_int_deque *q, uint32_t cap) {
    // Unwraps the ring into a fresh block so that front becomes 0.
    int32_t *a = static_cast<int32_t *>(km_malloc(km, (size_t)cap * sizeof(int32_t)));
    for (uint32_t i = 0; i < q->count; ++i) a[i] = q->a[(q->front + i) & q->mask];
    kfree(km, q->a);
    q->a = a;
    q->front = 0;
    q->mask = cap - 1;
}

inline void deque_clear(ls_int_deque *q) {
    q->front = q->count = 0;
}

inline int32_t deque_at(const ls_int_deque *q, uint32_t i) {
    return q->a[(q->front + i) & q->mask];
}

void deque_push(km_arena *km, ls_int_deque *q, int32_t x) {
    if (q->count == q->mask + 1) deque_reserve(km, q, (q->mask + 1) << 1);
    q->a[(q->front + q->count++) & q->mask] = x;
}

int32_t deque_shift(ls_int_deque *q) {
    LS_ASSERT(q->count > 0);
    const int32_t x = q->a[q->front];
    q->front = (q->front + 1) & q->mask;
    --q->count;
    return x;
}

/* ---- lists ---- */

void result_push(ls_dust_buf *b, uint64_t x) {
    if (b->n_res == b->m_res) {
        b->m_res = b->m_res ? b->m_res << 1 : 2;
        b->res = static_cast<uint64_t *>(km_realloc(b->km, b->res, (size_t)b->m_res * sizeof(uint64_t)));
    }
    b->res[b->n_res++] = x;
}

/* Inserts iv before position at of the candidate list. */
void perfect_insert(ls_dust_buf *b, int32_t at, const ls_dust_interval &iv) {
    if (b->n_p == b->m_p) {
        uint32_t m = (uint32_t)b->n_p + 1; // the next power of two above n_p
        --m, m |= m >> 1, m |= m >> 2, m |= m >> 4, m |= m >> 8, m |= m >> 16, ++m;
        if (m == (uint32_t)b->n_p) m <<= 1;
        b->m_p = (int32_t)m;
        b->p = static_cast<ls_dust_interval *>(km_realloc(b->km, b->p, (size_t)m * sizeof(ls_dust_interval)));
    }
    if (at < b->n_p) memmove(b->p + at + 1, b->p + at, (size_t)(b->n_p - at) * sizeof(ls_dust_interval));
    b->p[at] = iv;
    ++b->n_p;
}

/* ---- the scan ---- */

/* Counts of the current window and its low-repeat suffix. */
struct Window {
    int32_t cw[64], cv[64];
    int64_t rw, rv;
    int32_t L;

    void clear() {
        memset(cw, 0, sizeof(cw));
        memset(cv, 0, sizeof(cv));
        rw = rv = 0;
        L = 0;
    }
};

/* Moves the candidate that starts first (the list's last entry) into the
 * results once it starts before s, i.e. once the window has left it; later
 * windows cannot extend it further to the left. Overlapping or touching
 * stretches merge. */
void save_masked(ls_dust_buf *b, int32_t s) {
    if (b->n_p == 0 || b->p[b->n_p - 1].start >= s) return;
    const ls_dust_interval &p = b->p[b->n_p - 1];
    if (b->n_res > 0 && p.start <= (int32_t)(uint32_t)b->res[b->n_res - 1]) {
        uint64_t &last = b->res[b->n_res - 1];
        if ((int32_t)(uint32_t)last < p.finish) last = last >> 32 << 32 | (uint32_t)p.finish;
    } else {
        result_push(b, (uint64_t)(uint32_t)p.start << 32 | (uint32_t)p.finish);
    }
    while (b->n_p > 0 && b->p[b->n_p - 1].start < s) --b->n_p;
}

/* Adds word t as the window's newest, dropping the oldest when the window
 * holds W - 2 words, and shortens the suffix so that no word occurs in it
 * more than 2T / 10 times. */
void shift_window(ls_dust_buf *b, Window &win, int32_t t, int T, int W) {
    ls_int_deque *q = &b->w;
    if ((int64_t)q->count >= W - 2) {
        const int32_t s = deque_shift(q);
        win.rw -= --win.cw[s];
        if (win.L > (int32_t)q->count) {
            --win.L;
            win.rv -= --win.cv[s];
        }
    }
    deque_push(b->km, q, t);
    ++win.L;
    win.rw += win.cw[t]++;
    win.rv += win.cv[t]++;
    if ((int64_t)win.cv[t] * 10 > 2 * (int64_t)T) {
        // The suffix must lose the older copy of t: drop up to and including it.
        int32_t s;
        do {
            s = deque_at(q, q->count - (uint32_t)win.L);
            win.rv -= --win.cv[s];
            --win.L;
        } while (s != t);
    }
}

/* Extends the low-repeat suffix backwards one word at a time; a stretch that
 * exceeds the threshold is recorded unless a recorded stretch inside it
 * scores higher. s0 is the window's first base. */
void find_perfect(ls_dust_buf *b, const Window &win, int T, int32_t s0) {
    const ls_int_deque *q = &b->w;
    int32_t c[64];
    memcpy(c, win.cv, sizeof(c));
    int64_t r = win.rv, max_r = 0, max_l = 0;
    const int32_t size = (int32_t)q->count;
    int32_t j = 0; // the list's entries before j start at or after i + s0
    for (int32_t i = size - win.L - 1; i >= 0; --i) {
        const int32_t t = deque_at(q, (uint32_t)i);
        r += c[t]++;
        const int32_t new_l = size - i - 1;
        if (r * 10 <= (int64_t)T * new_l) continue;
        // Candidates starting at or after this stretch lie inside it (they
        // all end at or before the window's end). The threshold only falls as
        // i does, so the walk resumes where it stopped: the entries before j
        // are already in max_r / max_l.
        for (; j < b->n_p && b->p[j].start >= i + s0; ++j) {
            const ls_dust_interval &p = b->p[j];
            if (max_r == 0 || (int64_t)p.r * max_l > max_r * p.l) max_r = p.r, max_l = p.l;
        }
        if (max_r == 0 || r * max_l >= max_r * new_l) {
            perfect_insert(b, j, ls_dust_interval{i + s0, size + 2 + s0, (int32_t)r, new_l});
            max_r = r, max_l = new_l;
        }
    }
}

} // namespace

ls_dust_buf *ls_dust_buf_init(km_arena *km) {
    ls_dust_buf *b = static_cast<ls_dust_buf *>(km_calloc(km, 1, sizeof(ls_dust_buf)));
    b->km = km;
    // A W = 64 window holds 62 words: start the ring at 256 slots so that
    // the usual window never grows it.
    b->w.mask = 3;
    b->w.a = static_cast<int32_t *>(km_malloc(km, 4 * sizeof(int32_t)));
    deque_reserve(km, &b->w, 256);
    return b;
}

void ls_dust_buf_destroy(ls_dust_buf *buf) {
    if (buf == nullptr) return;
    km_arena *km = buf->km;
    kfree(km, buf->w.a);
    kfree(km, buf->p);
    kfree(km, buf->res);
    kfree(km, buf);
}

const uint64_t *ls_dust_core(const char *seq, int len, int T, int W, int *n, ls_dust_buf *buf) {
    buf->n_p = buf->n_res = 0;
    deque_clear(&buf->w);
    *n = 0;
    if (seq == nullptr || W < 3) return buf->res;
    if (W > kMaxWindow) W = kMaxWindow;
    if (len < 0) {
        const size_t sl = strlen(seq);
        len = sl > (size_t)INT32_MAX ? INT32_MAX : (int)sl;
    }
    Window win;
    win.clear();
    int32_t l = 0, t = 0; // bases in the current unambiguous run, last word
    for (int64_t i = 0; i <= len; ++i) {
        const int bc = i < len ? ls_nt4_table[(uint8_t)seq[i]] : 4; // the end acts as a break
        const int32_t run_start = (int32_t)(i + 1 - l);
        if (bc < 4) {
            ++l;
            t = (t << 2 | bc) & 63;
            if (l >= 3) {
                const int32_t start = (l > W ? l - W : 0) + (int32_t)(i + 1 - l);
                save_masked(buf, start);
                shift_window(buf, win, t, T, W);
                if (win.rw * 10 > (int64_t)win.L * T) find_perfect(buf, win, T, start);
            }
        } else {
            // Every stretch still open is flushed in start order.
            int32_t start = (l - W + 1 > 0 ? l - W + 1 : 0) + run_start;
            while (buf->n_p > 0) save_masked(buf, start++);
            l = t = 0;
            deque_clear(&buf->w);
            win.clear();
        }
    }
    *n = buf->n_res;
    return buf->res;
}

uint64_t *ls_dust(km_arena *km, const char *seq, int len, int T, int W, int *n) {
    ls_dust_buf *b = ls_dust_buf_init(km);
    ls_dust_core(seq, len, T, W, n, b);
    uint64_t *res = nullptr;
    if (*n > 0) {
        res = b->res;
        b->res = nullptr; // handed to the caller
    }
    ls_dust_buf_destroy(b);
    return res;
}
