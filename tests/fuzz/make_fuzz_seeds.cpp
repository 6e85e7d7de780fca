/* Writes the binary seeds of the fuzz corpora (tests/fuzz/corpus/): index
 * files, split-index temporary files, a gzip FASTQ, a BAM file, and the
 * queries of the map target, copied from its genome. The committed seeds came from this
 * program; the other text seeds are hand-written. The bases are
 * drawn from a fixed generator, so a run gives the same files again unless
 * a writer's format changes, except for the alignment-detail pointer that the
 * split-file writer stores with each region (the reader ignores it). Not
 * part of any build by default:
 *   cmake --build <build> --target make_fuzz_seeds
 *   <build>/make_fuzz_seeds tests/fuzz/corpus [index split_files seq_reader hts_reads map]
 * (naming corpora writes only those). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "lodestar.h"
#include "index/index.h"
#include "map_genome.h"

namespace {

std::string g_root;
std::vector<std::string> g_wanted; // empty: every corpus

bool wanted(const std::string &corpus) {
    if (g_wanted.empty()) return true;
    for (const std::string &w : g_wanted)
        if (w == corpus) return true;
    return false;
}

void die(const char *what) {
    fprintf(stderr, "make_fuzz_seeds: %s\n", what);
    exit(1);
}

std::string bases(uint32_t seed, int len) {
    std::string s((size_t)len, 'A');
    for (char &c : s) c = "ACGT"[(seed = seed * 1103515245u + 12345u) >> 30];
    return s;
}

std::string revcomp(const std::string &s) {
    std::string r(s.rbegin(), s.rend());
    for (char &c : r) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : 'A';
    return r;
}

std::string read_file(const std::string &path) {
    std::string out;
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) die("cannot read a temporary file");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) out.append(buf, n);
    fclose(fp);
    return out;
}

std::string wrap(const std::string &s, size_t width, const char *eol) {
    std::string out;
    for (size_t i = 0; i < s.size(); i += width) out += s.substr(i, width) + eol;
    return out;
}

void write_seed(const std::string &rel, const std::string &bytes) {
    if (!wanted(rel.substr(0, rel.find('/')))) return;
    const std::string path = g_root + "/" + rel;
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr || fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size() || fclose(fp) != 0)
        die(("cannot write " + path).c_str());
    printf("%s: %zu bytes\n", rel.c_str(), bytes.size());
}

ls_idx *part(const std::vector<std::string> &seqs, const std::vector<std::string> &names, int is_hpc) {
    std::vector<const char *> s, n;
    for (size_t i = 0; i < seqs.size(); ++i) s.push_back(seqs[i].c_str()), n.push_back(names[i].c_str());
    ls_idx *mi = ls_idx_str(5, 11, is_hpc, 2, (int)seqs.size(), s.data(), n.data());
    if (mi == nullptr) die("cannot build a part");
    return mi;
}

std::string index_bytes(const std::vector<ls_idx *> &parts, const std::string &tmp, bool mapped = false) {
    FILE *fp = fopen(tmp.c_str(), "wb");
    if (fp == nullptr) die("cannot write a temporary file");
    std::string why;
    for (ls_idx *mi : parts)
        if ((mapped ? ls_idx_write_mapped_part(fp, mi, &why) : ls_idx_write(fp, mi)) != 0)
            die("cannot write an index");
    fclose(fp);
    return read_file(tmp);
}

/* The temporary file of part 0 after mapping reads with a split prefix. */
std::string split_bytes(const ls_idx *mi, int64_t flag, const std::string &reads, const std::string &prefix) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.flag |= flag;
    ls_mapopt_update(&opt, mi);
    opt.split_prefix = prefix.c_str();
    // With a split prefix the mapping writes only the temporary file.
    const int ret = ls_map_file(mi, reads.c_str(), &opt, 1);
    if (ret != 0) die("mapping failed");
    const std::string fn = prefix + ".0000.tmp";
    std::string bytes = read_file(fn);
    remove(fn.c_str());
    return bytes;
}

/* Queries of the map target: reads copied from its genome (forward and
 * reverse, with substitutions and indels, chimeric, spliced, in repeats),
 * mates, FASTQ qualities, RNA, lower case, IUPAC codes, CRLF lines, gzip,
 * and a read from nowhere. */
