/* Annotation tables of an index part: ALT contig names, annotated intervals
 * (introns) from BED files, splice-jump lists and per-base splice-site
 * scores; their text readers and the lookups the aligner uses. Every table
 * comes from the system allocator and is freed with the part. */
#include "index/index.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"

namespace {

/* Shrinks an array to n records; an empty list holds no memory. */
template <typename T> T *shrink(T *a, size_t n, const char *func) {
    if (n == 0) {
        free(a);
        return nullptr;
    }
    return static_cast<T *>(ls_xrealloc(a, n * sizeof(T), func));
}

/* ---- text input ---- */

/* One annotation file read line by line through zlib, so plain and gzip
 * text read alike; "-" or a null path is standard input. */
class LineReader {
  public:
    LineReader(const char *path) : path_(path ? path : "-") {
        const bool is_stdin = path == nullptr || strcmp(path, "-") == 0;
        f_ = is_stdin ? gzdopen(0, "r") : gzopen(path, "r");
        if (f_ != nullptr) ks_ = ls_stream_init(f_);
    }
    ~LineReader() {
        ls_stream_destroy(ks_);
        if (f_ != nullptr) gzclose(f_);
        free(line_.s);
    }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    bool is_open() const { return ks_ != nullptr; }
    /* The next line (without its end of line, writable), or null at the end
     * of input. */
    char *next() {
        if (ls_stream_getuntil(ks_, LS_SEP_LINE, &line_, nullptr, 0) < 0) return nullptr;
        return line_.s ? line_.s : const_cast<char *>(empty_);
    }
    /* After the last line: whether the input ended on a read or
     * decompression error (then the table would be incomplete). Says so on
     * standard error. */
    bool failed() const {
        if (!ls_stream_error(ks_)) return false;
        ls_log(LS_LOG_ERROR, "failed to read '%s': %s", path_, ls_stream_error_text(ks_));
        return true;
    }

