#include "args.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <type_traits>

namespace lodestar_cmd {

namespace {

enum Group { kPreset, kWork, kIndex, kMapping, kAlign, kSplice, kOutput, kNumGroups };
const char *const kGroupTitle[kNumGroups] = {"Presets",   "Work",    "Index", "Mapping",
                                             "Alignment", "Spliced", "Output"};

const long long kIntMax = 2147483647LL;

typedef std::function<bool(Args &, const char *, std::string *)> Apply;
typedef std::function<std::string(const Args &)> Default;

/* A command-only option, or one of the library's (lib >= 0), which the
 * library parses and applies to the option records itself. */
struct OptSpec {
    char short_name;       /* 0: none */
    const char *long_name; /* null: none */
    const char *meta;      /* value name; null for a switch */
    bool value_optional;   /* a switch that may take "=VALUE" */
    Group group;
    const char *help;
    Apply apply;  /* command-only options */
    Default dflt; /* empty: no default shown */
    int lib = -1; /* index in the library's option list */
    const char *alias = nullptr; /* a second long name */
};

/* An integer option bound to one field of Args. */
template <typename Field>
OptSpec int_opt(char s, const char *l, const char *meta, Group g, const char *help, Field field, long long lo,
                long long hi) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        long long x;
        // Room for the value quoted in full and the words around it.
        std::string why(strlen(v) + 128, '\0');
        if (ls_opt_parse_size(v, lo, hi, &x, &why[0], why.size()) != 0) {
            *err = why.c_str();
            return false;
        }
        field(a) = static_cast<typename std::remove_reference<decltype(field(a))>::type>(x);
        return true;
    };
    o.dflt = [=](const Args &a) { return std::to_string(field(const_cast<Args &>(a))); };
    return o;
}

template <typename Field>
OptSpec text_opt(char s, const char *l, const char *meta, Group g, const char *help, Field field) {
    OptSpec o{s, l, meta, false, g, help, nullptr, nullptr};
    o.apply = [=](Args &a, const char *v, std::string *err) {
        if (*v == 0) {
            *err = "the value is empty";
            return false;
        }
        field(a) = v;
        return true;
    };
    return o;
}

/* The library's option of that name (a long name, or a short letter when it
 * has none), shown in this command's help where the table lists it. */
OptSpec lib_opt(const char *name) {
    static const Group kGroupOf[] = {kWork, kIndex, kMapping, kAlign, kSplice, kOutput};
    const int i = ls_opt_find(name);
    const ls_opt_info *info = ls_opt_info_at(i);
    if (info == nullptr || info->group < 0 || info->group >= (int)(sizeof(kGroupOf) / sizeof(kGroupOf[0]))) {
        // The table below names a library option that does not exist: a
        // mistake in this file, found by any run.
        fprintf(stderr, "lodestar: no library option '%s'\n", name);
        abort();
    }
    OptSpec o{info->short_name,
              info->long_name,
              info->meta,
              info->value_optional != 0,
              kGroupOf[info->group],
              info->help,
              nullptr,
              nullptr,
              i};
    const Args defaults;
    if (ls_opt_default_text(&defaults.io, &defaults.mo, i, nullptr, 0) >= 0) {
        o.dflt = [i](const Args &a) {
            std::string text(ls_opt_default_text(&a.io, &a.mo, i, nullptr, 0) + 1, '\0');
            text.resize(ls_opt_default_text(&a.io, &a.mo, i, &text[0], text.size()));
            return text;
        };
    }
    return o;
}

#define ARG(f) [](Args &a) -> decltype(a.f) & { return a.f; }

/* Every option in the order --help lists them: the command's own, and the
 * library's by name. */
