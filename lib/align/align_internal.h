/* Small helpers shared by the alignment sources (align*.cpp): CIGAR word
 * fields, the anchor fields of the seed module's layout, and a scope guard for
 * arena blocks. C++ only and internal: everything sits in an anonymous
 * namespace, so each source gets its own copy and nothing is exported. */
#ifndef LODESTAR_ALIGN_ALIGN_INTERNAL_H
#define LODESTAR_ALIGN_ALIGN_INTERNAL_H

#include <stdint.h>

#include <algorithm>
#include <memory>

#include "base/arena.h"
#include "lodestar.h"

namespace {

constexpr uint32_t kOpM = LS_CIGAR_MATCH, kOpI = LS_CIGAR_INS, kOpD = LS_CIGAR_DEL, kOpN = LS_CIGAR_N_SKIP;
constexpr uint32_t kOpEq = LS_CIGAR_EQ_MATCH, kOpX = LS_CIGAR_X_MISMATCH;

/* A CIGAR word: operation in the low 4 bits, length above them. */
inline uint32_t op_code(uint32_t c) {
    return c & 0xf;
}
inline uint32_t op_len(uint32_t c) {
    return c >> 4;
}

/* Arena block released on scope exit. */
struct ArenaFree {
    km_arena *km;
    void operator()(void *p) const { kfree(km, p); }
};
template <typename T> using arena_ptr = std::unique_ptr<T, ArenaFree>;

/* Anchor fields: target and query position of the seed's last base (signed
 * 32-bit), seed span, and target id with the strand bit. */
inline int32_t tpos(const ls128 *a, int64_t i) {
    return (int32_t)a[i].x;
}
inline int32_t qpos(const ls128 *a, int64_t i) {
    return (int32_t)a[i].y;
}
inline int32_t span(const ls128 *a, int64_t i) {
    return (int32_t)(a[i].y >> 32 & 0xff);
}
inline uint64_t tid_strand(const ls128 *a, int64_t i) {
    return a[i].x >> 32;
}

inline void reverse_bytes(uint8_t *s, int64_t n) {
    if (n > 1) std::reverse(s, s + n);
}

} // namespace

#endif
