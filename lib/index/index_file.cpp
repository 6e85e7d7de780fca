/* Index files and the index reader.
 *
 * An index file is a run of parts, each: the magic "LSI\3"; w, k,
 * bucket_bits, n_seq and flag as 32-bit integers; per target a name-length
 * byte, the name bytes and the 32-bit length; per bucket n_pos, the n_pos
 * 64-bit positions, the number of keys m and m key-value pairs of 64-bit
 * words in table-slot order; without LS_I_SKIP_SEQ, the packed bases as
 * (total length + 7) / 8 32-bit words; and last a 32-bit checksum, zlib's
 * CRC-32 of every byte of the part from its magic on. All integers are
 * little-endian with no padding. Files written once must stay readable, so
 * parts of version 2 ("LSI\2": the same layout without the checksum) still
 * load, with a note that their damage cannot be detected. Version 4 ("LSI\4")
 * is the mapped format of index_mapped.cpp, which the reader writes by
 * default; a file may hold parts of either kind.
 *
 * The loader trusts nothing it reads: every count is checked against the
 * bytes the file still holds before memory is taken for it (or, on a stream
 * of unknown size, memory grows only with the bytes actually read), and every
 * stored position and table value is checked to point inside the part, so a
 * damaged file is reported instead of being mapped against. Damage that still
 * looks consistent (a changed name, base or position) is caught by the
 * checksum, which the writer and the loader compute as the bytes pass, so
 * that no second pass over a large index is needed. */
#include "index/index.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <zlib.h>

#include "base/big_alloc.h"
#include "base/diagnostics.h"

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

/* Names longer than this cannot be stored: the length takes one byte. */
constexpr size_t kMaxNameLen = 255;

/* Bytes of the smallest possible target record and bucket record. */
constexpr uint64_t kMinTargetBytes = 1 + 4, kMinBucketBytes = 4 + 4;

uint32_t swap32(uint32_t v) {
    return __builtin_bswap32(v);
}
uint64_t swap64(uint64_t v) {
    return __builtin_bswap64(v);
}

/* ---- writing ---- */

/* Little-endian encoder of one part over a stdio stream with its own
 * buffer; keeps the checksum of every byte written and remembers whether any
 * write failed. */
class Writer {
  public:
    explicit Writer(FILE *fp) : fp_(fp), buf_(new uint8_t[kBufSize]) {}

    void bytes(const void *p, size_t n) {
        if (n == 0) return; // p may then be null
        crc_ = crc32_z(crc_, static_cast<const Bytef *>(p), n);
        if (n_ + n > kBufSize) {
            flush();
            if (n > kBufSize) { // a large array goes straight to the stream
                if (ok_ && fwrite(p, 1, n, fp_) != n) failed();
                return;
            }
        }
        memcpy(buf_.get() + n_, p, n);
        n_ += n;
    }
    void u8(uint8_t v) { bytes(&v, 1); }
    void u32(uint32_t v) {
        uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
        bytes(b, 4);
    }
    void u64(uint64_t v) {
        u32((uint32_t)v);
        u32((uint32_t)(v >> 32));
    }
    void u32s(const uint32_t *a, size_t n) {
        if (kLittleEndian)
            bytes(a, n * sizeof(uint32_t));
        else
            for (size_t i = 0; i < n; ++i) u32(a[i]);
    }
    void u64s(const uint64_t *a, size_t n) {
        if (kLittleEndian)
            bytes(a, n * sizeof(uint64_t));
        else
            for (size_t i = 0; i < n; ++i) u64(a[i]);
    }
    /* CRC-32 of the bytes passed so far. */
    uint32_t crc() const { return (uint32_t)crc_; }
    /* Flushes the buffer and the stream; true when every byte was written,
     * otherwise error() is the errno of the first failure. */
    bool finish() {
        flush();
        if (ok_ && fflush(fp_) != 0) failed();
        return ok_;
    }
    int error() const { return errno_; }

  private:
    static constexpr size_t kBufSize = 1 << 16;
    void flush() {
        if (n_ > 0 && ok_ && fwrite(buf_.get(), 1, n_, fp_) != n_) failed();
        n_ = 0;
    }
    void failed() {
        ok_ = false;
        errno_ = errno ? errno : EIO;
    }
    FILE *fp_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t n_ = 0;
    uLong crc_ = 0; /* crc32 of no bytes */
    bool ok_ = true;
    int errno_ = 0;
};