const std::vector<OptSpec> &option_table() {
    static const std::vector<OptSpec> table = [] {
        std::vector<OptSpec> t;
        // Presets
        {
            OptSpec o{'x', "preset", "STR", false, kPreset, nullptr, nullptr, nullptr};
            o.help = "apply a preset (below) before all other options";
            o.apply = [](Args &, const char *, std::string *) { return true; }; // applied first
            t.push_back(o);
        }
        // Work
        t.push_back(int_opt('t', "threads", "INT", kWork, "threads for building the index and for mapping",
                            ARG(n_threads), 1, 1024));
        for (const char *name : {"batch", "part-size", "sketch-batch"}) t.push_back(lib_opt(name));
        t.push_back(text_opt('d', "save-index", "FILE", kWork, "save the index to FILE", ARG(index_out)));
        {
            OptSpec o{0, "index-format", "mapped|stream", false, kWork,
                      "format of -d: mapped (loads in place) or stream (read by earlier versions)", nullptr,
                      nullptr};
            o.apply = [](Args &a, const char *v, std::string *err) {
                if (strcmp(v, "mapped") != 0 && strcmp(v, "stream") != 0) {
                    *err = "'" + std::string(v) + "' is not mapped or stream";
                    return false;
                }
                a.index_format = strcmp(v, "mapped") == 0 ? LS_IDX_FORMAT_MAPPED : LS_IDX_FORMAT_STREAM;
                return true;
            };
            o.dflt = [](const Args &) { return std::string("mapped"); };
            t.push_back(o);
        }
        {
            OptSpec o{0, "no-index-check", nullptr, false, kWork,
                      "skip reading a mapped index file whole to check it (for files you keep safe)",
                      nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) { return a.index_check = false, true; };
            t.push_back(o);
        }
        t.push_back(text_opt(0, "split-prefix", "STR", kWork,
                             "merge the results of several index parts through temporary files STR.*.tmp",
                             ARG(split_prefix)));
        // Index
        for (const char *name : {"k", "w", "hpc", "bucket-bits"}) t.push_back(lib_opt(name));
        // Mapping
        for (const char *name :
             {"mid-occ-frac", "mid-occ-range", "mid-occ", "q-occ-frac", "occ-cap", "occ-cap-max", "occ-dist",
              "max-gap", "max-gap-ref", "bandwidth", "min-anchors", "min-chain-score", "chain-gap-scale",
              "chain-skip-scale", "chain-skip", "chain-iter"})
            t.push_back(lib_opt(name));
        for (const char *name :
             {"rmq", "rmq-cap", "rmq-inner", "rmq-rescue", "rmq-rescue-frac", "no-long-join", "pri-ratio",
              "max-secondary", "secondary", "mask-level", "mask-len", "hard-mask-level"})
            t.push_back(lib_opt(name));
        t.push_back(text_opt(0, "alt", "FILE", kMapping, "list of ALT targets, one name per line", ARG(alt)));
        for (const char *name : {"alt-drop", "all-chains", "all-vs-all", "for-only", "rev-only", "qstrand",
                                 "sr", "mapq-from-alignment", "frag", "max-frag-len", "pair-orient",
                                 "pair-bonus", "indep-mates", "dust", "max-qlen", "seed"})
            t.push_back(lib_opt(name));
        // Alignment
        for (const char *name :
             {"cigar", "match", "mismatch", "gap-open", "gap-ext", "transition", "score-N", "zdrop",
              "min-dp-score", "min-dp-len", "end-bonus", "max-clip-frac", "rank-min-len", "rank-frac",
              "max-dp-cells", "anchor-ext", "no-inversion", "eqx"})
            t.push_back(lib_opt(name));
        // Spliced
        t.push_back(lib_opt("splice"));
        t.push_back(int_opt('G', "max-intron", "NUM", kSplice, "longest intron (spliced mode)",
                            ARG(max_intron), 1, kIntMax));
        for (const char *name : {"strand", "noncanon", "junc-bonus", "junc-penalty"})
            t.push_back(lib_opt(name));
        t.push_back(
            text_opt(0, "junc-bed", "FILE", kSplice, "annotated introns: BED12, GTF or GFF3", ARG(junc_bed)));
        t.back().alias = "annotation";
        t.push_back(
            text_opt(0, "jump", "FILE", kSplice, "splice-jump junctions: BED12, GTF or GFF3", ARG(jump)));
        t.push_back(text_opt(0, "pass1", "FILE", kSplice, "junctions written by an earlier --write-junc run",
                             ARG(pass1)));
        t.push_back(text_opt(0, "spsc", "FILE", kSplice,
                             "splice-site scores (name, position, strand, D|A, score)", ARG(spsc)));
        for (const char *name : {"splice-flank", "jump-min-match", "write-junc"}) t.push_back(lib_opt(name));
        // Output
        t.push_back(lib_opt("sam"));
        t.push_back(text_opt('o', "output", "FILE", kOutput,
                             "write the results to FILE (.bam and .cram choose BAM and CRAM)", ARG(out_path)));
        {
            OptSpec o{0, "output-fmt", "sam|bam|cram", false, kOutput, "output format, whatever -o is called",
                      nullptr, nullptr};
            o.apply = [](Args &a, const char *v, std::string *err) {
                if (strcmp(v, "sam") != 0 && strcmp(v, "bam") != 0 && strcmp(v, "cram") != 0) {
                    *err = "'" + std::string(v) + "' is not sam, bam or cram";
                    return false;
                }
                a.output_fmt = v;
                return true;
            };
            t.push_back(o);
        }
        t.push_back(text_opt(0, "reference", "FILE", kOutput,
                             "FASTA of CRAM output and CRAM queries (default: the target)", ARG(reference)));
        t.push_back(text_opt('R', "read-group", "STR", kOutput,
                             "SAM read group line, e.g. '@RG\\tID:x\\tSM:y'", ARG(rg_line)));
        for (const char *name : {"cs", "ds", "MD", "long-cigar", "soft-clip", "secondary-seq", "mate-tags",
                                 "copy-comment", "paf-no-hit", "sam-hit-only", "no-qual"})
            t.push_back(lib_opt(name));
        {
            const char *help =
                "with -y, the tags of SAM/BAM/CRAM queries to carry, e.g. MM,ML (default: all)";
            OptSpec o{0, "keep-tags", "LIST", false, kOutput, help, nullptr, nullptr};
            o.apply = [](Args &a, const char *v, std::string *err) {
                char why[128];
                if (ls_tag_list_check(v, why, sizeof(why)) != 0) {
                    *err = why;
                    return false;
                }
                a.keep_tags = v;
                return true;
            };
            t.push_back(o);
        }
        t.push_back(int_opt('v', "verbose", "INT", kOutput,
                            "verbosity: 1 errors, 2 also warnings and progress, 3 library details",
                            ARG(verbosity), 0, 10));
        {
            OptSpec o{0, "version", nullptr, false, kOutput, "print the version and exit", nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) { return a.version = true; };
            t.push_back(o);
        }
        {
            OptSpec o{'h', "help", nullptr, false, kOutput, "print this help and exit", nullptr, nullptr};
            o.apply = [](Args &a, const char *, std::string *) { return a.help = true; };
            t.push_back(o);
        }
        return t;
    }();
    return table;
}

