/* lodestar-sim: writes random genomes with planted features and reads whose
 * names hold their true origin (see sim.h for the name format). */
#include "sim.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

using namespace lssim;

namespace {

const char *kUsage = "Usage: lodestar-sim <command> [options]\n"
                     "Deterministic genomes and reads with known origin, for testing a read mapper.\n"
                     "\n"
                     "Commands:\n"
                     "  genome   random genome with planted repeats, tandem repeats, low-complexity\n"
                     "           runs, N runs, inversions and deletions, listed in a TSV file\n"
                     "  reads    reads sampled from a genome FASTA file, or from its donor view\n"
                     "           (the feature list's inversions and deletions applied)\n"
                     "  pairs    paired-end reads sampled the same way\n"
                     "  example  a small ready-made genome and reads written into a directory\n"
                     "\n"
                     "A read's name is its origin: r<index>!<contig>!<start>!<end>!<strand>[!flags],\n"
                     "0-based and end-exclusive on the reference; flags inv<id> and del<id> name\n"
                     "the spanned events of the feature list, rand marks a random read.\n"
                     "Run 'lodestar-sim <command> --help' for the options of a command.\n";

enum Kind { COUNT, SIZE, REAL, TEXT, FLAG, CHAR };

struct Opt {
    const char *name, *arg, *help;
    Kind kind;
    void *dst;
};

[[noreturn]] void die(const std::string &msg) {
    fprintf(stderr, "lodestar-sim: %s\n", msg.c_str());
    exit(1);
}

/* A non-negative whole number, optionally with a k, M or G suffix ("1.5M"). */
bool parse_size(const char *s, uint64_t &v) {
    char *end;
    errno = 0;
    double x = strtod(s, &end);
    if (end == s || errno) return false;
    if (*end == 'k' || *end == 'K')
        x *= 1e3, ++end;
    else if (*end == 'm' || *end == 'M')
        x *= 1e6, ++end;
    else if (*end == 'g' || *end == 'G')
        x *= 1e9, ++end;
    if (*end || !(x >= 0) || x > 9.2e18 || x != (double)(uint64_t)x) return false;
    v = (uint64_t)x;
    return true;
}

std::string show(const Opt &o) {
    char buf[64];
    switch (o.kind) {
    case COUNT:
        return std::to_string(*(int *)o.dst);
    case SIZE:
        return std::to_string(*(uint64_t *)o.dst);
    case REAL:
        snprintf(buf, sizeof buf, "%g", *(double *)o.dst);
        return buf;
    case TEXT:
        return *(std::string *)o.dst;
    case CHAR:
        return std::string(1, *(char *)o.dst);
    case FLAG:
        break;
    }
    return "";
}

void usage(FILE *fp, const char *synopsis, const std::vector<Opt> &opts) {
    fprintf(fp, "Usage: lodestar-sim %s\n\nOptions:\n", synopsis);
    for (const Opt &o : opts) {
        std::string left = std::string(o.name) + (o.arg ? std::string(" ") + o.arg : "");
        std::string def = show(o);
        fprintf(fp, "  %-20s %s%s\n", left.c_str(), o.help, def.empty() ? "" : (" [" + def + "]").c_str());
    }
    fprintf(fp, "  %-20s %s\n", "-h, --help", "this help");
}

/* Fills the options' targets from argv[first..]; other arguments are returned
 * in order. Prints the usage and exits on --help. */
std::vector<std::string> parse_args(int argc, char **argv, int first, const char *synopsis,
                                    const std::vector<Opt> &opts) {
    std::vector<std::string> rest;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout, synopsis, opts);
            exit(0);
        }
        if (a.size() < 2 || a[0] != '-') {
            rest.push_back(a);
            continue;
        }
        const Opt *o = nullptr;
        for (const Opt &x : opts)
            if (a == x.name) o = &x;
        if (!o) die("unknown option " + a + " (see --help)");
        if (o->kind == FLAG) {
            *(bool *)o->dst = true;
            continue;
        }
        if (i + 1 >= argc) die("option " + a + " needs a value");
        const char *v = argv[++i];
        uint64_t n;
        char *end;
        switch (o->kind) {
        case COUNT:
            if (!parse_size(v, n) || n > 2147483647u) die("bad value for " + a + ": " + v);
            *(int *)o->dst = (int)n;
            break;
        case SIZE:
            if (!parse_size(v, n)) die("bad value for " + a + ": " + v);
            *(uint64_t *)o->dst = n;
            break;
        case REAL:
            *(double *)o->dst = strtod(v, &end);
            if (end == v || *end) die("bad value for " + a + ": " + v);
            break;
        case CHAR:
            if (strlen(v) != 1) die("option " + a + " takes a single character");
            *(char *)o->dst = v[0];
            break;
        default:
            *(std::string *)o->dst = v;
            break;
        }
    }
    return rest;
}

bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_gzip_name(const std::string &path) {
    return ends_with(path, ".gz");
}

/* FASTQ unless asked otherwise or the name ends in .fa, .fasta or .fna (.gz). */
bool wants_fastq(const std::string &format, const std::string &path) {
    if (format == "fasta") return false;
    if (format == "fastq") return true;
    if (!format.empty()) die("unknown format " + format + " (fasta or fastq)");
    std::string p = is_gzip_name(path) ? path.substr(0, path.size() - 3) : path;
    return !(ends_with(p, ".fa") || ends_with(p, ".fasta") || ends_with(p, ".fna"));
}

void check(bool ok, const std::string &err) {
    if (!ok) die(err);
}

struct GenomeOut {
    std::string fasta = "-", features, donor;
    int line_width = 80;
};

void write_genome(const Genome &g, const GenomeOut &out) {
    std::string err;
    check(write_fasta(out.fasta, g.contigs, out.line_width, is_gzip_name(out.fasta), &err), err);
    if (!out.features.empty()) check(write_features(out.features, g.features, &err), err);
    if (!out.donor.empty()) {
        std::vector<DonorContig> donor;
        check(make_donor(g.contigs, g.features, donor, &err), err);
        std::vector<Contig> dc;
        for (const DonorContig &d : donor) dc.push_back({d.name, d.seq});
        check(write_fasta(out.donor, dc, out.line_width, is_gzip_name(out.donor), &err), err);
    }
}

int cmd_genome(int argc, char **argv) {
    GenomeParams p;
    GenomeOut out;
    uint64_t seed = 1;
    std::vector<Opt> opts = {
        {"-o", "FILE", "genome FASTA, gzip when the name ends in .gz", TEXT, &out.fasta},
        {"--features", "FILE", "write the feature list (TSV)", TEXT, &out.features},
        {"--donor", "FILE", "write the donor view (FASTA)", TEXT, &out.donor},
        {"--line-width", "N", "bases per FASTA line, 0: one line", COUNT, &out.line_width},
        {"--seed", "N", "random seed", SIZE, &seed},
        {"--size", "N", "total length (k, M, G suffixes)", SIZE, &p.total_len},
        {"--contigs", "N", "number of contigs", COUNT, &p.n_contigs},
        {"--repeats", "N", "exact repeat families", COUNT, &p.repeats},
        {"--repeat-copies", "N", "copies per exact family", COUNT, &p.repeat_copies},
        {"--repeat-len", "N", "length of an exact copy", SIZE, &p.repeat_len},
        {"--diverged", "N", "diverged repeat families", COUNT, &p.diverged},
        {"--diverged-copies", "N", "copies per diverged family", COUNT, &p.diverged_copies},
        {"--diverged-len", "N", "length of a diverged copy", SIZE, &p.diverged_len},
        {"--divergence", "F", "substitution rate of later copies", REAL, &p.divergence},
        {"--tandems", "N", "tandem repeats", COUNT, &p.tandems},
        {"--tandem-unit", "N", "tandem unit length", SIZE, &p.tandem_unit},
        {"--tandem-copies", "N", "units per tandem repeat", COUNT, &p.tandem_copies},
        {"--homopolymers", "N", "homopolymer runs", COUNT, &p.homopolymers},
        {"--dinucleotides", "N", "dinucleotide runs", COUNT, &p.dinucleotides},
        {"--lowcomp-len", "N", "length of a low-complexity run", SIZE, &p.lowcomp_len},
        {"--nruns", "N", "runs of N", COUNT, &p.nruns},
        {"--nrun-len", "N", "length of a run of N", SIZE, &p.nrun_len},
        {"--inversions", "N", "inversions in the donor", COUNT, &p.inversions},
        {"--inversion-len", "N", "inversion length", SIZE, &p.inversion_len},
        {"--deletions", "N", "deletions in the donor", COUNT, &p.deletions},
        {"--deletion-len", "N", "deletion length", SIZE, &p.deletion_len},
    };
    if (!parse_args(argc, argv, 2, "genome [options]", opts).empty()) die("genome takes no file arguments");
    Genome g;
    std::string err;
    check(make_genome(p, seed, g, &err), err);
    write_genome(g, out);
    return 0;
}

