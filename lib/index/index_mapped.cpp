/* Index parts in the mapped format: laid out so that a loaded part uses the
 * file's bytes in place.
 *
 * A part is a header and nine sections, every section starting at a multiple
 * of 64 bytes from the part's start and the part's size a multiple of 64, so
 * that parts written one after another keep their sections aligned. All
 * integers are little-endian.
 *
 *   header   "LSI\4"; w, k, bucket_bits, n_seq, flag, section count (9) and
 *            a zero word as 32-bit integers; the part's size as a 64-bit
 *            integer; per section its offset and size (64-bit, from the
 *            part's start), zlib's CRC-32 of its bytes and a zero word; then
 *            the CRC-32 of the header bytes before it.
 *   targets  per target: offset in the packed bases, offset of its name in
 *            the names (64-bit each), length, name length (32-bit each).
 *   names    every name followed by a zero byte.
 *   buckets  per bucket: start in the positions, first slot in the keys and
 *            values, first word in the slot states (64-bit each), position
 *            count, table capacity (0: no table), keys, occupied slots
 *            (32-bit each).
 *   positions, slot states, keys, values
 *            every bucket's array one after the other, the tables exactly
 *            as lookups probe them.
 *   packed   the packed bases (empty with LS_I_SKIP_SEQ).
 *   counts   the occurrence counts of all keys as (count, keys with that
 *            count) pairs of 64-bit integers, ascending, from which the
 *            occurrence threshold is chosen without visiting every slot.
 *
 * Loading maps the part read-only and shared, so that processes on one
 * machine share the pages, and points the part's arrays into the mapping;
 * a stream that cannot be mapped is read into memory instead. Every section
 * is then read once, in file order: its checksum is compared and every
 * position, key, value, name and base code is checked, so that damage is an
 * error with a message rather than a lookup outside the part. A caller may
 * ask to skip that read for a file it trusts: the header, the section table
 * and the target and bucket records are still checked, so every array lies
 * inside the part, but damage inside the arrays then goes unnoticed. */
#include "index/index.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include "base/diagnostics.h"

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

enum Section { kTargets, kNames, kBuckets, kPositions, kFlags, kKeys, kVals, kPacked, kCounts, kNumSections };
const char *const kSectionName[kNumSections] = {"targets", "names",  "buckets", "positions", "slot states",
                                                "keys",    "values", "packed bases", "counts"};

constexpr uint64_t kAlign = 64;
constexpr uint64_t kTableAt = 40;                          // the section table's offset
constexpr uint64_t kHeaderCrcAt = kTableAt + 24 * kNumSections; // the header's checksum
constexpr uint64_t kHeaderBytes = kHeaderCrcAt + 4;
constexpr size_t kMaxNameLen = 255; // as in the stream format

struct TargetRec {
    uint64_t offset, name_off;
    uint32_t len, name_len;
};
struct BucketRec {
    uint64_t pos_start, slot_start, flag_start;
    uint32_t n_pos, capacity, size, n_occupied;
};
static_assert(sizeof(TargetRec) == 24 && sizeof(BucketRec) == 40, "records are stored as they lie in memory");

uint64_t pad(uint64_t x) {
    return (x + kAlign - 1) & ~(kAlign - 1);
}
uint32_t rd32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
uint64_t rd64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
void wr32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}
void wr64(uint8_t *p, uint64_t v) {
    memcpy(p, &v, 8);
}

/* The pieces of one section, written and checksummed in order. */
struct Piece {
    const void *p;
    size_t n;
};

/* ---- writing ---- */

class SectionWriter {
  public:
    explicit SectionWriter(FILE *fp) : fp_(fp) {}
    void bytes(const void *p, size_t n) {
        if (n == 0 || !ok_) return;
        if (fwrite(p, 1, n, fp_) != n) ok_ = false, err_ = errno ? errno : EIO;
        at_ += n;
    }
    void zeros(uint64_t n) {
        static const uint8_t z[kAlign] = {0};
        while (n > 0) {
            size_t m = (size_t)std::min<uint64_t>(n, kAlign);
            bytes(z, m);
            n -= m;
        }
    }
    void pad_to(uint64_t off) { zeros(off - at_); }
    uint64_t at() const { return at_; }
    bool ok() const { return ok_; }
    int error() const { return err_; }

