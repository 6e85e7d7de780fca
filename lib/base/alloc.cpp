/* Checked system allocation: the one place that turns a failed request into
 * a message and a stop. */
#include "base/alloc.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "base/diagnostics.h"

void ls_out_of_memory(const char *func, size_t bytes) {
    if (bytes > 0)
        ls_log_line("[ERROR] ", "out of memory: %s asked for %zu bytes", func, bytes);
    else
        ls_log_line("[ERROR] ", "out of memory: %s", func);
    fflush(stderr);
    abort();
}

void *ls_xmalloc(size_t size, const char *func) {
    void *p = malloc(size ? size : 1);
    if (p == nullptr) ls_out_of_memory(func, size ? size : 1);
    return p;
}

void *ls_xcalloc(size_t count, size_t size, const char *func) {
    if (count == 0) count = 1;
    if (size == 0) size = 1;
    void *p = calloc(count, size);
    if (p == nullptr) {
        /* A product that does not fit a size_t is reported as the count and
         * the record size, not as a wrapped total. */
        if (count > SIZE_MAX / size) {
            ls_log_line("[ERROR] ", "out of memory: %s asked for %zu x %zu bytes", func, count, size);
            fflush(stderr);
            abort();
        }
        ls_out_of_memory(func, count * size);
    }
    return p;
}

void *ls_xrealloc(void *ptr, size_t size, const char *func) {
    void *p = realloc(ptr, size ? size : 1);
    if (p == nullptr) ls_out_of_memory(func, size ? size : 1);
    return p;
}