  private:
    const char *path_;
    gzFile f_ = nullptr;
    ls_stream *ks_ = nullptr;
    ls_string line_ = {0, 0, nullptr};
    char empty_[1] = {0};
};

/* Cuts a line at its tabs (in place) into at most max_fields fields; the
 * last one keeps any further tabs. */
void split_tabs(char *line, size_t max_fields, std::vector<char *> &fields) {
    fields.clear();
    fields.push_back(line);
    for (char *p = line; *p && fields.size() < max_fields; ++p) {
        if (*p == '\t') {
            *p = 0;
            fields.push_back(p + 1);
        }
    }
}

/* The integer a field starts with (bytes after it are ignored), or false
 * when the field does not start with one or it lies outside [lo, hi]. */
bool parse_int(const char *s, int64_t lo, int64_t hi, int64_t *v) {
    char *end;
    errno = 0;
    long long x = strtoll(s, &end, 10);
    if (end == s || errno == ERANGE || x < lo || x > hi) return false;
    *v = x;
    return true;
}

bool starts_with_digit(const char *s) {
    return isdigit((unsigned char)s[0]) != 0;
}

/* n comma-separated numbers (one separator byte after each); false when the
 * list holds fewer or a number does not fit 32 bits. */
bool parse_list(const char *s, int64_t n, std::vector<int64_t> &out) {
    out.clear();
    const char *p = s;
    for (int64_t i = 0; i < n; ++i) {
        int64_t x;
        char *end;
        errno = 0;
        long long y = strtoll(p, &end, 10);
        if (end == p || errno == ERANGE || y < INT32_MIN || y > INT32_MAX) return false;
        x = y;
        out.push_back(x);
        p = *end ? end + 1 : end;
    }
    return true;
}

/* A value kept in the 30-bit score field: its low 30 bits, sign-extended. */
int32_t to_score30(int64_t v) {
    return (int32_t)((uint32_t)(uint64_t)v << 2) >> 2;
}

/* ---- BED intervals ---- */

/* Appends one interval to a list; lists grow to 16 records first, then by
 * half again. */
void push_intv(ls_idx_intv_v *v, int32_t st, int32_t en, int32_t score, int strand) {
    if (v->n == v->m) {
        const int64_t m = v->m ? (int64_t)v->m + (v->m >> 1) : 16;
        LS_ASSERT(m <= INT32_MAX);
        v->m = (int32_t)m;
        v->a = static_cast<ls_idx_intv *>(ls_xrealloc(v->a, (size_t)v->m * sizeof(ls_idx_intv), __func__));
    }
    ls_idx_intv *r = &v->a[v->n++];
    r->st = st, r->en = en, r->cnt = -1;
    r->score = score;
    r->strand = strand;
}

/* Parses one BED line and appends what it yields to the list of its target.
 * Returns the number of intervals added. */
int add_bed_line(const ls_idx *mi, char *line, int read_junc, int min_sc, ls_idx_intv_v *lists,
                 std::vector<char *> &f, std::vector<int64_t> &sizes, std::vector<int64_t> &starts) {
    split_tabs(line, 13, f);
    if (f.size() < 3) return 0;
    const int rid = ls_idx_name_to_id(mi, f[0]);
    if (rid < 0) return 0;
    int64_t st, en;
    if (!parse_int(f[1], 0, INT32_MAX, &st)) return 0;
    // A negative or unreadable end leaves nothing usable on the line.
    if (!parse_int(f[2], 0, INT32_MAX, &en)) return 0;
    int32_t score = -1;
    int strand = 0;
    if (f.size() > 4 && starts_with_digit(f[4])) {
        int64_t sc;
        score = parse_int(f[4], 0, INT64_MAX, &sc) ? to_score30(sc) : to_score30(INT64_MAX);
    }
    if (f.size() > 5) strand = f[5][0] == '+' ? 1 : f[5][0] == '-' ? -1 : 0;
    // Block fields count only when the block count is a number.
    const size_t n_fields = f.size() > 9 && !starts_with_digit(f[9]) ? 9 : f.size();
    if (st >= en || (min_sc >= 1 && score < min_sc)) return 0;

    ls_idx_intv_v *v = &lists[rid];
    if (!read_junc || n_fields < 12) {
        push_intv(v, (int32_t)st, (int32_t)en, score, strand);
        return 1;
    }
    int64_t n_blk;
    if (!parse_int(f[9], 0, INT64_MAX, &n_blk)) return 0;
    // Block lists shorter than the block count make the line unusable.
    if (!parse_list(f[10], n_blk, sizes) || !parse_list(f[11], n_blk, starts)) return 0;
    int n_added = 0;
    for (int64_t b = 0; b + 1 < n_blk; ++b) {
        const int64_t ist = st + starts[b] + sizes[b], ien = st + starts[b + 1];
        if (ist < ien && ist >= 0 && ien <= INT32_MAX) {
            push_intv(v, (int32_t)ist, (int32_t)ien, score, strand);
            ++n_added;
        }
    }
    return n_added;
}

/* Sorts one list by (start, end) and merges identical intervals into their
 * first record, whose count becomes the run length. */
void sort_merge_intv(ls_idx_intv_v *v) {
    ls_idx_intv *a = v->a;
    const int32_t n = v->n;
    ls_sort_bed(a, a + n);
    for (int32_t i = 0; i < n;) {
        int32_t j = i + 1;
        while (j < n && a[j].st == a[i].st) ++j;
        ls_sort_end(a + i, a + j);
        i = j;
    }
    int32_t k = 0;
    for (int32_t i = 0; i < n;) {
        int32_t j = i + 1;
        while (j < n && a[j].st == a[i].st && a[j].en == a[i].en) ++j;
        a[k] = a[i];
        a[k].cnt = j - i;
        ++k;
        i = j;
    }
    v->a = shrink(a, (size_t)k, __func__);
    v->n = v->m = k;
}

void free_intv_lists(ls_idx_intv_v *lists, uint32_t n_seq) {
    if (lists == nullptr) return;
    for (uint32_t i = 0; i < n_seq; ++i) free(lists[i].a);
    free(lists);
}

/* ---- jumps ---- */

void free_jump_lists(ls_idx_jump_v *lists, uint32_t n_seq) {
    if (lists == nullptr) return;
    for (uint32_t i = 0; i < n_seq; ++i) free(lists[i].a);
    free(lists);
}

/* The jump list of one target's introns: each intron from both ends. */
ls_idx_jump_v jumps_of_introns(const ls_idx_intv_v *iv, int flag) {
    ls_idx_jump_v v = {0, 0, nullptr};
    if (iv->n == 0) return v;
    LS_ASSERT(iv->n <= INT32_MAX / 2);
    v.n = v.m = 2 * iv->n;
    v.a = static_cast<ls_idx_jump *>(ls_xcalloc((size_t)v.m, sizeof(ls_idx_jump), __func__));
    for (int32_t i = 0; i < iv->n; ++i) {
        const ls_idx_intv *r = &iv->a[i];
        ls_idx_jump *p = &v.a[2 * i], *q = p + 1;
        p->off = r->st, p->off2 = r->en;
        q->off = r->en, q->off2 = r->st;
        p->cnt = q->cnt = r->cnt;
        p->strand = q->strand = (int16_t)r->strand;
        p->flag = q->flag = (uint16_t)flag;
    }
    ls_jump_sort_merge(&v);
    return v;
}

/* Old and new records of one target together, sorted and merged again. */
void merge_jump_lists(ls_idx_jump_v *dst, const ls_idx_jump_v *old) {
    if (old->n == 0) return;
    LS_ASSERT((int64_t)dst->n + old->n <= INT32_MAX);
    const int32_t n = dst->n + old->n;
    ls_idx_jump *a = static_cast<ls_idx_jump *>(ls_xcalloc((size_t)n, sizeof(ls_idx_jump), __func__));
    memcpy(a, old->a, (size_t)old->n * sizeof(ls_idx_jump));
    if (dst->n > 0) memcpy(a + old->n, dst->a, (size_t)dst->n * sizeof(ls_idx_jump));
    free(dst->a);
    dst->a = a;
    dst->n = dst->m = n;
    ls_jump_sort_merge(dst);
}

/* ---- splice scores ---- */

void free_spsc_lists(ls_idx_spsc_v *lists, uint32_t n_seq) {
    if (lists == nullptr) return;
    for (uint64_t i = 0; i < 2ULL * n_seq; ++i) free(lists[i].a);
    free(lists);
}

/* A site score scaled (when 0 < scale < 1, to the nearest integer with
 * halves toward zero: 0.499 is added away from zero before truncation) and
 * clamped to [-max_sc, max_sc]. */
int scale_score(int64_t score, float scale, int max_sc) {
    double d = (double)score;
    if (scale > 0.0f && scale < 1.0f) d = score >= 1 ? d * scale + 0.499 : d * scale - 0.499;
    // Clamping before truncation gives the same value and keeps the
    // conversion in range.
    if (d > max_sc) d = max_sc;
    if (d < -max_sc) d = -max_sc;
    return (int)d;
}

int64_t target_end(const ls_idx *mi, int32_t rid, int64_t en) {
    const int64_t len = mi->seq[rid].len;
    return en < 0 || en > len ? len : en;
}

} // namespace

