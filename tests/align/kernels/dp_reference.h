/* Plain scalar model of the banded extension kernels, one cell at a time, for
 * checking the vector code. It keeps the same per-position 8-bit differences,
 * computes the same whole 16-cell blocks around the band, and applies the
 * same tie rules, score tracking, start-cell choice and backtrack.
 *
 * The two kernels differ in how a difference is held in its byte: the
 * dual-affine kernel keeps the value itself (signed, wrapping like byte
 * arithmetic), the single-gap kernel keeps the value plus q+e as an unsigned
 * byte. The model follows each kernel's form, since the two only part ways on
 * the cells just outside the band, whose inputs are stale. */
#ifndef LODESTAR_DPX2_REF_H
#define LODESTAR_DPX2_REF_H

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "align/kernels/dp_kernel.h"

namespace dpxref {

struct Result {
    int best_score = 0, dropped = 0, best_qpos = -1, best_tpos = -1;
    int qend_best = DPX_SCORE_UNSET, qend_tpos = -1, tend_best = DPX_SCORE_UNSET, tend_qpos = -1;
    int score = DPX_SCORE_UNSET, reached_end = 0;
    std::vector<uint32_t> cigar;
};

inline int8_t w8(int x) {
    return (int8_t)(uint8_t)(unsigned)x;
}
inline uint8_t u8(int x) {
    return (uint8_t)(unsigned)x;
}

inline void push(std::vector<uint32_t> &c, uint32_t op, int len) {
    if (!c.empty() && (c.back() & 0xf) == op)
        c.back() += (uint32_t)len << 4;
    else
        c.push_back((uint32_t)len << 4 | op);
}

/* The best of Hrow[st0..en0] and its position, found in the kernel's order:
 * four lanes over the whole groups of four cells, each keeping the first of
 * equal scores and starting from the last cell, then the cells left over. */
inline void row_best(const std::vector<int> &Hrow, int st0, int en0, int *max_H, int *max_t) {
    *max_H = Hrow[en0], *max_t = en0;
    const int en1 = st0 + (en0 - st0) / 4 * 4;
    for (int k = 0; k < 4 && en1 > st0; ++k) { /* lanes k = 0..3, each from its first cell */
        int lane_H = Hrow[en0], lane_t = en0;
        for (int t = st0 + k; t < en1; t += 4)
            if (Hrow[t] > lane_H) lane_H = Hrow[t], lane_t = t;
        if (lane_H > *max_H) *max_H = lane_H, *max_t = lane_t;
    }
    for (int t = en1; t < en0; ++t)
        if (Hrow[t] > *max_H) *max_H = Hrow[t], *max_t = t;
}

/* Best scores on the last target position and on the last query position
 * after anti-diagonal r. */
inline void note_ends(Result &res, const std::vector<int> &Hrow, int r, int st0, int en0, int qlen,
                      int tlen) {
    if (en0 == tlen - 1 && Hrow[en0] > res.tend_best) res.tend_best = Hrow[en0], res.tend_qpos = r - en0;
    if (r - st0 == qlen - 1 && Hrow[st0] > res.qend_best) res.qend_best = Hrow[st0], res.qend_tpos = st0;
}

/* The backtrack's start cell: the end cell when the sweep was neither stopped
 * nor an extension; else the best cell on the last query position when the end
 * bonus lifts it above the best score (the extension then reaches the query
 * end); else the best cell. False when there is no cell to start from. */
inline bool start_cell(Result &res, int flag, int end_bonus, int qlen, int tlen, int *i, int *j) {
    if (!res.dropped && !(flag & DPX_EZ_EXTEND_ONLY)) {
        *i = tlen - 1, *j = qlen - 1;
    } else if (!res.dropped && (int64_t)res.qend_best + end_bonus > res.best_score) {
        res.reached_end = 1, *i = res.qend_tpos, *j = qlen - 1;
    } else if (res.best_tpos >= 0 && res.best_qpos >= 0) {
        *i = res.best_tpos, *j = res.best_qpos;
    } else {
        return false;
    }
    return true;
}

/* A CIGAR as text: length then M, I, D or N per operation. */
inline std::string cigar_str(const uint32_t *c, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += std::to_string(c[k] >> 4) + "MIDN"[c[k] & 0xf];
    return s;
}

/* Every field of a kernel's record and its CIGAR against the model's, as
 * " name=kernel (model value)" per difference; empty when all agree. */
inline std::string differences(const dpx_extz &ez, const Result &ref) {
    std::string diff;
    auto cmp = [&](const char *name, long a, long b) {
        if (a != b)
            diff += std::string(" ") + name + "=" + std::to_string(a) + " (model " + std::to_string(b) + ")";
    };
    cmp("best_score", ez.best_score, ref.best_score);
    cmp("dropped", ez.dropped, ref.dropped);
    cmp("best_qpos", ez.best_qpos, ref.best_qpos);
    cmp("best_tpos", ez.best_tpos, ref.best_tpos);
    cmp("qend_best", ez.qend_best, ref.qend_best);
    cmp("qend_tpos", ez.qend_tpos, ref.qend_tpos);
    cmp("tend_best", ez.tend_best, ref.tend_best);
    cmp("tend_qpos", ez.tend_qpos, ref.tend_qpos);
    cmp("score", ez.score, ref.score);
    cmp("reached_end", ez.reached_end, ref.reached_end);
    std::string c1 = cigar_str(ez.cigar, ez.n_cigar), c2 = cigar_str(ref.cigar.data(), (int)ref.cigar.size());
    if (c1 != c2) diff += " cigar=" + c1 + " (model " + c2 + ")";
    return diff;
}

/* Dual-affine cells: true differences in signed bytes. */
struct DualCells {
    int q, e, q2, e2, qe, qe2, cap;
    std::vector<int8_t> U, V, X, Y, X2, Y2, S;
    DualCells(int T, int q_, int e_, int q2_, int e2_, int cap_)
        : q(q_), e(e_), q2(q2_), e2(e2_), qe(q_ + e_), qe2(q2_ + e2_), cap(cap_), U(T, w8(-qe)),
          V(T, w8(-qe)), X(T, w8(-qe)), Y(T, w8(-qe)), X2(T, w8(-qe2)), Y2(T, w8(-qe2)), S(T, 0) {}
    int diff_u(int t) const { return U[t]; }
    int diff_v(int t) const { return V[t]; }
    int h00() const { return V[0] - qe; }
    void set_score(int t, int s) { S[t] = w8(s); }
    void set_top(int r, int step) { Y[r] = w8(-qe), Y2[r] = w8(-qe2), U[r] = w8(step); }
    /* Cells st..en from the values of position st-1 (x1, x21, v1: true
     * values); returns the direction bytes. */
    void compute(int st, int en, int x1, int x21, int v1, bool right, uint8_t *dir) {
        int8_t xp = w8(x1), x2p = w8(x21), vp = w8(v1); /* position t-1, previous anti-diagonal */
        for (int t = st; t <= en; ++t) {
            const int8_t xt = X[t], x2t = X2[t], vt = V[t], ut = U[t];
            const int8_t a = w8(xp + vp), b = w8(Y[t] + ut), a2 = w8(x2p + vp), b2 = w8(Y2[t] + ut);
            int8_t z = S[t];
            int d = 0;
            const int8_t cand[4] = {a, b, a2, b2};
            for (int k = 0; k < 4; ++k)
                if (right ? cand[k] >= z : cand[k] > z) z = cand[k], d = k + 1;
            z = std::min<int8_t>(z, w8(cap));
            U[t] = w8(z - vp), V[t] = w8(z - ut);
            const int8_t ea = w8(a - z + q), eb = w8(b - z + q), ea2 = w8(a2 - z + q2), eb2 = w8(b2 - z + q2);
            X[t] = w8(std::max<int8_t>(ea, 0) - qe), Y[t] = w8(std::max<int8_t>(eb, 0) - qe);
            X2[t] = w8(std::max<int8_t>(ea2, 0) - qe2), Y2[t] = w8(std::max<int8_t>(eb2, 0) - qe2);
            auto on = [&](int8_t val) { return right ? val >= 0 : val > 0; };
            d |= (on(ea) ? 0x08 : 0) | (on(eb) ? 0x10 : 0) | (on(ea2) ? 0x20 : 0) | (on(eb2) ? 0x40 : 0);
            dir[t - st] = (uint8_t)d;
            xp = xt, x2p = x2t, vp = vt;
        }
    }
    int left_x(int t) const { return X[t]; }
    int left_x2(int t) const { return X2[t]; }
    int left_v(int t) const { return V[t]; }
};

/* Single-gap cells: differences plus q+e in unsigned bytes, substitution
 * scores plus 2(q+e), unsigned maxima and comparisons. */
struct SingleCells {
    int q, e, qe, cap;
    std::vector<uint8_t> U, V, X, Y;
    std::vector<int8_t> S;
    SingleCells(int T, int q_, int e_, int cap_)
        : q(q_), e(e_), qe(q_ + e_), cap(cap_), U(T, 0), V(T, 0), X(T, 0), Y(T, 0), S(T, 0) {}
    int diff_u(int t) const { return U[t] - qe; }
    int diff_v(int t) const { return V[t] - qe; }
    int h00() const { return V[0] - 2 * qe; }
    void set_score(int t, int s) { S[t] = w8(std::max(s, -2 * qe)); }
    void set_top(int r, int step) { Y[r] = 0, U[r] = u8(step + qe); }
    void compute(int st, int en, int x1, int, int v1, bool right, uint8_t *dir) {
        uint8_t xp = u8(x1 + qe), vp = u8(v1 + qe);
        const uint8_t capb = u8(std::max(cap, -2 * qe) + 2 * qe);
        for (int t = st; t <= en; ++t) {
            const uint8_t xt = X[t], vt = V[t], ut = U[t];
            const uint8_t a = u8(xp + vp), b = u8(Y[t] + ut);
            uint8_t z = u8(S[t] + 2 * qe);
            int d = 0;
            const uint8_t cand[2] = {a, b};
            for (int k = 0; k < 2; ++k)
                if (right ? cand[k] >= z : cand[k] > z) z = cand[k], d = k + 1;
            z = std::min(z, capb);
            U[t] = u8(z - vp), V[t] = u8(z - ut);
            const int8_t ea = w8(a - z + q), eb = w8(b - z + q);
            auto on = [&](int8_t val) { return right ? val >= 0 : val > 0; };
            X[t] = on(ea) ? (uint8_t)ea : 0, Y[t] = on(eb) ? (uint8_t)eb : 0;
            d |= (on(ea) ? 0x08 : 0) | (on(eb) ? 0x10 : 0);
            dir[t - st] = (uint8_t)d;
            xp = xt, vp = vt;
        }
    }
    int left_x(int t) const { return X[t] - qe; }
    int left_x2(int) const { return 0; }
    int left_v(int t) const { return V[t] - qe; }
};

template <class Cells>
Result sweep(Cells &cells, int qlen, const uint8_t *query, int tlen, const uint8_t *target, int m,
             const int8_t *mat, int qe, int qe2, int e, int e2, int sc_n, int long_thres, int long_diff,
             int bw, int zdrop, int end_bonus, int flag) {
    Result res;
    auto gap_step = [&](int r) -> int {
        if (r == 0) return -qe;
        if (r < long_thres) return -e;
        if (r == long_thres) return long_diff;
        return -e2;
    };
    const bool path = !(flag & DPX_EZ_NO_PATH), right = (flag & DPX_EZ_GAPS_RIGHT) != 0;
    const int T = (tlen + 15) / 16 * 16;
    auto tcode = [&](int t) -> int { return t < tlen ? std::min<int>(target[t], m - 1) : 0; };
    auto qcode = [&](int j) -> int { return j >= 0 && j < qlen ? std::min<int>(query[j], m - 1) : 0; };
    auto subst = [&](int t, int j) -> int {
        int a = tcode(t), b = qcode(j);
        if (flag & DPX_EZ_FULL_MATRIX) return mat[a * m + b];
        if (a == m - 1 || b == m - 1) return sc_n;
        return a == b ? mat[0] : (m > 1 ? mat[1] : mat[0]);
    };
    const int n_rows = qlen + tlen - 1;
    std::vector<std::vector<uint8_t>> dir(n_rows);
    std::vector<int> row_st(n_rows, 0), row_en(n_rows, -1);
    std::vector<int> Hrow(T, DPX_SCORE_UNSET);
    std::vector<uint8_t> scratch(T + 16);
    int H0 = 0, t0 = 0, last_st = -1, last_en = -1;

    auto zdrop_check = [&](int H, int r, int t) -> bool {
        if (H > res.best_score) {
            res.best_score = H, res.best_tpos = t, res.best_qpos = r - t;
        } else if (t >= res.best_tpos && r - t >= res.best_qpos && zdrop >= 0) {
            int tl = t - res.best_tpos, ql = (r - t) - res.best_qpos;
            if (res.best_score - H > zdrop + e2 * std::abs(tl - ql)) {
                res.dropped = 1;
                return true;
            }
        }
        return false;
    };

    for (int r = 0; r < n_rows; ++r) {
        int st0 = std::max({0, r - qlen + 1, (int)(((int64_t)r - bw + 1) >> 1)});
        int en0 = (int)std::min<int64_t>({(int64_t)r, (int64_t)tlen - 1, ((int64_t)r + bw) >> 1});
        if (st0 > en0) {
            res.dropped = 1;
            break;
        }
        const int st = st0 / 16 * 16, en = en0 / 16 * 16 + 15;
        int x1 = -qe, x21 = -qe2, v1 = -qe;
        if (st > 0 && st - 1 >= last_st && st - 1 <= last_en)
            x1 = cells.left_x(st - 1), x21 = cells.left_x2(st - 1), v1 = cells.left_v(st - 1);
        else if (st == 0)
            v1 = gap_step(r);
        if (r <= en) cells.set_top(r, gap_step(r));
        if (flag & DPX_EZ_FULL_MATRIX) {
            for (int t = st0; t <= en0; ++t) cells.set_score(t, subst(t, r - t));
        } else {
            for (int t = st0; t <= en0; t += 16)
                for (int k = t; k < t + 16 && k < T; ++k) cells.set_score(k, subst(k, r - k));
        }
        cells.compute(st, en, x1, x21, v1, right, scratch.data());
        if (path)
            dir[r].assign(scratch.begin(), scratch.begin() + (en - st + 1)), row_st[r] = st, row_en[r] = en;
        bool stop;
        if (!(flag & DPX_EZ_FAST_MAX)) {
            int max_H, max_t;
            if (r == 0) {
                Hrow[0] = cells.h00(), max_H = Hrow[0], max_t = 0;
            } else {
                Hrow[en0] = en0 > 0 ? Hrow[en0 - 1] + cells.diff_u(en0) : Hrow[0] + cells.diff_v(0);
                for (int t = st0; t < en0; ++t) Hrow[t] += cells.diff_v(t);
                row_best(Hrow, st0, en0, &max_H, &max_t);
            }
            note_ends(res, Hrow, r, st0, en0, qlen, tlen);
            stop = zdrop_check(max_H, r, max_t);
            if (!stop && r == qlen + tlen - 2 && en0 == tlen - 1) res.score = Hrow[tlen - 1];
        } else {
            if (r == 0) {
                H0 = cells.h00(), t0 = 0;
            } else if (t0 < st0 || t0 > en0) {
                ++t0, H0 += cells.diff_u(t0);
            } else if (t0 < en0) {
                if (cells.diff_v(t0) > cells.diff_u(t0 + 1))
                    H0 += cells.diff_v(t0);
                else
                    H0 += cells.diff_u(t0 + 1), ++t0;
            } else {
                H0 += cells.diff_v(t0);
            }
            stop = (flag & DPX_EZ_FAST_DROP) && zdrop_check(H0, r, t0);
            if (!stop && r == qlen + tlen - 2 && en0 == tlen - 1) res.score = H0;
        }
        if (stop) break;
        last_st = st, last_en = en;
    }
    if (!path) return res;

    int i, j;
    if (!start_cell(res, flag, end_bonus, qlen, tlen, &i, &j)) return res;
    std::vector<uint32_t> &c = res.cigar;
    int state = 0;
    while (i >= 0 && j >= 0) {
        const int r = i + j;
        int forced = i > row_en[r] ? 1 : i < row_st[r] ? 2 : 0;
        int byte = forced ? 0 : dir[r][i - row_st[r]];
        if (state == 0 || !(byte & (0x08 << (state - 1)))) state = byte & 7;
        if (forced) state = forced;
        if (state == 0)
            push(c, 0, 1), --i, --j;
        else if (state == 1 || state == 3)
            push(c, 2, 1), --i;
        else
            push(c, 1, 1), --j;
    }
    if (i >= 0) push(c, 2, i + 1);
    if (j >= 0) push(c, 1, j + 1);
    if (!(flag & DPX_EZ_CIGAR_REVERSED)) std::reverse(c.begin(), c.end());
    return res;
}

/* The dual-affine kernel (dual) or the single-gap kernel (q2, e2 unused). */
inline Result align(bool dual, int qlen, const uint8_t *query, int tlen, const uint8_t *target, int m,
                    const int8_t *mat, int q, int e, int q2, int e2, int bw, int zdrop, int end_bonus,
                    int flag) {
    if (qlen <= 0 || tlen <= 0 || m <= (dual ? 1 : 0)) return Result();
    if (!dual) q2 = q, e2 = e;
    if (q2 + e2 < q + e) std::swap(q, q2), std::swap(e, e2);
    const int qe = q + e, qe2 = q2 + e2;
    const int sc_n = mat[m * m - 1] == 0 ? -e2 : mat[m * m - 1];
    if (bw < 0) bw = std::max(qlen, tlen);
    for (int k = 1; k < m * m; ++k)
        if (mat[k] < -2 * qe) return Result();
    int long_thres = 0, long_diff = -e2;
    if (dual) {
        long_thres = e != e2 ? (q2 - q) / (e - e2) - 1 : 0;
        if (q2 + e2 + long_thres * e2 > q + e + long_thres * e) ++long_thres;
        long_diff = long_thres * (e - e2) - (q2 - q) - e2;
    }
    const int T = (tlen + 15) / 16 * 16;
    if (dual) {
        DualCells cells(T, q, e, q2, e2, mat[0]);
        return sweep(cells, qlen, query, tlen, target, m, mat, qe, qe2, e, e2, sc_n, long_thres, long_diff,
                     bw, zdrop, end_bonus, flag);
    }
    SingleCells cells(T, q, e, mat[0]);
    return sweep(cells, qlen, query, tlen, target, m, mat, qe, qe2, e, e2, sc_n, long_thres, long_diff, bw,
                 zdrop, end_bonus, flag);
}

} // namespace dpxref

#endif