#undef ARG

const OptSpec *find_short(char c) {
    for (const OptSpec &o : option_table())
        if (o.short_name == c) return &o;
    return nullptr;
}

const OptSpec *find_long(const std::string &name) {
    for (const OptSpec &o : option_table())
        if ((o.long_name && name == o.long_name) || (o.alias && name == o.alias)) return &o;
    return nullptr;
}

struct Token {
    const OptSpec *spec;
    std::string spelled; /* as typed: "-t" or "--threads" */
    const char *value;   /* null for a switch without value */
};

/* Splits the command line into options (with their values) and positional
 * arguments. Short switches may be bundled ("-ax sr"); a value follows its
 * option in the same word or in the next one. */
bool tokenize(int argc, char *const *argv, std::vector<Token> *tokens, std::vector<std::string> *positional,
              std::string *err) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            for (++i; i < argc; ++i) positional->push_back(argv[i]);
            break;
        }
        if (arg[0] == '-' && arg[1] == '-') {
            const char *eq = strchr(arg + 2, '=');
            const std::string name = eq ? std::string(arg + 2, eq - arg - 2) : std::string(arg + 2);
            const std::string spelled = "--" + name;
            const OptSpec *o = find_long(name);
            if (o == nullptr) {
                *err = "unknown option '" + spelled + "'";
                return false;
            }
            const char *value = eq ? eq + 1 : nullptr;
            if (o->meta && !o->value_optional && value == nullptr) {
                if (i + 1 >= argc) {
                    *err = "option '" + spelled + "' needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (!o->meta && value != nullptr) {
                *err = "option '" + spelled + "' takes no value";
                return false;
            }
            tokens->push_back({o, spelled, value});
        } else if (arg[0] == '-' && arg[1] != 0) {
            for (int j = 1; arg[j]; ++j) {
                const std::string spelled = std::string("-") + arg[j];
                const OptSpec *o = find_short(arg[j]);
                if (o == nullptr) {
                    *err = "unknown option '" + spelled + "'";
                    return false;
                }
                if (!o->meta || o->value_optional) {
                    tokens->push_back({o, spelled, nullptr});
                    continue;
                }
                const char *value = arg + j + 1;
                if (*value == 0) {
                    if (i + 1 >= argc) {
                        *err = "option '" + spelled + "' needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                tokens->push_back({o, spelled, value});
                break;
            }
        } else {
            positional->push_back(arg);
        }
    }
    return true;
}

/* The read-group line must be one SAM header line with an ID; the SAM
 * writer repeats these checks, but a bad line should stop the run before any
 * index is built, in PAF mode too. */
bool check_read_group(const std::string &rg, std::string *err) {
    if (rg.compare(0, 3, "@RG") != 0) {
        *err = "option '-R': the read group line must start with @RG";
        return false;
    }
    if (rg.find('\t') != std::string::npos) {
        *err = "option '-R': the read group line holds literal tabs; write them as \\t";
        return false;
    }
    for (unsigned char c : rg)
        if (c < ' ' || c == 0x7f) {
            *err = "option '-R': the read group line holds a control character (a line break?)";
            return false;
        }
    const size_t id = rg.find("\\tID:");
    if (id == std::string::npos) {
        *err = "option '-R': the read group line has no ID field (\\tID:...)";
        return false;
    }
    if (id + 5 == rg.size() || rg[id + 5] == '\\') {
        *err = "option '-R': the read group ID is empty";
        return false;
    }
    return true;
}

} // namespace

