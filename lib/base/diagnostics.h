/* Runtime support shared by every module: the always-on assertion, the
 * message helpers and the checked output routine (the timing helpers and the
 * process-wide globals are declared in the public header). */
#ifndef LODESTAR_BASE_DIAGNOSTICS_H
#define LODESTAR_BASE_DIAGNOSTICS_H

#include <stdarg.h>
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

/* Where a run's messages go: a callback (the whole line, prefix included,
 * without its newline), or standard error when fn is null; shown up to
 * verbosity, or up to ls_verbosity when verbosity is negative. Progress lines
 * time themselves from start_time, or from ls_start_time when it is negative.
 * A null logger is the process default: standard error, ls_verbosity and
 * ls_start_time, all read at the time of the message. */
typedef struct ls_logger {
    ls_log_fn fn;
    void *data;
    int verbosity;
    double start_time;
} ls_logger;

/* Whether a message of level would be shown. */
int ls_logger_shows(const ls_logger *lg, int level);
void ls_logger_log(const ls_logger *lg, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void ls_logger_vlog(const ls_logger *lg, int level, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
/* A progress line through lg (see ls_progress). */
void ls_logger_progress(const ls_logger *lg, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Every message of the library goes through these, so that all of them share
 * one form and one stream, and none carries terminal colour codes: a log file
 * holds exactly the words.
 *
 * ls_log: one line "[ERROR] text", "[WARNING] text" or "[INFO] text" (levels
 * LS_LOG_ERROR, LS_LOG_WARNING, LS_LOG_INFO of lodestar.h), printed when
 * ls_verbosity is at least the level; the caller passes the text only, without
 * prefix or newline. */
void ls_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ls_vlog(int level, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

/* Progress line: "[M::func::elapsed*cpu_ratio] " + text, at verbosity 3 or more. */
void ls_progress(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Debug trace text, written exactly as given (no prefix, no newline added):
 * the traces behind ls_debug_flags have fixed tab-separated forms that tools
 * read back. */
void ls_log_raw(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
