/* Text building for every writer: appending to growable strings and the
 * formatted append that the PAF, SAM and junction writers share. */
#include "output/text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/alloc.h"
#include "base/diagnostics.h"

namespace {

/* Smallest power of two not below x (x >= 1). */
uint64_t round_up_pow2(uint64_t x) {
    uint64_t c = 1;
    while (c < x) c <<= 1;
    return c;
}

} // namespace

void ls_str_append(ls_string *str, const char *s, size_t n) {
    if (str->l + n + 1 > str->m) {
        const uint64_t m = round_up_pow2(str->l + n + 1);
        str->s = (char *)ls_xrealloc(str->s, m, __func__);
        str->m = m;
    }
    memcpy(str->s + str->l, s, n);
    str->l += n;
    str->s[str->l] = 0;
}

void ls_str_putc(ls_string *str, char c) {
    ls_str_append(str, &c, 1);
}

void ls_append_target_name(ls_string *str, const ls_idx *mi, int32_t rid) {
    LS_ASSERT(mi != nullptr && rid >= 0 && (uint32_t)rid < mi->n_seq);
    if (mi->seq[rid].name != nullptr)
        ls_string_printf(str, "%s", mi->seq[rid].name);
    else
        ls_string_printf(str, "%d", rid);
}

extern "C" {

void ls_string_printf(ls_string *str, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const char *p = fmt;
    while (*p) {
        const char *q = p;
        while (*q && *q != '%') ++q;
        if (q > p) ls_str_append(str, p, (size_t)(q - p));
        if (*q == 0) break;
        char num[24];
        switch (q[1]) {
        case 'd': {
            const int n = snprintf(num, sizeof(num), "%d", va_arg(ap, int));
            ls_str_append(str, num, (size_t)n);
            break;
        }
        case 'u': {
            const int n = snprintf(num, sizeof(num), "%u", va_arg(ap, unsigned));
            ls_str_append(str, num, (size_t)n);
            break;
        }
        case 's': {
            const char *s = va_arg(ap, const char *);
            ls_str_append(str, s, strlen(s));
            break;
        }
        case 'c':
            ls_str_putc(str, (char)va_arg(ap, int));
            break;
        default:
            va_end(ap);
            ls_assert_fail("unsupported conversion in ls_string_printf format", __func__, __FILE__, __LINE__);
        }
        p = q + 2;
    }
    va_end(ap);
    if (str->s == nullptr) ls_str_append(str, "", 0); // s[l] must be 0 even for empty text
}

} // extern "C"