struct ReadsCmd {
    ReadParams p;
    std::string genome, features, out = "-", out2, format;
    uint64_t seed = 1, read_len = 150;
    bool suffix = false;
};

std::vector<Opt> read_opts(ReadsCmd &c, bool pairs) {
    std::vector<Opt> o = {
        {"-g", "FILE", "genome FASTA (required)", TEXT, &c.genome},
        {"-f", "FILE", "feature list: sample the donor, with its inversions and deletions", TEXT,
         &c.features},
    };
    if (pairs) {
        o.push_back({"-1", "FILE", "first mates (required)", TEXT, &c.out});
        o.push_back({"-2", "FILE", "second mates (required)", TEXT, &c.out2});
    } else {
        o.push_back({"-o", "FILE", "reads, gzip when the name ends in .gz", TEXT, &c.out});
    }
    std::vector<Opt> more = {
        {"--format", "NAME", "fasta or fastq [from the file name: .fa/.fasta/.fna is FASTA]", TEXT,
         &c.format},
        {"--seed", "N", "random seed", SIZE, &c.seed},
        {"-n", "N", pairs ? "number of pairs" : "number of reads", COUNT, &c.p.n_reads},
        {"--mean-len", "F", pairs ? "mean fragment length" : "mean read length", REAL, &c.p.mean_len},
        {"--sd-len", "F", "standard deviation of the log-normal length, 0: fixed", REAL, &c.p.sd_len},
        {"--min-len", "N", "shortest length", SIZE, &c.p.min_len},
        {"--max-len", "N", "longest length", SIZE, &c.p.max_len},
        {"--sub", "F", "substitution rate", REAL, &c.p.sub_rate},
        {"--ins", "F", "insertion rate", REAL, &c.p.ins_rate},
        {"--del", "F", "deletion rate", REAL, &c.p.del_rate},
        {"--random", "F", "fraction of random (unmappable) reads", REAL, &c.p.random_frac},
        {"--qual", "C", "FASTQ quality character", CHAR, &c.p.qual},
        {"--random-qual", nullptr, "random quality characters instead", FLAG, &c.p.random_qual},
    };
    o.insert(o.end(), more.begin(), more.end());
    if (pairs) {
        o.push_back({"--read-len", "N", "read length", SIZE, &c.read_len});
        o.push_back({"--suffix", nullptr, "end the names with /1 and /2", FLAG, &c.suffix});
    }
    return o;
}

void load_genome(const ReadsCmd &c, std::vector<Contig> &ref, std::vector<Feature> &features) {
    std::string err;
    if (c.genome.empty()) die("a genome FASTA file is required (-g)");
    check(read_fasta(c.genome, ref, &err), err);
    if (!c.features.empty()) check(read_features(c.features, features, &err), err);
}

int cmd_reads(int argc, char **argv) {
    ReadsCmd c;
    std::vector<Opt> opts = read_opts(c, false);
    if (!parse_args(argc, argv, 2, "reads -g genome.fa [options]", opts).empty())
        die("reads takes no file arguments besides its options");
    bool fastq = wants_fastq(c.format, c.out);
    std::vector<Contig> ref;
    std::vector<Feature> features;
    load_genome(c, ref, features);
    std::vector<Read> reads;
    std::string err;
    check(make_reads(ref, features, c.p, c.seed, reads, &err), err);
    check(write_reads(c.out, reads, fastq, is_gzip_name(c.out), &err), err);
    return 0;
}

