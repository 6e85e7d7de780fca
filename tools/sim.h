/* Deterministic test data for the mapper: random genomes with planted features
 * and reads whose true origin is written into their names.
 *
 * Everything comes from a 64-bit seed through a private xoshiro256** generator
 * and arithmetic that IEEE 754 rounds exactly (no libm transcendental calls, no
 * standard distributions), so one seed gives the same bytes on every platform
 * and compiler.
 *
 * Genome. make_genome() draws uniform random bases for contigs "ctg1",
 * "ctg2", ... and plants non-overlapping features, each listed in a Feature
 * record: exact and diverged repeat families (copies on either strand), tandem
 * repeats, homopolymer and dinucleotide runs, runs of N, and two structural
 * events that only the "donor" view shows: an inversion (the donor holds the
 * reverse complement of the interval) and a deletion (the donor lacks it).
 * Features that find no free place are left out: the list holds what was
 * planted, sorted by contig and start; a feature's id is its index in it.
 *
 * Reads. make_reads() samples reads from the donor (the genome with the
 * inversions and deletions of the feature list applied; pass no features to
 * sample the plain genome), from both strands, and adds substitutions,
 * insertions and deletions. A read's name is its truth:
 *
 *     r<index>!<contig>!<start>!<end>!<strand>[!inv<id>]...[!del<id>]...[!rand]
 *
 * e.g. "r12!ctg3!104500!114730!-". <start>,<end> is the 0-based, end-exclusive
 * reference interval the read came from; <strand> '-' means the read is the
 * reverse complement. "!inv<id>" marks a read that contains the whole inversion
 * <id> (those bases are on the other strand), "!del<id>" one that spans
 * deletion <id> (the interval includes the deleted bases, the read does not).
 * Reads never start or end inside an inversion; a read lying wholly inside one
 * is an ordinary read of the other strand. So the error-free read is exactly:
 * the reference interval, each flagged inversion reverse-complemented, each
 * flagged deletion cut out, and the whole reverse-complemented on '-'. Random
 * (unmappable) reads are named "r<index>!*!0!0!+!rand". Contig names must not
 * contain '!' or white space.
 *
 * Pairs. make_pairs() samples fragments the same way and names both mates with
 * the fragment's truth (plus "/1", "/2" if asked). For a '+' fragment mate 1 is
 * the first read_len bases of [start,end) forward and mate 2 the last read_len
 * bases reverse-complemented; for '-' the roles swap.
 *
 * Functions report failure by returning false with a message in *err (err may
 * be null); they throw nothing. */
#ifndef LODESTAR_SIM_H
#define LODESTAR_SIM_H

#include <stdint.h>

#include <string>
#include <vector>

