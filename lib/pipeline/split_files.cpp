#include "pipeline/split_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "map/regions.h"
#include "pipeline/map_query.h"
#include "pipeline/run.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/pairing.h"

namespace {

std::string tmp_name(const char *prefix, int part) {
    char buf[32];
    snprintf(buf, sizeof(buf), ".%.4d.tmp", part);
    return std::string(prefix) + buf;
}

void note_created(ls_run *run, const char *prefix, int part, const std::string &path, const struct stat &st) {
    std::lock_guard<std::mutex> lock(run->split_mutex);
    std::vector<ls_split_created> &v = run->split_files;
    // A name removed behind our back and created again is listed once.
    auto same = [&](const ls_split_created &f) { return f.path == path; };
    v.erase(std::remove_if(v.begin(), v.end(), same), v.end());
    v.push_back(ls_split_created{prefix, part, path, st.st_dev, st.st_ino});
}

/* Removes the run's files that pred selects and drops them from its list. */
template <typename Pred> void remove_created(ls_run *run, Pred pred) {
    std::lock_guard<std::mutex> lock(run->split_mutex);
    std::vector<ls_split_created> &v = run->split_files;
    auto gone = std::stable_partition(v.begin(), v.end(), [&](const ls_split_created &f) { return !pred(f); });
    for (auto it = gone; it != v.end(); ++it) {
        struct stat st;
        if (lstat(it->path.c_str(), &st) == 0 && st.st_dev == it->dev && st.st_ino == it->ino)
            unlink(it->path.c_str());
    }
    v.erase(gone, v.end());
}

/* Reads one temporary file. A file whose bytes do not describe what the
 * writer wrote cannot be merged safely (out-of-range ids and sizes would be
 * trusted by the formatters), so the first fault is reported, naming the
 * file, and sticks: every later read fails too, and a caller may read a
 * whole record before checking once. */
class TmpReader {
  public:
    TmpReader(FILE *fp, const char *prefix, int part, const ls_logger *log)
        : fp_(fp), prefix_(prefix), part_(part), log_(log) {}
    bool ok() const { return ok_; }

    bool read(void *p, size_t size, size_t n) {
        if (!ok_) return false;
        errno = 0;
        if (fread(p, size, n, fp_) == n) return true;
        if (ferror(fp_)) {
            const int e = errno;
            ok_ = false;
            ls_logger_log(log_, LS_LOG_ERROR, "failed to read temporary file '%s': %s",
                          tmp_name(prefix_, part_).c_str(), e ? strerror(e) : "read error");
        } else {
            corrupt("it ends early");
        }
        return false;
    }
    int32_t i32() {
        int32_t v = 0;
        read(&v, sizeof(v), 1);
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        read(&v, sizeof(v), 1);
        return v;
    }
    /* Returns false, so that a check reads "return in.corrupt(...)". */
    bool corrupt(const char *what) {
        if (ok_)
            ls_logger_log(log_, LS_LOG_ERROR, "corrupted temporary file: %s: %s", tmp_name(prefix_, part_).c_str(),
                          what);
        ok_ = false;
        return false;
    }

