/* lodestar: maps DNA and RNA sequences against a reference and writes PAF or
 * SAM, with every mode of the library reachable from the command line.
 *
 * The run: parse the options (a preset first, then the rest in order), check
 * every input and the output before any work, then build or load the index
 * part after part; each part gets its annotations and maps all queries
 * through the library's file pipeline. With several parts and
 * --split-prefix the per-part results are merged at the end. Results go to
 * standard output (or -o); everything else to standard error. Any failure
 * ends the run with status 1, and an -o file appears only when the run
 * succeeded. */
#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "lodestar.h"

using lodestar_cmd::Args;

namespace {

bool g_colour = false; /* standard error is a terminal */

/* The temporary output file of this run, removed when the run aborts (a
 * library invariant, or memory exhausted) so that nothing half-written is
 * left behind. Plain storage: the signal handler may only read it. */
char g_partial_path[4096];

void remove_partial_and_abort(int sig) {
    if (g_partial_path[0]) unlink(g_partial_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

/* Memory exhausted inside a standard container: one clear line instead of
 * an exception that nothing here could recover from. */
void out_of_memory() {
    static const char msg[] = "[ERROR] out of memory\n";
    if (write(STDERR_FILENO, msg, sizeof(msg) - 1) < 0) {
        // nothing more to say
    }
    abort();
}


void vmessage(const char *tag, const char *colour, const char *fmt, va_list ap) {
    if (g_colour)
        fprintf(stderr, "%s[%s]\x1b[0m ", colour, tag);
    else
        fprintf(stderr, "[%s] ", tag);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

/* Errors are printed whatever the verbosity: a failed run always says why. */
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("ERROR", "\x1b[1;31m", fmt, ap);
    va_end(ap);
}

void info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void info(const char *fmt, ...) {
    if (ls_verbosity < 2) return;
    va_list ap;
    va_start(ap, fmt);
    vmessage("lodestar", "\x1b[1;32m", fmt, ap);
    va_end(ap);
}

double peak_gb() {
    return ls_peak_rss() / (1024.0 * 1024.0); // ru_maxrss is in KiB
}

/* Whether path can be read as a file: "-" always; otherwise it must open
 * and not be a directory. Prints the error naming the role of the file. */
bool check_input(const std::string &path, const char *role) {
    if (path == "-") return true;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error("failed to open the %s file '%s': %s", role, path.c_str(), strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error("failed to open the %s file '%s': %s", role, path.c_str(), strerror(EISDIR));
        return false;
    }
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) {
        error("failed to open the %s file '%s': %s", role, path.c_str(), strerror(errno));
        return false;
    }
    fclose(fp);
    return true;
}

/* Prints the number of reads mapped so far every few seconds while the
 * mapping runs; quiet below verbosity 2 and on short runs. */
class Progress {
  public:
    explicit Progress(double every) : every_(every) {
        if (ls_verbosity >= 2) thread_ = std::thread([this] { run(); });
    }
    ~Progress() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void run() {
        const double t0 = ls_realtime();
        std::unique_lock<std::mutex> lock(mutex_);
        while (!cv_.wait_for(lock, std::chrono::duration<double>(every_), [this] { return stop_; })) {
            ls_map_stats st;
            ls_map_stats_get(&st);
            const double t = ls_realtime() - t0;
            info("mapped %llu reads (%.1f Mb) in %.0f s, %.0f reads/s", (unsigned long long)st.n_queries,
                 st.n_bases / 1e6, t, st.n_queries / t);
        }
    }
    double every_;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
};

/* Attaches the annotation files to a fresh index part. */
bool attach_annotations(ls_idx *mi, const Args &a) {
    if (!a.alt.empty() && ls_idx_alt_read(mi, a.alt.c_str()) < 0) {
        error("failed to read the ALT list '%s': %s", a.alt.c_str(), strerror(errno));
        return false;
    }
    if (!a.junc_bed.empty()) {
        // Annotated introns both mark splice sites for the aligner and
        // offer junctions to jump across at the ends of alignments.
        if (ls_idx_bed_read(mi, a.junc_bed.c_str(), 1) < 0 || ls_idx_jjump_read(mi, a.junc_bed.c_str(), 1, -1) < 0) {
            error("failed to read the annotation file '%s': %s", a.junc_bed.c_str(), strerror(errno));
            return false;
        }
    }
    if (!a.jump.empty() && ls_idx_jjump_read(mi, a.jump.c_str(), 1, -1) < 0) {
        error("failed to read the splice-jump file '%s': %s", a.jump.c_str(), strerror(errno));
        return false;
    }
    if (!a.pass1.empty() && ls_idx_jjump_read(mi, a.pass1.c_str(), 0, -1) < 0) {
        error("failed to read the junction file '%s': %s", a.pass1.c_str(), strerror(errno));
        return false;
    }
    if (!a.spsc.empty() && ls_idx_spsc_read(mi, a.spsc.c_str(), 63) < 0) {
        error("failed to read the splice-score file '%s': %s", a.spsc.c_str(), strerror(errno));
        return false;
    }
    return true;
}

/* Reports a failed mapping pass; the library has named the fault already. */
bool mapping_ok(int rc) {
    switch (rc) {
    case 0: return true;
    case LS_MAP_ERR_INPUT: error("a query file could not be read to its end; the results are incomplete"); break;
    case LS_MAP_ERR_OUTPUT: break; // the pipeline printed why writing failed
    default: error("mapping failed"); break;
    }
    return false;
}

struct Run {
    Args a;
    std::vector<const char *> queries;
    bool sam = false, split = false;
    int argc = 0;
    char **argv = nullptr;
};

bool write_sam_header(const Run &run, const ls_idx *mi) {
    const int rc = ls_sam_header(mi, run.a.rg_line.empty() ? nullptr : run.a.rg_line.c_str(), LS_VERSION,
                                 run.argc, run.argv);
    if (rc == -2) {
        error("failed to write the results: %s", strerror(errno));
        return false;
    }
    return rc == 0;
}

/* Builds or loads every index part and maps the queries against each.
 * Returns the number of parts, or -1 after a failure. */
int map_parts(Run &run, std::vector<ls_map_stats> *passes) {
    const Args &a = run.a;
    const char *target = a.positional[0].c_str();
    errno = 0;
    ls_idx_reader *r = ls_idx_reader_open(target, &a.io, a.index_out.empty() ? nullptr : a.index_out.c_str());
    if (r == nullptr) {
        if (errno) error("failed to open the target file '%s': %s", target, strerror(errno));
        return -1;
    }
    int n_parts = 0;
    bool ok = true;
    const bool is_index = ls_idx_reader_is_index(r);
    for (;;) {
        const double t0 = ls_realtime();
        ls_idx *mi = ls_idx_reader_read(r, a.n_threads);
        if (mi == nullptr || (ls_idx_reader_error(r) & LS_IDX_ERR_INPUT)) {
            // A part cut short by a broken target file would map reads to the
            // wrong places: nothing is mapped against it.
            if (ls_idx_reader_error(r) & LS_IDX_ERR_INPUT) ok = false;
            ls_idx_destroy(mi);
            break;
        }
        uint64_t bases = 0;
        for (uint32_t i = 0; i < mi->n_seq; ++i) bases += mi->seq[i].len;
        uint64_t n_minimizers = 0;
        ls_idx_count(mi, &n_minimizers, nullptr);
        info("index part %d: %u targets, %.2f Mb, %.2f M minimizers; %s in %.2f s; peak memory %.2f GB",
             n_parts + 1, mi->n_seq, bases / 1e6, n_minimizers / 1e6, is_index ? "loaded" : "built",
             ls_realtime() - t0, peak_gb());
        ok = attach_annotations(mi, a);
        if (ok && !run.queries.empty()) {
            const bool more_parts = !ls_idx_reader_eof(r);
            if (n_parts == 0 && more_parts && !run.split) {
                if (run.sam) {
                    error("the index has several parts (see -I); SAM output needs them merged: add "
                          "--split-prefix PREFIX or raise -I");
                    ok = false;
                } else if (a.positional[1] == "-" || (run.queries.size() > 1 && a.positional[2] == "-")) {
                    error("the index has several parts (see -I) and standard input cannot be read once per "
                          "part: give the queries as a file or raise -I");
                    ok = false;
                }
            }
            if (ok && n_parts == 0 && run.sam && !run.split) ok = write_sam_header(run, mi);
            if (ok) {
                ls_mapopt_update(&run.a.mo, mi);
                ls_map_stats_reset();
                Progress progress(5.0);
                ok = mapping_ok(ls_map_file_frag(mi, (int)run.queries.size(), run.queries.data(), &run.a.mo,
                                                 a.n_threads));
                ls_map_stats st;
                ls_map_stats_get(&st);
                passes->push_back(st);
            }
        }
        ls_idx_destroy(mi);
        ++n_parts;
        if (!ok) break;
    }
    if (ls_idx_reader_close(r) != 0) {
        error("the index file '%s' could not be completed and was removed", a.index_out.c_str());
        ok = false;
    }
    if (ok && n_parts == 0) {
        error("no sequence in the target file '%s'", target);
        ok = false;
    }
    return ok ? n_parts : -1;
}

int run_main(int argc, char **argv) {
    Run run;
    run.argc = argc, run.argv = argv;
    Args &a = run.a;
    std::string err;
    if (!lodestar_cmd::parse_args(argc, argv, &a, &err)) {
        error("%s", err.c_str());
        fprintf(stderr, "Try 'lodestar --help' for the options.\n");
        return 1;
    }
    if (a.help || a.version) {
        const std::string text = a.help ? lodestar_cmd::help_text() : std::string("lodestar ") + LS_VERSION + "\n";
        if (fputs(text.c_str(), stdout) == EOF || fflush(stdout) != 0) {
            error("failed to write the results: %s", strerror(errno));
            return 1;
        }
        return 0;
    }
    if (a.positional.empty()) {
        fprintf(stderr, "Usage: lodestar [options] <target.fa[.gz] | index> [query.fq[.gz] [mate2.fq[.gz]]]\n"
                        "Try 'lodestar --help' for the options.\n");
        return 1;
    }
    if (a.positional.size() > 3) {
        error("too many arguments: a target and at most two query files");
        return 1;
    }
    ls_verbosity = a.verbosity;
    if (ls_opt_check(&a.io, &a.mo) < 0) {
        if (ls_verbosity < 1) error("the options are inconsistent (run with -v 1 to see why)");
        return 1;
    }
    int n_stdin = 0;
    for (const std::string &p : a.positional) n_stdin += p == "-";
    if (n_stdin > 1) {
        error("standard input ('-') can be given only once");
        return 1;
    }
    if (!check_input(a.positional[0], "target")) return 1;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        if (!check_input(a.positional[i], "query")) return 1;
        run.queries.push_back(a.positional[i].c_str());
    }
    const char *annotations[][2] = {{a.alt.c_str(), "ALT list"},
                                    {a.junc_bed.c_str(), "annotation"},
                                    {a.jump.c_str(), "splice-jump"},
                                    {a.pass1.c_str(), "junction"},
                                    {a.spsc.c_str(), "splice-score"}};
    for (auto &f : annotations)
        if (*f[0] && !check_input(f[0], f[1])) return 1;
    run.sam = (a.mo.flag & LS_F_SAM_OUT) != 0;
    run.split = !a.split_prefix.empty();

    // A regular output file is written under a temporary name and takes its
    // own name only when the run succeeded, so that no failure (a crash or a
    // kill included) leaves a complete-looking file. Devices and pipes
    // (-o /dev/stdout) are written directly.
    std::string out_tmp;
    if (!a.out_path.empty()) {
        struct stat st;
        if (stat(a.out_path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
            out_tmp = a.out_path + ".partial." + std::to_string(getpid());
        const std::string &open_path = out_tmp.empty() ? a.out_path : out_tmp;
        if (freopen(open_path.c_str(), "w", stdout) == nullptr) {
            error("failed to open the output file '%s': %s", a.out_path.c_str(), strerror(errno));
            return 1;
        }
        if (!out_tmp.empty() && out_tmp.size() < sizeof(g_partial_path)) {
            memcpy(g_partial_path, out_tmp.c_str(), out_tmp.size() + 1);
            signal(SIGABRT, remove_partial_and_abort);
        }
    }
    std::vector<ls_map_stats> passes;
    const int n_parts = map_parts(run, &passes);
    bool ok = n_parts >= 0;
    if (ok && run.split && !run.queries.empty()) {
        if (run.sam) ok = write_sam_header(run, nullptr);
        if (ok) {
            ls_map_stats_reset();
            Progress progress(5.0);
            ok = mapping_ok(ls_split_merge((int)run.queries.size(), run.queries.data(), &a.mo, n_parts));
            ls_map_stats st;
            ls_map_stats_get(&st);
            passes.assign(1, st);
        }
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (ok) error("failed to write the results: %s", strerror(errno));
        ok = false;
    }
    if (!a.out_path.empty()) {
        if (fclose(stdout) != 0 && ok) {
            error("failed to write the results to '%s': %s", a.out_path.c_str(), strerror(errno));
            ok = false;
        }
        if (!out_tmp.empty()) {
            if (ok && rename(out_tmp.c_str(), a.out_path.c_str()) != 0) {
                error("failed to write the results to '%s': %s", a.out_path.c_str(), strerror(errno));
                ok = false;
            }
            if (!ok) remove(out_tmp.c_str());
            g_partial_path[0] = 0;
        }
    }
    if (ok && !passes.empty()) {
        const ls_map_stats &st = passes.back();
        std::string mapped;
        char buf[64];
        for (const ls_map_stats &p : passes) {
            snprintf(buf, sizeof(buf), "%s%.2f%%", mapped.empty() ? "" : ", ",
                     p.n_queries ? 100.0 * p.n_mapped / p.n_queries : 0.0);
            mapped += buf;
        }
        info("%llu reads, %.2f Mb; mapped %s%s; wall %.2f s, CPU %.2f s, peak memory %.2f GB",
             (unsigned long long)st.n_queries, st.n_bases / 1e6, mapped.c_str(),
             passes.size() > 1 ? " (one figure per index part)" : "", ls_realtime() - ls_start_time,
             ls_cputime(), peak_gb());
    }
    return ok ? 0 : 1;
}

/* Standard error without colour: the library's messages carry colour
 * escapes, which only a terminal should see; in a log file they are noise.
 * The stream drops every "ESC [ ... m" sequence on its way to descriptor 2,
 * keeping its state across writes. */
struct Uncoloured {
    int state = 0; /* 0 text, 1 after ESC, 2 inside the sequence */
};

ssize_t write_uncoloured(void *cookie, const char *buf, size_t size) {
    Uncoloured *u = static_cast<Uncoloured *>(cookie);
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        const char c = buf[i];
        if (u->state == 0) {
            if (c == '\x1b')
                u->state = 1;
            else
                out += c;
        } else if (u->state == 1) {
            u->state = c == '[' ? 2 : 0;
            if (c != '[') out += c;
        } else if (c == 'm' || !(isdigit((unsigned char)c) || c == ';')) {
            u->state = 0;
        }
    }
    for (size_t off = 0; off < out.size();) {
        const ssize_t n = write(STDERR_FILENO, out.data() + off, out.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        off += (size_t)n;
    }
    return (ssize_t)size;
}

void uncolour_stderr() {
    static Uncoloured state;
    cookie_io_functions_t io = {nullptr, write_uncoloured, nullptr, nullptr};
    FILE *fp = fopencookie(&state, "w", io);
    if (fp == nullptr) return; // colour escapes are a cosmetic loss only
    setvbuf(fp, nullptr, _IONBF, 0);
    stderr = fp;
}

} // namespace

int main(int argc, char **argv) {
    ls_start_time = ls_realtime();
    g_colour = isatty(STDERR_FILENO);
    std::set_new_handler(out_of_memory);
    if (!g_colour) uncolour_stderr();
    return run_main(argc, argv);
}
