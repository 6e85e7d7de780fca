/* Splice-aware extension kernel: one affine gap model (a gap of length l
 * costs q + l*e) plus an intron state, a deletion from the target that costs
 * q2 whatever its length, adjusted by scores for the donor and acceptor sites
 * at its two ends. A transcript (query) is aligned against genomic sequence
 * (target) without a band, since introns make the matrix long and thin.
 *
 * Per target position the kernel keeps 8-bit differences, overwritten
 * anti-diagonal after anti-diagonal:
 *   U = H(i,j) - H(i-1,j)      V = H(i,j) - H(i,j-1)
 *   X = E(i+1,j) - H(i,j)      Y = F(i,j+1) - H(i,j)
 *   X2 = E2(i+1,j) - H(i,j)    (intron state one target base further)
 * plus the per-position site scores: donor_score[t] for an intron whose first
 * base is t+1 and acceptor_score[t] for one whose last base is t. An intron
 * over k+1 .. i thus changes the score by donor_score[k] + acceptor_score[i]
 * - q2, and extends at no cost.
 *
 * As in the dual-affine kernel, V, X and X2 (read one position back) have two
 * buffers so that a whole vector is read with one unaligned load at t-1, and
 * U, V and S carry an offset of 128 so that the signed maximum of the
 * candidates is one unsigned byte maximum.
 *
 * The same source is compiled again with AVX2 and AVX-512 (dp_splice_avx2.cpp,
 * dp_splice_avx512.cpp) in a
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
    V zero, minus1, q, qe, q2, bias;
    V st1, st2, st3;                         /* direction states */
    V ext1, ext2, ext3;                      /* continuation bits */
    V wildcard, match_b, mismatch_b, sc_n_b; /* default-mode substitution scores */
    Consts(int q_, int qe_, int q2_, int wildcard_, int match_b_, int mismatch_b_, int sc_n_b_)
        : zero(S::set1(0)), minus1(S::set1(-1)), q(S::set1(q_)), qe(S::set1(qe_)), q2(S::set1(q2_)),
          bias(S::set1(0x80)), st1(S::set1(1)), st2(S::set1(2)), st3(S::set1(3)), ext1(S::set1(0x08)),
          ext2(S::set1(0x10)), ext3(S::set1(0x20)), wildcard(S::set1(wildcard_)), match_b(S::set1(match_b_)),
          mismatch_b(S::set1(mismatch_b_)), sc_n_b(S::set1(sc_n_b_)) {}
};

