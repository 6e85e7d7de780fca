/* Runtime support shared by every module: the always-on assertion, the
 * message forms and the checked output routine (the timing helpers and the
 * process-wide globals are declared in the public header). */
#ifndef LODESTAR_BASE_DIAGNOSTICS_H
#define LODESTAR_BASE_DIAGNOSTICS_H

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

/* Writes text and a newline to standard output. Returns 0, or -1 when the
 * stream refused it (errno tells why); prints nothing, so that the caller
 * reports the failure once. */
int ls_checked_puts(const char *text);


#ifdef __cplusplus
}
#endif

/* Red-coloured message prefixes and suffix; "\x1b" is the escape byte. */
#define LS_RED   "\x1b[1;31m"
#define LS_RESET "\x1b[0m"

/* Progress line: "[M::func::elapsed*cpu_ratio] " + text, at verbosity 3 or more. */
void ls_progress(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
