/* Extension kernel with one affine gap model: a gap of length l costs
 * q + l*e.
 *
 * The recurrence is that of the dual-affine kernel reduced to one gap model
 * (differences U, V, X, Y per target position, see dp_dual_gap.cpp), with
 * every stored difference carrying an offset of q+e. A difference never falls
 * below -(q+e), so the stored bytes are non-negative and the maximum and the
 * cap are single unsigned byte operations. The zeroed block thus starts every
 * difference at -(q+e). Substitution scores are stored as they are and gain
 * 2(q+e) when loaded, since a candidate is the sum of two offset differences.
 *
 * A candidate reaches the match score plus 2(q+e), which exceeds 127 when
 * q+e is near its limit of 63; all comparisons are therefore unsigned, so
 * stored values are exact up to 255.
 *
 * As in the dual-affine kernel, V and X (read one position back) have two
 * buffers, so that the previous anti-diagonal's values come with one
 * unaligned load. The same source is compiled again with AVX2 and AVX-512
 * (dp_single_gap_avx2.cpp, dp_single_gap_avx512.cpp). */
#include <string.h>

#include "align/kernels/dp_kernel.h"
#include "base/diagnostics.h"

#ifndef DPX_ISA_NS
#define DPX_ISA_NS       dpx_isa_sse2
#define DPX_ISA_DISPATCH 1
#endif

namespace DPX_ISA_NS {
namespace {

template <class S> struct Consts {
    typedef typename S::V V;
    V zero, minus1, q, qe2, cap;
    V st1, st2, ext1, ext2;
    V wildcard, match, mismatch, sc_n;
    Consts(int q_, int qe2_, int cap_, int wildcard_, int match_, int mismatch_, int sc_n_)
        : zero(S::set1(0)), minus1(S::set1(-1)), q(S::set1(q_)), qe2(S::set1(qe2_)), cap(S::set1(cap_)),
          st1(S::set1(1)), st2(S::set1(2)), ext1(S::set1(0x08)), ext2(S::set1(0x10)),
          wildcard(S::set1(wildcard_)), match(S::set1(match_)), mismatch(S::set1(mismatch_)),
          sc_n(S::set1(sc_n_)) {}
};

struct Kernel {
    Consts<DpxV128> c16;
#ifdef __AVX2__
    Consts<DpxV256> c32;
#endif
    Kernel(int q, int qe2, int cap, int wildcard, int match, int mismatch, int sc_n)
        : c16(q, qe2, cap, wildcard, match, mismatch, sc_n)
#ifdef __AVX2__
          ,
          c32(q, qe2, cap, wildcard, match, mismatch, sc_n)
#endif
    {
    }
};

/* Default-mode substitution scores of one or two chunks of 16 cells from t.
 * qr[qoff + t] is the query base of cell t. */
template <class S>
static inline void fill_chunk(const Consts<S> &c, uint8_t *s, const uint8_t *sf, const uint8_t *qr, int qoff,
                              int t) {
    typename S::V tb = S::load(sf + t), qb = S::load(qr + qoff + t);
    typename S::V wild = S::or_(S::eq(tb, c.wildcard), S::eq(qb, c.wildcard));
    typename S::V sc = S::select(S::eq(tb, qb), c.match, c.mismatch);
    S::store(s + t, S::select(wild, c.sc_n, sc));
}

/* Scores of the cells st0..en0 in chunks of 16 from st0 (up to 15 positions
 * past en0 are filled too). */
static inline void fill_scores_default(const Kernel &K, uint8_t *s, const uint8_t *sf, const uint8_t *qr,
                                       int qoff, int st0, int en0) {
    int t = st0;
#ifdef __AVX2__
    for (; t + 16 <= en0; t += 32) fill_chunk(K.c32, s, sf, qr, qoff, t);
#endif
    for (; t <= en0; t += 16) fill_chunk(K.c16, s, sf, qr, qoff, t);
}

/* U, Y and S in place; V and X read from the previous anti-diagonal's
 * buffers (index -1 is valid) and written to the other ones. */
struct Arrays {
    uint8_t *u, *y, *s;
    const uint8_t *x_old, *v_old;
    uint8_t *x_new, *v_new;
};

/* The recurrence on the cells at byte offset o, on offset values. */
template <class S, bool kPath, bool kRight>
static inline typename S::V block(const Consts<S> &c, const Arrays &A, size_t o) {
    typedef typename S::V V;
    V z = S::add(S::load(A.s + o), c.qe2);
    V vt1 = S::load(A.v_old + o - 1), ut = S::load(A.u + o);
    V a = S::add(S::load(A.x_old + o - 1), vt1), b = S::add(S::load(A.y + o), ut);
    V d = c.zero, zn;
    /* states from unsigned comparisons, read off the running maximum */
    if (kPath && !kRight) {
        zn = S::max_u(z, a), d = S::andnot(S::eq(zn, z), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st2)), z = zn;
    } else if (kPath) {
        zn = S::max_u(z, a), d = S::and_(S::eq(zn, a), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::and_(S::eq(zn, b), c.st2)), z = zn;
    } else {
        z = S::max_u(z, S::max_u(a, b));
    }
    z = S::min_u(z, c.cap);
    /* one offset cancels in each difference of offset values */
    S::store(A.u + o, S::sub(z, vt1));
    S::store(A.v_new + o, S::sub(z, ut));
    V zq = S::sub(z, c.q);
    a = S::sub(a, zq), b = S::sub(b, zq);
    const V lim = kRight ? c.minus1 : c.zero; /* continuation on > 0, or on >= 0 */
    V ma = S::gt(a, lim), mb = S::gt(b, lim);
    S::store(A.x_new + o, S::and_(ma, a));
    S::store(A.y + o, S::and_(mb, b));
    if (kPath) d = S::or_(d, S::or_(S::and_(ma, c.ext1), S::and_(mb, c.ext2)));
    return d;
}

template <bool kPath, bool kRight>
static void compute_blocks(const Kernel &K, const Arrays &A, uint8_t *dir, int st_, int en_) {
    int t = st_;
#ifdef __AVX2__
    for (; t < en_; t += 2) {
        __m256i d = block<DpxV256, kPath, kRight>(K.c32, A, (size_t)t * 16);
        if (kPath) DpxV256::store(dir + (size_t)(t - st_) * 16, d);
    }
#endif
    for (; t <= en_; ++t) {
        __m128i d = block<DpxV128, kPath, kRight>(K.c16, A, (size_t)t * 16);
        if (kPath) DpxV128::store(dir + (size_t)(t - st_) * 16, d);
    }
}

} // namespace