/* The constants at every width this build uses. */
struct Kernel {
    Consts<DpxV128> c16;
#ifdef __AVX2__
    Consts<DpxV256> c32;
#endif
    Kernel(int q, int qe, int q2, int wildcard, int match_b, int mismatch_b, int sc_n_b)
        : c16(q, qe, q2, wildcard, match_b, mismatch_b, sc_n_b)
#ifdef __AVX2__
          ,
          c32(q, qe, q2, wildcard, match_b, mismatch_b, sc_n_b)
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
 * past en0 are filled too, and only feed cells outside the anti-diagonal. */
static inline void fill_scores_default(const Kernel &K, uint8_t *s, const uint8_t *sf, const uint8_t *qr,
                                       int qoff, int st0, int en0) {
    int t = st0;
#ifdef __AVX2__
    for (; t + 16 <= en0; t += 32)
        fill_chunk(K.c32, s, sf, qr, qoff, t); /* two chunks that both start in range */
#endif
    for (; t <= en0; t += 16) fill_chunk(K.c16, s, sf, qr, qoff, t);
}

/* Arrays of one anti-diagonal: U, Y and S in place; V, X, X2 read from the
 * previous anti-diagonal's buffers (index -1 is valid) and written to the
 * other ones; the site tables read only. */
struct Arrays {
    uint8_t *u, *y, *s;
    const uint8_t *x_old, *v_old, *x2_old;
    uint8_t *x_new, *v_new, *x2_new;
    const uint8_t *donor, *acceptor;
};

/* The recurrence on the cells at byte offset o (16 or 32 of them). Returns
 * the direction bytes when kPath; kRight resolves ties towards the later state
 * and records gap continuation on equality. */
template <class S, bool kPath, bool kRight>
static inline typename S::V block(const Consts<S> &c, const Arrays &A, size_t o) {
    typedef typename S::V V;
    V z = S::load(A.s + o);
    V vt1 = S::load(A.v_old + o - 1), ut = S::load(A.u + o);
    V a = S::add(S::load(A.x_old + o - 1), vt1), b = S::add(S::load(A.y + o), ut);
    V e2 = S::add(S::load(A.x2_old + o - 1), vt1); /* E2(i,j) - H(i-1,j-1), with the offset */
    V a2 = S::add(e2, S::load(A.acceptor + o));    /* close the intron at this target base */
    V d = c.zero, zn;
    /* A candidate is strictly greater when it moved the running maximum, and
     * greater or equal when the maximum equals it. */
    if (kPath && !kRight) {
        zn = S::max_u(z, a), d = S::andnot(S::eq(zn, z), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st2)), z = zn;
        zn = S::max_u(z, a2), d = S::max_u(d, S::andnot(S::eq(zn, z), c.st3)), z = zn;
    } else if (kPath) {
        zn = S::max_u(z, a), d = S::and_(S::eq(zn, a), c.st1), z = zn;
        zn = S::max_u(z, b), d = S::max_u(d, S::and_(S::eq(zn, b), c.st2)), z = zn;
        zn = S::max_u(z, a2), d = S::max_u(d, S::and_(S::eq(zn, a2), c.st3)), z = zn;
    } else {
        z = S::max_u(S::max_u(z, a), S::max_u(b, a2));
    }
    /* offset minus offset is plain; add the offset back for storage */
    S::store(A.u + o, S::xor_(S::sub(z, vt1), c.bias));
    S::store(A.v_new + o, S::xor_(S::sub(z, ut), c.bias));
    /* a - (Z - q) = E(i,j) + q - H(i,j): positive when extending the gap beats
     * opening a new one from H(i,j) */
    V zq = S::sub(z, c.q);
    a = S::sub(a, zq), b = S::sub(b, zq);
    const V lim = kRight ? c.minus1 : c.zero; /* continuation on > 0, or on >= 0 */
    V ma = S::gt(a, lim), mb = S::gt(b, lim);
    S::store(A.x_new + o, S::sub(S::and_(ma, a), c.qe));
    S::store(A.y + o, S::sub(S::and_(mb, b), c.qe));
    /* E2(i,j) - H(i,j) + q2 against the donor score: the intron one base
     * further either continues or opens after this target base */
    V cc = S::sub(e2, S::sub(z, c.q2)), donor = S::load(A.donor + o);
    V mc = kRight ? S::andnot(S::gt(donor, cc), c.minus1) : S::gt(cc, donor);
    S::store(A.x2_new + o, S::sub(S::select(mc, cc, donor), c.q2));
    if (kPath) {
        d = S::or_(d, S::or_(S::and_(ma, c.ext1), S::and_(mb, c.ext2)));
        d = S::or_(d, S::and_(mc, c.ext3));
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

/* Step of the leading-gap cost g(l) = min(q + l*e, q2) at anti-diagonal r:
 * H(-1, r) - H(-1, r-1), and likewise along the target. */
static inline int8_t leading_gap_step(int r, int qe, int e, int long_thres, int long_diff) {
    if (r == 0) return (int8_t)-qe;
    if (r < long_thres) return (int8_t)-e;
    if (r == long_thres) return (int8_t)long_diff;
    return 0;
}

/* Site classes of the dinucleotide motifs, strand by strand. A value is 0 (a
 * canonical site with its favourable neighbour) or minus one of the four
 * penalties; -1 means no motif (the table keeps -pen[3]). Codes: A 0, C 1,
 * G 2, T 3. b1 b2 are the two intron bases at the exon boundary, b3 the next
 * intron base inward. */
static inline int donor_value(bool fwd, int b1, int b2, int b3, const int pen[4]) {
    const bool r3 = b3 == 0 || b3 == 2; /* A or G */
    if (fwd) {
        if (b1 == 2 && b2 == 3) return r3 ? 0 : -pen[0]; /* GT */
        if (b1 == 2 && b2 == 1) return -pen[1];          /* GC */
        if (b1 == 0 && b2 == 3) return -pen[2];          /* AT */
    } else {
        if (b1 == 1 && b2 == 3) return r3 ? 0 : -pen[0]; /* CT */
        if (b1 == 2 && b2 == 3) return -pen[2];          /* GT */
    }
    return -pen[3];
}

/* b1 b2 are the last two intron bases (b2 the last), b0 the one before. */
static inline int acceptor_value(bool fwd, int b0, int b1, int b2, const int pen[4]) {
    const bool y0 = b0 == 1 || b0 == 3; /* C or T */
    if (fwd) {
        if (b1 == 0 && b2 == 2) return y0 ? 0 : -pen[0]; /* AG */
        if (b1 == 0 && b2 == 1) return -pen[2];          /* AC */
    } else {
        if (b1 == 0 && b2 == 1) return y0 ? 0 : -pen[0]; /* AC */
        if (b1 == 2 && b2 == 1) return -pen[1];          /* GC */
        if (b1 == 0 && b2 == 3) return -pen[2];          /* AT */
    }
    return -pen[3];
}

/* Fills donor and acceptor (T bytes each, T >= tlen) from the target's
 * motifs and the junction marks. Without a strand bit both stay 0. When the
 * caller reversed both sequences, an intron is read from its other end: the
 * donor table applies the acceptor rule to mirrored bases and vice versa. */
static void fill_site_tables(uint8_t *donor, uint8_t *acceptor, size_t T, const uint8_t *target, int tlen,
                             int8_t noncan_pen, int8_t junction_bonus, int8_t junction_penalty, int flag,
                             const uint8_t *junction_marks) {
    const bool fwd = (flag & DPX_EZ_SPLICE_FOR) != 0, rev = (flag & DPX_EZ_SPLICE_REV) != 0;
    const bool reversed = (flag & DPX_EZ_CIGAR_REVERSED) != 0;
    memset(donor, 0, T);
    memset(acceptor, 0, T);
    if (fwd || rev) {
        int pen[4];
        if (flag & DPX_EZ_SPLICE_GRADED) {
            pen[0] = 3, pen[1] = 5, pen[2] = 7, pen[3] = 10;
        } else {
            pen[0] = (flag & DPX_EZ_SPLICE_CONTEXT) ? noncan_pen / 2 : 0;
            pen[1] = pen[2] = pen[3] = noncan_pen;
        }
        memset(donor, (uint8_t)-pen[3], T);
        memset(acceptor, (uint8_t)-pen[3], T);
        for (int t = 0; t < tlen - 4; ++t)
            donor[t] =
                (uint8_t)(reversed ? acceptor_value(fwd, target[t + 3], target[t + 2], target[t + 1], pen)
                                   : donor_value(fwd, target[t + 1], target[t + 2], target[t + 3], pen));
        for (int t = 2; t < tlen; ++t)
            acceptor[t] =
                (uint8_t)(reversed ? donor_value(fwd, target[t], target[t - 1], target[t - 2], pen)
                                   : acceptor_value(fwd, target[t - 2], target[t - 1], target[t], pen));
    }
    if (!junction_marks) return;
    if (!(flag & DPX_EZ_SITE_SCORES)) {
        /* annotated intron ends; in reversed sequences an intron's last base
         * comes first */
        const int don_bits = (fwd ? (reversed ? 2 : 1) : 0) | (rev ? (reversed ? 4 : 8) : 0);
        const int acc_bits = (fwd ? (reversed ? 1 : 2) : 0) | (rev ? (reversed ? 8 : 4) : 0);
        for (int t = 0; t < tlen - 1; ++t)
            if (junction_marks[t + 1] & don_bits) donor[t] = (uint8_t)(donor[t] + junction_bonus);
        for (int t = 0; t < tlen; ++t)
            if (junction_marks[t] & acc_bits) acceptor[t] = (uint8_t)(acceptor[t] + junction_bonus);
    } else if (tlen >= 2) {
        /* the byte at t+1 scores the junction between t and t+1; its kind bit
         * says which end of an intron, in transcript terms */
        const int L = reversed == fwd ? 1 : 0;
        for (int t = 0; t < tlen - 1; ++t) {
            const int b = junction_marks[t + 1], sc = (b >> 1) - 64;
            donor[t] = (uint8_t)(donor[t] + (b != 255 && (b & 1) == L ? sc : -junction_penalty));
            acceptor[t] = (uint8_t)(acceptor[t] + (b != 255 && (b & 1) != L ? sc : -junction_penalty));
        }
    }
}

} // namespace

void dpx_exts2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q_, int8_t e_, int8_t q2_, int8_t noncan_pen,
               int zdrop, int end_bonus, int8_t junction_bonus, int8_t junction_penalty, int flag,
               const uint8_t *junction_marks, dpx_extz *ez) {
    dpx_extz_clear(ez);
    const int q = q_, e = e_, q2 = q2_, qe = q + e;
    if (qlen <= 0 || tlen <= 0 || n_symbols <= 1 || q2 <= qe) return;
    if ((int64_t)qlen + tlen > INT32_MAX) return; /* r = i + j must fit an int */
    LS_ASSERT((flag & DPX_EZ_SPLICE_FOR) == 0 || (flag & DPX_EZ_SPLICE_REV) == 0);
    const int m = n_symbols;
    const int8_t sc_n = matrix[m * m - 1] == 0 ? (int8_t)-e : matrix[m * m - 1];
    if (dpx_min_score(matrix, m) < -2 * qe) return;

    /* the leading-gap length from which an intron (q2) is cheaper than a gap */
    int long_thres = (q2 - q) / e - 1;
    if (q + e + long_thres * e < q2) ++long_thres;
    const int long_diff = long_thres * e - (q2 - q);

    const int with_path = !(flag & DPX_EZ_NO_PATH), exact = !(flag & DPX_EZ_FAST_MAX);
    const int right = (flag & DPX_EZ_GAPS_RIGHT) != 0;
    const size_t tlen_ = (tlen + 15) / 16, qlen_ = (qlen + 15) / 16, T = tlen_ * 16;
    const int n_col_ = dpx_n_blocks(qlen < tlen ? qlen : tlen);

    /* U Y; two buffers each of X V X2 with one vector in front (position -1);
     * the donor and acceptor tables; S with a spare vector (the default-mode
     * scores run up to 15 positions past the anti-diagonal); the target; the
     * reversed query with a spare vector of zeros (read past its end as code
     * 0); one vector for alignment */
    uint8_t *mem = (uint8_t *)km_malloc(km, (13 * tlen_ + qlen_ + 9) * 16);
    uint8_t *u = (uint8_t *)(((size_t)mem + 15) >> 4 << 4), *y = u + T;
    uint8_t *xb[2], *vb[2], *x2b[2];
    for (int k = 0; k < 2; ++k) {
        xb[k] = y + T + 16 + k * 3 * (T + 16);
        vb[k] = xb[k] + T + 16, x2b[k] = vb[k] + T + 16;
    }
    uint8_t *donor = x2b[1] + T, *acceptor = donor + T;
    uint8_t *s = acceptor + T, *sf = s + T + 16, *qr = sf + T;
    memset(u, dpx_biased(-qe), T);
    memset(y, (uint8_t)-qe, T);
    for (int k = 0; k < 2; ++k) {
        memset(xb[k] - 16, (uint8_t)-qe, T + 16);
        memset(vb[k] - 16, dpx_biased(-qe), T + 16);
        memset(x2b[k] - 16, (uint8_t)-q2, T + 16);
    }
    memset(s, dpx_biased(0), T + 16);
    memset(sf, 0, T + qlen_ * 16 + 16);
    dpx_load_codes(sf, qr, target, tlen, query, qlen, m);
    fill_site_tables(donor, acceptor, T, sf, tlen, noncan_pen, junction_bonus, junction_penalty, flag,
                     junction_marks);

    dpx_scratch w;
    dpx_scratch_alloc(km, &w, exact, with_path, T, n_col_, qlen, tlen);
    int32_t H0 = 0, t0 = 0; /* the greedy path of fast tracking */

    const Kernel K(q, qe, q2, m - 1, dpx_biased(matrix[0]), dpx_biased(matrix[1]), dpx_biased(sc_n));

    int last_st = -1, last_en = -1;
    for (int r = 0; r < qlen + tlen - 1; ++r) {
        const int st0 = r - qlen + 1 > 0 ? r - qlen + 1 : 0, en0 = r < tlen - 1 ? r : tlen - 1;
        const int st = st0 & ~15, en = en0 | 15, st_ = st >> 4, en_ = en >> 4;
        LS_ASSERT(en_ - st_ + 1 <= n_col_);
        const int qoff = qlen - 1 - r; /* the query base of cell t is qr[qoff + t] */
        Arrays A;
        A.u = u, A.y = y, A.s = s;
        A.x_old = xb[r & 1], A.v_old = vb[r & 1], A.x2_old = x2b[r & 1];
        A.x_new = xb[~r & 1], A.v_new = vb[~r & 1], A.x2_new = x2b[~r & 1];
        A.donor = donor, A.acceptor = acceptor;

        /* left boundary: what the cell at st reads from position st-1 */
        if (st == 0 || st - 1 < last_st || st - 1 > last_en) {
            uint8_t *x_old = xb[r & 1], *v_old = vb[r & 1], *x2_old = x2b[r & 1];
            x_old[st - 1] = (uint8_t)-qe, x2_old[st - 1] = (uint8_t)-q2;
            /* never computed: as far below as a difference goes; the left
             * edge of the matrix: the leading gap */
            v_old[st - 1] =
                st > 0 ? dpx_biased(-qe) : dpx_biased(leading_gap_step(r, qe, e, long_thres, long_diff));
        }
        /* top boundary: what the cell (r, 0) reads from above the matrix */
        if (r <= en) {
            y[r] = (uint8_t)-qe;
            u[r] = dpx_biased(leading_gap_step(r, qe, e, long_thres, long_diff));
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
        /* no length correction in the drop test: an intron shifts the
         * diagonal at no per-base cost */
        int stop =
            exact ? dpx_track_exact(ez, w.H, u, v_new, 128, r, st0, en0, qlen, tlen, h00, zdrop, 0)
                  : dpx_track_fast(ez, &H0, &t0, u, v_new, 128, r, st0, en0, qlen, tlen, h00, zdrop, 0, flag);
        if (stop) break;
        last_st = st, last_en = en;
    }
    kfree(km, mem);
    kfree(km, w.H);
    if (w.dir_mem) {
        dpx_backtrack(km, ez, flag, long_thres, w.dir, w.row_start, w.row_end, (int)w.row_bytes, qlen, tlen,
                      end_bonus);
        kfree(km, w.dir_mem);
        kfree(km, w.row_start);
    }
}

} // namespace DPX_ISA_NS

#ifdef DPX_ISA_DISPATCH
/* The AVX2 and AVX-512 builds of this source set these to their entry points;
 * null when they were compiled without those instruction sets. */
namespace dpx_isa_avx2 {
extern const dpx_exts2_fn exts2_entry;
}
namespace dpx_isa_avx512 {
extern const dpx_exts2_fn exts2_entry;
}

void dpx_exts2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int8_t q2, int8_t noncan_pen,
               int zdrop, int end_bonus, int8_t junction_bonus, int8_t junction_penalty, int flag,
               const uint8_t *junction_marks, dpx_extz *ez) {
    static const dpx_exts2_fn fn =
        dpx_pick(dpx_isa_avx512::exts2_entry, dpx_isa_avx2::exts2_entry, &dpx_isa_sse2::dpx_exts2);
    fn(km, qlen, query, tlen, target, n_symbols, matrix, q, e, q2, noncan_pen, zdrop, end_bonus,
       junction_bonus, junction_penalty, flag, junction_marks, ez);
}
#endif