  private:
    FILE *fp_;
    uint64_t at_ = 0;
    bool ok_ = true;
    int err_ = 0;
};

/* Occurrence counts of all keys, as (count, keys) pairs ascending. */
std::vector<uint64_t> count_pairs(const ls_idx *mi) {
    std::unordered_map<uint32_t, uint64_t> n;
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
        const ls_idx_hash *h = mi->buckets[i].table;
        if (h == nullptr) continue;
        for (uint32_t j = 0; j < h->n_buckets; ++j)
            if (ls_idx_slot_used(h->flags, j)) ++n[h->keys[j] & 1 ? 1 : (uint32_t)h->vals[j]];
    }
    std::vector<std::pair<uint32_t, uint64_t>> v(n.begin(), n.end());
    std::sort(v.begin(), v.end());
    std::vector<uint64_t> out;
    out.reserve(2 * v.size());
    for (const auto &x : v) out.push_back(x.first), out.push_back(x.second);
    return out;
}

} // namespace

int ls_idx_write_mapped_part(FILE *fp, const ls_idx *mi, std::string *why) {
    if (!kLittleEndian) {
        *why = "the mapped index format needs a little-endian machine; use --index-format stream";
        return -1;
    }
    const uint64_t n_buckets = 1ULL << mi->bucket_bits;
    // The small sections, made in memory.
    std::vector<TargetRec> targets(mi->n_seq);
    std::string names;
    uint64_t sum_len = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const char *name = mi->seq[i].name;
        const size_t l = name ? strlen(name) : 0;
        if (l > kMaxNameLen) {
            *why = "the name of target " + std::to_string(i) + " is " + std::to_string(l) +
                   " bytes long, but index files hold names of at most 255 bytes: '" + name + "'";
            return -1;
        }
        targets[i] = TargetRec{sum_len, names.size(), mi->seq[i].len, (uint32_t)l};
        names.append(name ? name : "", l);
        names.push_back('\0');
        sum_len += mi->seq[i].len;
    }
    std::vector<BucketRec> buckets(n_buckets);
    std::vector<Piece> pieces[kNumSections];
    uint64_t n_pos = 0, n_slots = 0, n_flags = 0;
    for (uint64_t i = 0; i < n_buckets; ++i) {
        const ls_idx_bucket *b = &mi->buckets[i];
        const ls_idx_hash *h = b->table && b->table->n_buckets ? b->table : nullptr;
        BucketRec &r = buckets[i];
        r = BucketRec{n_pos, n_slots, n_flags, (uint32_t)b->n_pos, 0, 0, 0};
        pieces[kPositions].push_back({b->pos, (size_t)b->n_pos * 8});
        n_pos += (uint64_t)b->n_pos;
        if (h == nullptr) continue;
        r.capacity = h->n_buckets, r.size = h->size, r.n_occupied = h->n_occupied;
        pieces[kFlags].push_back({h->flags, ls_idx_flag_words(h->n_buckets) * 4});
        n_slots += h->n_buckets;
        n_flags += ls_idx_flag_words(h->n_buckets);
    }
    const std::vector<uint64_t> counts = count_pairs(mi);
    pieces[kTargets].push_back({targets.data(), targets.size() * sizeof(TargetRec)});
    pieces[kNames].push_back({names.data(), names.size()});
    pieces[kBuckets].push_back({buckets.data(), buckets.size() * sizeof(BucketRec)});
    if (!(mi->flag & LS_I_SKIP_SEQ)) {
        LS_ASSERT(sum_len == 0 || mi->packed_seq != nullptr);
        pieces[kPacked].push_back({mi->packed_seq, (size_t)((sum_len + 7) / 8) * 4});
    }
    pieces[kCounts].push_back({counts.data(), counts.size() * 8});

    // Keys and values of free slots were never written in memory: the file
    // holds zeros there, so that equal parts give equal files.
    std::vector<uint64_t> scratch;
    auto emit = [&](int s, const std::function<void(const void *, size_t)> &sink) {
        if (s != kKeys && s != kVals) {
            for (const Piece &p : pieces[s]) sink(p.p, p.n);
            return;
        }
        for (uint64_t i = 0; i < n_buckets; ++i) {
            const ls_idx_hash *h = mi->buckets[i].table;
            if (h == nullptr || h->n_buckets == 0) continue;
            scratch.assign(h->n_buckets, 0);
            const uint64_t *a = s == kKeys ? h->keys : h->vals;
            for (uint32_t j = 0; j < h->n_buckets; ++j)
                if (ls_idx_slot_used(h->flags, j)) scratch[j] = a[j];
            sink(scratch.data(), scratch.size() * 8);
        }
    };

    // The header, with every section's place and checksum.
    uint8_t hdr[kHeaderBytes] = {0};
    memcpy(hdr, LS_IDX_MAGIC_MAPPED, 4);
    const uint32_t words[7] = {(uint32_t)mi->w, (uint32_t)mi->k, (uint32_t)mi->bucket_bits, mi->n_seq,
                               (uint32_t)mi->flag, kNumSections, 0};
    for (int i = 0; i < 7; ++i) wr32(hdr + 4 + 4 * i, words[i]);
    uint64_t off = pad(kHeaderBytes), start[kNumSections];
    for (int s = 0; s < kNumSections; ++s) {
        uLong crc = crc32_z(0, nullptr, 0);
        uint64_t size = 0;
        emit(s, [&](const void *p, size_t n) {
            if (n) crc = crc32_z(crc, static_cast<const Bytef *>(p), n);
            size += n;
        });
        start[s] = off;
        wr64(hdr + kTableAt + 24 * s, off);
        wr64(hdr + kTableAt + 24 * s + 8, size);
        wr32(hdr + kTableAt + 24 * s + 16, (uint32_t)crc);
        off = pad(off + size);
    }
    wr64(hdr + 32, off); // the part's size
    wr32(hdr + kHeaderCrcAt, (uint32_t)crc32_z(0, hdr, kHeaderCrcAt));

    SectionWriter w(fp);
    w.bytes(hdr, kHeaderBytes);
    for (int s = 0; s < kNumSections; ++s) {
        w.pad_to(start[s]);
        emit(s, [&](const void *p, size_t n) { w.bytes(p, n); });
    }
    w.pad_to(off);
    if (w.ok() && fflush(fp) != 0) return *why = strerror(errno), -1;
    if (!w.ok()) return *why = strerror(w.error()), -1;
    return 0;
}

