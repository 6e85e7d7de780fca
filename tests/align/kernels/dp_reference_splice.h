/* Plain scalar model of the splice-aware kernel, one cell at a time: the same
 * per-position 8-bit differences (signed, wrapping like byte arithmetic), the
 * intron state with its donor and acceptor tables, whole 16-cell blocks around
 * each anti-diagonal, the same tie rules, score tracking, start cell and
 * backtrack with N operations. */
#ifndef LODESTAR_DPX2_REF_SPLICE_H
#define LODESTAR_DPX2_REF_SPLICE_H

#include "dp_reference.h"

namespace dpxref {

/* Site tables as signed bytes over T positions, written out rule by rule from
 * the motif tables: sequence codes A 0, C 1, G 2, T 3. */
inline void splice_site_tables(int T, const uint8_t *target, int tlen, int noncan, int jbonus, int jpen,
                               int flag, const uint8_t *marks, std::vector<int8_t> &donor,
                               std::vector<int8_t> &acc) {
    donor.assign(T, 0), acc.assign(T, 0);
    const bool fwd = flag & DPX_EZ_SPLICE_FOR, rev = flag & DPX_EZ_SPLICE_REV;
    const bool rv = flag & DPX_EZ_CIGAR_REVERSED;
    auto base = [&](int t) { return target[t] > 4 ? 4 : target[t]; };
    if (fwd || rev) {
        int p[4];
        if (flag & DPX_EZ_SPLICE_GRADED)
            p[0] = 3, p[1] = 5, p[2] = 7, p[3] = 10;
        else
            p[0] = (flag & DPX_EZ_SPLICE_CONTEXT) ? noncan / 2 : 0, p[1] = p[2] = p[3] = noncan;
        donor.assign(T, w8(-p[3])), acc.assign(T, w8(-p[3]));
        /* d1 d2: intron bases next to the exon, d3 the next inward */
        auto don = [&](int d1, int d2, int d3) -> int {
            bool R = d3 == 0 || d3 == 2;
            if (fwd && d1 == 2 && d2 == 3) return R ? 0 : -p[0];
            if (fwd && d1 == 2 && d2 == 1) return -p[1];
            if (fwd && d1 == 0 && d2 == 3) return -p[2];
            if (rev && d1 == 1 && d2 == 3) return R ? 0 : -p[0];
            if (rev && d1 == 2 && d2 == 3) return -p[2];
            return -p[3];
        };
        /* a0 a1 a2: the last three intron bases */
        auto accf = [&](int a0, int a1, int a2) -> int {
            bool Y = a0 == 1 || a0 == 3;
            if (fwd && a1 == 0 && a2 == 2) return Y ? 0 : -p[0];
            if (fwd && a1 == 0 && a2 == 1) return -p[2];
            if (rev && a1 == 0 && a2 == 1) return Y ? 0 : -p[0];
            if (rev && a1 == 2 && a2 == 1) return -p[1];
            if (rev && a1 == 0 && a2 == 3) return -p[2];
            return -p[3];
        };
        for (int t = 0; t + 4 < tlen; ++t)
            donor[t] = w8(rv ? accf(base(t + 3), base(t + 2), base(t + 1))
                             : don(base(t + 1), base(t + 2), base(t + 3)));
        for (int t = 2; t < tlen; ++t)
            acc[t] =
                w8(rv ? don(base(t), base(t - 1), base(t - 2)) : accf(base(t - 2), base(t - 1), base(t)));
    }
    if (!marks) return;
    if (!(flag & DPX_EZ_SITE_SCORES)) {
        for (int t = 0; t + 1 < tlen; ++t) {
            int b = marks[t + 1];
            bool hit = rv ? ((fwd && (b & 2)) || (rev && (b & 4))) : ((fwd && (b & 1)) || (rev && (b & 8)));
            if (hit) donor[t] = w8(donor[t] + jbonus);
        }
        for (int t = 0; t < tlen; ++t) {
            int b = marks[t];
            bool hit = rv ? ((fwd && (b & 1)) || (rev && (b & 8))) : ((fwd && (b & 2)) || (rev && (b & 4)));
            if (hit) acc[t] = w8(acc[t] + jbonus);
        }
    } else if (tlen >= 2) {
        const int L = (rv && fwd) || (!rv && !fwd) ? 1 : 0;
        for (int t = 0; t + 1 < tlen; ++t) {
            int b = marks[t + 1];
            donor[t] = w8(donor[t] + (b != 255 && (b & 1) == L ? (b >> 1) - 64 : -jpen));
            acc[t] = w8(acc[t] + (b != 255 && (b & 1) != L ? (b >> 1) - 64 : -jpen));
        }
    }
}

/* The whole kernel call. */
inline Result splice_align(int qlen, const uint8_t *query, int tlen, const uint8_t *target, int m,
                           const int8_t *mat, int q, int e, int q2, int noncan, int zdrop, int end_bonus,
                           int jbonus, int jpen, int flag, const uint8_t *marks) {
    Result res;
    const int qe = q + e;
    if (qlen <= 0 || tlen <= 0 || m <= 1 || q2 <= qe) return res;
    const int sc_n = mat[m * m - 1] == 0 ? -e : mat[m * m - 1];
    for (int k = 1; k < m * m; ++k)
        if (mat[k] < -2 * qe) return res;
    int long_thres = (q2 - q) / e - 1;
    if (q + e + long_thres * e < q2) ++long_thres;
    const int long_diff = long_thres * e - (q2 - q);
    auto gap_step = [&](int r) -> int {
        if (r == 0) return -qe;
        if (r < long_thres) return -e;
        if (r == long_thres) return long_diff;
        return 0;
    };
    const int T = (tlen + 15) / 16 * 16;
    std::vector<int8_t> donor, acc;
    splice_site_tables(T, target, tlen, noncan, jbonus, jpen, flag, marks, donor, acc);
    std::vector<int8_t> U(T, w8(-qe)), V(T, w8(-qe)), X(T, w8(-qe)), Y(T, w8(-qe)), X2(T, w8(-q2)), S(T, 0);

    const bool path = !(flag & DPX_EZ_NO_PATH), right = (flag & DPX_EZ_GAPS_RIGHT) != 0;
    auto tcode = [&](int t) -> int { return t < tlen ? std::min<int>(target[t], m - 1) : 0; };
    auto qcode = [&](int j) -> int { return j >= 0 && j < qlen ? std::min<int>(query[j], m - 1) : 0; };
    auto subst = [&](int t, int j) -> int {
        int a = tcode(t), b = qcode(j);
        if (flag & DPX_EZ_FULL_MATRIX) return mat[a * m + b];
        if (a == m - 1 || b == m - 1) return sc_n;
        return a == b ? mat[0] : mat[1];
    };
    const int n_rows = qlen + tlen - 1;
    std::vector<std::vector<uint8_t>> dir(n_rows);
    std::vector<int> row_st(n_rows, 0), row_en(n_rows, -1);
    std::vector<int> Hrow(T, DPX_SCORE_UNSET);
    int H0 = 0, t0 = 0, last_st = -1, last_en = -1;

    auto zdrop_check = [&](int H, int r, int t) -> bool {
        if (H > res.best_score) {
            res.best_score = H, res.best_tpos = t, res.best_qpos = r - t;
        } else if (t >= res.best_tpos && r - t >= res.best_qpos && zdrop >= 0) {
            if (res.best_score - H > zdrop) {
                res.dropped = 1;
                return true;
            }
        }
        return false;
    };

    for (int r = 0; r < n_rows; ++r) {
        const int st0 = std::max(0, r - qlen + 1), en0 = std::min(r, tlen - 1);
        const int st = st0 / 16 * 16, en = en0 / 16 * 16 + 15;
        int8_t xp = w8(-qe), x2p = w8(-q2), vp = w8(-qe); /* position st-1 */
        if (st > 0 && st - 1 >= last_st && st - 1 <= last_en)
            xp = X[st - 1], x2p = X2[st - 1], vp = V[st - 1];
        else if (st == 0)
            vp = w8(gap_step(r));
        if (r <= en) Y[r] = w8(-qe), U[r] = w8(gap_step(r));
        if (flag & DPX_EZ_FULL_MATRIX) {
            for (int t = st0; t <= en0; ++t) S[t] = w8(subst(t, r - t));
        } else {
            for (int t = st0; t <= en0; t += 16)
                for (int k = t; k < t + 16 && k < T; ++k) S[k] = w8(subst(k, r - k));
        }
        std::vector<uint8_t> row(en - st + 1);
        for (int t = st; t <= en; ++t) {
            const int8_t xt = X[t], x2t = X2[t], vt = V[t], ut = U[t];
            const int8_t a = w8(xp + vp), b = w8(Y[t] + ut), a2 = w8(x2p + vp + acc[t]);
            int8_t z = S[t];
            int d = 0;
            const int8_t cand[3] = {a, b, a2};
            for (int k = 0; k < 3; ++k)
                if (right ? cand[k] >= z : cand[k] > z) z = cand[k], d = k + 1;
            U[t] = w8(z - vp), V[t] = w8(z - ut);
            const int8_t ea = w8(a - z + q), eb = w8(b - z + q), c = w8(x2p + vp - z + q2);
            X[t] = w8(std::max<int8_t>(ea, 0) - qe), Y[t] = w8(std::max<int8_t>(eb, 0) - qe);
            X2[t] = w8(std::max<int8_t>(c, donor[t]) - q2);
            auto on = [&](int8_t val) { return right ? val >= 0 : val > 0; };
            d |= (on(ea) ? 0x08 : 0) | (on(eb) ? 0x10 : 0);
            if (right ? c >= donor[t] : c > donor[t]) d |= 0x20;
            row[t - st] = (uint8_t)d;
            xp = xt, x2p = x2t, vp = vt;
        }
        if (path) dir[r].swap(row), row_st[r] = st, row_en[r] = en;
        bool stop;
        if (!(flag & DPX_EZ_FAST_MAX)) {
            int max_H, max_t;
            if (r == 0) {
                Hrow[0] = V[0] - qe, max_H = Hrow[0], max_t = 0;
            } else {
                Hrow[en0] = en0 > 0 ? Hrow[en0 - 1] + U[en0] : Hrow[0] + V[0];
                for (int t = st0; t < en0; ++t) Hrow[t] += V[t];
                row_best(Hrow, st0, en0, &max_H, &max_t);
            }
            note_ends(res, Hrow, r, st0, en0, qlen, tlen);
            stop = zdrop_check(max_H, r, max_t);
            if (!stop && r == qlen + tlen - 2 && en0 == tlen - 1) res.score = Hrow[tlen - 1];
        } else {
            if (r == 0) {
                H0 = V[0] - qe, t0 = 0;
            } else if (t0 < st0 || t0 > en0) {
                ++t0, H0 += U[t0];
            } else if (t0 < en0) {
                if (V[t0] > U[t0 + 1])
                    H0 += V[t0];
                else
                    H0 += U[t0 + 1], ++t0;
            } else {
                H0 += V[t0];
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
    std::vector<uint32_t> &cg = res.cigar;
    int state = 0;
    while (i >= 0 && j >= 0) {
        const int r = i + j;
        const int byte = dir[r][i - row_st[r]]; /* no band: every cell is stored */
        if (state == 0 || !(byte & (0x08 << (state - 1)))) state = byte & 7;
        if (state == 0)
            push(cg, 0, 1), --i, --j;
        else if (state == 1)
            push(cg, 2, 1), --i;
        else if (state == 3)
            push(cg, 3, 1), --i;
        else
            push(cg, 1, 1), --j;
    }
    if (i >= 0) push(cg, i >= long_thres ? 3 : 2, i + 1);
    if (j >= 0) push(cg, 1, j + 1);
    if (!(flag & DPX_EZ_CIGAR_REVERSED)) std::reverse(cg.begin(), cg.end());
    return res;
}

} // namespace dpxref

#endif
