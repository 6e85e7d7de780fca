/* Runtime support shared by every module: the always-on assertion, the
 * message forms, the checked output routines and the timing helpers (the
 * latter declared in the public header). The sorting routines live here too. */
#ifndef LODESTAR_MISC_H
#define LODESTAR_MISC_H

#include <stdio.h>
#include <stdint.h>

#include "lodestar.h"

/* Internal invariants hold for any consistent input, so a failure is a bug:
 * the check stays on in release builds (NDEBUG does not remove it). */
#define LS_ASSERT(cond) ((cond) ? (void)0 : ls_assert_fail(#cond, __func__, __FILE__, __LINE__))

#ifdef __cplusplus
extern "C" {
#endif

/* Prints the failed condition's text, the function and the source file to
 * standard error and aborts. */
[[noreturn]] void ls_assert_fail(const char *cond, const char *func, const char *file, int line);

/* Writes text and a newline to standard output; on failure prints the error
 * and exits with status 1. */
void ls_checked_puts(const char *text);
/* fwrite/fread that exit with status 1 when fewer items than asked were
 * written or read. */
size_t ls_checked_fwrite(const void *p, size_t size, size_t nitems, FILE *fp);
size_t ls_checked_fread(void *p, size_t size, size_t nitems, FILE *fp);

#ifdef __cplusplus
}
#endif

/* Red-coloured message prefixes and suffix; "\x1b" is the escape byte. */
#define LS_RED   "\x1b[1;31m"
#define LS_RESET "\x1b[0m"

/* Progress line: "[M::func::elapsed*cpu_ratio] " + text, at verbosity 3 or more. */
void ls_progress(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