int ls_idx_write_mapped(FILE *fp, const ls_idx *mi) {
    std::string why;
    if (ls_idx_write_mapped_part(fp, mi, &why) == 0) return 0;
    ls_log(LS_LOG_ERROR, "cannot write the index: %s", why.c_str());
    return -1;
}

/* ---- loading ---- */

namespace {

/* Reports the first fault of a part, as the stream loader does. */
class Faults {
  public:
    Faults(const char *fn, int part, int64_t start) : fn_(fn), part_(part), start_(start) {}
    bool fail(uint64_t at, const char *fmt, ...) __attribute__((format(printf, 3, 4))) {
        char what[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(what, sizeof(what), fmt, ap);
        va_end(ap);
        ls_idx_load_fault(fn_, part_, start_, at, what);
        return false;
    }

  private:
    const char *fn_;
    int part_;
    int64_t start_;
};

/* The bytes of one part: a read-only mapping, or memory read from a stream. */
struct Bytes {
    void *base = nullptr; /* what to unmap or free */
    size_t base_len = 0;
    const uint8_t *p = nullptr; /* the part's first byte (its magic) */
    uint64_t n = 0;
    bool mapped = false;
    void release() {
        if (base == nullptr) return;
        if (mapped)
            munmap(base, base_len);
        else
            free(base);
        base = nullptr;
    }
};

struct Header {
    int w, k, b, flag;
    uint32_t n_seq;
    uint64_t part_size, off[kNumSections], size[kNumSections];
    uint32_t crc[kNumSections];
};

/* Checks the header's own consistency; the sections are judged later. */
bool parse_header(const uint8_t *h, Faults &f, Header *out) {
    if (rd32(h + kHeaderCrcAt) != (uint32_t)crc32_z(0, h, kHeaderCrcAt))
        return f.fail(kHeaderCrcAt, "header checksum mismatch: the file is damaged");
    out->w = (int32_t)rd32(h + 4), out->k = (int32_t)rd32(h + 8), out->b = (int32_t)rd32(h + 12);
    out->n_seq = rd32(h + 16), out->flag = (int32_t)rd32(h + 20);
    if (rd32(h + 24) != kNumSections) return f.fail(24, "%u sections, expected %d", rd32(h + 24), (int)kNumSections);
    if (out->k < 1 || out->k > 28) return f.fail(4, "invalid header: k = %d", out->k);
    if (out->w < 1 || out->w > 255) return f.fail(4, "invalid header: w = %d", out->w);
    if (out->b < 0 || out->b > 2 * out->k)
        return f.fail(4, "invalid header: %d bucket bits with k = %d", out->b, out->k);
    out->part_size = rd64(h + 32);
    if (out->part_size % kAlign || out->part_size < pad(kHeaderBytes))
        return f.fail(32, "invalid part size %llu", (unsigned long long)out->part_size);
    uint64_t end = pad(kHeaderBytes);
    for (int s = 0; s < kNumSections; ++s) {
        const uint8_t *e = h + kTableAt + 24 * s;
        out->off[s] = rd64(e), out->size[s] = rd64(e + 8), out->crc[s] = rd32(e + 16);
        if (out->off[s] % kAlign || out->off[s] < end || out->size[s] > out->part_size ||
            out->off[s] > out->part_size - out->size[s])
            return f.fail(kTableAt + 24 * s, "section %s lies outside the part (offset %llu, %llu bytes)",
                          kSectionName[s], (unsigned long long)out->off[s], (unsigned long long)out->size[s]);
        end = out->off[s] + out->size[s];
    }
    return true;
}

/* Maps the part that starts at byte start of fd (the file holding file_size
 * bytes); false after a message. */
bool map_part(int fd, int64_t start, int64_t file_size, bool full, Faults &f, Bytes *out) {
    uint8_t h[kHeaderBytes];
    if (file_size - start < (int64_t)kHeaderBytes)
        return f.fail(0, "the file ends inside the header (%lld of %llu bytes)", (long long)(file_size - start),
                      (unsigned long long)kHeaderBytes);
    if (pread(fd, h, kHeaderBytes, start) != (ssize_t)kHeaderBytes)
        return f.fail(0, "read error inside the header: %s", strerror(errno));
    Header hd;
    if (!parse_header(h, f, &hd)) return false;
    if (hd.part_size > (uint64_t)(file_size - start))
        return f.fail(32, "the part would need %llu bytes, but the file has only %lld left",
                      (unsigned long long)hd.part_size, (long long)(file_size - start));
    const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t from = start / page * page;
    const size_t len = (size_t)(start - from + (int64_t)hd.part_size);
    // When the checks are about to read every page, fault them in at once;
    // otherwise pages come in as lookups first touch them.
    void *m = mmap(nullptr, len, PROT_READ, MAP_SHARED | (full ? MAP_POPULATE : 0), fd, from);
    if (m != MAP_FAILED && !full) madvise(m, len, MADV_WILLNEED);
    if (m == MAP_FAILED) return f.fail(0, "cannot map the part: %s", strerror(errno));
    out->base = m, out->base_len = len, out->mapped = true;
    out->p = static_cast<const uint8_t *>(m) + (start - from);
    out->n = hd.part_size;
    return true;
}

/* Reads the part from a stream that cannot be mapped; the magic was read. */
bool read_part(FILE *fp, Faults &f, Bytes *out) {
    uint8_t h[kHeaderBytes];
    memcpy(h, LS_IDX_MAGIC_MAPPED, 4);
    size_t r = fread(h + 4, 1, kHeaderBytes - 4, fp);
    if (r != kHeaderBytes - 4) return f.fail(4 + r, "the file ends inside the header");
    Header hd;
    if (!parse_header(h, f, &hd)) return false;
    // Memory grows with the bytes that arrive, never from the header alone.
    uint64_t cap = std::min<uint64_t>(hd.part_size, 1 << 20), have = kHeaderBytes;
    uint8_t *buf = static_cast<uint8_t *>(malloc(cap));
    if (buf == nullptr) return f.fail(0, "out of memory");
    memcpy(buf, h, kHeaderBytes);
    while (have < hd.part_size) {
        if (have == cap) {
            cap = std::min<uint64_t>(hd.part_size, cap * 2);
            uint8_t *nb = static_cast<uint8_t *>(realloc(buf, cap));
            if (nb == nullptr) return free(buf), f.fail(have, "out of memory");
            buf = nb;
        }
        r = fread(buf + have, 1, cap - have, fp);
        have += r;
        if (have < cap) {
            free(buf);
            return f.fail(have, "the file ends inside the part, %llu of its %llu bytes are missing",
                          (unsigned long long)(hd.part_size - have), (unsigned long long)hd.part_size);
        }
    }
    out->base = buf, out->base_len = cap, out->mapped = false, out->p = buf, out->n = hd.part_size;
    return true;
}

template <typename T> const T *at(const Bytes &b, const Header &h, int s) {
    return reinterpret_cast<const T *>(b.p + h.off[s]);
}

bool position_ok(uint64_t y, const TargetRec *t, uint32_t n_seq) {
    const uint64_t rid = y >> 32;
    return rid < n_seq && (y >> 1 & 0x7fffffffU) < t[rid].len;
}

/* Checks the sections: their sizes, and the target and bucket records
 * against the arrays they point into, so that every array the part uses lies
 * inside the bytes; with full, also every section's checksum and every
 * position, key, value and base code (which takes a read of the whole part),
 * counting the single-occurrence keys into *n_single. */
bool check_sections(const Bytes &by, const Header &h, bool full, Faults &f, int64_t *n_single) {
    *n_single = -1;
    for (int s = 0; full && s < kNumSections; ++s)
        if ((uint32_t)crc32_z(0, by.p + h.off[s], h.size[s]) != h.crc[s])
            return f.fail(h.off[s], "checksum mismatch in the %s: the file is damaged", kSectionName[s]);
    const uint64_t n_buckets = 1ULL << h.b;
    if (h.size[kTargets] != (uint64_t)h.n_seq * sizeof(TargetRec))
        return f.fail(h.off[kTargets], "the targets take %llu bytes, not %u records",
                      (unsigned long long)h.size[kTargets], h.n_seq);
    if (h.size[kBuckets] != n_buckets * sizeof(BucketRec))
        return f.fail(h.off[kBuckets], "the buckets take %llu bytes, not %llu records",
                      (unsigned long long)h.size[kBuckets], (unsigned long long)n_buckets);
    if (h.size[kPositions] % 8 || h.size[kFlags] % 4 || h.size[kKeys] % 8 || h.size[kKeys] != h.size[kVals] ||
        h.size[kPacked] % 4 || h.size[kCounts] % 16)
        return f.fail(0, "a section's size does not fit its items");
    const TargetRec *t = at<TargetRec>(by, h, kTargets);
    const char *names = at<char>(by, h, kNames);
    uint64_t sum_len = 0;
    for (uint32_t i = 0; i < h.n_seq; ++i) {
        const TargetRec &r = t[i];
        const uint64_t where = h.off[kTargets] + (uint64_t)i * sizeof(TargetRec);
        if (r.offset != sum_len) return f.fail(where, "target %u: offset %llu, expected %llu", i,
                                               (unsigned long long)r.offset, (unsigned long long)sum_len);
        if (r.name_len > kMaxNameLen || r.name_off >= h.size[kNames] || h.size[kNames] - r.name_off <= r.name_len ||
            names[r.name_off + r.name_len] != 0 || memchr(names + r.name_off, 0, r.name_len) != nullptr)
            return f.fail(where, "target %u: its name lies outside the names", i);
        sum_len += r.len;
    }
    const uint64_t n_words = (sum_len + 7) / 8;
    if (h.size[kPacked] != ((h.flag & LS_I_SKIP_SEQ) ? 0 : n_words * 4))
        return f.fail(h.off[kPacked], "the packed bases take %llu bytes, the targets need %llu",
                      (unsigned long long)h.size[kPacked], (unsigned long long)n_words * 4);
    if (full && !ls_idx_packed_codes_ok(at<uint32_t>(by, h, kPacked), h.size[kPacked] / 4))
        return f.fail(h.off[kPacked], "the packed bases hold invalid codes");
    const uint64_t *pos = at<uint64_t>(by, h, kPositions);
    const uint64_t n_pos = h.size[kPositions] / 8;
    for (uint64_t i = 0; full && i < n_pos; ++i)
        if (!position_ok(pos[i], t, h.n_seq))
            return f.fail(h.off[kPositions] + 8 * i, "position %llu points outside the targets", (unsigned long long)i);
    const BucketRec *bk = at<BucketRec>(by, h, kBuckets);
    const uint32_t *flags = at<uint32_t>(by, h, kFlags);
    const uint64_t *keys = at<uint64_t>(by, h, kKeys), *vals = at<uint64_t>(by, h, kVals);
    const uint64_t n_slots = h.size[kKeys] / 8, n_flags = h.size[kFlags] / 4;
    const int key_bits = 2 * h.k - h.b;
    uint64_t singles = 0;
    // Occurrence counts: most keys occur a few times, counted in place.
    std::vector<uint64_t> small(1 << 12, 0);
    std::map<uint32_t, uint64_t> large;
    for (uint64_t i = 0; i < n_buckets; ++i) {
        const BucketRec &r = bk[i];
        const uint64_t where = h.off[kBuckets] + i * sizeof(BucketRec);
        if (r.pos_start > n_pos || r.n_pos > n_pos - r.pos_start || r.n_pos > (uint32_t)INT32_MAX)
            return f.fail(where, "bucket %llu: its positions lie outside the positions", (unsigned long long)i);
        if (r.capacity == 0) continue;
        if (r.capacity < 4 || (r.capacity & (r.capacity - 1)) || r.slot_start > n_slots ||
            r.capacity > n_slots - r.slot_start || r.flag_start > n_flags ||
            ls_idx_flag_words(r.capacity) > n_flags - r.flag_start || r.size > r.capacity || r.n_occupied < r.size ||
            r.n_occupied > r.capacity)
            return f.fail(where, "bucket %llu: its table lies outside the tables", (unsigned long long)i);
        if (!full) continue;
        uint32_t used = 0;
        for (uint32_t j = 0; j < r.capacity; ++j) {
            if (!ls_idx_slot_used(flags + r.flag_start, j)) continue;
            ++used;
            const uint64_t key = keys[r.slot_start + j], val = vals[r.slot_start + j];
            if (key >> 1 >> key_bits != 0)
                return f.fail(where, "bucket %llu: key %u has more bits than a hash", (unsigned long long)i, j);
            uint32_t cnt = 1;
            if (key & 1) {
                ++singles;
                if (!position_ok(val, t, h.n_seq))
                    return f.fail(where, "bucket %llu: key %u points outside the targets", (unsigned long long)i, j);
            } else {
                cnt = (uint32_t)val;
                if (cnt == 0 || (val >> 32) + cnt > r.n_pos)
                    return f.fail(where, "bucket %llu: key %u points outside the position array",
                                  (unsigned long long)i, j);
            }
            if (cnt < small.size())
                ++small[cnt];
            else
                ++large[cnt];
        }
        if (used != r.size)
            return f.fail(where, "bucket %llu: %u keys in its slots, %u in its record", (unsigned long long)i, used,
                          r.size);
    }
    if (!full) return true;
    for (uint32_t i = 0; i < small.size(); ++i)
        if (small[i]) large[i] = small[i];
    const uint64_t *c = at<uint64_t>(by, h, kCounts);
    const uint64_t n_c = h.size[kCounts] / 16;
    bool same = n_c == large.size();
    uint64_t j = 0;
    for (auto it = large.begin(); same && it != large.end(); ++it, ++j)
        same = c[2 * j] == it->first && c[2 * j + 1] == it->second;
    if (!same) return f.fail(h.off[kCounts], "the occurrence counts do not match the tables");
    *n_single = (int64_t)singles;
    return true;
}

/* A part whose arrays point into the checked bytes. */
ls_idx *assemble(Bytes &by, const Header &h, int64_t n_single) {
    ls_idx *mi = ls_idx_new(h.w, h.k, h.b, h.flag);
    if (mi == nullptr) return nullptr;
    ls_idx_map *m = static_cast<ls_idx_map *>(calloc(1, sizeof(ls_idx_map)));
    const uint64_t n_buckets = 1ULL << mi->bucket_bits;
    ls_idx_hash *tables = static_cast<ls_idx_hash *>(calloc(n_buckets, sizeof(ls_idx_hash)));
    ls_idx_seq *seq = static_cast<ls_idx_seq *>(km_calloc(mi->arena, h.n_seq ? h.n_seq : 1, sizeof(ls_idx_seq)));
    if (m == nullptr || tables == nullptr || seq == nullptr) {
        free(m), free(tables);
        if (mi->arena == nullptr) free(seq);
        ls_idx_destroy(mi);
        return nullptr;
    }
    m->base = by.base, m->len = by.base_len, m->mapped = by.mapped, m->tables = tables;
    by.base = nullptr; // the part owns the bytes now
    m->counts = at<uint64_t>(by, h, kCounts);
    m->n_counts = h.size[kCounts] / 16;
    m->n_single = n_single;
    mi->map = m;
    const TargetRec *t = at<TargetRec>(by, h, kTargets);
    const char *names = at<char>(by, h, kNames);
    for (uint32_t i = 0; i < h.n_seq; ++i) {
        // Names stay in the read-only bytes; nothing writes to them.
        seq[i].name = t[i].name_len ? const_cast<char *>(names + t[i].name_off) : nullptr;
        seq[i].offset = t[i].offset;
        seq[i].len = t[i].len;
    }
    mi->seq = seq;
    mi->n_seq = h.n_seq;
    const BucketRec *bk = at<BucketRec>(by, h, kBuckets);
    uint64_t *pos = const_cast<uint64_t *>(at<uint64_t>(by, h, kPositions));
    uint32_t *flags = const_cast<uint32_t *>(at<uint32_t>(by, h, kFlags));
    uint64_t *keys = const_cast<uint64_t *>(at<uint64_t>(by, h, kKeys));
    uint64_t *vals = const_cast<uint64_t *>(at<uint64_t>(by, h, kVals));
    for (uint64_t i = 0; i < n_buckets; ++i) {
        const BucketRec &r = bk[i];
        ls_idx_bucket *b = &mi->buckets[i];
        b->n_pos = (int32_t)r.n_pos;
        b->pos = pos + r.pos_start;
        if (r.capacity == 0) continue;
        ls_idx_hash *x = &tables[i];
        x->n_buckets = r.capacity, x->size = r.size, x->n_occupied = r.n_occupied;
        x->upper_bound = (uint32_t)(r.capacity * 0.77 + 0.5);
        x->flags = flags + r.flag_start, x->keys = keys + r.slot_start, x->vals = vals + r.slot_start;
        b->table = x;
    }
    if (!(h.flag & LS_I_SKIP_SEQ)) mi->packed_seq = const_cast<uint32_t *>(at<uint32_t>(by, h, kPacked));
    return mi;
}

} // namespace

ls_idx *ls_idx_load_mapped_part(FILE *fp, const char *fn, int part_index, bool full, int *status) {
    *status = -1;
    int64_t start = -1, file_size = -1;
    struct stat st;
    const int fd = fileno(fp);
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t here = ftello(fp);
        if (here >= 4) start = here - 4, file_size = st.st_size;
    }
    Faults f(fn, part_index, start);
    if (!kLittleEndian) return f.fail(0, "the mapped index format needs a little-endian machine"), nullptr;
    Bytes by;
    // Parts written by this version start at multiples of 64 bytes; one that
    // does not is read into memory, where its arrays are aligned.
    if (start >= 0 && start % (int64_t)kAlign == 0) {
        if (!map_part(fd, start, file_size, full, f, &by)) return nullptr;
        if (fseeko(fp, start + (off_t)by.n, SEEK_SET) != 0) {
            by.release();
            return f.fail(0, "cannot seek past the part: %s", strerror(errno)), nullptr;
        }
    } else if (!read_part(fp, f, &by)) {
        return nullptr;
    }
    Header h;
    int64_t n_single;
    if (!parse_header(by.p, f, &h) || !check_sections(by, h, full, f, &n_single)) {
        by.release();
        return nullptr;
    }
    ls_idx *mi = assemble(by, h, n_single);
    if (mi == nullptr) {
        by.release();
        f.fail(0, "out of memory");
        return nullptr;
    }
    *status = 1;
    return mi;
}

void ls_idx_map_release(ls_idx_map *m) {
    if (m == nullptr) return;
    if (m->mapped)
        munmap(m->base, m->len);
    else
        free(m->base);
    free(m->tables);
    free(m);
}

int64_t ls_idx_map_occ_rank(const ls_idx_map *m, uint64_t rank) {
    uint64_t seen = 0;
    for (uint64_t i = 0; i < m->n_counts; ++i) {
        seen += m->counts[2 * i + 1];
        if (rank < seen) return (int64_t)m->counts[2 * i];
    }
    return -1;
}
