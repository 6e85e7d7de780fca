/* lodestar: maps DNA and RNA sequences against a reference and writes PAF or
 * SAM, with every mode of the library reachable from the command line.
 *
 * The run: parse the options (a preset first, then the rest in order), check
 * every input and the output before any work, then build or load the index
 * part after part; each part gets its annotations and maps all queries
 * through the library's file pipeline, within one run context that carries
 * the output, the read group and the totals. With several parts and
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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
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

/* The mapped index file: a bus error while mapping means another process
 * shortened it, and the pages the run needs are gone. One message naming the
 * file, the partial output removed, status 1. */
char g_index_path[4096];
size_t g_index_path_len = 0;

std::atomic_flag g_index_lost = ATOMIC_FLAG_INIT;

void index_file_shortened(int) {
    // Every mapping thread may fault: the first one speaks and ends the run.
    if (g_index_lost.test_and_set())
        for (;;) pause();
    static const char a[] = "[ERROR] the index file '", b[] = "' was shortened while in use; the run stops\n";
    if (write(STDERR_FILENO, a, sizeof(a) - 1) < 0 || write(STDERR_FILENO, g_index_path, g_index_path_len) < 0 ||
        write(STDERR_FILENO, b, sizeof(b) - 1) < 0) {
        // nothing more to say
    }
    if (g_partial_path[0]) unlink(g_partial_path);
    _exit(1);
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


/* The command's lines take the library's form, "[TAG] text"; on a terminal
 * the command colours its own tag (the library never colours). */
void vmessage(const char *tag, const char *colour, const char *fmt, va_list ap) {
    char prefix[64];
    if (g_colour)
        snprintf(prefix, sizeof(prefix), "%s[%s]\x1b[0m ", colour, tag);
    else
        snprintf(prefix, sizeof(prefix), "[%s] ", tag);
    ls_log_vline(prefix, fmt, ap);
}

/* Errors are printed whatever the verbosity: a failed run always says why. */
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("ERROR", "\x1b[1;31m", fmt, ap);
    va_end(ap);
}

void warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void warning(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("WARNING", "\x1b[1;31m", fmt, ap);
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

/* Whether path can be read: "-" always; otherwise it must exist, not be a
 * directory, and be readable. A regular file is opened to be sure; a pipe or
 * device only checked, since opening a named pipe here would take bytes or
 * the writer's end from the run. Prints the error naming the role of the
 * file. */
bool check_input(const std::string &path, const char *role) {
    if (path == "-") return true;
    struct stat st;
    int err = 0;
    if (stat(path.c_str(), &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = access(path.c_str(), R_OK) == 0 ? 0 : errno;
    else if (FILE *fp = fopen(path.c_str(), "rb"))
        fclose(fp);
    else
        err = errno;
    if (err) error("failed to open the %s file '%s': %s", role, path.c_str(), strerror(err));
    return err == 0;
}

/* Whether a query can be read only once: standard input, a pipe (also the
 * /dev/fd/N of a process substitution) or a device. */
bool read_once(const std::string &path) {
    struct stat st;
    return path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode);
}

/* Refuses a run whose output would land on one of its inputs: -o or -d
 * naming an input (also through a link), -o and -d the same file, or
 * standard output redirected into an input. Files are compared by device
 * and inode, before any work. */
bool outputs_clear(const std::vector<std::pair<std::string, std::string>> &inputs,
                   const std::vector<std::pair<std::string, std::string>> &outputs) {
    auto same = [](const struct stat &a, const struct stat &b) {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    };
    auto id_of = [](const std::string &path, struct stat *st) {
        if (path == "(standard output)") return fstat(STDOUT_FILENO, st) == 0 && S_ISREG(st->st_mode);
        return path != "-" && stat(path.c_str(), st) == 0 && S_ISREG(st->st_mode);
    };
    for (size_t i = 0; i < outputs.size(); ++i) {
        struct stat out;
        const bool exists = id_of(outputs[i].second, &out);
        for (const auto &in : inputs) {
            struct stat st;
            if (exists && id_of(in.second, &st) && same(st, out)) {
                error("the %s file '%s' is the %s file '%s': refusing to write over an input",
                      outputs[i].first.c_str(), outputs[i].second.c_str(), in.first.c_str(), in.second.c_str());
                return false;
            }
        }
        for (size_t j = 0; j < i; ++j) {
            struct stat st;
            if (outputs[j].second == outputs[i].second ||
                (exists && id_of(outputs[j].second, &st) && same(st, out))) {
                error("the %s file and the %s file are the same file '%s'", outputs[j].first.c_str(),
                      outputs[i].first.c_str(), outputs[i].second.c_str());
                return false;
            }
        }
    }
    return true;
}

/* Prints the number of reads mapped so far every few seconds while the
 * mapping runs; quiet below verbosity 2 and on short runs. */
class Progress {
  public:
    Progress(const ls_run *ctx, double every) : run_(ctx), every_(every) {
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
            ls_run_stats(run_, &st);
            const double t = ls_realtime() - t0;
            info("mapped %llu reads (%.1f Mb) in %.0f s, %.0f reads/s", (unsigned long long)st.n_queries,
                 st.n_bases / 1e6, t, st.n_queries / t);
        }
    }
    const ls_run *run_;
    double every_;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
};

/* Whether an intron reader's result r lets the run go on; says why not, in
 * one message. */
bool intron_file_read(int r, const std::string &path, const char *what, bool empty_ok) {
    if (r == 0 || (r == LS_ANNOT_NO_INTRON && empty_ok)) return true;
    if (r == LS_ANNOT_NO_INTRON)
        error("no intron could be read from the %s file '%s' (BED12, or GTF or GFF3 with exon lines)", what,
              path.c_str());
    else if (r == LS_ANNOT_BAD_LINE && ls_verbosity < 1)
        error("the %s file '%s' has a malformed line (run with -v 1 to see which)", what, path.c_str());
    else if (r != LS_ANNOT_BAD_LINE) // the library has named the line
        error("failed to read the %s file '%s': %s", what, path.c_str(), strerror(errno));
    return false;
}

/* Attaches the annotation files to a fresh index part. */
bool attach_annotations(ls_idx *mi, const Args &a) {
    if (!a.alt.empty() && ls_idx_alt_read(mi, a.alt.c_str()) < 0) {
        error("failed to read the ALT list '%s': %s", a.alt.c_str(), strerror(errno));
        return false;
    }
    if (!a.junc_bed.empty()) {
        // Annotated introns both mark splice sites for the aligner and
        // offer junctions to jump across at the ends of alignments.
        int r = ls_idx_bed_read(mi, a.junc_bed.c_str(), 1);
        if (r == 0) r = ls_idx_jjump_read(mi, a.junc_bed.c_str(), 1, -1);
        if (!intron_file_read(r, a.junc_bed, "annotation", false)) return false;
    }
    if (!a.jump.empty() &&
        !intron_file_read(ls_idx_jjump_read(mi, a.jump.c_str(), 1, -1), a.jump, "splice-jump", false))
        return false;
    // A first pass that found no junction wrote an empty file, which is no
    // fault of this run.
    if (!a.pass1.empty() &&
        !intron_file_read(ls_idx_jjump_read(mi, a.pass1.c_str(), 0, -1), a.pass1, "junction", true))
        return false;
    if (!a.spsc.empty() && ls_idx_spsc_read(mi, a.spsc.c_str(), 63) < 0) {
        error("failed to read the splice-score file '%s': %s", a.spsc.c_str(), strerror(errno));
        return false;
    }
    return true;
}

/* Whether a target name is a valid SAM reference name. */
bool sam_name_ok(const char *name) {
    auto ok = [](unsigned char c) { return isalnum(c) || (c < 127 && strchr("!#$%&*+./:;=?@^_|~-", c)); };
    if (name[0] == '*' || name[0] == '=') return false;
    for (const char *p = name; *p; ++p)
        if (!ok((unsigned char)*p)) return false;
    return true;
}

/* Every target needs a name, and SAM needs them distinct (a record names
 * its target only by name); PAF can live with a repeat, with a warning.
 * names collects the names of the parts seen so far. */
bool targets_named(const ls_idx *mi, const char *path, bool sam, std::unordered_set<std::string> &names) {
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const char *name = mi->seq[i].name;
        if (name == nullptr || *name == 0) {
            error("target %u of part %d of '%s' has an empty name", i + 1, mi->part_index + 1, path);
            return false;
        }
        if (sam && !sam_name_ok(name)) {
            error("the target name '%s' in '%s' cannot be written in SAM (letters, digits and "
                  "!#$%%&*+./:;=?@^_|~- only, not starting with * or =)",
                  name, path);
            return false;
        }
        if (names.insert(name).second) continue;
        if (sam) {
            error("the target name '%s' occurs twice in '%s'; SAM output needs distinct names", name, path);
            return false;
        }
        if (ls_verbosity >= 2) warning("the target name '%s' occurs twice in '%s'", name, path);
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
    ls_run *ctx = nullptr; /* output, read group, totals */
    Args a;
    /* The options mapped with: a.mo as given, resolved with the limits
     * worked out from the first index part. */
    ls_mapopt mo;
    ls_map_limits limits = {0};
    bool have_limits = false;
    int format = LS_FMT_SAM;        /* of the results */
    int out_fd = STDOUT_FILENO;     /* where BAM or CRAM goes */
    ls_hts_writer *hts = nullptr;   /* the run's writer for BAM and CRAM */
    std::vector<const char *> queries;
    bool sam = false, split = false;
    int argc = 0;
    char **argv = nullptr;
};

bool write_sam_header(const Run &run, const ls_idx *mi) {
    if (ls_run_sam_header(run.ctx, mi, LS_VERSION, run.argc, run.argv) == 0) return true;
    error("failed to write the results: %s", strerror(errno));
    return false;
}

/* Opens the BAM or CRAM writer and hands it the run's output, once the
 * target is known: CRAM is compressed against --reference, or else the
 * target itself when it is a FASTA file. */
bool open_hts_output(Run &run, bool target_is_index) {
    if (run.format == LS_FMT_SAM || run.hts != nullptr) return true;
    const Args &a = run.a;
    std::string ref = a.reference;
    if (run.format == LS_FMT_CRAM && ref.empty()) {
        if (target_is_index || a.positional[0] == "-") {
            error("CRAM output is compressed against the reference: give its FASTA with --reference");
            return false;
        }
        ref = a.positional[0];
    }
    const std::string name = a.out_path.empty() ? "(standard output)" : a.out_path;
    run.hts = ls_hts_writer_open(run.out_fd, name.c_str(), run.format, ref.empty() ? nullptr : ref.c_str(),
                                 a.n_threads);
    if (run.hts == nullptr) return false;
    ls_run_set_writer(run.ctx, ls_hts_writer_write, run.hts);
    return true;
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
    ls_idx_reader_set_output_format(r, a.index_format);
    ls_idx_reader_set_check(r, a.index_check);
    int n_parts = 0;
    const bool is_index = ls_idx_reader_is_index(r);
    if (is_index && strlen(target) < sizeof(g_index_path)) {
        g_index_path_len = strlen(target);
        memcpy(g_index_path, target, g_index_path_len);
        struct sigaction sa = {};
        sa.sa_handler = index_file_shortened;
        sigaction(SIGBUS, &sa, nullptr);
    }
    // CRAM queries are decoded against --reference, or else the target when
    // it is a FASTA file; with neither, htslib looks in REF_PATH and REF_CACHE.
    std::string query_ref = a.reference;
    if (query_ref.empty() && !is_index && a.positional[0] != "-") query_ref = a.positional[0];
    if (ls_run_set_query_input(run.ctx, query_ref.empty() ? nullptr : query_ref.c_str(),
                               a.keep_tags.empty() ? nullptr : a.keep_tags.c_str()) != 0) {
        ls_idx_reader_close(r);
        return -1;
    }
    bool ok = run.queries.empty() || open_hts_output(run, is_index);
    std::unordered_set<std::string> names;
    while (ok) {
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
        ok = targets_named(mi, target, run.sam, names) && attach_annotations(mi, a);
        if (ok && !run.queries.empty()) {
            const bool more_parts = !ls_idx_reader_eof(r);
            if (n_parts == 0 && more_parts && !run.split) {
                if (run.sam) {
                    error("the index has several parts (see -I); SAM output needs them merged: add "
                          "--split-prefix PREFIX or raise -I");
                    ok = false;
                } else {
                    for (const char *q : run.queries)
                        if (ok && read_once(q)) {
                            error("the index has several parts (see -I) and the query '%s' can be read only "
                                  "once, not once per part: give the queries as a regular file or raise -I",
                                  q);
                            ok = false;
                        }
                }
            }
            if (ok && n_parts == 0 && run.sam && !run.split) ok = write_sam_header(run, mi);
            if (ok) {
                if (!run.have_limits) ls_map_limits_get(&a.mo, mi, &run.limits);
                run.have_limits = true;
                ls_mapopt_resolve(&a.mo, &run.limits, &run.mo);
                ls_run_stats_reset(run.ctx);
                Progress progress(run.ctx, 5.0);
                ok = mapping_ok(ls_run_map_files(run.ctx, mi, (int)run.queries.size(), run.queries.data(),
                                                 &run.mo, a.n_threads));
                ls_map_stats st;
                ls_run_stats(run.ctx, &st);
                passes->push_back(st);
            }
        }
        ls_idx_destroy(mi);
        ++n_parts;
        if (!ok) break;
    }
    // A failed index file was reported where it failed; the run fails too.
    const bool index_out_failed = (ls_idx_reader_error(r) & LS_IDX_ERR_OUTPUT) != 0;
    if (ls_idx_reader_close(r) != 0 || index_out_failed) ok = false;
    if (ok && n_parts == 0) {
        error("no sequence in the target file '%s'", target);
        ok = false;
    }
    return ok ? n_parts : -1;
}

int run_main(int argc, char **argv, Run &run) {
    run.argc = argc, run.argv = argv;
    Args &a = run.a;
    std::string err;
    if (!lodestar_cmd::parse_args(argc, argv, &a, &err)) {
        error("%s", err.c_str());
        ls_log_line("", "Try 'lodestar --help' for the options.");
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
        ls_log_line("", "Usage: lodestar [options] <target.fa[.gz] | index> [query.fq[.gz] [mate2.fq[.gz]]]\n"
                        "Try 'lodestar --help' for the options.");
        return 1;
    }
    if (a.positional.size() > 3) {
        error("too many arguments: a target and at most two query files");
        return 1;
    }
    ls_verbosity = a.verbosity;
    run.ctx = ls_run_init();
    if (run.ctx == nullptr) out_of_memory();
    ls_run_set_start_time(run.ctx, ls_start_time);
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
    std::vector<std::pair<std::string, std::string>> inputs = {{"target", a.positional[0]}};
    for (size_t i = 1; i < a.positional.size(); ++i) inputs.push_back({"query", a.positional[i]});
    for (auto &f : annotations) {
        if (!*f[0]) continue;
        if (!check_input(f[0], f[1])) return 1;
        inputs.push_back({f[1], f[0]});
    }
    run.sam = (a.mo.flag & LS_F_SAM_OUT) != 0;
    if (!a.output_fmt.empty())
        run.format = a.output_fmt == "bam" ? LS_FMT_BAM : a.output_fmt == "cram" ? LS_FMT_CRAM : LS_FMT_SAM;
    else
        run.format = ls_format_of_path(a.out_path.c_str());
    if (run.format != LS_FMT_SAM) {
        const char *fmt = run.format == LS_FMT_BAM ? "BAM" : "CRAM";
        if (!ls_hts_enabled()) {
            error("%s output needs htslib, and this lodestar was built without it", fmt);
            return 1;
        }
        if (!run.sam || (a.mo.flag & LS_F_JUNC_OUT)) {
            error("%s output holds SAM records: add -a (or write PAF to a file not named .bam or .cram)", fmt);
            return 1;
        }
        if (!a.reference.empty()) {
            if (!check_input(a.reference, "reference")) return 1;
            inputs.push_back({"reference", a.reference});
        }
    } else if (!a.reference.empty() && run.queries.empty()) {
        warning("--reference is used only for CRAM output and CRAM queries; it is ignored");
    } else if (!a.reference.empty()) {
        if (!check_input(a.reference, "reference")) return 1;
        inputs.push_back({"reference", a.reference});
    }
    std::vector<std::pair<std::string, std::string>> outputs;
    outputs.push_back({"output", a.out_path.empty() ? "(standard output)" : a.out_path});
    if (!a.index_out.empty()) outputs.push_back({"index", a.index_out});
    if (!outputs_clear(inputs, outputs)) return 1;
    run.split = !a.split_prefix.empty();
    if (run.split)
        for (const char *q : run.queries)
            if (read_once(q)) {
                error("--split-prefix reads the queries once more to merge the results, and '%s' can be read "
                      "only once: give the queries as a regular file",
                      q);
                return 1;
            }

    // The read group is checked before any work.
    if (!a.rg_line.empty() && ls_run_set_read_group(run.ctx, a.rg_line.c_str()) != 0) return 1;

    // A regular output file is written under a temporary name and takes its
    // own name only when the run succeeded, so that no failure (a crash or a
    // kill included) leaves a complete-looking file.
    ls_outfile *out = nullptr;
    if (!a.out_path.empty()) {
        out = ls_outfile_open(a.out_path.c_str(), "output");
        if (out == nullptr) return 1;
        ls_run_set_output(run.ctx, ls_outfile_fp(out));
        run.out_fd = fileno(ls_outfile_fp(out));
        const char *tmp = ls_outfile_tmp_path(out);
        if (tmp != nullptr && strlen(tmp) < sizeof(g_partial_path)) {
            memcpy(g_partial_path, tmp, strlen(tmp) + 1);
            signal(SIGABRT, remove_partial_and_abort);
        }
    }
    std::vector<ls_map_stats> passes;
    const int n_parts = map_parts(run, &passes);
    bool ok = n_parts >= 0;
    if (ok && run.split && !run.queries.empty()) {
        if (run.sam) ok = write_sam_header(run, nullptr);
        if (ok) {
            ls_run_stats_reset(run.ctx);
            Progress progress(run.ctx, 5.0);
            ok = mapping_ok(
                ls_run_split_merge(run.ctx, (int)run.queries.size(), run.queries.data(), &run.mo, n_parts));
            ls_map_stats st;
            ls_run_stats(run.ctx, &st);
            passes.assign(1, st);
        }
    }
    // A run that stopped before its merge leaves no temporary file of its own.
    if (run.split) ls_run_split_discard(run.ctx, a.split_prefix.c_str());
    if (run.hts != nullptr) {
        // Writes the end of the BAM or CRAM file; a failure there fails the run.
        if (ls_hts_writer_close(run.hts) != 0) ok = false;
        run.hts = nullptr;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (ok) error("failed to write the results: %s", strerror(errno));
        ok = false;
    }
    if (out != nullptr) {
        g_partial_path[0] = 0;
        if (ok)
            ok = ls_outfile_commit(out) == 0;
        else
            ls_outfile_abandon(out);
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

} // namespace

int main(int argc, char **argv) {
    ls_start_time = ls_realtime();
    g_colour = isatty(STDERR_FILENO);
    std::set_new_handler(out_of_memory);
    Run run;
    const int status = run_main(argc, argv, run);
    ls_run_destroy(run.ctx);
    return status;
}