  private:
    FILE *fp_;
    const char *prefix_;
    int part_;
    const ls_logger *log_;
    bool ok_ = true;
};

/* Records whether every write of a temporary file went through; errno is
 * left from the first one that did not. */
struct TmpWriter {
    FILE *fp;
    bool ok = true;
    void put(const void *p, size_t size, size_t n) {
        if (ok && fwrite(p, size, n, fp) != n) ok = false;
    }
};

/* Words of the ls_extra header that precede the CIGAR. */
constexpr uint32_t kExtraHeaderWords = sizeof(ls_extra) / 4;

/* Reads one region (and its detail with base-level alignment) into r. r->p
 * is null or owned by r afterwards, whatever the result. */
bool read_region(TmpReader &in, int64_t flag, int32_t shift, uint32_t n_seq_part, const ls_idx *mi, int qlen,
                 ls_reg *r) {
    const bool got = in.read(r, sizeof(ls_reg), 1);
    r->p = nullptr; // the writer's pointer value means nothing here
    if (!got) return false;
    if (r->target_id < 0 || (uint32_t)r->target_id >= n_seq_part) return in.corrupt("target id out of range");
    r->target_id += shift;
    const uint32_t tlen = mi->seq[r->target_id].len;
    if (r->qs < 0 || r->qs > r->qe || r->qe > qlen) return in.corrupt("query interval out of range");
    if (r->rs < 0 || r->rs > r->re || (uint32_t)r->re > tlen)
        return in.corrupt("target interval out of range");
    // Ranking and mapping quality add and subtract these; a writer's values
    // stay within the spans and far from the limits of 32 bits.
    const int64_t span = (int64_t)(r->qe - r->qs) + (r->re - r->rs);
    const int32_t kScoreLimit = 1 << 30;
    if (r->match_len < 0 || r->block_len < 0 || r->match_len > span || r->block_len > span ||
        r->chain_score < -kScoreLimit || r->chain_score > kScoreLimit || r->sub_score < -kScoreLimit ||
        r->sub_score > kScoreLimit || r->initial_score < -kScoreLimit || r->initial_score > kScoreLimit)
        return in.corrupt("region values out of range");
    if (!(flag & LS_F_BASE_ALIGN)) return true;
    const uint32_t cap = in.u32();
    if (!in.ok()) return false;
    // A writer never stores more than one CIGAR word per query or target base
    // plus clips, so a count far beyond that is damage, not data.
    const uint64_t limit = kExtraHeaderWords + 2 * ((uint64_t)qlen + tlen) + 16;
    if (cap < kExtraHeaderWords || cap > limit) return in.corrupt("alignment record size out of range");
    // The limit trusts the target length of the header, so the words are
    // read in growing steps: a damaged count cannot ask for gigabytes before
    // the file runs out.
    uint32_t *w = nullptr;
    for (uint64_t have = 0; have < cap;) {
        const uint64_t next = std::min<uint64_t>(cap, std::max<uint64_t>(4096, 2 * have));
        w = static_cast<uint32_t *>(ls_xrealloc(w, next * 4, __func__));
        r->p = reinterpret_cast<ls_extra *>(w);
        if (!in.read(w + have, 4, next - have)) return false;
        have = next;
    }
    if (r->p->capacity != cap || r->p->n_cigar > cap - kExtraHeaderWords)
        return in.corrupt("alignment record inconsistent");
    const ls_extra *p = r->p;
    if ((int64_t)p->n_ambiguous > span || p->aln_score < -kScoreLimit || p->aln_score > kScoreLimit ||
        p->max_score < -kScoreLimit || p->max_score > kScoreLimit || p->alt_max_score < -kScoreLimit ||
        p->alt_max_score > kScoreLimit || p->raw_max_score < -kScoreLimit || p->raw_max_score > kScoreLimit)
        return in.corrupt("alignment record out of range");
    // The CIGAR must cover the region exactly, as every writer's does.
    int64_t q = 0, t = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        const uint32_t op = p->cigar[k] & 0xf, len = p->cigar[k] >> 4;
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH) q += len, t += len;
        else if (op == LS_CIGAR_INS) q += len;
        else if (op == LS_CIGAR_DEL || op == LS_CIGAR_N_SKIP) t += len;
        else return in.corrupt("alignment record holds an unknown operation");
    }
    if (p->n_cigar > 0 && (q != r->qe - r->qs || t != r->re - r->rs))
        return in.corrupt("alignment does not span its region");
    return true;
}

} // namespace

FILE *ls_split_open_out(const char *prefix, const ls_idx *mi, ls_run *run) {
    run = ls_run_or_default(run);
    const std::string fn = tmp_name(prefix, mi->part_index);
    // The name is predictable: the file is created, never opened if it
    // exists, so that a link planted there is not written through and a
    // file left by another run is not overwritten.
    const int fd = open(fn.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        ls_logger_log(&run->log, LS_LOG_ERROR,
               "temporary file '%s' exists, perhaps left by an earlier run: remove it or choose another "
               "--split-prefix",
               fn.c_str());
        return nullptr;
    }
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) note_created(run, prefix, mi->part_index, fn, st);
    FILE *fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && fp == nullptr) close(fd);
    TmpWriter out{fp};
    if (fp) {
        const int32_t k = mi->k;
        out.put(&k, sizeof(k), 1);
        out.put(&mi->n_seq, sizeof(mi->n_seq), 1);
        for (uint32_t i = 0; i < mi->n_seq; ++i) {
            const char *name = mi->seq[i].name ? mi->seq[i].name : "";
            const int32_t l = (int32_t)strlen(name);
            out.put(&l, sizeof(l), 1);
            if (l > 0) out.put(name, 1, (size_t)l);
            out.put(&mi->seq[i].len, sizeof(uint32_t), 1);
        }
    }
    if (fp == nullptr || !out.ok) {
        const int e = errno;
        ls_logger_log(&run->log, LS_LOG_ERROR, "failed to write to temporary file '%s': %s", fn.c_str(),
                      strerror(e));
        if (fp) fclose(fp);
        if (fd >= 0) remove_created(run, [&](const ls_split_created &f) { return f.path == fn; });
        return nullptr;
    }
    return fp;
}