void dpx_extz2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q_, int8_t e_, int bw, int zdrop, int end_bonus,
               int flag, dpx_extz *ez) {
    dpx_extz_clear(ez);
    if (qlen <= 0 || tlen <= 0 || n_symbols <= 0) return;
    if ((int64_t)qlen + tlen > INT32_MAX) return; /* r = i + j must fit an int */
    const int m = n_symbols, q = q_, e = e_, qe = q + e;
    const int8_t sc_n = matrix[m * m - 1] == 0 ? (int8_t)-e : matrix[m * m - 1];
    if (bw < 0) bw = qlen > tlen ? qlen : tlen;
    if (dpx_min_score(matrix, m) < -2 * qe) return;
    /* A substitution score below -2(q+e) (only matrix[0] can be, unchecked)
     * would make the offset candidate negative; it counts as -2(q+e). */
    auto clamp_sc = [qe](int sc) { return sc < -2 * qe ? -2 * qe : sc; };

    const int with_path = !(flag & DPX_EZ_NO_PATH), exact = !(flag & DPX_EZ_FAST_MAX);
    const int right = (flag & DPX_EZ_GAPS_RIGHT) != 0;
    const size_t tlen_ = (tlen + 15) / 16, qlen_ = (qlen + 15) / 16, T = tlen_ * 16;
    const int min_len = qlen < tlen ? qlen : tlen;
    const int n_col_ = dpx_n_blocks(bw < min_len ? (int64_t)bw + 1 : min_len);

    /* U Y; two buffers each of X V with one vector in front (position -1); S
     * with a spare vector; the target; the reversed query with a spare vector
     * of zeros; one vector for alignment. Zero is -(q+e) for the differences. */
    uint8_t *mem = (uint8_t *)km_calloc(km, 8 * tlen_ + qlen_ + 7, 16);
    uint8_t *u = (uint8_t *)(((size_t)mem + 15) >> 4 << 4), *y = u + T;
    uint8_t *xb[2], *vb[2];
    xb[0] = y + T + 16, vb[0] = xb[0] + T + 16, xb[1] = vb[0] + T + 16, vb[1] = xb[1] + T + 16;
    uint8_t *s = vb[1] + T, *sf = s + T + 16, *qr = sf + T;
    dpx_load_codes(sf, qr, target, tlen, query, qlen, m);

    dpx_scratch w;
    dpx_scratch_alloc(km, &w, exact, with_path, T, n_col_, qlen, tlen);
    int32_t H0 = 0, t0 = 0; /* the greedy path of fast tracking */

    const Kernel K(q, 2 * qe, clamp_sc(matrix[0]) + 2 * qe, m - 1, clamp_sc(matrix[0]),
                   clamp_sc(m > 1 ? matrix[1] : matrix[0]), clamp_sc(sc_n));

    int last_st = -1, last_en = -1;
    for (int r = 0; r < qlen + tlen - 1; ++r) {
        int st0, en0;
        dpx_band(r, qlen, tlen, bw, &st0, &en0);
        if (st0 > en0) { /* the band has left the matrix */
            ez->dropped = 1;
            break;
        }
        const int st = st0 & ~15, en = en0 | 15, st_ = st >> 4, en_ = en >> 4;
        LS_ASSERT(en_ - st_ + 1 <= n_col_);
        const int qoff = qlen - 1 - r; /* the query base of cell t is qr[qoff + t] */
        Arrays A;
        A.u = u, A.y = y, A.s = s;
        A.x_old = xb[r & 1], A.v_old = vb[r & 1];
        A.x_new = xb[~r & 1], A.v_new = vb[~r & 1];

        /* left boundary (stored: true value + q+e) when position st-1 was not
         * computed on the previous anti-diagonal: -(q+e), or along the left
         * edge the leading gap, -(q+e) then -e per base */
        if (st == 0 || st - 1 < last_st || st - 1 > last_en) {
            xb[r & 1][st - 1] = 0;
            vb[r & 1][st - 1] = st == 0 && r > 0 ? (uint8_t)q : 0;
        }
        if (r <= en) y[r] = 0, u[r] = r ? (uint8_t)q : 0; /* top boundary */

        if (!(flag & DPX_EZ_FULL_MATRIX)) {
            fill_scores_default(K, s, sf, qr, qoff, st0, en0);
        } else {
            for (int t = st0; t <= en0; ++t) s[t] = (uint8_t)clamp_sc(matrix[sf[t] * m + qr[qoff + t]]);
        }

        uint8_t *dir = with_path ? w.dir + (size_t)r * w.row_bytes : nullptr;
        if (!with_path)
            compute_blocks<false, false>(K, A, dir, st_, en_);
        else if (!right)
            compute_blocks<true, false>(K, A, dir, st_, en_);
        else
            compute_blocks<true, true>(K, A, dir, st_, en_);
        if (with_path) w.row_start[r] = st, w.row_end[r] = en;

        const uint8_t *v_new = A.v_new;
        const int32_t h00 = (int32_t)v_new[0] - 2 * qe; /* stored V(0,0) = H(0,0) + 2(q+e) */
        int stop =
            exact ? dpx_track_exact(ez, w.H, u, v_new, qe, r, st0, en0, qlen, tlen, h00, zdrop, e)
                  : dpx_track_fast(ez, &H0, &t0, u, v_new, qe, r, st0, en0, qlen, tlen, h00, zdrop, e, flag);
        if (stop) break;
        last_st = st, last_en = en;
    }
    kfree(km, mem);
    dpx_scratch_finish(km, &w, ez, flag, qlen, tlen, end_bonus);
}

} // namespace DPX_ISA_NS

#ifdef DPX_ISA_DISPATCH
/* The AVX2 and AVX-512 builds of this source set these to their entry points;
 * null when they were compiled without those instruction sets. */
namespace dpx_isa_avx2 {
extern const dpx_extz2_fn extz2_entry;
}
namespace dpx_isa_avx512 {
extern const dpx_extz2_fn extz2_entry;
}

void dpx_extz2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int bw, int zdrop, int end_bonus,
               int flag, dpx_extz *ez) {
    static const dpx_extz2_fn fn =
        dpx_pick(dpx_isa_avx512::extz2_entry, dpx_isa_avx2::extz2_entry, &dpx_isa_sse2::dpx_extz2);
    fn(km, qlen, query, tlen, target, n_symbols, matrix, q, e, bw, zdrop, end_bonus, flag, ez);
}
#endif