// Intervals sort by start and by end, jump records by either end; positions
// are never negative, so their 32 bits serve as unsigned keys.
LS_RADIX_SORT_INSTANCE(bed, ls_idx_intv, 32, (uint32_t)r.st)
LS_RADIX_SORT_INSTANCE(end, ls_idx_intv, 32, (uint32_t)r.en)
LS_RADIX_SORT_INSTANCE(jj, ls_idx_jump, 32, (uint32_t)r.off)
LS_RADIX_SORT_INSTANCE(jj2, ls_idx_jump, 32, (uint32_t)r.off2)

/* ---- binary searches ---- */

int32_t ls_idx_jump_get_core(int32_t n, const ls_idx_jump *a, int32_t x) {
    if (n <= 0 || x < a[0].off) return -1;
    // Invariant: a[lo - 1].off <= x (x is not below the first key) and x is
    // below a[hi].off when hi < n.
    int32_t lo = 0, hi = n;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (x < a[mid].off) {
            hi = mid;
        } else {
            lo = mid + 1;
            if (lo == n || x < a[lo].off) return mid;
        }
    }
    LS_ASSERT(0);
    return -1;
}

int64_t ls_idx_find_intv(uint32_t n, const uint64_t *a, int64_t x) {
    if (n == 0 || x < (int64_t)(a[0] >> 8)) return -1;
    int64_t lo = 0, hi = n;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (x < (int64_t)(a[mid] >> 8)) {
            hi = mid;
        } else {
            lo = mid + 1;
            if (lo == (int64_t)n || x < (int64_t)(a[lo] >> 8)) return mid;
        }
    }
    LS_ASSERT(0);
    return -1;
}