Args::Args() {
    ls_idxopt_defaults(&io);
    ls_mapopt_defaults(&mo);
}

const char *preset_names() {
    static const std::string names = [] {
        std::string s;
        for (int i = 0; i < ls_opt_preset_count(); ++i)
            s += (s.empty() ? "" : ", ") + std::string(ls_opt_preset_info(i)->names);
        return s;
    }();
    return names.c_str();
}

bool parse_size(const char *text, long long lo, long long hi, long long *out) {
    return ls_opt_parse_size(text, lo, hi, out, nullptr, 0) == 0;
}

bool parse_args(int argc, char *const *argv, Args *a, std::string *err) {
    std::vector<Token> tokens;
    if (!tokenize(argc, argv, &tokens, &a->positional, err)) return false;
    for (const Token &t : tokens) {
        if (t.spec->short_name != 'x') continue;
        // Presets set overlapping fields, so a second one would silently
        // undo part of the first.
        if (!a->preset.empty() && a->preset != t.value) {
            *err = "option '-x': presets do not combine ('" + a->preset + "', then '" + t.value +
                   "'); give one";
            return false;
        }
        ls_idxopt io = a->io;
        ls_mapopt mo = a->mo;
        // A name starting with "asm" writes part of its settings before it is
        // refused, so the preset is tried on copies.
        if (ls_opt_preset(t.value, &io, &mo) != 0) {
            *err = "unknown preset '" + std::string(t.value) + "'; valid presets: " + preset_names();
            return false;
        }
        a->io = io, a->mo = mo;
        a->preset = t.value;
    }
    bool bw_given = false;
    for (const Token &t : tokens) {
        if (t.spec->lib >= 0) {
            // The library names the option as it was typed.
            const size_t dashes = t.spelled.compare(0, 2, "--") == 0 ? 2 : 1;
            std::string why(t.spelled.size() + (t.value ? strlen(t.value) : 0) + 128, '\0');
            if (ls_opt_set(&a->io, &a->mo, t.spelled.c_str() + dashes, t.value, &why[0], why.size()) != 0) {
                *err = why.c_str();
                return false;
            }
        } else {
            std::string why;
            if (!t.spec->apply(*a, t.value, &why)) {
                *err = "option '" + t.spelled + "': " + why;
                return false;
            }
        }
        if (t.spec->short_name == 'r') bw_given = true;
    }
    if (a->max_intron > 0) {
        // The intron length sets the bandwidths; an explicit -r still wins.
        const int bw = a->mo.bw, long_bw = a->mo.long_bw;
        ls_mapopt_set_intron_len(&a->mo, a->max_intron);
        if (bw_given) a->mo.bw = bw, a->mo.long_bw = long_bw;
    }
    if (!a->rg_line.empty() && !check_read_group(a->rg_line, err)) return false;
    if (!a->split_prefix.empty()) a->mo.split_prefix = a->split_prefix.c_str();
    return true;
}