/* ---- loading ---- */

/* Where the loader's arrays come from: the heap, or for the packed bases
 * (owned by the part and freed as a large array) ls_big_alloc. */
struct HeapArrays {
    static void *alloc(size_t n) { return malloc(n); }
    static void *realloc(void *p, size_t n) { return ::realloc(p, n); }
    static void free(void *p) { ::free(p); }
};
struct BigArrays {
    static void *alloc(size_t n) { return ls_big_alloc(n); }
    static void *realloc(void *p, size_t n) { return ls_big_realloc(p, n); }
    static void free(void *p) { ls_big_free(p); }
};

/* Reads one part and says precisely where and why it stopped when the bytes
 * do not form a whole part. */
class Loader {
  public:
    Loader(FILE *fp, const char *fn, int part) : fp_(fp), fn_(fn), part_(part) {
        // The bytes the file still holds bound every count; a stream whose
        // size is unknown (a pipe, a memory stream) gets no bound and grows
        // its arrays only as bytes arrive.
        struct stat st;
        int fd = fileno(fp);
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            off_t pos = ftello(fp);
            if (pos >= 0 && pos <= st.st_size) start_ = pos, left_ = st.st_size - pos;
        }
    }

    bool failed() const { return failed_; }
    /* Makes the next message point at byte off of the part. */
    void at(uint64_t off) { item_ = off; }

    /* Reads the magic of the next part: 1 when it is there, 0 when the
     * stream holds no byte at all (the clean end after the last part), -1
     * after a message when the bytes there do not start a part. */
    int magic() {
        char b[4];
        size_t r = fread(b, 1, 4, fp_);
        got_ += r;
        if (r == 0 && !ferror(fp_)) return 0;
        if (r < 4) {
            if (ferror(fp_))
                fail("read error inside the magic: %s", strerror(errno));
            else
                fail("the file ends inside the magic of a part (%zu of 4 bytes)", r);
            return -1;
        }
        crc_ = crc32_z(0, reinterpret_cast<const Bytef *>(b), 4);
        if (memcmp(b, LS_IDX_MAGIC_MAPPED, 4) == 0) {
            mapped_ = true;
        } else if (memcmp(b, LS_IDX_MAGIC, 4) == 0) {
            checked_ = true;
        } else if (memcmp(b, LS_IDX_MAGIC_V2, 4) != 0) {
            if (memcmp(b, LS_IDX_MAGIC, 3) == 0)
                fail("index format version %u, which this version cannot read (it reads versions 2 to 4)",
                     (unsigned)(uint8_t)b[3]);
            else
                fail("wrong magic: the bytes there do not start an index part");
            return -1;
        }
        return 1;
    }

    /* Whether the part is in the mapped format (version 4), which
     * ls_idx_load_mapped_part reads. */
    bool mapped() const { return mapped_; }

    /* Whether the part carries a checksum (version 3); version 2 does not. */
    bool checked() const { return checked_; }

    /* Reads the checksum that ends a version-3 part and compares it with
     * the bytes read since the magic; true for a version-2 part. */
    bool checksum() {
        if (!checked_ || failed_) return !failed_;
        const uint32_t want = (uint32_t)crc_;
        uint32_t stored;
        if (!u32(&stored, "the checksum")) return false;
        if (stored != want) return fail("checksum mismatch: the file is damaged"), false;
        return true;
    }

    /* Records the first failure as one message on standard error. */
    void fail(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (failed_) return;
        failed_ = true;
        char what[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(what, sizeof(what), fmt, ap);
        va_end(ap);
        ls_idx_load_fault(fn_, part_, start_, item_, what);
    }

    /* Reads exactly n bytes of the item named by what. */
    bool read(void *p, size_t n, const char *what) {
        if (failed_) return false;
        item_ = got_;
        size_t r = fread(p, 1, n, fp_);
        got_ += r;
        if (checked_) crc_ = crc32_z(crc_, static_cast<const Bytef *>(p), r);
        if (r == n) return true;
        if (ferror(fp_))
            fail("read error inside %s: %s", what, strerror(errno));
        else
            fail("the file ends inside %s, %zu of its %zu bytes are missing", what, n - r, n);
        return false;
    }
    bool u8(uint8_t *v, const char *what) { return read(v, 1, what); }
    bool u32(uint32_t *v, const char *what) {
        uint8_t b[4];
        if (!read(b, 4, what)) return false;
        *v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
        return true;
    }

    /* Whether the rest of the file can hold `need` more bytes; fails with a
     * message naming what when it cannot. Always true on unbounded streams. */
    bool fits(uint64_t need, const char *what) {
        if (left_ < 0 || need <= (uint64_t)(left_ - (int64_t)got_)) return true;
        item_ = got_;
        fail("%s would need %llu bytes, but the file has only %lld left", what, (unsigned long long)need,
             (long long)(left_ - (int64_t)got_));
        return false;
    }

    /* n little-endian items of type T in a new system allocation (of at least
     * one item, so the array exists when n is 0); null after a failure. */
    template <typename T, typename Alloc = HeapArrays> T *array(uint64_t n, const char *what) {
        if (failed_) return nullptr;
        if (n > SIZE_MAX / sizeof(T) / 2) {
            fail("%s: count %llu is impossibly large", what, (unsigned long long)n);
            return nullptr;
        }
        if (!fits(n * sizeof(T), what)) return nullptr;
        // With a known bound the whole array is taken at once; otherwise it
        // grows by doubling from 64 KiB, each step only after the previous
        // one was filled.
        uint64_t cap = left_ >= 0 ? n : std::min<uint64_t>(n, (1 << 16) / sizeof(T));
        T *a = static_cast<T *>(Alloc::alloc((cap ? cap : 1) * sizeof(T)));
        if (a == nullptr) return oom(what), nullptr;
        for (uint64_t have = 0; have < n;) {
            if (have == cap) {
                cap = std::min<uint64_t>(n, cap * 2);
                T *b = static_cast<T *>(Alloc::realloc(a, cap * sizeof(T)));
                if (b == nullptr) return Alloc::free(a), oom(what), nullptr;
                a = b;
            }
            if (!read(a + have, (cap - have) * sizeof(T), what)) return Alloc::free(a), nullptr;
            have = cap;
        }
        if (!kLittleEndian) {
            for (uint64_t i = 0; i < n; ++i) {
                if (sizeof(T) == 8)
                    a[i] = (T)swap64((uint64_t)a[i]);
                else
                    a[i] = (T)swap32((uint32_t)a[i]);
            }
        }
        return a;
    }

    void oom(const char *what) { fail("out of memory while reading %s", what); }

  private:
    FILE *fp_;
    const char *fn_;
    int part_;
    int64_t start_ = -1; /* file offset of the part; -1 when unknown */
    int64_t left_ = -1;  /* bytes from the part's start to the end of the file; -1 when unknown */
    uint64_t got_ = 0;   /* bytes consumed from the part's start */
    uint64_t item_ = 0;  /* where the item being read began, from the part's start */
    uLong crc_ = 0;      /* crc32 of the bytes consumed */
    bool checked_ = false;
    bool mapped_ = false;
    bool failed_ = false;
};