void ls_jump_sort_merge(ls_idx_jump_v *v) {
    ls_idx_jump *a = v->a;
    const int32_t n = v->n;
    ls_sort_jj(a, a + n);
    for (int32_t i = 0; i < n;) {
        int32_t j = i + 1;
        while (j < n && a[j].off == a[i].off) ++j;
        ls_sort_jj2(a + i, a + j);
        i = j;
    }
    int32_t k = 0;
    for (int32_t i = 0; i < n;) {
        int64_t cnt = a[i].cnt;
        uint16_t flag = a[i].flag;
        int32_t j = i + 1;
        for (; j < n && a[j].off == a[i].off && a[j].off2 == a[i].off2; ++j) {
            cnt += a[j].cnt;
            flag |= a[j].flag;
        }
        a[k] = a[i];
        // Supports summed over many files could pass 32 bits: saturate.
        a[k].cnt = cnt > INT32_MAX ? INT32_MAX : cnt < INT32_MIN ? INT32_MIN : (int32_t)cnt;
        a[k].flag = flag;
        ++k;
        i = j;
    }
    v->a = shrink(a, (size_t)k, __func__);
    v->n = v->m = k;
}

/* ---- lookups ---- */

const ls_idx_jump *ls_idx_jump_get(const ls_idx *mi, int32_t rid, int32_t st, int32_t en, int32_t *n) {
    *n = 0;
    if (rid < 0 || (uint32_t)rid >= mi->n_seq || mi->jumps == nullptr) return nullptr;
    const ls_idx_jump_v *v = &mi->jumps[rid];
    if (v->n == 0) return nullptr;
    const int32_t lo = ls_idx_jump_get_core(v->n, v->a, st);
    const int64_t en1 = target_end(mi, rid, en);
    const int32_t hi = ls_idx_jump_get_core(v->n, v->a, en1 > INT32_MAX ? INT32_MAX : (int32_t)en1);
    // A start beyond the end selects nothing (not a negative count).
    *n = hi > lo ? hi - lo : 0;
    return &v->a[lo + 1];
}

int64_t ls_idx_spsc_get(const ls_idx *mi, int32_t rid, int64_t st, int64_t en0, int rev, uint8_t *out) {
    if (rid < 0 || (uint32_t)rid >= mi->n_seq || mi->splice_scores == nullptr) return -1;
    const int64_t en = target_end(mi, rid, en0);
    if (en <= st) return 0;
    memset(out, 255, (size_t)(en - st));
    const ls_idx_spsc_v *v = &mi->splice_scores[2 * (uint64_t)rid + (rev ? 1 : 0)];
    if (v->n == 0) return en - st;
    // Entries lo + 1 .. hi lie in (st, en]: the range is open at both ends.
    const int64_t lo = ls_idx_find_intv(v->n, v->a, st), hi = ls_idx_find_intv(v->n, v->a, en);
    for (int64_t i = lo + 1; i <= hi; ++i) {
        const int64_t pos = (int64_t)(v->a[i] >> 8), x = pos - st;
        LS_ASSERT(x <= en - st);
        if (pos == en) continue;
        const uint8_t sc = (uint8_t)v->a[i];
        if (out[x] == 255 || out[x] < sc) out[x] = sc;
    }
    return en - st;
}