void write_map_seeds(const std::string &tmp) {
    lssim::Genome g;
    if (!ls_fuzz_map_genome(&g)) die("cannot make the genome of the map target");
    const std::string &c1 = g.contigs[0].seq, &c2 = g.contigs[1].seq;
    const lssim::Feature *repeat = nullptr, *tandem = nullptr;
    for (const lssim::Feature &f : g.features) {
        if (f.type == "repeat" && repeat == nullptr) repeat = &f;
        if (f.type == "tandem" && tandem == nullptr) tandem = &f;
    }
    if (repeat == nullptr || tandem == nullptr) die("the map genome lacks a repeat or a tandem");
    auto slice = [&g](const lssim::Feature *f, uint64_t pad) {
        const std::string &c = f->contig == g.contigs[0].name ? g.contigs[0].seq : g.contigs[1].seq;
        const uint64_t st = f->start > pad ? f->start - pad : 0;
        return c.substr(st, f->end + pad - st);
    };

    std::string fa = ">fwd one\n" + wrap(c1.substr(1000, 800), 60, "\n");
    fa += ">rev\n" + wrap(revcomp(c2.substr(2000, 600)), 60, "\n");
    fa += ">chimera\n" + c1.substr(5000, 400) + revcomp(c2.substr(8000, 400)) + "\n";
    fa += ">random\n" + bases(7, 300) + "\n";
    write_seed("map/reads.fa", fa);

    // Substitutions, an insertion and a deletion; every quality character.
    std::string q1 = c1.substr(3000, 500), q2 = revcomp(c2.substr(6000, 400));
    q1[100] = q1[100] == 'A' ? 'C' : 'A', q1[250] = q1[250] == 'G' ? 'T' : 'G';
    q1.insert(300, "TTAG");
    q2.erase(200, 7);
    std::string qual1, qual2;
    for (size_t i = 0; i < q1.size(); ++i) qual1 += (char)('!' + i % 94);
    for (size_t i = 0; i < q2.size(); ++i) qual2 += (char)('#' + i % 40);
    write_seed("map/reads.fq", "@q1 c\n" + q1 + "\n+\n" + qual1 + "\n@q2\n" + q2 + "\n+q2\n" + qual2 + "\n");

    // Mates of 150 bases from fragments of 400, the second reverse-complemented.
    std::string pairs;
    for (int k = 0; k < 2; ++k) {
        const std::string frag = (k ? c2 : c1).substr(9000 + 700 * k, 400);
        const std::string m1 = frag.substr(0, 150), m2 = revcomp(frag.substr(250));
        const std::string name = "@p" + std::to_string(k);
        pairs += name + "/1\n" + m1 + "\n+\n" + std::string(150, 'F') + "\n";
        pairs += name + "/2\n" + m2 + "\n+\n" + std::string(150, ':') + "\n";
    }
    write_seed("map/pairs.fq", pairs);

    // Two exons around a 1.2 kb gap, as RNA in mixed case.
    std::string rna = c1.substr(12000, 300) + c1.substr(13500, 300);
    for (size_t i = 0; i < rna.size(); ++i) {
        if (rna[i] == 'T') rna[i] = 'U';
        if (i / 50 % 2) rna[i] = (char)(rna[i] - 'A' + 'a');
    }
    write_seed("map/spliced_rna_lower.fa", ">spliced\n" + rna + "\n");

    std::string iupac = c2.substr(15000, 500);
    const char codes[] = "RYKMSWBDHVN";
    for (size_t i = 0; i < 11; ++i) iupac[40 + 41 * i] = codes[i];
    write_seed("map/iupac_crlf.fa", ">iupac x\r\n" + wrap(iupac, 70, "\r\n"));

    write_seed("map/repeats.fa", ">repeat\n" + slice(repeat, 50) + "\n>tandem\n" + slice(tandem, 30) + "\n");

    const std::string gz = tmp + "/m.fa.gz";
    gzFile f = gzopen(gz.c_str(), "wb9");
    if (f == nullptr) die("cannot write the gzip file");
    gzputs(f, (">gz\n" + c2.substr(20000, 300) + "\n").c_str());
    gzclose(f);
    write_seed("map/reads.fa.gz", read_file(gz));
    remove(gz.c_str());
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2) die("usage: make_fuzz_seeds <corpus directory> [corpus ...]");
    g_root = argv[1];
    g_wanted.assign(argv + 2, argv + argc);
    ls_verbosity = 1;
    char tmpl[] = "/tmp/make_fuzz_seeds_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("cannot make a temporary directory");
    const std::string tmp = tmpl;

    // Index files: two parts in one file, and a homopolymer-compressed part
    // whole and cut short.
    const std::string a = bases(1, 70), b = bases(2, 40), c = bases(3, 30);
    ls_idx *p1 = part({a, b}, {"chr1", "chr2"}, 0), *p2 = part({c}, {"chrM"}, 0);
    ls_idx *ph = part({a}, {"hpc1"}, 1);
    write_seed("index/two_parts.idx", index_bytes({p1, p2}, tmp + "/x.idx"));
    const std::string hpc = index_bytes({ph}, tmp + "/x.idx");
    write_seed("index/hpc.idx", hpc);
    write_seed("index/hpc_cut.idx", hpc.substr(0, hpc.size() - 20));
    write_seed("index/mapped_two_parts.idx", index_bytes({p1, p2}, tmp + "/x.idx", true));
    const std::string mapped_hpc = index_bytes({ph}, tmp + "/x.idx", true);
    write_seed("index/mapped_hpc_cut.idx", mapped_hpc.substr(0, mapped_hpc.size() - 100));
    ls_idx_destroy(p1), ls_idx_destroy(p2), ls_idx_destroy(ph);
    remove((tmp + "/x.idx").c_str());

    // Split files: reads from both strands of two targets and one that maps
    // nowhere, mapped without and with base-level alignment. The first byte
    // is the fuzz target's settings byte (see split_files_fuzz.cpp).
    const std::string t1 = bases(4, 1500), t2 = bases(5, 700);
    ls_idx *mi = part({t1, t2}, {"chr1", "chr2"}, 0);
    const std::string reads = tmp + "/q.fa";
    {
        FILE *fp = fopen(reads.c_str(), "w");
        if (fp == nullptr) die("cannot write the reads");
        fprintf(fp, ">r1\n%s\n>r2\n%s\n>r3\n%s\n", t1.substr(300, 180).c_str(),
                revcomp(t2.substr(100, 150)).c_str(), bases(6, 120).c_str());
        fclose(fp);
    }
    const std::string chain = split_bytes(mi, 0, reads, tmp + "/sf");
    const std::string align = split_bytes(mi, LS_F_BASE_ALIGN, reads, tmp + "/sf");
    write_seed("split_files/chains_one_part", std::string(1, '\x00') + chain);
    write_seed("split_files/chains_two_parts_q200", std::string(1, '\x06') + chain);
    write_seed("split_files/aligned_two_parts", std::string(1, '\x03') + align);
    write_seed("split_files/aligned_cut_in_record", std::string(1, '\x01') + align.substr(0, align.size() - 30));
    ls_idx_destroy(mi);
    remove(reads.c_str());

    // A gzip FASTQ for the sequence readers.
    {
        const std::string gz = tmp + "/r.fq.gz";
        gzFile f = gzopen(gz.c_str(), "wb9");
        if (f == nullptr) die("cannot write the gzip file");
        gzputs(f, "@g1 first\nACGTNACGTT\n+\nIIIIIIIIII\n@g2\nTTGCA\n+\n!!!!#\n");
        gzclose(f);
        write_seed("seq_reader/reads.fq.gz", read_file(gz));
        remove(gz.c_str());
    }
    // A BAM file for the SAM, BAM and CRAM reader, whole and cut inside a
    // block, written by the library's own BAM writer from SAM text.
    if (ls_hts_enabled() && wanted("hts_reads")) {
        const std::string bam = tmp + "/r.bam";
        FILE *fp = fopen(bam.c_str(), "wb");
        ls_hts_writer *w = fp ? ls_hts_writer_open(fileno(fp), bam.c_str(), LS_FMT_BAM, nullptr, 1) : nullptr;
        if (w == nullptr) die("cannot write the BAM file");
        const std::string sam = "@HD\tVN:1.6\n@SQ\tSN:c\tLN:100\n"
                                "u\t4\t*\t0\t0\t*\t*\t0\t0\tACGTN\tIIII#\tMM:Z:C+m,0;\tML:B:C,200\n"
                                "p\t141\t*\t0\t0\t*\t*\t0\t0\tGGA\t*\n"
                                "p\t77\t*\t0\t0\t*\t*\t0\t0\tTTC\tABC\n"
                                "s\t16\tc\t5\t60\t5M\t*\t0\t0\tACMRN\tABCDE\tfi:B:S,1,2\n"
                                "s\t2064\tc\t50\t0\t2H3M\t*\t0\t0\tMRN\t*\n";
        if (ls_hts_writer_write(w, sam.data(), sam.size()) != 0 || ls_hts_writer_close(w) != 0 || fclose(fp) != 0)
            die("cannot write the BAM file");
        const std::string bytes = read_file(bam);
        write_seed("hts_reads/reads.bam", bytes);
        write_seed("hts_reads/reads_cut.bam", bytes.substr(0, bytes.size() / 2));
        remove(bam.c_str());
    }
    write_map_seeds(tmp);
    rmdir(tmp.c_str());
    return 0;
}