int ls_split_write_query(FILE *fp, int64_t flag, int n_reg, const ls_reg *regs, int32_t repeat_len,
                         int32_t fragment_gap) {
    TmpWriter out{fp};
    const int32_t head[3] = {n_reg, repeat_len, fragment_gap};
    out.put(head, sizeof(int32_t), 3);
    for (int i = 0; i < n_reg && out.ok; ++i) {
        out.put(&regs[i], sizeof(ls_reg), 1);
        if (!(flag & LS_F_BASE_ALIGN)) continue;
        LS_ASSERT(regs[i].p != nullptr && regs[i].p->capacity >= kExtraHeaderWords);
        out.put(&regs[i].p->capacity, 4, 1);
        out.put(regs[i].p, 4, regs[i].p->capacity);
    }
    return out.ok ? 0 : -1;
}

ls_idx *ls_split_read_headers(const char *prefix, int n_parts, FILE **files, uint32_t *n_seq_of_part, int *err,
                              ls_run *run) {
    const ls_logger *log = &ls_run_or_default(run)->log;
    if (err) *err = LS_MAP_ERR_OPEN;
    if (n_parts <= 0) return nullptr;
    auto close_all = [&](int n) {
        for (int i = 0; i < n; ++i) {
            fclose(files[i]);
            files[i] = nullptr;
        }
    };
    for (int j = 0; j < n_parts; ++j) {
        const std::string fn = tmp_name(prefix, j);
        files[j] = fopen(fn.c_str(), "rb");
        if (files[j] == nullptr) {
            ls_logger_log(log, LS_LOG_ERROR, "failed to open temporary file '%s': %s", fn.c_str(), strerror(errno));
            close_all(j);
            return nullptr;
        }
    }
    ls_idx *mi = static_cast<ls_idx *>(ls_xcalloc(1, sizeof(ls_idx), __func__));
    std::vector<uint32_t> n_seq(n_parts);
    std::vector<uint64_t> size(n_parts, UINT64_MAX);
    std::vector<TmpReader> in;
    uint64_t total = 0;
    bool ok = true;
    for (int j = 0; j < n_parts && ok; ++j) {
        in.emplace_back(files[j], prefix, j, log);
        struct stat st;
        if (fstat(fileno(files[j]), &st) == 0) size[j] = (uint64_t)st.st_size;
        mi->k = in[j].i32();
        // The merge ranks with k as an index part has it (1 to 28).
        if (in[j].ok() && (mi->k < 1 || mi->k > 28)) in[j].corrupt("k out of range");
        n_seq[j] = in[j].u32();
        // Each target takes at least 8 bytes of the header, so a larger count
        // (or name length) than the file holds is damage; checking keeps it
        // from sizing an allocation.
        if (in[j].ok() && n_seq[j] > size[j] / 8) in[j].corrupt("target count out of range");
        ok = in[j].ok();
        total += n_seq[j];
        if (n_seq_of_part) n_seq_of_part[j] = n_seq[j];
    }
    if (ok && total > INT32_MAX) ok = in[n_parts - 1].corrupt("too many targets");
    if (ok) {
        mi->n_seq = (uint32_t)total;
        mi->seq = static_cast<ls_idx_seq *>(ls_xcalloc(total, sizeof(ls_idx_seq), __func__));
    }
    uint32_t t = 0;
    for (int j = 0; j < n_parts && ok; ++j) {
        for (uint32_t i = 0; i < n_seq[j] && ok; ++i, ++t) {
            const int32_t l = in[j].i32();
            if (in[j].ok() && (l < 0 || (uint64_t)l > size[j])) in[j].corrupt("name length out of range");
            if (!in[j].ok()) {
                ok = false;
                break;
            }
            char *name = static_cast<char *>(ls_xmalloc((size_t)l + 1, __func__));
            mi->seq[t].name = name;
            name[0] = 0;
            if (l > 0 && in[j].read(name, 1, (size_t)l)) name[l] = 0;
            mi->seq[t].len = in[j].u32();
            ok = in[j].ok();
        }
    }
    if (!ok) {
        ls_idx_destroy(mi);
        close_all(n_parts);
        if (err) *err = LS_MAP_ERR_INPUT;
        return nullptr;
    }
    if (err) *err = 0;
    return mi;
}

void ls_split_remove(const char *prefix, int n_parts, ls_run *run) {
    remove_created(ls_run_or_default(run),
                   [&](const ls_split_created &f) { return f.prefix == prefix && f.part < n_parts; });
}

void ls_run_split_discard(ls_run *run, const char *prefix) {
    if (prefix) remove_created(ls_run_or_default(run), [&](const ls_split_created &f) { return f.prefix == prefix; });
}

void ls_split_discard(const char *prefix) { ls_run_split_discard(nullptr, prefix); }

