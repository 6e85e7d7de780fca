/* Timing, diagnostics, the always-on assertion and the checked line output. */
#include "base/diagnostics.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>



int ls_verbosity = 1;
double ls_start_time = 0.0;
int ls_debug_flags = 0;

void ls_assert_fail(const char *cond, const char *func, const char *file, int line) {
    ls_log_line("", "Assertion failed: (%s), function %s, file %s, line %d.", cond, func, file, line);
    fflush(stderr);
    abort();
}

double ls_realtime(void) {
    struct timeval tp;
    gettimeofday(&tp, nullptr);
    return tp.tv_sec + tp.tv_usec * 1e-6;
}

double ls_cputime(void) {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + 1e-6 * (r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

long ls_peak_rss(void) {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_maxrss;
}

namespace {

/* The one place that writes messages: prefix, text, then a newline when
 * asked. The stream is locked for the whole line so that lines from worker
 * threads never interleave. */
void write_message(const char *prefix, bool newline, const char *fmt, va_list ap) {
    flockfile(stderr);
    if (prefix) fputs(prefix, stderr);
    vfprintf(stderr, fmt, ap);
    if (newline) fputc('\n', stderr);
    funlockfile(stderr);
}

const char *level_prefix(int level) {
    switch (level) {
    case LS_LOG_ERROR: return "[ERROR] ";
    case LS_LOG_WARNING: return "[WARNING] ";
    default: return "[INFO] ";
    }
}

} // namespace

void ls_log(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ls_vlog(level, fmt, ap);
    va_end(ap);
}

void ls_vlog(int level, const char *fmt, va_list ap) {
    if (ls_verbosity >= level) write_message(level_prefix(level), true, fmt, ap);
}

void ls_log_message(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ls_vlog(level, fmt, ap);
    va_end(ap);
}

void ls_log_line(const char *prefix, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_message(prefix, true, fmt, ap);
    va_end(ap);
}

void ls_log_vline(const char *prefix, const char *fmt, va_list ap) { write_message(prefix, true, fmt, ap); }

void ls_log_raw(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_message(nullptr, false, fmt, ap);
    va_end(ap);
}

void ls_progress(const char *func, const char *fmt, ...) {
    if (ls_verbosity < 3) return;
    double t = ls_realtime() - ls_start_time;
    double cpu = ls_cputime();
    // A second wall-clock reading after the CPU time, so the ratio never
    // divides by a stale elapsed time.
    double t2 = ls_realtime() - ls_start_time;
    char prefix[256];
    snprintf(prefix, sizeof(prefix), "[M::%s::%.3f*%.2f] ", func, t, cpu / t2);
    va_list ap;
    va_start(ap, fmt);
    write_message(prefix, false, fmt, ap);
    va_end(ap);
}

int ls_checked_puts(const char *text) {
    // puts sets errno when it fails; the caller words the message, once.
    return puts(text) == EOF ? -1 : 0;
}