std::string help_text() {
    const Args defaults;
    std::string s = "Usage: lodestar [options] <target.fa[.gz] | index> [query.fq[.gz] [mate2.fq[.gz]]]\n"
                    "Maps DNA or RNA sequences to a reference and writes PAF (default) or SAM.\n"
                    "Queries may also be SAM, BAM or CRAM files (unaligned or not), read by content.\n"
                    "'-' reads standard input. Without a query only the index is built (save it with -d).\n"
                    "NUM accepts the suffixes k, M and G (1000, 10^6, 10^9).\n";
    for (int g = 0; g < kNumGroups; ++g) {
        s += "\n";
        s += kGroupTitle[g];
        s += ":\n";
        for (const OptSpec &o : option_table()) {
            if (o.group != g) continue;
            std::string left = "  ";
            if (o.short_name) left += std::string("-") + o.short_name;
            if (o.short_name && o.long_name) left += ", ";
            if (o.long_name) left += std::string("--") + o.long_name;
            if (o.alias) left += std::string(", --") + o.alias;
            if (o.meta) left += std::string(o.value_optional ? "[=" : " ") + o.meta + (o.value_optional ? "]" : "");
            if (left.size() < 28) left.resize(28, ' ');
            else left += " ";
            s += left + o.help;
            if (o.dflt) s += " [" + o.dflt(defaults) + "]";
            s += "\n";
        }
        if (g == kPreset)
            for (int i = 0; i < ls_opt_preset_count(); ++i) {
                const ls_preset_info *p = ls_opt_preset_info(i);
                std::string left = std::string("      ") + p->names;
                left.resize(std::max<size_t>(left.size() + 1, 34), ' ');
                s += left + p->help + "\n";
            }
    }
    return s;
}