struct LoadedTarget {
    uint32_t len;
    uint64_t name_off; /* into the names buffer, which can pass 4 GiB */
    uint8_t name_len;  /* 0: no name */
};

/* Bucket records read so far; frees their arrays unless released. */
struct BucketList {
    std::vector<ls_idx_bucket> b;
    ~BucketList() {
        for (ls_idx_bucket &x : b) {
            free(x.pos);
            ls_idx_hash_destroy(x.table);
        }
    }
};

/* A stored position must name a target of the part and lie inside it:
 * later stages index the target table and the packed bases with it. */
inline bool position_ok(uint64_t y, const std::vector<LoadedTarget> &t) {
    uint64_t rid = y >> 32;
    return rid < t.size() && (y >> 1 & 0x7fffffffU) < t[rid].len;
}

/* Reads one bucket: positions, then the key-value pairs into a new table.
 * Hashes have at most 2k bits, so a key holds at most key_bits of them. */
bool load_bucket(Loader &in, uint64_t i, const std::vector<LoadedTarget> &t, int key_bits, ls_idx_bucket *b) {
    char what[96];
    snprintf(what, sizeof(what), "bucket %llu", (unsigned long long)i);
    uint32_t v;
    if (!in.u32(&v, what)) return false;
    int32_t n_pos = (int32_t)v;
    if (n_pos < 0) return in.fail("%s: negative position count %d", what, n_pos), false;
    b->n_pos = n_pos;
    b->pos = in.array<uint64_t>((uint64_t)n_pos, what);
    if (b->pos == nullptr) return false;
    for (int32_t j = 0; j < n_pos; ++j)
        if (!position_ok(b->pos[j], t))
            return in.fail("%s: position %d points outside the targets", what, j), false;
    uint32_t m;
    if (!in.u32(&m, what)) return false;
    if (m == 0) return true;
    std::unique_ptr<uint64_t, decltype(&free)> kv(in.array<uint64_t>(2 * (uint64_t)m, what), &free);
    if (kv == nullptr) return false;
    b->table = ls_idx_hash_init();
    if (b->table == nullptr || ls_idx_hash_resize(b->table, m) < 0) return in.oom(what), false;
    const uint64_t *p = kv.get();
    for (uint32_t j = 0; j < m; ++j) {
        uint64_t key = p[2 * j], val = p[2 * j + 1];
        if (key >> 1 >> key_bits != 0) return in.fail("%s: key %u has more bits than a hash", what, j), false;
        if (key & 1) {
            if (!position_ok(val, t)) return in.fail("%s: key %u points outside the targets", what, j), false;
        } else {
            uint64_t st = val >> 32, cnt = (uint32_t)val;
            if (cnt == 0 || st + cnt > (uint64_t)n_pos)
                return in.fail("%s: key %u points outside the position array", what, j), false;
        }
        int absent;
        uint32_t slot = ls_idx_hash_put(b->table, key, &absent);
        if (absent < 0) return in.oom(what), false;
        if (!absent) return in.fail("%s: key %u is stored twice", what, j), false;
        b->table->keys[slot] = key;
        b->table->vals[slot] = val;
    }
    return true;
}