int32_t ls_idx_bed_junc(const ls_idx *mi, int32_t rid, int64_t st, int64_t en, uint8_t *out) {
    if (en > st) memset(out, 0, (size_t)(en - st));
    if (mi->intervals == nullptr || rid < 0 || (uint32_t)rid >= mi->n_seq) return -1;
    const ls_idx_intv_v *v = &mi->intervals[rid];
    // The first interval whose start is not below st.
    int32_t lo = 0, hi = v->n;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (v->a[mid].st < st)
            lo = mid + 1;
        else
            hi = mid;
    }
    // Sorted by start: once a start reaches en, no later interval ends
    // inside [st, en).
    for (int32_t i = lo; i < v->n && v->a[i].st < en; ++i) {
        const ls_idx_intv *r = &v->a[i];
        if (r->en > en || r->strand == 0) continue;
        if (r->strand > 0) {
            out[r->st - st] |= 1;
            out[r->en - 1 - st] |= 2;
        } else {
            out[r->st - st] |= 8;
            out[r->en - 1 - st] |= 4;
        }
    }
    return lo;
}

/* ---- readers ---- */

int ls_idx_alt_read(ls_idx *mi, const char *path) {
    LineReader in(path);
    if (!in.is_open()) return -1;
    ls_idx_build_name_index(mi);
    std::vector<int> ids;
    for (char *line; (line = in.next()) != nullptr;) {
        char *p = line;
        while (*p && !isspace((unsigned char)*p)) ++p;
        *p = 0;
        const int rid = ls_idx_name_to_id(mi, line);
        if (rid >= 0) ids.push_back(rid);
    }
    // A file that could not be read whole marks nothing.
    if (in.failed()) return -1;
    for (int rid : ids) mi->seq[rid].is_alt = 1;
    const int n = (int)ids.size();
    mi->n_alt = n;
    ls_log(LS_LOG_INFO, "found %d ALT contigs", n);
    return n;
}

ls_idx_intv_v *ls_idx_bed_read_merge(ls_idx *mi, const char *path, int read_junc, int min_sc) {
    LineReader in(path);
    if (!in.is_open()) return nullptr;
    ls_idx_build_name_index(mi);
    ls_idx_intv_v *lists =
        static_cast<ls_idx_intv_v *>(ls_xcalloc(mi->n_seq, sizeof(ls_idx_intv_v), "ls_idx_bed_read_merge"));
    std::vector<char *> fields;
    std::vector<int64_t> sizes, starts;
    long n_read = 0;
    for (char *line; (line = in.next()) != nullptr;)
        n_read += add_bed_line(mi, line, read_junc, min_sc, lists, fields, sizes, starts);
    if (in.failed()) {
        free_intv_lists(lists, mi->n_seq);
        return nullptr;
    }
    long n_kept = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        sort_merge_intv(&lists[i]);
        n_kept += lists[i].n;
    }
    ls_log(LS_LOG_INFO, "read %ld introns, %ld of which are non-redundant", n_read, n_kept);
    return lists;
}

int ls_idx_bed_read(ls_idx *mi, const char *path, int read_junc) {
    ls_idx_build_name_index(mi);
    ls_idx_intv_v *lists = ls_idx_bed_read_merge(mi, path, read_junc, -1);
    if (lists == nullptr) return -1;
    free_intv_lists(mi->intervals, mi->n_seq);
    mi->intervals = lists;
    return 0;
}