namespace lssim {

/* xoshiro256** seeded through splitmix64. */
struct Rng {
    uint64_t s[4];
    explicit Rng(uint64_t seed);
    uint64_t next();
    uint64_t below(uint64_t n); /* uniform in [0, n); 0 when n is 0 */
    double uniform();           /* uniform in [0, 1), 53 bits */
    double normal();            /* standard normal, polar method */
};

struct Contig {
    std::string name, seq;
};

struct Feature {
    int id = 0;
    /* "repeat", "diverged", "tandem", "homopolymer", "dinucleotide", "nrun",
     * "inversion" or "deletion" */
    std::string type;
    std::string contig;
    uint64_t start = 0, end = 0; /* reference interval, 0-based, end exclusive */
    char strand = '+';           /* repeat copies: '-' = reverse complement of the family's first copy */
    int family = -1;             /* repeat copies: family number, shared by the copies; else -1 */
    std::string detail;          /* tandem/low-complexity unit, divergence of diverged copies, or "." */
};

struct GenomeParams {
    uint64_t total_len = 1000000;
    int n_contigs = 1;
    int repeats = 0, repeat_copies = 2; /* exact repeat families and copies per family */
    uint64_t repeat_len = 2000;
    int diverged = 0, diverged_copies = 2; /* copies after the first carry substitutions */
    uint64_t diverged_len = 2000;
    double divergence = 0.05;
    int tandems = 0, tandem_copies = 50;
    uint64_t tandem_unit = 20;
    int homopolymers = 0, dinucleotides = 0;
    uint64_t lowcomp_len = 50;
    int nruns = 0;
    uint64_t nrun_len = 1000;
    int inversions = 0;
    uint64_t inversion_len = 5000;
    int deletions = 0;
    uint64_t deletion_len = 5000;
};

struct Genome {
    std::vector<Contig> contigs;
    std::vector<Feature> features;
};

/* A contiguous stretch of a donor contig and where it comes from. */
struct DonorPiece {
    uint64_t donor_start, ref_start, len;
    int inversion;       /* feature id when the piece is an inverted interval, else -1 */
    int deletion_before; /* feature id of a deletion right before the piece, else -1 */
};

struct DonorContig {
    std::string name, seq; /* same name as the reference contig */
    std::vector<DonorPiece> pieces;
};

struct ReadParams {
    int n_reads = 100;
    double mean_len = 10000, sd_len = 3000;          /* log-normal with this mean and sd; sd 0: fixed */
    uint64_t min_len = 100, max_len = 100000;        /* lengths are also clamped to the contig */
    double sub_rate = 0, ins_rate = 0, del_rate = 0; /* per true base */
    double random_frac = 0;                          /* fraction of random-sequence reads */
    char qual = 'I';                                 /* FASTQ quality character ... */
    bool random_qual = false;                        /* ... or random ones in '#'..'I' */
};

struct Read {
    std::string name, seq, qual;
};

/* The truth held in a read name. */
struct Truth {
    uint64_t index = 0;
    std::string contig; /* "*" for random reads */
    uint64_t start = 0, end = 0;
    char strand = '+';
    std::vector<int> inversions, deletions; /* feature ids, ascending */
    bool random = false;
    int mate = 0; /* 1 or 2 when the name ends in "/1" or "/2" */
};

bool make_genome(const GenomeParams &p, uint64_t seed, Genome &g, std::string *err);

/* The donor view: inversions and deletions of the feature list applied (other
 * features ignored). Fails on an event outside its contig or overlapping another. */
bool make_donor(const std::vector<Contig> &ref, const std::vector<Feature> &features,
                std::vector<DonorContig> &donor, std::string *err);

bool make_reads(const std::vector<Contig> &ref, const std::vector<Feature> &features, const ReadParams &p,
                uint64_t seed, std::vector<Read> &reads, std::string *err);

/* Fragment lengths follow p's length settings; each mate has min(read_len,
 * fragment length) bases before errors. */
bool make_pairs(const std::vector<Contig> &ref, const std::vector<Feature> &features, const ReadParams &p,
                uint64_t read_len, bool mate_suffix, uint64_t seed, std::vector<Read> &r1,
                std::vector<Read> &r2, std::string *err);

std::string format_truth(const Truth &t);
/* Parses a name (up to its first white space); false if it is not a truth name. */
bool parse_truth(const std::string &name, Truth &t);

std::string revcomp(const std::string &s);

/* Writers: gzip-compressed when gzip is set; path "-" is standard output.
 * line_width 0 writes each sequence on one line. */
bool write_fasta(const std::string &path, const std::vector<Contig> &contigs, int line_width, bool gzip,
                 std::string *err);
bool write_reads(const std::string &path, const std::vector<Read> &reads, bool fastq, bool gzip,
                 std::string *err);
/* Tab-separated, one header line starting with '#', then one line per feature. */
bool write_features(const std::string &path, const std::vector<Feature> &features, std::string *err);

/* Readers of plain or gzip files. */
bool read_fasta(const std::string &path, std::vector<Contig> &contigs, std::string *err);
bool read_features(const std::string &path, std::vector<Feature> &features, std::string *err);

} // namespace lssim

#endif
