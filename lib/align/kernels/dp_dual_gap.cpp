/* Extension kernel with two affine gap models: a gap of length l costs
 * min(q + l*e, q2 + l*e2), so short gaps pay the first model and long gaps the
 * second, flatter one.
 *
 * Per target position the kernel keeps 8-bit differences, overwritten
 * anti-diagonal after anti-diagonal:
 *   U = H(i,j) - H(i-1,j)      V = H(i,j) - H(i,j-1)
 *   X = E(i+1,j) - H(i,j)      Y = F(i,j+1) - H(i,j)      (first model)
 *   X2 = E2(i+1,j) - H(i,j)    Y2 = F2(i,j+1) - H(i,j)    (second model)
 * and the substitution scores S of the current anti-diagonal. A cell on
 * anti-diagonal r at target position t reads V, X, X2 of position t-1 and U,
 * Y, Y2 of position t as the previous anti-diagonal left them, so the 16 cells
 * of a vector are independent.
 *
 * Two representation choices keep the vector work small without changing a
 * single result:
 * - V, X and X2, the arrays read one position back, have two buffers: the
 *   previous anti-diagonal's values are read with one unaligned load at t-1
 *   while the new ones go to the other buffer. Positions outside the blocks
 *   of an anti-diagonal are never read by the next one, except the one before
 *   its first block, which gets the boundary value when it was not computed.
 * - U, V and S are stored with 128 added (modulo 256). Every candidate score
 *   is the sum of one such value and one plain difference, so it carries the
 *   offset too, and the signed maximum, the cap and the tie tests become
 *   single unsigned operations. The signed order of a byte is the unsigned
 *   order of the byte plus 128.
 *
 * The same source is compiled again with AVX2 and AVX-512 (dp_dual_gap_avx2.cpp,
 * dp_dual_gap_avx512.cpp) in a
 * namespace of its own; all give identical results. */
#include <string.h>

#include "align/kernels/dp_kernel.h"
#include "base/diagnostics.h"

#ifndef DPX_ISA_NS
#define DPX_ISA_NS       dpx_isa_sse2
#define DPX_ISA_DISPATCH 1
#endif