int ls_idx_jjump_read(ls_idx *mi, const char *path, int flag, int min_sc) {
    ls_idx_build_name_index(mi);
    ls_idx_intv_v *iv = ls_idx_bed_read_merge(mi, path, 1, min_sc);
    if (iv == nullptr) return -1;
    ls_idx_jump_v *lists =
        static_cast<ls_idx_jump_v *>(ls_xcalloc(mi->n_seq, sizeof(ls_idx_jump_v), "ls_idx_jjump_read"));
    for (uint32_t i = 0; i < mi->n_seq; ++i) lists[i] = jumps_of_introns(&iv[i], flag);
    free_intv_lists(iv, mi->n_seq);
    if (mi->jumps) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) merge_jump_lists(&lists[i], &mi->jumps[i]);
        free_jump_lists(mi->jumps, mi->n_seq);
    }
    mi->jumps = lists;
    int n_annot = 0, n_other = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i)
        for (int32_t j = 0; j < lists[i].n; ++j) {
            if (lists[i].a[j].flag & 1)
                ++n_annot;
            else
                ++n_other;
        }
    ls_log(LS_LOG_INFO, "there are %d annotated and %d other splice positions in the index", n_annot, n_other);
    return 0;
}

int ls_idx_spsc_read2(ls_idx *mi, const char *path, int max_sc, float scale) {
    LineReader in(path);
    if (!in.is_open()) return -1;
    ls_idx_build_name_index(mi);
    // The score byte 128 + 2 * score + type must stay within 2..255.
    max_sc = max_sc > 63 ? 63 : max_sc < 0 ? 0 : max_sc;
    ls_idx_spsc_v *lists = static_cast<ls_idx_spsc_v *>(
        ls_xcalloc(2ULL * mi->n_seq, sizeof(ls_idx_spsc_v), "ls_idx_spsc_read2"));
    std::vector<char *> f;
    long n_read = 0;
    for (char *line; (line = in.next()) != nullptr;) {
        split_tabs(line, 6, f);
        if (f.size() < 5) continue;
        const int rid = ls_idx_name_to_id(mi, f[0]);
        int64_t pos, score;
        if (rid < 0 || !parse_int(f[1], 0, INT64_MAX >> 8, &pos)) continue;
        const int strand = f[2][0] == '+' ? 1 : -1;
        const int type = f[3][0] == 'D' ? 0 : f[3][0] == 'A' ? 1 : -1;
        if (type < 0 || !parse_int(f[4], INT64_MIN, INT64_MAX, &score)) continue;
        const int sc = scale_score(score, scale, max_sc);
        ls_idx_spsc_v *v = &lists[2 * (uint64_t)rid + (strand > 0 ? 0 : 1)];
        if (v->n == v->m) {
            const uint64_t m = (uint64_t)v->n + (v->n + 1ULL) / 2 + 17;
            if (m > UINT32_MAX) continue; // a list of 2^32 entries cannot be counted
            v->m = (uint32_t)m;
            v->a = static_cast<uint64_t *>(
                ls_xrealloc(v->a, (size_t)v->m * sizeof(uint64_t), "ls_idx_spsc_read2"));
        }
        if (pos > 0 && pos < (int64_t)mi->seq[rid].len) {
            v->a[v->n++] = (uint64_t)pos << 8 | (uint64_t)(128 + 2 * sc + type);
            ++n_read;
        }
    }
    if (in.failed()) {
        free_spsc_lists(lists, mi->n_seq);
        return -1;
    }
    for (uint64_t i = 0; i < 2ULL * mi->n_seq; ++i) ls_sort_64(lists[i].a, lists[i].a + lists[i].n);
    free_spsc_lists(mi->splice_scores, mi->n_seq);
    mi->splice_scores = lists;
    ls_log(LS_LOG_INFO, "read %ld splice scores", n_read);
    return 0;
}

int ls_idx_spsc_read(ls_idx *mi, const char *path, int max_sc) {
    return ls_idx_spsc_read2(mi, path, max_sc, 1.0f);
}
