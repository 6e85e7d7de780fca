/* Annotation tables of an index part: ALT contig names, annotated intervals
 * (introns) from BED12, GTF or GFF3 files, splice-jump lists and per-base
 * splice-site scores; their text readers and the lookups the aligner uses.
 * Every table comes from the system allocator and is freed with the part. */
#include "index/index.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
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

/* Where the intervals of one file go: the list of their target when this
 * part holds it. Every interval is counted, stored or not, so that a file
 * whose targets all lie in other parts of a split index still counts as one
 * that gave introns. */
struct IntervalSink {
    const ls_idx *mi;
    ls_idx_intv_v *lists;
    long n_found = 0, n_stored = 0;

    void add(int rid, int64_t st, int64_t en, int32_t score, int strand) {
        ++n_found;
        if (rid < 0) return;
        push_intv(&lists[rid], (int32_t)st, (int32_t)en, score, strand);
        ++n_stored;
    }
};

/* Parses one BED line and hands what it yields to the sink. */
void add_bed_line(char *line, int read_junc, int min_sc, IntervalSink &sink, std::vector<char *> &f,
                  std::vector<int64_t> &sizes, std::vector<int64_t> &starts) {
    split_tabs(line, 13, f);
    if (f.size() < 3) return;
    const int rid = ls_idx_name_to_id(sink.mi, f[0]);
    int64_t st, en;
    if (!parse_int(f[1], 0, INT32_MAX, &st)) return;
    // A negative or unreadable end leaves nothing usable on the line.
    if (!parse_int(f[2], 0, INT32_MAX, &en)) return;
    int32_t score = -1;
    int strand = 0;
    if (f.size() > 4 && starts_with_digit(f[4])) {
        int64_t sc;
        score = parse_int(f[4], 0, INT64_MAX, &sc) ? to_score30(sc) : to_score30(INT64_MAX);
    }
    if (f.size() > 5) strand = f[5][0] == '+' ? 1 : f[5][0] == '-' ? -1 : 0;
    // Block fields count only when the block count is a number.
    const size_t n_fields = f.size() > 9 && !starts_with_digit(f[9]) ? 9 : f.size();
    if (st >= en || (min_sc >= 1 && score < min_sc)) return;

    if (!read_junc || n_fields < 12) {
        sink.add(rid, st, en, score, strand);
        return;
    }
    int64_t n_blk;
    if (!parse_int(f[9], 0, INT64_MAX, &n_blk)) return;
    // Block lists shorter than the block count make the line unusable.
    if (!parse_list(f[10], n_blk, sizes) || !parse_list(f[11], n_blk, starts)) return;
    for (int64_t b = 0; b + 1 < n_blk; ++b) {
        const int64_t ist = st + starts[b] + sizes[b], ien = st + starts[b + 1];
        if (ist < ien && ist >= 0 && ien <= INT32_MAX) sink.add(rid, ist, ien, score, strand);
    }
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

/* ---- GTF and GFF3 transcripts ---- */

enum class Format { kBed, kGtf, kGff3 };

/* Lines passed over before the first record, whatever the format:
 * comments, blank lines and the track and browser lines of genome browsers. */
bool is_preamble(const char *line) {
    auto word = [line](const char *w, size_t n) {
        return strncmp(line, w, n) == 0 && (line[n] == 0 || isspace((unsigned char)line[n]));
    };
    return line[0] == '#' || line[0] == 0 || line[0] == '\r' || word("track", 5) || word("browser", 7);
}

bool is_position(const char *s) {
    if (*s == 0) return false;
    for (; *s; ++s)
        if (!isdigit((unsigned char)*s)) return false;
    return true;
}

/* The format of the first record line. GTF and GFF3 lines have nine
 * columns with positions in the fourth and fifth and a strand in the
 * seventh (no BED line does: BED's seventh column is a position); GFF3
 * writes its attributes key=value, GTF key "value". */
Format detect_format(const char *line, bool gff3_header) {
    std::string copy(line);
    if (!copy.empty() && copy.back() == '\r') copy.pop_back();
    std::vector<char *> f;
    split_tabs(&copy[0], 10, f);
    if (f.size() != 9 || !is_position(f[3]) || !is_position(f[4]) || strlen(f[6]) != 1 ||
        strchr("+-.?", f[6][0]) == nullptr)
        return Format::kBed;
    if (gff3_header) return Format::kGff3;
    const char *a = f[8];
    while (*a == ' ') ++a;
    const size_t key = strcspn(a, " =\";");
    return a[key] == '=' ? Format::kGff3 : Format::kGtf;
}

/* The transcripts of a GTF or GFF3 file, in the order their first exon
 * appears, each with its exons as 0-based half-open intervals. */
class TranscriptTable {
  public:
    void add_exon(const std::string &id, const char *target, int strand, int64_t st, int64_t en) {
        auto it = index_.find(id);
        if (it == index_.end()) {
            it = index_.emplace(id, tx_.size()).first;
            tx_.push_back(Transcript{id, target, strand, false, {}});
        }
        Transcript &t = tx_[it->second];
        // One target and one strand per transcript; anything else cannot
        // give introns and is reported once, after reading.
        if (t.target != target || t.strand != strand) t.mixed = true;
        t.exons.emplace_back(st, en);
    }

    /* Hands each transcript's introns (or, without read_junc, its span) to
     * the sink, in file order, so that a BED12 file listing the same
     * transcripts in the same order gives the same lists. */
    void emit(const char *path, int read_junc, int min_sc, bool warn, IntervalSink &sink) {
        for (Transcript &t : tx_) {
            const int rid = ls_idx_name_to_id(sink.mi, t.target.c_str());
            if (t.mixed) {
                // Said by the part holding its first target only, so a
                // split index says it once.
                if (warn && rid >= 0)
                    ls_log(LS_LOG_WARNING,
                           "skipping transcript '%s' of '%s': its exons lie on different targets or strands",
                           t.id.c_str(), path);
                continue;
            }
            // GTF and GFF3 carry no transcript score: like a BED score of "."
            // it fails any minimum.
            if (min_sc >= 1) continue;
            std::sort(t.exons.begin(), t.exons.end());
            if (!read_junc) {
                int64_t en = 0;
                for (const auto &e : t.exons) en = std::max(en, e.second);
                sink.add(rid, t.exons[0].first, en, -1, t.strand);
                continue;
            }
            for (size_t i = 0; i + 1 < t.exons.size(); ++i)
                if (t.exons[i].second < t.exons[i + 1].first)
                    sink.add(rid, t.exons[i].second, t.exons[i + 1].first, -1, t.strand);
        }
    }

  private:
    struct Transcript {
        std::string id, target;
        int strand;
        bool mixed;
        std::vector<std::pair<int64_t, int64_t>> exons;
    };
    std::unordered_map<std::string, size_t> index_;
    std::vector<Transcript> tx_;
};

/* The value of attribute key in a GTF attribute column (key "value"; ...),
 * without its quotes; false when absent. */
bool gtf_attribute(const char *a, const char *key, std::string *value) {
    const size_t n = strlen(key);
    while (*a) {
        while (*a == ' ' || *a == ';') ++a;
        const char *end = strchr(a, ';');
        if (end == nullptr) end = a + strlen(a);
        if (strncmp(a, key, n) == 0 && a[n] == ' ') {
            const char *v = a + n, *e = end;
            while (v < e && *v == ' ') ++v;
            while (e > v && e[-1] == ' ') --e;
            if (e - v >= 2 && *v == '"' && e[-1] == '"') ++v, --e;
            value->assign(v, e);
            return true;
        }
        a = end;
    }
    return false;
}

/* The values of attribute key in a GFF3 attribute column (key=v1,v2;...). */
void gff3_attribute(const char *a, const char *key, std::vector<std::string> *values) {
    values->clear();
    const size_t n = strlen(key);
    while (*a) {
        while (*a == ' ' || *a == ';') ++a;
        const size_t len = strcspn(a, ";");
        if (strncmp(a, key, n) == 0 && a[n] == '=') {
            for (const char *v = a + n + 1, *end = a + len; v < end;) {
                const char *c = std::find(v, end, ',');
                if (c > v) values->emplace_back(v, c);
                v = c + (c < end);
            }
        }
        a += len;
    }
}

/* Parses one GTF or GFF3 line and adds its exon, if it is one, to each of
 * its transcripts. Returns false, after one message naming the file and the
 * line, when the line is malformed. */
bool add_feature_line(char *line, Format fmt, const char *path, long line_no, TranscriptTable &table,
                      std::vector<char *> &f, std::vector<std::string> &ids) {
    const size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\r') line[len - 1] = 0;
    split_tabs(line, 10, f);
    const char *what = nullptr;
    int64_t st = 0, en = 0;
    if (f.size() != 9)
        what = "it does not have 9 tab-separated columns";
    else if (!is_position(f[3]) || !is_position(f[4]) || !parse_int(f[3], 1, INT32_MAX, &st) ||
             !parse_int(f[4], 1, INT32_MAX, &en))
        what = "the start and end (columns 4 and 5) must be positions from 1 to 2147483647";
    else if (en < st)
        what = "the end (column 5) lies before the start (column 4)";
    if (what != nullptr) {
        ls_log(LS_LOG_ERROR, "'%s' line %ld: %s", path, line_no, what);
        return false;
    }
    if (strcmp(f[2], "exon") != 0) return true;
    const int strand = f[6][0] == '+' ? 1 : f[6][0] == '-' ? -1 : 0;
    if (fmt == Format::kGtf) {
        ids.resize(1);
        if (!gtf_attribute(f[8], "transcript_id", &ids[0])) ids.clear();
    } else {
        gff3_attribute(f[8], "Parent", &ids);
    }
    // 1-based inclusive [st, en] is 0-based half-open [st - 1, en).
    for (const std::string &id : ids) table.add_exon(id, f[0], strand, st - 1, en);
    return true;
}

/* Reads an annotation file of any of the three formats into one interval
 * list per target of the part. Returns the lists, or null with *status -1
 * (the file cannot be opened or read) or LS_ANNOT_BAD_LINE. On success
 * *status is 0, or LS_ANNOT_NO_INTRON when no record gave an interval. */
ls_idx_intv_v *read_intervals(ls_idx *mi, const char *path, int read_junc, int min_sc, bool warn,
                              int *status) {
    *status = -1;
    LineReader in(path);
    if (!in.is_open()) return nullptr;
    const char *name = path ? path : "-";
    ls_idx_build_name_index(mi);
    IntervalSink sink{mi, static_cast<ls_idx_intv_v *>(
                              ls_xcalloc(mi->n_seq, sizeof(ls_idx_intv_v), "ls_idx_bed_read_merge"))};
    std::vector<char *> fields;
    std::vector<int64_t> sizes, starts;
    std::vector<std::string> ids;
    TranscriptTable table;
    bool known = false, gff3_header = false, bad = false;
    Format fmt = Format::kBed;
    long line_no = 0;
    for (char *line; !bad && (line = in.next()) != nullptr;) {
        ++line_no;
        if (!known) {
            if (strncmp(line, "##gff-version", 13) == 0 && atoi(line + 13) == 3) gff3_header = true;
            if (is_preamble(line)) continue;
            fmt = detect_format(line, gff3_header);
            known = true;
        }
        if (fmt == Format::kBed) {
            add_bed_line(line, read_junc, min_sc, sink, fields, sizes, starts);
        } else if (strncmp(line, "##FASTA", 7) == 0) {
            break; // GFF3 may end with the sequences themselves
        } else if (!is_preamble(line)) {
            bad = !add_feature_line(line, fmt, name, line_no, table, fields, ids);
        }
    }
    if (bad || in.failed()) {
        free_intv_lists(sink.lists, mi->n_seq);
        if (bad) *status = LS_ANNOT_BAD_LINE;
        return nullptr;
    }
    table.emit(name, read_junc, min_sc, warn, sink);
    long n_kept = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        sort_merge_intv(&sink.lists[i]);
        n_kept += sink.lists[i].n;
    }
    ls_log(LS_LOG_INFO, "read %ld introns, %ld of which are non-redundant", sink.n_stored, n_kept);
    *status = sink.n_found > 0 ? 0 : LS_ANNOT_NO_INTRON;
    return sink.lists;
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
    int status;
    return read_intervals(mi, path, read_junc, min_sc, true, &status);
}

int ls_idx_bed_read(ls_idx *mi, const char *path, int read_junc) {
    int status;
    // Callers read the same file for the jump lists, whose reading names
    // the transcripts it skips; once is enough.
    ls_idx_intv_v *lists = read_intervals(mi, path, read_junc, -1, false, &status);
    if (status != 0) {
        free_intv_lists(lists, mi->n_seq);
        return status;
    }
    free_intv_lists(mi->intervals, mi->n_seq);
    mi->intervals = lists;
    return 0;
}

int ls_idx_jjump_read(ls_idx *mi, const char *path, int flag, int min_sc) {
    int status;
    ls_idx_intv_v *iv = read_intervals(mi, path, 1, min_sc, true, &status);
    if (status != 0) {
        free_intv_lists(iv, mi->n_seq);
        return status;
    }
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
