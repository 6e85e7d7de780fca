/* Large arrays from anonymous mappings; see big_alloc.h. Every array starts
 * with a small header that says where it came from and how large it is. */
#include "base/big_alloc.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t kHeader = 64;           // keeps the data 64-byte aligned
constexpr size_t kMapFrom = 1 << 20;     // smaller arrays stay on the heap
constexpr size_t kSlack = 1 << 21;       // room kept below SIZE_MAX for rounding

struct Header {
    size_t bytes;  // usable bytes
    size_t mapped; // bytes of the mapping, header included; 0 on the heap
};

Header *header_of(void *p) {
    return reinterpret_cast<Header *>(static_cast<char *>(p) - kHeader);
}

size_t page_size() {
    static const size_t size = (size_t)sysconf(_SC_PAGESIZE);
    return size;
}

size_t round_up(size_t x, size_t to) {
    return (x + to - 1) / to * to;
}

void *map_pages(size_t mapped) {
    void *m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : m;
}

void *from_heap(size_t bytes) {
    char *m = static_cast<char *>(calloc(1, kHeader + bytes));
    if (m == nullptr) return nullptr;
    *reinterpret_cast<Header *>(m) = Header{bytes, 0};
    return m + kHeader;
}

void *from_map(size_t bytes) {
    size_t mapped = round_up(kHeader + bytes, page_size());
    char *m = static_cast<char *>(map_pages(mapped));
    if (m == nullptr) return nullptr;
    *reinterpret_cast<Header *>(m) = Header{bytes, mapped};
    return m + kHeader;
}

} // namespace

void *ls_big_alloc(size_t bytes) {
    if (bytes > SIZE_MAX - kHeader - kSlack) return nullptr;
    return bytes < kMapFrom ? from_heap(bytes) : from_map(bytes);
}

void *ls_big_realloc(void *p, size_t bytes) {
    if (p == nullptr) return ls_big_alloc(bytes);
    if (bytes > SIZE_MAX - kHeader - kSlack) return nullptr;
    Header *h = header_of(p);
    const size_t old = h->bytes;
    if (h->mapped != 0) {
        size_t mapped = round_up(kHeader + bytes, page_size());
        if (mapped == h->mapped) {
            // Same pages: bytes past the old end may hold data of an earlier,
            // larger size, and must read as zero.
            if (bytes > old) memset(static_cast<char *>(p) + old, 0, bytes - old);
            h->bytes = bytes;
            return p;
        }
#ifdef __linux__
        // Moving the page table entries, not the bytes; new pages are zero.
        if (bytes > old) memset(static_cast<char *>(p) + old, 0, h->mapped - kHeader - old);
        char *m = static_cast<char *>(mremap(h, h->mapped, mapped, MREMAP_MAYMOVE));
        if (m == MAP_FAILED) return nullptr;
        *reinterpret_cast<Header *>(m) = Header{bytes, mapped};
        return m + kHeader;
#endif
    } else if (bytes < kMapFrom) {
        char *m = static_cast<char *>(realloc(h, kHeader + bytes));
        if (m == nullptr) return nullptr;
        reinterpret_cast<Header *>(m)->bytes = bytes;
        if (bytes > old) memset(m + kHeader + old, 0, bytes - old);
        return m + kHeader;
    }
    // Between the heap and a mapping (or without mremap): a fresh array.
    void *q = ls_big_alloc(bytes);
    if (q == nullptr) return nullptr;
    memcpy(q, p, old < bytes ? old : bytes);
    ls_big_free(p);
    return q;
}

void ls_release_pages(void *p, size_t bytes) {
    if (p == nullptr || bytes == 0) return;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p), end = begin + bytes;
    const uintptr_t first = round_up(begin, page_size()), last = end / page_size() * page_size();
    if (first < last) madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
}

void ls_big_free(void *p) {
    if (p == nullptr) return;
    Header *h = header_of(p);
    if (h->mapped != 0)
        munmap(h, h->mapped);
    else
        free(h);
}
