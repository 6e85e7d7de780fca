/* Minimizer sketch: nucleotide codes, the k-mer hash and the window scan. */
#include "index/sketch.h"

#include <string.h>

#include "base/diagnostics.h"

namespace {

// All ones in both words: an empty window slot, or no k-mer at a position.
const ls128 kEmpty = {UINT64_MAX, UINT64_MAX};

// Run lengths of the last homopolymer-compressed bases. The span of a k-mer
// is the sum of its k runs, and k is at most 28, so at most 29 entries (k
// plus the one just pushed) are ever held: 32 slots never overflow.
struct RunQueue {
    int front = 0, count = 0;
    int len[32];

    void push(int x) { len[(front + count++) & 31] = x; }
    int pop_front() {
        int x = len[front];
        front = (front + 1) & 31;
        --count;
        return x;
    }
    void clear() { front = count = 0; }
};

// Capacity for n items: the smallest power of two not below n (1 for 0).
size_t round_up_pow2(size_t n) {
    size_t m = 1;
    while (m < n) m <<= 1;
    return m;
}

inline void append(km_arena *km, ls128_vec *p, const ls128 &v) {
    if (p->n == p->m) {
        p->m = p->m ? p->m << 1 : 2;
        p->a = static_cast<ls128 *>(km_realloc(km, p->a, p->m * sizeof(ls128)));
    }
    p->a[p->n++] = v;
}

} // namespace

void ls_sketch(km_arena *km, const char *str, int len, int w, int k, uint32_t rid, int is_hpc, ls128_vec *p) {
    LS_ASSERT(len > 0 && (w > 0 && w < 256) && (k > 0 && k <= 28));
    const uint64_t mask = (1ULL << 2 * k) - 1, shift1 = 2 * (k - 1);
    uint64_t kmer[2] = {0, 0};
    ls128 buf[256], min = kEmpty;
    RunQueue runs;
    int l = 0, buf_pos = 0, min_pos = 0, kmer_span = 0;

    for (int j = 0; j < w; ++j) buf[j] = kEmpty;
    // A random sequence yields about 2 / (w + 1) minimizers per base; len / w
    // covers most sequences in one allocation.
    size_t want = round_up_pow2(p->n + len / w);
    if (p->m < want) {
        p->m = want;
        p->a = static_cast<ls128 *>(km_realloc(km, p->a, p->m * sizeof(ls128)));
    }

    for (int i = 0; i < len; ++i) {
        int c = ls_nt4_table[(uint8_t)str[i]];
        ls128 info = kEmpty;
        if (c < 4) {
            if (is_hpc) {
                int run = 1;
                if (i + 1 < len && ls_nt4_table[(uint8_t)str[i + 1]] == c) {
                    for (run = 2; i + run < len; ++run)
                        if (ls_nt4_table[(uint8_t)str[i + run]] != c) break;
                    i += run - 1; // the k-mer ends at the run's last base
                }
                runs.push(run);
                kmer_span += run;
                if (runs.count > k) kmer_span -= runs.pop_front();
            } else {
                kmer_span = l + 1 < k ? l + 1 : k;
            }
            kmer[0] = (kmer[0] << 2 | c) & mask;
            kmer[1] = (kmer[1] >> 2) | (3ULL ^ c) << shift1;
            // A k-mer equal to its reverse complement has no strand to choose,
            // so it is never a minimizer and takes no window slot.
            if (kmer[0] == kmer[1]) continue;
            int z = kmer[0] < kmer[1] ? 0 : 1;
            ++l;
            // The span goes into 8 bits, so longer k-mers (only possible with
            // compression) are left out.
            if (l >= k && kmer_span < 256) {
                info.x = ls_kmer_hash(kmer[z], mask) << 8 | kmer_span;
                info.y = (uint64_t)rid << 32 | (uint32_t)i << 1 | z;
            }
        } else {
            // The run of valid k-mers ends here. Its last window's minimum is
            // only written when it is replaced or leaves the window, which can
            // no longer happen with l reset, so write it now; emptying the
            // minimum keeps it from being written a second time at the end.
            if (l >= w + k - 1 && min.x != UINT64_MAX) {
                append(km, p, min);
                min = kEmpty;
            }
            // The codes keep shifting: l alone keeps k-mers spanning this
            // base from being used.
            l = 0, kmer_span = 0;
            runs.clear();
        }
        buf[buf_pos] = info;
        if (l == w + k - 1 && min.x != UINT64_MAX) {
            // First full window: earlier k-mers with the minimum's hash were
            // not written when they arrived (the window was not full yet).
            for (int j = buf_pos + 1; j < w; ++j)
                if (min.x == buf[j].x && buf[j].y != min.y) append(km, p, buf[j]);
            for (int j = 0; j < buf_pos; ++j)
                if (min.x == buf[j].x && buf[j].y != min.y) append(km, p, buf[j]);
        }
        if (info.x <= min.x) {
            // An equal hash replaces the older minimum, which is written first.
            if (l >= w + k && min.x != UINT64_MAX) append(km, p, min);
            min = info, min_pos = buf_pos;
        } else if (buf_pos == min_pos) {
            // The minimum leaves the window: write it and find the next one.
            if (l >= w + k - 1 && min.x != UINT64_MAX) append(km, p, min);
            min = kEmpty;
            // Oldest slot first, so that among equal hashes the most recent
            // k-mer becomes the minimum.
            for (int j = buf_pos + 1; j < w; ++j)
                if (min.x >= buf[j].x) min = buf[j], min_pos = j;
            for (int j = 0; j <= buf_pos; ++j)
                if (min.x >= buf[j].x) min = buf[j], min_pos = j;
            if (l >= w + k - 1 && min.x != UINT64_MAX) {
                // The other k-mers sharing the new minimum's hash.
                for (int j = buf_pos + 1; j < w; ++j)
                    if (min.x == buf[j].x && min.y != buf[j].y) append(km, p, buf[j]);
                for (int j = 0; j <= buf_pos; ++j)
                    if (min.x == buf[j].x && min.y != buf[j].y) append(km, p, buf[j]);
            }
        }
        if (++buf_pos == w) buf_pos = 0;
    }
    if (min.x != UINT64_MAX) append(km, p, min);
}
