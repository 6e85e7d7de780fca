/* Command-line options of `lodestar`: one table lists every option in help
 * order, so the parser, the --help text and the usage document cannot drift
 * apart. Options of the index and mapping records come from the library's
 * option list (ls_opt_info_at, applied by ls_opt_set); the table adds the
 * command's own (threads, files, presets, verbosity, -G).
 *
 * A preset (-x) is applied before every other option, wherever it stands on
 * the line, so that an option always overrides the preset it is given with. */
#ifndef LODESTAR_CMD_ARGS_H
#define LODESTAR_CMD_ARGS_H

#include <string>
#include <vector>

#include "lodestar.h"

namespace lodestar_cmd {

/* Everything the command line decides. */
struct Args {
    ls_idxopt io;
    ls_mapopt mo;
    std::string preset;     /* empty: none */
    int n_threads = 3;      /* index building and mapping */
    int verbosity = 2;      /* ls_verbosity of the run */
    std::string out_path;   /* -o; empty: standard output */
    std::string output_fmt; /* --output-fmt; empty: from the -o name */
    std::string reference;  /* --reference: FASTA of CRAM output and CRAM queries */
    std::string keep_tags;  /* --keep-tags; empty: every tag of SAM/BAM/CRAM queries */
    std::string index_out;  /* -d; empty: do not save */
    int index_format = LS_IDX_FORMAT_MAPPED; /* --index-format */
    bool index_check = true;                 /* false: --no-index-check */
    std::string rg_line;    /* -R, escapes kept as typed */
    std::string split_prefix;
    int max_intron = 0;     /* -G; 0: keep the bandwidths */
    /* Annotation files attached to every index part. */
    std::string alt, junc_bed, jump, spsc, pass1;
    std::vector<std::string> positional; /* target, then 0 to 2 query files */
    bool help = false, version = false;

    Args();
};

/* Parses argv[1 .. argc-1] into *a (which starts from the defaults). Returns
 * true, or false with one message in *err that names the option at fault. */
bool parse_args(int argc, char *const *argv, Args *a, std::string *err);

/* The --help text: usage, then the options by group, one line each with the
 * default where there is one. */
std::string help_text();

/* The manual page (roff, man macros): the options as --help lists them,
 * with the sections around them. */
std::string man_page();

/* Names -x accepts, separated by ", ". */
const char *preset_names();

/* A size or count such as 500, 4k, 2.5M or 8G (decimal multiples), read by
 * ls_opt_parse_size. Returns false when text is not such a number or lies
 * outside [lo, hi]. */
bool parse_size(const char *text, long long lo, long long hi, long long *out);

} // namespace lodestar_cmd

#endif