int cmd_pairs(int argc, char **argv) {
    ReadsCmd c;
    c.out.clear();
    c.p.mean_len = 400, c.p.sd_len = 50, c.p.min_len = 150, c.p.max_len = 1000;
    std::vector<Opt> opts = read_opts(c, true);
    if (!parse_args(argc, argv, 2, "pairs -g genome.fa -1 r1.fq -2 r2.fq [options]", opts).empty())
        die("pairs takes no file arguments besides its options");
    if (c.out.empty() || c.out2.empty()) die("both mate files are required (-1, -2)");
    bool fastq = wants_fastq(c.format, c.out);
    std::vector<Contig> ref;
    std::vector<Feature> features;
    load_genome(c, ref, features);
    std::vector<Read> r1, r2;
    std::string err;
    check(make_pairs(ref, features, c.p, c.read_len, c.suffix, c.seed, r1, r2, &err), err);
    check(write_reads(c.out, r1, fastq, is_gzip_name(c.out), &err), err);
    check(write_reads(c.out2, r2, fastq, is_gzip_name(c.out2), &err), err);
    return 0;
}

/* A 2 Mb genome with every kind of feature and 200 reads of ~10 kb at ~10%
 * error from its donor: small enough to map in a moment. */
int cmd_example(int argc, char **argv) {
    uint64_t seed = 1;
    std::vector<Opt> opts = {{"--seed", "N", "random seed", SIZE, &seed}};
    std::vector<std::string> rest = parse_args(argc, argv, 2, "example [options] DIR", opts);
    if (rest.size() != 1) die("example needs one directory argument (see --help)");
    const std::string &dir = rest[0];
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        die("cannot create " + dir + ": " + strerror(errno));

    GenomeParams gp;
    gp.total_len = 2000000, gp.n_contigs = 2;
    gp.repeats = 4, gp.repeat_copies = 3, gp.repeat_len = 3000;
    gp.diverged = 3, gp.diverged_len = 5000, gp.divergence = 0.03;
    gp.tandems = 4, gp.tandem_unit = 30, gp.tandem_copies = 40;
    gp.homopolymers = 4, gp.dinucleotides = 4, gp.lowcomp_len = 60;
    gp.nruns = 2, gp.nrun_len = 1000;
    gp.inversions = 2, gp.inversion_len = 3000, gp.deletions = 2, gp.deletion_len = 3000;
    ReadParams rp;
    rp.n_reads = 200, rp.mean_len = 10000, rp.sd_len = 3000, rp.min_len = 1000, rp.max_len = 30000;
    rp.sub_rate = 0.05, rp.ins_rate = 0.025, rp.del_rate = 0.025, rp.random_frac = 0.02;

    Genome g;
    std::vector<Read> reads;
    std::string err;
    check(make_genome(gp, seed, g, &err), err);
    check(make_reads(g.contigs, g.features, rp, seed, reads, &err), err);
    GenomeOut out;
    out.fasta = dir + "/genome.fa", out.features = dir + "/features.tsv";
    write_genome(g, out);
    check(write_reads(dir + "/reads.fa", reads, false, false, &err), err);
    fprintf(stderr,
            "lodestar-sim: wrote %s/genome.fa (2 contigs, 2 Mb), %s/features.tsv (%zu features), "
            "%s/reads.fa (%zu reads)\n",
            dir.c_str(), dir.c_str(), g.features.size(), dir.c_str(), reads.size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "genome") return cmd_genome(argc, argv);
    if (cmd == "reads") return cmd_reads(argc, argv);
    if (cmd == "pairs") return cmd_pairs(argc, argv);
    if (cmd == "example") return cmd_example(argc, argv);
    if (cmd == "-h" || cmd == "--help") {
        fputs(kUsage, stdout);
        return 0;
    }
    fputs(kUsage, stderr);
    if (!cmd.empty()) fprintf(stderr, "\nlodestar-sim: unknown command '%s'\n", cmd.c_str());
    return 1;
}