void ls_split_discard_all(ls_run *run) {
    remove_created(run, [](const ls_split_created &) { return true; });
}

int ls_split_merge_query(int n_parts, FILE **files, const int32_t *rid_shift, const ls_idx *mi,
                         const ls_mapopt *opt, int qlen, km_arena *km, ls_reg **regs_out, int *n_reg,
                         int *repeat_len, int *fragment_gap, ls_run *run) {
    const ls_logger *log = &ls_run_or_default(run)->log;
    *regs_out = nullptr;
    *n_reg = 0;
    std::vector<int32_t> n_part(n_parts);
    int64_t n = 0;
    int32_t rep = 0, gap = 0;
    for (int j = 0; j < n_parts; ++j) {
        TmpReader in(files[j], opt->split_prefix, j, log);
        int32_t head[3] = {0, 0, 0};
        if (!in.read(head, sizeof(int32_t), 3)) return -1;
        if (head[0] < 0) {
            in.corrupt("negative region count");
            return -1;
        }
        n_part[j] = head[0];
        n += head[0];
        if (j == 0 || head[1] > rep) rep = head[1];
        if (j == 0) gap = head[2];
    }
    if (n > INT32_MAX / (int64_t)sizeof(ls_reg)) {
        TmpReader(files[0], opt->split_prefix, 0, log).corrupt("region count out of range");
        return -1;
    }
    const int64_t flag = opt->flag;
    // The array grows with the regions actually read, so that a damaged
    // count cannot ask for gigabytes before the file runs out.
    size_t cap = n < 64 ? (size_t)n : 64;
    ls_reg *regs = static_cast<ls_reg *>(ls_xcalloc(cap, sizeof(ls_reg), __func__));
    int m = 0;
    for (int j = 0; j < n_parts; ++j) {
        const uint32_t n_seq_part = (j + 1 < n_parts ? (uint32_t)rid_shift[j + 1] : mi->n_seq) - rid_shift[j];
        TmpReader in(files[j], opt->split_prefix, j, log);
        for (int32_t i = 0; i < n_part[j]; ++i, ++m) {
            if ((size_t)m == cap) {
                const size_t cap2 = cap * 2 < (size_t)n ? cap * 2 : (size_t)n;
                regs = static_cast<ls_reg *>(ls_xrealloc(regs, cap2 * sizeof(ls_reg), __func__));
                memset(regs + cap, 0, (cap2 - cap) * sizeof(ls_reg));
                cap = cap2;
            }
            if (read_region(in, flag, rid_shift[j], n_seq_part, mi, qlen, &regs[m])) continue;
            for (int64_t k = 0; k <= m; ++k) free(regs[k].p); // the rest are still zero
            free(regs);
            return -1;
        }
    }
    int nr = m;
    if (!(flag & LS_F_SHORT_READ) && qlen >= opt->rank_min_length)
        ls_update_max_score(qlen, nr, regs, opt->rank_fraction, opt->match_score, opt->mismatch_penalty);
    for (int i = 0; i < nr; ++i) {
        if (regs[i].p) regs[i].p->alt_max_score = 0;
        regs[i].sub_score = 0;
        regs[i].n_suboptimal = 0;
    }
    ls_hit_sort(km, &nr, regs, opt->alt_drop_fraction);
    ls_set_parent(km, opt->overlap_mask_level, opt->overlap_mask_len, nr, regs,
                  opt->match_score * 2 + opt->mismatch_penalty, !!(flag & LS_F_HARD_MASK_LEVEL),
                  opt->alt_drop_fraction);
    if (!(flag & LS_F_ALL_CHAINS)) {
        ls_select_sub(km, opt->secondary_ratio, mi->k * 2, opt->max_secondary, 0,
                      (int)(opt->chain_max_gap * 0.8), &nr, regs);
        ls_mark_sam_pri(nr, regs);
    }
    ls_set_mapq(km, nr, regs, opt->chain_min_score, opt->match_score, rep,
                !!(flag & (LS_F_SHORT_READ | LS_F_SHORT_RNA)), !!(flag & LS_F_SPLICE), !!(flag & LS_F_MAPQ_FROM_ALN));
    *regs_out = regs;
    *n_reg = nr;
    *repeat_len = rep;
    *fragment_gap = gap;
    return 0;
}

int ls_split_check_end(int n_parts, FILE **files, const char *prefix, ls_run *run) {
    // Regions left over mean the temporary files came from other query
    // files; the output would silently lack them.
    for (int j = 0; j < n_parts; ++j)
        if (fgetc(files[j]) != EOF) {
            TmpReader(files[j], prefix, j, &ls_run_or_default(run)->log)
                .corrupt("more queries than the query files hold");
            return LS_MAP_ERR_INPUT;
        }
    return 0;
}
