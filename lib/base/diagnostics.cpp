/* Timing, diagnostics, the always-on assertion and the checked line output. */
#include "base/diagnostics.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <string>



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
 * threads never interleave. A logger with a callback gets the line as one
 * text, without its final newline. */
void write_message(const ls_logger *lg, int level, const char *prefix, bool newline, const char *fmt,
                   va_list ap) {
    if (lg != nullptr && lg->fn != nullptr) {
        va_list aq;
        va_copy(aq, ap);
        char small[512];
        const int n = vsnprintf(small, sizeof(small), fmt, aq);
        va_end(aq);
        if (n < 0) return;
        std::string line(prefix ? prefix : "");
        if ((size_t)n < sizeof(small)) {
            line += small;
        } else {
            std::string big((size_t)n + 1, '\0');
            vsnprintf(&big[0], big.size(), fmt, ap);
            big.resize((size_t)n);
            line += big;
        }
        while (!line.empty() && line.back() == '\n') line.pop_back();
        lg->fn(lg->data, level, line.c_str());
        return;
    }
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

double start_of(const ls_logger *lg) {
    return lg != nullptr && lg->start_time >= 0.0 ? lg->start_time : ls_start_time;
}

} // namespace

int ls_logger_shows(const ls_logger *lg, int level) {
    return (lg != nullptr && lg->verbosity >= 0 ? lg->verbosity : ls_verbosity) >= level;
}

void ls_logger_vlog(const ls_logger *lg, int level, const char *fmt, va_list ap) {
    if (ls_logger_shows(lg, level)) write_message(lg, level, level_prefix(level), true, fmt, ap);
}

void ls_logger_log(const ls_logger *lg, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ls_logger_vlog(lg, level, fmt, ap);
    va_end(ap);
}

void ls_log(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ls_logger_vlog(nullptr, level, fmt, ap);
    va_end(ap);
}

void ls_vlog(int level, const char *fmt, va_list ap) { ls_logger_vlog(nullptr, level, fmt, ap); }

void ls_log_message(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ls_logger_vlog(nullptr, level, fmt, ap);
    va_end(ap);
}

void ls_log_line(const char *prefix, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_message(nullptr, LS_LOG_ERROR, prefix, true, fmt, ap);
    va_end(ap);
}

void ls_log_vline(const char *prefix, const char *fmt, va_list ap) {
    write_message(nullptr, LS_LOG_ERROR, prefix, true, fmt, ap);
}

void ls_log_raw(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_message(nullptr, LS_LOG_INFO, nullptr, false, fmt, ap);
    va_end(ap);
}

namespace {

void vprogress(const ls_logger *lg, const char *func, const char *fmt, va_list ap) {
    if (!ls_logger_shows(lg, 3)) return;
    const double t0 = start_of(lg);
    double t = ls_realtime() - t0;
    double cpu = ls_cputime();
    // A second wall-clock reading after the CPU time, so the ratio never
    // divides by a stale elapsed time.
    double t2 = ls_realtime() - t0;
    char prefix[256];
    snprintf(prefix, sizeof(prefix), "[M::%s::%.3f*%.2f] ", func, t, cpu / t2);
    write_message(lg, LS_LOG_INFO, prefix, false, fmt, ap);
}

} // namespace

void ls_progress(const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprogress(nullptr, func, fmt, ap);
    va_end(ap);
}

void ls_logger_progress(const ls_logger *lg, const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprogress(lg, func, fmt, ap);
    va_end(ap);
}

int ls_checked_puts(const char *text) {
    // puts sets errno when it fails; the caller words the message, once.
    return puts(text) == EOF ? -1 : 0;
}