namespace {

/* Text for a roff line: backslashes and minus signs escaped, and a leading
 * dot or quote kept from reading as a request. */
std::string roff(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

const char *const kManHead = R"(.TH LODESTAR 1 "" "lodestar @VERSION@" "User Commands"
.SH NAME
lodestar \- map DNA and RNA sequences to a reference
.SH SYNOPSIS
.B lodestar
[\fIoptions\fR]
.I target.fa\fR[\fI.gz\fR] | \fIindex
[\fIquery\fR [\fImate2\fR]]
.SH DESCRIPTION
.B lodestar
builds a minimizer index of the target (a FASTA or FASTQ file, plain or gzip,
or an index saved with
.BR \-d ),
finds where each query read comes from, aligns it base by base and writes
every mapping: PAF by default, SAM with
.BR \-a ,
BAM or CRAM with
.B \-o
.I x.bam
or
.IR x.cram .
Queries are FASTA or FASTQ, plain or gzip, or SAM, BAM or CRAM files,
recognised by their content;
.B \-
reads standard input. Two query files hold the two mates of paired reads.
Without a query only the index is built. Results go to standard output (or
.BR \-o );
logs, progress and a summary go to standard error. The output never depends
on the number of threads.
.PP
Pick the preset for the reads with
.BR \-x ;
an option given with it overrides the preset, wherever it stands.
NUM accepts the suffixes k, M and G (1000, 10^6, 10^9).
.SH OPTIONS
)";

const char *const kManTail = R"(.SH OUTPUT
PAF has twelve columns: query name, length, start and end (0-based, end
exclusive), strand, target name, length, start and end, matching bases, block
length and mapping quality (0 to 60), then tags:
.B tp
(P primary, S secondary),
.B cm
(seeds on the chain),
.B s1
and
.B s2
(chaining scores of the region and of its best competitor),
.BR NM ", " AS ", " ms ", " nn
(edit distance, alignment scores, ambiguous bases),
.B de
or
.B dv
(divergence),
.B rl
(repetitive bases) and, when asked for,
.BR cg ,
.BR cs ,
.B ds
and
.BR MD .
SAM records carry the same tags, and
.BR RG ", " SA ", " MC ", " MQ ", " XS
where they apply. A mapping quality of 60 means no competing placement came
close; 0 means two or more were as good. The documentation file
.I docs/output.md
of the source describes every column, tag and flag.
.SH EXIT STATUS
0 on success; 1 on any failure, with one message naming the file or option at
fault: a bad option or combination, an input that cannot be read or is cut
short (what came before it is written), a failed write, memory exhausted.
A file written with
.B \-o
or
.B \-d
takes its name only when the run succeeded.
.SH ENVIRONMENT
.TP
.B LODESTAR_DISABLE_CPU_FEATURES
A comma-separated list of instruction sets not to use, from
.B avx2
and
.BR avx512 ;
the alignment kernels then run on the next narrower set. The output is the
same bytes whichever set runs.
.TP
.BR REF_PATH ", " REF_CACHE
Where htslib looks for the reference of a CRAM query file that
.B \-\-reference
and the target do not provide.
.SH EXAMPLES
Nanopore reads to PAF:
.PP
.RS
lodestar \-x map\-ont \-t 8 ref.fa reads.fq.gz > aln.paf
.RE
.PP
HiFi reads delivered as unaligned BAM, to BAM with their tags:
.PP
.RS
lodestar \-ax map\-hifi \-y \-t 8 \-o aln.bam ref.fa hifi.bam
.RE
.PP
Paired short reads with a read group, sorted:
.PP
.RS
lodestar \-ax sr \-t 8 \-R '@RG\etID:s1\etSM:s1' ref.fa r1.fq.gz r2.fq.gz | samtools sort \-o aln.bam
.RE
.PP
Spliced cDNA with an annotation:
.PP
.RS
lodestar \-ax splice \-\-annotation genes.gtf ref.fa cdna.fq > aln.sam
.RE
.PP
Build an index once, map many times:
.PP
.RS
lodestar \-x map\-ont \-d ref.idx ref.fa
.br
lodestar \-x map\-ont ref.idx reads.fq
.RE
.SH SEE ALSO
.BR samtools (1)
.PP
The SAM format: the Sequence Alignment/Map format description (SAMv1),
and the CRAM format description, both of the GA4GH.
PAF: the pairwise mapping format, twelve tab-separated columns and SAM-like
tags, described in the OUTPUT section above.
)";

} // namespace

std::string man_page() {
    const Args defaults;
    std::string s = kManHead;
    const std::string version_mark = "@VERSION@";
    s.replace(s.find(version_mark), version_mark.size(), LS_VERSION);
    for (int g = 0; g < kNumGroups; ++g) {
        s += std::string(".SS ") + kGroupTitle[g] + "\n";
        for (const OptSpec &o : option_table()) {
            if (o.group != g) continue;
            std::string left;
            if (o.short_name) left += std::string("\\fB\\-") + o.short_name + "\\fR";
            if (o.short_name && o.long_name) left += ", ";
            if (o.long_name) left += std::string("\\fB\\-\\-") + roff(o.long_name) + "\\fR";
            if (o.alias) left += std::string(", \\fB\\-\\-") + roff(o.alias) + "\\fR";
            if (o.meta)
                left += std::string(o.value_optional ? "[=" : " ") + "\\fI" + roff(o.meta) + "\\fR" +
                        (o.value_optional ? "]" : "");
            std::string help = o.help;
            if (o.dflt) help += " [" + o.dflt(defaults) + "]";
            s += ".TP\n" + left + "\n" + roff(help) + "\n";
        }
        if (g == kPreset) {
            s += ".PP\nThe presets:\n";
            for (int i = 0; i < ls_opt_preset_count(); ++i) {
                const ls_preset_info *p = ls_opt_preset_info(i);
                s += ".TP\n\\fB" + roff(p->names) + "\\fR\n" + roff(p->help) + "\n";
            }
        }
    }
    return s + kManTail;
}

} // namespace lodestar_cmd