namespace DPX_ISA_NS {
namespace {

/* Penalties and constant vectors of one call at one vector width (values
 * stored with the offset of 128 end in _b). */
template <class S> struct Consts {
    typedef typename S::V V;
    V zero, minus1, q, qe, q2, qe2, cap_b, bias;
    V st1, st2, st3, st4;                    /* direction states */
    V ext1, ext2, ext3, ext4;                /* continuation bits */
    V wildcard, match_b, mismatch_b, sc_n_b; /* default-mode substitution scores */
    Consts(int q_, int qe_, int q2_, int qe2_, int cap_b_, int wildcard_, int match_b_, int mismatch_b_,
           int sc_n_b_)
        : zero(S::set1(0)), minus1(S::set1(-1)), q(S::set1(q_)), qe(S::set1(qe_)), q2(S::set1(q2_)),
          qe2(S::set1(qe2_)), cap_b(S::set1(cap_b_)), bias(S::set1(0x80)), st1(S::set1(1)), st2(S::set1(2)),
          st3(S::set1(3)), st4(S::set1(4)), ext1(S::set1(0x08)), ext2(S::set1(0x10)), ext3(S::set1(0x20)),
          ext4(S::set1(0x40)), wildcard(S::set1(wildcard_)), match_b(S::set1(match_b_)),
          mismatch_b(S::set1(mismatch_b_)), sc_n_b(S::set1(sc_n_b_)) {}
};

/* The constants at every width this build uses. */
struct Kernel {
    Consts<DpxV128> c16;
#ifdef __AVX2__
    Consts<DpxV256> c32;
#endif
    Kernel(int q, int qe, int q2, int qe2, int cap_b, int wildcard, int match_b, int mismatch_b, int sc_n_b)
        : c16(q, qe, q2, qe2, cap_b, wildcard, match_b, mismatch_b, sc_n_b)
#ifdef __AVX2__
          ,
          c32(q, qe, q2, qe2, cap_b, wildcard, match_b, mismatch_b, sc_n_b)
#endif
    {
    }
};

/* Default-mode substitution scores (with the offset) of one or two chunks of
 * 16 cells from t. qr[qoff + t] is the query base of cell t. */
template <class S>
static inline void fill_chunk(const Consts<S> &c, uint8_t *s, const uint8_t *sf, const uint8_t *qr, int qoff,
                              int t) {
    typename S::V tb = S::load(sf + t), qb = S::load(qr + qoff + t);
    typename S::V wild = S::or_(S::eq(tb, c.wildcard), S::eq(qb, c.wildcard));
    typename S::V sc = S::select(S::eq(tb, qb), c.match_b, c.mismatch_b);
    S::store(s + t, S::select(wild, c.sc_n_b, sc));
}

/* Scores of the cells st0..en0 in chunks of 16 from st0: positions up to 15
 * past en0 are filled too, and only feed cells outside the band. */
static inline void fill_scores_default(const Kernel &K, uint8_t *s, const uint8_t *sf, const uint8_t *qr,
                                       int qoff, int st0, int en0) {
    int t = st0;
#ifdef __AVX2__
    for (; t + 16 <= en0; t += 32)
        fill_chunk(K.c32, s, sf, qr, qoff, t); /* two chunks that both start in range */
#endif
    for (; t <= en0; t += 16) fill_chunk(K.c16, s, sf, qr, qoff, t);
}

/* Arrays of one anti-diagonal: U, Y, Y2 and S in place; V, X, X2 read from
 * the previous anti-diagonal's buffers (index -1 is valid) and written to the
 * other ones. */
struct Arrays {
    uint8_t *u, *y, *y2, *s;
    const uint8_t *x_old, *v_old, *x2_old;
    uint8_t *x_new, *v_new, *x2_new;
};

/* The recurrence on the cells at byte offset o (16 or 32 of them). Returns
 * the direction bytes when kPath; kRight resolves ties towards the later state
 * and records gap continuation on equality. */
template <class S, bool kPath, bool kRight>
static inline typename S::V block(const Consts<S> &c, const Arrays &A, size_t o) {
    typedef typename S::V V;
    V z = S::load(A.s + o);
    V xt1 = S::load(A.x_old + o - 1), vt1 = S::load(A.v_old + o - 1), x2t1 = S::load(A.x2_old + o - 1);
    V ut = S::load(A.u + o);
    V a = S::add(xt1, vt1), b = S::add(S::load(A.y + o), ut);
    V a2 = S::add(x2t1, vt1), b2 = S::add(S::load(A.y2 + o), ut);
    V d = c.zero, zn;
    /* A candidate is strictly greater when it moved the running maximum, and
     * greater or equal when the maximum equals it. */
    if (kPath && !kRight) {
        zn = S::max_u(z, a), d = S::andnot(S::eq(zn, z), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st2)), z = zn;
        zn = S::max_u(z, a2), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st3)), z = zn;
        zn = S::max_u(z, b2), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st4)), z = zn;
    } else if (kPath) {
        zn = S::max_u(z, a), d = S::and_(S::eq(zn, a), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::and_(S::eq(zn, b), c.st2)), z = zn;
        zn = S::max_u(z, a2), d = S::max_u(d, S::and_(S::eq(zn, a2), c.st3)), z = zn;
        zn = S::max_u(z, b2), d = S::max_u(d, S::and_(S::eq(zn, b2), c.st4)), z = zn;
    } else {
        z = S::max_u(S::max_u(z, a), S::max_u(b, S::max_u(a2, b2)));
    }
    z = S::min_u(z, c.cap_b); /* the state stays as chosen */
    /* offset minus offset is plain; add the offset back for storage */
    S::store(A.u + o, S::xor_(S::sub(z, vt1), c.bias));
    S::store(A.v_new + o, S::xor_(S::sub(z, ut), c.bias));
    /* a - (Z - q) = E(i,j) + q - H(i,j): positive when extending the gap beats
     * opening a new one from H(i,j) */
    V zq = S::sub(z, c.q), zq2 = S::sub(z, c.q2);
    a = S::sub(a, zq), b = S::sub(b, zq), a2 = S::sub(a2, zq2), b2 = S::sub(b2, zq2);
    const V lim = kRight ? c.minus1 : c.zero; /* continuation on > 0, or on >= 0 */
    V ma = S::gt(a, lim), mb = S::gt(b, lim), ma2 = S::gt(a2, lim), mb2 = S::gt(b2, lim);
    S::store(A.x_new + o, S::sub(S::and_(ma, a), c.qe));
    S::store(A.y + o, S::sub(S::and_(mb, b), c.qe));
    S::store(A.x2_new + o, S::sub(S::and_(ma2, a2), c.qe2));
    S::store(A.y2 + o, S::sub(S::and_(mb2, b2), c.qe2));
    if (kPath) {
        d = S::or_(d, S::or_(S::and_(ma, c.ext1), S::and_(mb, c.ext2)));
        d = S::or_(d, S::or_(S::and_(ma2, c.ext3), S::and_(mb2, c.ext4)));
    }
    return d;
}