ls_idx *load_part(Loader &in, int *status) {
    *status = -1;
    uint32_t hdr[5];
    for (int i = 0; i < 5; ++i)
        if (!in.u32(&hdr[i], "the header")) return nullptr;
    const int w = (int32_t)hdr[0], k = (int32_t)hdr[1], b = (int32_t)hdr[2], flag = (int32_t)hdr[4];
    const uint32_t n_seq = hdr[3];
    // What a writer can produce; anything else means the header is damaged.
    in.at(4);
    if (k < 1 || k > 28) return in.fail("invalid header: k = %d", k), nullptr;
    if (w < 1 || w > 255) return in.fail("invalid header: w = %d", w), nullptr;
    if (b < 0 || b > 2 * k) return in.fail("invalid header: %d bucket bits with k = %d", b, k), nullptr;
    // Flag bits beyond the known ones are kept as they are: a part carries
    // whatever flag word its builder was given, and must load back.
    const uint64_t n_buckets = 1ULL << b;
    if (!in.fits(n_seq * kMinTargetBytes + n_buckets * kMinBucketBytes,
                 "the targets and buckets in the header"))
        return nullptr;

    std::vector<LoadedTarget> t;
    std::string names;
    t.reserve(std::min<uint32_t>(n_seq, 1 << 16));
    uint64_t sum_len = 0;
    for (uint32_t i = 0; i < n_seq; ++i) {
        char what[64];
        snprintf(what, sizeof(what), "target %u", i);
        LoadedTarget x;
        char name[kMaxNameLen];
        uint32_t len;
        if (!in.u8(&x.name_len, what) || !in.read(name, x.name_len, what) || !in.u32(&len, what))
            return nullptr;
        x.len = len;
        x.name_off = names.size();
        names.append(name, x.name_len);
        t.push_back(x);
        sum_len += len;
    }

    BucketList bl;
    bl.b.reserve(std::min<uint64_t>(n_buckets, 1 << 16));
    for (uint64_t i = 0; i < n_buckets; ++i) {
        bl.b.push_back(ls_idx_bucket{});
        if (!load_bucket(in, i, t, 2 * k - b, &bl.b.back())) return nullptr;
    }

    std::unique_ptr<uint32_t, decltype(&ls_big_free)> packed(nullptr, &ls_big_free);
    const uint64_t n_words = (sum_len + 7) / 8;
    if (!(flag & LS_I_SKIP_SEQ)) {
        packed.reset(in.array<uint32_t, BigArrays>(n_words, "the packed bases"));
        if (packed == nullptr) return nullptr;
    }
    // Every byte of the part has passed: damage that still looked
    // consistent shows here, before the bases are judged.
    if (!in.checksum()) return nullptr;
    if (packed && !ls_idx_packed_codes_ok(packed.get(), n_words))
        return in.fail("the packed bases hold invalid codes"), nullptr;

    // Everything was read and checked: assemble the part.
    ls_idx *mi = ls_idx_new(w, k, b, flag);
    if (mi == nullptr) return in.oom("the part"), nullptr;
    mi->seq = static_cast<ls_idx_seq *>(km_calloc(mi->arena, n_seq ? n_seq : 1, sizeof(ls_idx_seq)));
    uint64_t offset = 0;
    for (uint32_t i = 0; i < n_seq; ++i) {
        ls_idx_seq *s = &mi->seq[i];
        if (t[i].name_len) {
            s->name = static_cast<char *>(km_malloc(mi->arena, t[i].name_len + 1U));
            memcpy(s->name, names.data() + t[i].name_off, t[i].name_len);
            s->name[t[i].name_len] = 0;
        }
        s->len = t[i].len;
        s->offset = offset;
        offset += t[i].len;
        mi->n_seq = i + 1; // counts the names the part owns, should a later step fail
    }
    memcpy(mi->buckets, bl.b.data(), n_buckets * sizeof(ls_idx_bucket));
    bl.b.clear(); // the part owns the arrays now
    mi->packed_seq = packed.release();
    *status = 1;
    return mi;
}

