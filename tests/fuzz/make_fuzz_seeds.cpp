/* Writes the binary seeds of the fuzz corpora (tests/fuzz/corpus/): index
 * files, split-index temporary files and a gzip FASTQ. The committed seeds
 * came from this program; the text seeds are hand-written. The bases are
 * drawn from a fixed generator, so a run gives the same files again unless
 * a writer's format changes, except for the alignment-detail pointer that the
 * split-file writer stores with each region (the reader ignores it). Not
 * part of any build by default:
 *   cmake --build <build> --target make_fuzz_seeds
 *   <build>/make_fuzz_seeds tests/fuzz/corpus */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "lodestar.h"

namespace {

std::string g_root;

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

void write_seed(const std::string &rel, const std::string &bytes) {
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

std::string index_bytes(const std::vector<ls_idx *> &parts, const std::string &tmp) {
    FILE *fp = fopen(tmp.c_str(), "wb");
    if (fp == nullptr) die("cannot write a temporary file");
    for (ls_idx *mi : parts)
        if (ls_idx_write(fp, mi) != 0) die("cannot write an index");
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

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) die("usage: make_fuzz_seeds <corpus directory>");
    g_root = argv[1];
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
    rmdir(tmp.c_str());
    return 0;
}