/* Every cell of blocks st_..en_; direction bytes to dir when kPath. */
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

/* Step of the leading-gap cost g(l) = min(q + l*e, q2 + l*e2) at anti-diagonal
 * r: H(-1, r) - H(-1, r-1), and likewise along the target. */
static inline int8_t leading_gap_step(int r, int qe, int e, int e2, int long_thres, int long_diff) {
    if (r == 0) return (int8_t)-qe;
    if (r < long_thres) return (int8_t)-e;
    if (r == long_thres) return (int8_t)long_diff;
    return (int8_t)-e2;
}

} // namespace

void dpx_extd2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q_, int8_t e_, int8_t q2_, int8_t e2_, int bw,
               int zdrop, int end_bonus, int flag, dpx_extz *ez) {
    dpx_extz_clear(ez);
    if (qlen <= 0 || tlen <= 0 || n_symbols <= 1) return;
    if ((int64_t)qlen + tlen > INT32_MAX) return; /* r = i + j must fit an int */
    int q = q_, e = e_, q2 = q2_, e2 = e2_;
    if (q2 + e2 < q + e) { /* the first model is the cheaper one to open */
        int tmp = q;
        q = q2, q2 = tmp;
        tmp = e, e = e2, e2 = tmp;
    }
    const int m = n_symbols, qe = q + e, qe2 = q2 + e2;
    const int8_t sc_n = matrix[m * m - 1] == 0 ? (int8_t)-e2 : matrix[m * m - 1];
    if (bw < 0) bw = qlen > tlen ? qlen : tlen;
    if (dpx_min_score(matrix, m) < -2 * qe) return;

    /* where the leading-gap cost switches to the second model */
    int long_thres = e != e2 ? (q2 - q) / (e - e2) - 1 : 0;
    if (q2 + e2 + long_thres * e2 > q + e + long_thres * e) ++long_thres;
    const int long_diff = long_thres * (e - e2) - (q2 - q) - e2;

    const int with_path = !(flag & DPX_EZ_NO_PATH), exact = !(flag & DPX_EZ_FAST_MAX);
    const int right = (flag & DPX_EZ_GAPS_RIGHT) != 0;
    const size_t tlen_ = (tlen + 15) / 16, qlen_ = (qlen + 15) / 16, T = tlen_ * 16;
    const int min_len = qlen < tlen ? qlen : tlen;
    const int n_col_ = dpx_n_blocks(bw < min_len ? (int64_t)bw + 1 : min_len);

    /* U Y Y2; two buffers each of X V X2 with one vector in front (position
     * -1); S with a spare vector (the default-mode scores run up to 15
     * positions past the band); the target; the reversed query with a spare
     * vector of zeros (read past its end as code 0); one vector for alignment */
    uint8_t *mem = (uint8_t *)km_malloc(km, (11 * tlen_ + qlen_ + 9) * 16);
    uint8_t *u = (uint8_t *)(((size_t)mem + 15) >> 4 << 4), *y = u + T, *y2 = y + T;
    uint8_t *xb[2], *vb[2], *x2b[2];
    for (int k = 0; k < 2; ++k) {
        xb[k] = y2 + T + 16 + k * 3 * (T + 16);
        vb[k] = xb[k] + T + 16, x2b[k] = vb[k] + T + 16;
    }
    uint8_t *s = x2b[1] + T, *sf = s + T + 16, *qr = sf + T;
    memset(u, dpx_biased(-qe), T);
    memset(y, (uint8_t)-qe, T);
    memset(y2, (uint8_t)-qe2, T);
    for (int k = 0; k < 2; ++k) {
        memset(xb[k] - 16, (uint8_t)-qe, T + 16);
        memset(vb[k] - 16, dpx_biased(-qe), T + 16);
        memset(x2b[k] - 16, (uint8_t)-qe2, T + 16);
    }
    memset(s, dpx_biased(0), T + 16);
    memset(sf, 0, T + qlen_ * 16 + 16);
    dpx_load_codes(sf, qr, target, tlen, query, qlen, m);

    dpx_scratch w;
    dpx_scratch_alloc(km, &w, exact, with_path, T, n_col_, qlen, tlen);
    int32_t H0 = 0, t0 = 0; /* the greedy path of fast tracking */

    const Kernel K(q, qe, q2, qe2, dpx_biased(matrix[0]), m - 1, dpx_biased(matrix[0]), dpx_biased(matrix[1]),
                   dpx_biased(sc_n));

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
        A.u = u, A.y = y, A.y2 = y2, A.s = s;
        A.x_old = xb[r & 1], A.v_old = vb[r & 1], A.x2_old = x2b[r & 1];
        A.x_new = xb[~r & 1], A.v_new = vb[~r & 1], A.x2_new = x2b[~r & 1];

        /* left boundary: what the cell at st reads from position st-1 */
        if (st == 0 || st - 1 < last_st || st - 1 > last_en) {
            uint8_t *x_old = xb[r & 1], *v_old = vb[r & 1], *x2_old = x2b[r & 1];
            x_old[st - 1] = (uint8_t)-qe, x2_old[st - 1] = (uint8_t)-qe2;
            /* never computed: as far below as a difference goes; the left
             * edge of the matrix: the leading gap */
            v_old[st - 1] =
                st > 0 ? dpx_biased(-qe) : dpx_biased(leading_gap_step(r, qe, e, e2, long_thres, long_diff));
        }
        /* top boundary: what the cell (r, 0) reads from above the matrix */
        if (r <= en) {
            y[r] = (uint8_t)-qe, y2[r] = (uint8_t)-qe2;
            u[r] = dpx_biased(leading_gap_step(r, qe, e, e2, long_thres, long_diff));
        }

        if (!(flag & DPX_EZ_FULL_MATRIX)) {
            fill_scores_default(K, s, sf, qr, qoff, st0, en0);
        } else {
            for (int t = st0; t <= en0; ++t) s[t] = dpx_biased(matrix[sf[t] * m + qr[qoff + t]]);
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
        const int32_t h00 = (int32_t)v_new[0] - 128 - qe; /* V(0,0) = H(0,0) + g(1) */
        int stop = exact ? dpx_track_exact(ez, w.H, u, v_new, 128, r, st0, en0, qlen, tlen, h00, zdrop, e2)
                         : dpx_track_fast(ez, &H0, &t0, u, v_new, 128, r, st0, en0, qlen, tlen, h00, zdrop,
                                          e2, flag);
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
extern const dpx_extd2_fn extd2_entry;
}
namespace dpx_isa_avx512 {
extern const dpx_extd2_fn extd2_entry;
}

void dpx_extd2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int8_t q2, int8_t e2, int bw,
               int zdrop, int end_bonus, int flag, dpx_extz *ez) {
    static const dpx_extd2_fn fn =
        dpx_pick(dpx_isa_avx512::extd2_entry, dpx_isa_avx2::extd2_entry, &dpx_isa_sse2::dpx_extd2);
    fn(km, qlen, query, tlen, target, n_symbols, matrix, q, e, q2, e2, bw, zdrop, end_bonus, flag, ez);
}
#endif