/* Writes one part; returns 0, or -1 with the reason in *why (a target name
 * the file cannot hold: nothing is written then; or the failed write). */
int write_part(FILE *fp, const ls_idx *mi, std::string *why) {
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const char *name = mi->seq[i].name;
        size_t l = name ? strlen(name) : 0;
        if (l > kMaxNameLen) {
            char buf[160];
            snprintf(buf, sizeof(buf),
                     "the name of target %u is %zu bytes long, but index files hold names of at most %zu "
                     "bytes: ",
                     i, l, kMaxNameLen);
            *why = buf + ("'" + std::string(name) + "'");
            return -1;
        }
    }
    Writer wr(fp);
    wr.bytes(LS_IDX_MAGIC, 4);
    wr.u32((uint32_t)mi->w);
    wr.u32((uint32_t)mi->k);
    wr.u32((uint32_t)mi->bucket_bits);
    wr.u32(mi->n_seq);
    wr.u32((uint32_t)mi->flag);
    uint64_t sum_len = 0;
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const ls_idx_seq *s = &mi->seq[i];
        uint8_t l = s->name ? (uint8_t)strlen(s->name) : 0;
        wr.u8(l);
        wr.bytes(s->name, l);
        wr.u32(s->len);
        sum_len += s->len;
    }
    for (uint64_t i = 0; i < 1ULL << mi->bucket_bits; ++i) {
        const ls_idx_bucket *b = &mi->buckets[i];
        const ls_idx_hash *h = b->table;
        wr.u32((uint32_t)b->n_pos);
        wr.u64s(b->pos, (size_t)b->n_pos);
        wr.u32(h ? h->size : 0);
        if (h == nullptr) continue;
        for (uint32_t j = 0; j < h->n_buckets; ++j) {
            if (!ls_idx_hash_exist(h, j)) continue;
            wr.u64(h->keys[j]);
            wr.u64(h->vals[j]);
        }
    }
    if (!(mi->flag & LS_I_SKIP_SEQ)) {
        const uint64_t n_words = (sum_len + 7) / 8;
        LS_ASSERT(n_words == 0 || mi->packed_seq != nullptr);
        wr.u32s(mi->packed_seq, n_words);
    }
    wr.u32(wr.crc()); // of every byte before it
    if (!wr.finish()) {
        *why = strerror(wr.error());
        return -1;
    }
    return 0;
}

/* ls_idx_load2 that also tells whether the part came without a checksum. */
ls_idx *load_next(FILE *fp, const char *fn, int part_index, bool full, int *status, bool *unchecked) {
    *unchecked = false;
    Loader in(fp, fn, part_index);
    int m = in.magic();
    if (m <= 0) {
        *status = m;
        return nullptr;
    }
    if (in.mapped()) return ls_idx_load_mapped_part(fp, fn, part_index, full, status);
    ls_idx *mi = load_part(in, status);
    *unchecked = mi != nullptr && !in.checked();
    return mi;
}

/* The note for a file of version-2 parts, once per file. */
void note_unchecked(const char *fn) {
    ls_log(LS_LOG_WARNING,
           "index file '%s' was written by an earlier version and carries no checksum; damage cannot be "
           "detected. Save it again with -d to add one.",
           fn ? fn : "(stream)");
}

/* Whether four bytes open an index part: either magic, "LSI" with another
 * version byte, or a magic with one bit flipped. A sequence file starts with
 * '>' or '@', several bits away from 'L', so only an index, damaged or from
 * another version, is taken for one; it is then reported by the loader
 * instead of being read as sequences that map nowhere. */
bool starts_like_index(const unsigned char *b) {
    if (memcmp(b, LS_IDX_MAGIC, 3) == 0) return true;
    for (const char *m : {LS_IDX_MAGIC, LS_IDX_MAGIC_V2}) {
        int bits = 0;
        for (int i = 0; i < 4; ++i) bits += __builtin_popcount((unsigned)(b[i] ^ (unsigned char)m[i]));
        if (bits <= 1) return true;
    }
    return false;
}

enum class Target { kUnreadable, kSequences, kIndex, kGzipIndex };

/* What a target path holds, from its first bytes; *size is the file size of
 * an index. Only a regular file is looked into: reading the first bytes of a
 * pipe or a device would take them from the sequence reader (and closing a
 * named pipe early can kill its writer). kUnreadable leaves errno set. */
Target classify_target(const char *path, int64_t *size) {
    *size = 0;
    if (path == nullptr || strcmp(path, "-") == 0) return Target::kSequences;
    struct stat st;
    if (stat(path, &st) != 0) return Target::kUnreadable;
    if (!S_ISREG(st.st_mode)) return Target::kSequences;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Target::kUnreadable;
    unsigned char b[4];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = pread(fd, b, 4, 0);
    close(fd);
    if (n == 4 && starts_like_index(b)) {
        *size = st.st_size;
        return Target::kIndex;
    }
    if (n >= 2 && b[0] == 0x1f && b[1] == 0x8b) { // gzip: is an index inside?
        gzFile gz = gzopen(path, "rb");
        if (gz != nullptr) {
            unsigned char z[4];
            const int got = gzread(gz, z, 4);
            gzclose(gz);
            if (got == 4 && starts_like_index(z)) return Target::kGzipIndex;
        }
    }
    return Target::kSequences;
}

/* Whether two paths name the same existing regular file. */
bool same_regular_file(const char *a, const char *b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

/* One error line on standard error, at verbosity 1 or more. */
void verror_line(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
void verror_line(const char *fmt, va_list ap) {
    ls_vlog(LS_LOG_ERROR, fmt, ap);
}
void error_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void error_line(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    verror_line(fmt, ap);
    va_end(ap);
}

} // namespace

struct ls_idx_reader {
    int is_idx = 0, n_parts = 0;
    int64_t idx_size = 0;
    ls_idxopt opt;
    ls_outfile *out = nullptr; /* the index file being saved, under its temporary name */
    union {
        ls_bseq_file *seq;
        FILE *idx;
    } fp = {nullptr};
    int error = 0;
    int out_format = LS_IDX_FORMAT_MAPPED;
    bool full_check = true;
    bool noted_unchecked = false;
    std::string path, out_path;
};

namespace {

enum class Why { kWriteFailed, kNotSaved };

/* Stops saving the index, with one message: what failed in writing, or why
 * the file is not saved. Only its temporary file is removed, never the final
 * name, since a file holding only some of the parts would later be taken for
 * the whole index. */
void abandon_output(ls_idx_reader *r, Why kind, const char *why) {
    if (r->out == nullptr) return;
    ls_outfile_abandon(r->out);
    r->out = nullptr;
    r->error |= LS_IDX_ERR_OUTPUT;
    error_line(kind == Why::kWriteFailed ? "failed to write the index file '%s': %s"
                                         : "the index file '%s' was not saved: %s",
               r->out_path.c_str(), why);
}

void input_failed(ls_idx_reader *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void input_failed(ls_idx_reader *r, const char *fmt, ...) {
    r->error |= LS_IDX_ERR_INPUT;
    va_list ap;
    va_start(ap, fmt);
    verror_line(fmt, ap);
    va_end(ap);
    abandon_output(r, Why::kNotSaved, "the target file could not be read whole");
}

} // namespace

bool ls_idx_packed_codes_ok(const uint32_t *a, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t x = a[i];
        // A nibble above 4 has bit 3 set, or bit 2 together with bit 1 or 0.
        if ((x & 0x88888888U) || ((x >> 2) & (x | x >> 1) & 0x11111111U)) return false;
    }
    return true;
}

void ls_idx_load_fault(const char *fn, int part, int64_t start, uint64_t at, const char *what) {
    ls_log(LS_LOG_ERROR, "failed to load index file '%s', part %d: %s (at byte %lld%s)", fn ? fn : "(stream)", part,
           what, (long long)((start >= 0 ? start : 0) + (int64_t)at), start >= 0 ? "" : " of the part");
}

int64_t ls_idx_probe_file(const char *path) {
    int64_t size;
    switch (classify_target(path, &size)) {
    case Target::kUnreadable: return -1;
    case Target::kIndex: return size;
    default: return 0;
    }
}

int ls_idx_write(FILE *fp, const ls_idx *mi) {
    std::string why;
    if (write_part(fp, mi, &why) == 0) return 0;
    error_line("cannot write the index: %s", why.c_str());
    return -1;
}

ls_idx *ls_idx_load2(FILE *fp, const char *fn, int part_index, int *status) {
    bool unchecked;
    ls_idx *mi = load_next(fp, fn, part_index, true, status, &unchecked);
    if (unchecked && part_index == 0) note_unchecked(fn);
    return mi;
}

ls_idx *ls_idx_load(FILE *fp) {
    int status;
    return ls_idx_load2(fp, nullptr, 0, &status);
}

ls_idx_reader *ls_idx_reader_open(const char *path, const ls_idxopt *opt, const char *out_path) {
    int64_t idx_size = 0;
    const Target kind = classify_target(path, &idx_size);
    if (kind == Target::kUnreadable) return nullptr;
    if (kind == Target::kGzipIndex) {
        error_line("'%s' is a gzip-compressed index file, which cannot be read as it is: decompress it first",
                   path);
        errno = 0;
        return nullptr;
    }
    ls_idx_reader *r = new (std::nothrow) ls_idx_reader();
    if (r == nullptr) return nullptr;
    r->path = path ? path : "-";
    if (opt)
        r->opt = *opt;
    else
        ls_idxopt_defaults(&r->opt);
    if (r->opt.k < 1 || r->opt.k > 28 || r->opt.w > 255 || r->opt.bucket_bits < 0) {
        error_line("invalid index options: k = %d, w = %d, bucket bits %d", r->opt.k, r->opt.w,
                   r->opt.bucket_bits);
        delete r;
        errno = 0;
        return nullptr;
    }
    if (out_path && path && same_regular_file(path, out_path)) {
        error_line("the index file '%s' would replace the target file '%s' it is made from", out_path, path);
        delete r;
        errno = 0;
        return nullptr;
    }
    r->is_idx = kind == Target::kIndex;
    if (r->is_idx) {
        r->idx_size = idx_size;
        r->fp.idx = fopen(path, "rb");
        // The loader reads many small items between its large arrays: a
        // large buffer turns them into few system calls.
        if (r->fp.idx) setvbuf(r->fp.idx, nullptr, _IOFBF, 1 << 20);
    } else {
        r->fp.seq = ls_bseq_open(path);
    }
    if (out_path) {
        r->out_path = out_path;
        r->out = ls_outfile_open(out_path, "index"); // reports why it cannot
        if (r->out == nullptr) {
            ls_idx_reader_close(r);
            errno = 0;
            return nullptr;
        }
    }
    return r;
}

ls_idx *ls_idx_reader_read(ls_idx_reader *r, int n_threads) {
    if (r->error & LS_IDX_ERR_INPUT) return nullptr; // nothing after a failure
    ls_idx *mi = nullptr;
    if (r->is_idx) {
        if (r->fp.idx == nullptr) {
            input_failed(r, "failed to open index file '%s': %s", r->path.c_str(), strerror(errno));
            return nullptr;
        }
        int status;
        bool unchecked;
        mi = load_next(r->fp.idx, r->path.c_str(), r->n_parts, r->full_check, &status, &unchecked);
        if (mi && mi->map && !r->full_check && r->n_parts == 0)
            ls_log(LS_LOG_WARNING, "index file '%s' is used without checking its contents, as asked",
                   r->path.c_str());
        if (status < 0) {
            r->error |= LS_IDX_ERR_INPUT; // the loader has reported what was wrong
            abandon_output(r, Why::kNotSaved, "the target file could not be read whole");
            return nullptr;
        }
        if (mi == nullptr) return nullptr;
        if (unchecked && !r->noted_unchecked) {
            r->noted_unchecked = true;
            note_unchecked(r->path.c_str());
        }
        if (mi->k != r->opt.k || mi->w != r->opt.w || (mi->flag & LS_I_HPC) != (r->opt.flag & LS_I_HPC))
            ls_log(LS_LOG_WARNING,
                   "Indexing parameters (-k, -w or -H) overridden by parameters used in the prebuilt index.");
    } else {
        if (r->fp.seq == nullptr) {
            input_failed(r, "failed to open target file '%s'", r->path.c_str());
            return nullptr;
        }
        const ls_idxopt &o = r->opt;
        mi = ls_idx_gen(r->fp.seq, o.w, o.k, o.bucket_bits, o.flag, (int)o.sketch_batch_bases, n_threads,
                        o.index_part_bases);
        if (ls_bseq_error(r->fp.seq)) {
            if (mi)
                input_failed(
                    r,
                    "target file '%s' could not be read whole: part %d holds only the targets before "
                    "the failure",
                    r->path.c_str(), r->n_parts);
            else
                input_failed(r, "target file '%s' could not be read whole", r->path.c_str());
        }
        if (mi == nullptr) return nullptr;
    }
    if (r->out) {
        std::string why;
        FILE *out = ls_outfile_fp(r->out);
        if ((r->out_format == LS_IDX_FORMAT_MAPPED ? ls_idx_write_mapped_part(out, mi, &why)
                                                   : write_part(out, mi, &why)) < 0)
            abandon_output(r, Why::kWriteFailed, why.c_str());
    }
    mi->part_index = r->n_parts++;
    return mi;
}

int ls_idx_reader_set_output_format(ls_idx_reader *r, int format) {
    if (format != LS_IDX_FORMAT_STREAM && format != LS_IDX_FORMAT_MAPPED) return -1;
    r->out_format = format;
    return 0;
}

void ls_idx_reader_set_check(ls_idx_reader *r, int full) {
    r->full_check = full != 0;
}

int ls_idx_reader_is_index(const ls_idx_reader *r) {
    return r->is_idx;
}

int ls_idx_reader_eof(const ls_idx_reader *r) {
    if (r->error & LS_IDX_ERR_INPUT) return 1;
    if (r->is_idx) return r->fp.idx == nullptr || feof(r->fp.idx) || ftello(r->fp.idx) == r->idx_size;
    return r->fp.seq == nullptr || ls_bseq_eof(r->fp.seq);
}

int ls_idx_reader_error(const ls_idx_reader *r) {
    return r->error;
}

int ls_idx_reader_close(ls_idx_reader *r) {
    if (r == nullptr) return 0;
    // Parts not yet read would be missing from the saved index.
    if (r->out && !ls_idx_reader_eof(r))
        abandon_output(r, Why::kNotSaved, "reading stopped before the end of the target file");
    if (r->is_idx) {
        if (r->fp.idx) fclose(r->fp.idx);
    } else if (r->fp.seq) {
        ls_bseq_close(r->fp.seq);
    }
    int ret = r->error & LS_IDX_ERR_OUTPUT ? -1 : 0;
    if (r->out && ls_outfile_commit(r->out) != 0) ret = -1; // the rename into place, reported there
    delete r;
    return ret;
}
