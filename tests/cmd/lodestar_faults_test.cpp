// Faults at the command's boundary, one row each: the command line, the exit
// status, a piece of the one message it must print, and afterwards every
// input unchanged, no output left under its final name and no temporary
// file left behind. Damaged inputs are made from generated reads. Also: one
// annotation as BED12, GTF or GFF3 maps alike.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim.h"
#include "testutil.h"

using lstest::run_command;

namespace {

const std::string kCmd = LODESTAR_CMD, kSim = LODESTAR_SIM;

class CommandFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sh(kSim + " genome --seed 5 --size 200k --contigs 2 -o ref.fa").status, 0);
        ASSERT_EQ(sh(kSim + " reads -g ref.fa --seed 6 -n 40 --mean-len 2000 --sub 0.02 -o reads.fq").status, 0);
        ASSERT_EQ(sh(kSim + " pairs -g ref.fa --seed 7 -n 40 -1 r1.fq -2 r2.fq").status, 0);
        ASSERT_EQ(sh(cmd("-d ref.idx ref.fa")).status, 0);
        const std::vector<std::string> fq = lstest::lines(read("reads.fq"));
        auto records = [&](size_t from, size_t to) {
            std::string s;
            for (size_t i = 4 * from; i < 4 * to && i < fq.size(); ++i) s += fq[i] + "\n";
            return s;
        };
        // Each damaged file keeps two good records before the fault.
        const std::string good = records(0, 2), rest = records(3, 6);
        const std::string r3 = records(2, 3);
        const std::vector<std::string> r = lstest::lines(r3);
        write("no_plus.fq", good + r[0] + "\n" + r[1] + "\n" + r[3] + "\n" + rest);
        write("no_at.fq", good + r[0].substr(1) + "\n" + r[1] + "\n+\n" + r[3] + "\n" + rest);
        write("short_qual.fq", good + r[0] + "\n" + r[1] + "\n+\n" + r[3].substr(4) + "\n" + rest);
        write("cut.fq", good + r[0] + "\n" + r[1] + "\n+\n" + r[3].substr(0, 10));
        write("digit.fq", good + r[0] + "\n" + r[1].substr(0, 5) + "7" + r[1].substr(6) + "\n+\n" + r[3] + "\n");
        // A NUL past the first block is a bad byte, not a binary file.
        write("nul.fq", records(0, 12) + r[0] + "\n" + r[1].substr(0, 5) + std::string(1, '\0') + r[1].substr(6) + "\n+\n" +
                            r[3] + "\n");
        write("mates2.fq", swap_two_records(read("r2.fq")));
        write("short2.fq", lstest::lines(read("r2.fq")).size() > 8 ? records_of(read("r2.fq"), 3) : "");
        lstest::write_gzip(file("reads.bam"), std::string("BAM\1\0\0\0\0", 8) + "@HD\tVN:1.6\n");
        write("reads.cram", std::string("CRAM\3\0", 6) + std::string(40, '\0'));
        write("reads.sam", "@HD\tVN:1.6\tSO:unsorted\nr1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n");
        write("binary.fq", std::string("\x7f" "ELF\2\1\1\0", 8) + std::string(100, '\3'));
        lstest::write_gzip(file("ref.idx.gz"), read("ref.idx"));
        write("unnamed.fa", ">\nACGTACGTAC\n");
        write("comma.fa", ">chr1,alt\n" + lstest::lines(read("ref.fa"))[1] + "\n");
        write("dup.fa", read("ref.fa") + read("ref.fa"));
        write("illumina.fq", "@x 1:N:0:ATCACG\n" + lstest::lines(read("reads.fq"))[1] + "\n+\n" +
                                 lstest::lines(read("reads.fq"))[3] + "\n");
        // An index with one flipped bit in its first target name.
        std::string idx = read("ref.idx");
        idx[4 + 20 + 1] ^= 0x2;
        write("flipped.idx", idx);
        ASSERT_EQ(symlink("reads.fq", file("reads_link.fq").c_str()), 0);
        write("noexon.gtf", "chr\tsrc\tgene\t101\t900\t.\t+\t.\tgene_id \"g\";\n");
        write("bad.gff3", "##gff-version 3\nchr\tsrc\texon\t1\t10\t.\t+\t.\tParent=t\n"
                          "chr\tsrc\texon\t90\t20\t.\t+\t.\tParent=t\n");
    }

    static std::string swap_two_records(const std::string &fq) {
        std::vector<std::string> l = lstest::lines(fq);
        for (int i = 0; i < 4; ++i) std::swap(l[8 + i], l[12 + i]);
        std::string s;
        for (const std::string &x : l) s += x + "\n";
        return s;
    }
    static std::string records_of(const std::string &fq, size_t n) {
        std::vector<std::string> l = lstest::lines(fq);
        std::string s;
        for (size_t i = 0; i < 4 * n; ++i) s += l[i] + "\n";
        return s;
    }
    std::string file(const std::string &name) const { return dir_.file(name); }
    std::string read(const std::string &name) const { return lstest::read_file(file(name)); }
    void write(const std::string &name, const std::string &text) const { lstest::write_file(file(name), text); }
    std::string cmd(const std::string &args) const { return kCmd + " -t2 " + args; }
    // Runs a bash command line in the directory (process substitution and
    // $'...' need bash); the script lives elsewhere, out of the snapshot.
    lstest::RunResult sh(const std::string &line) const {
        lstest::write_file(scripts_.file("run.sh"), line + "\n");
        return run_command("cd " + dir_.path() + " && bash " + scripts_.file("run.sh"));
    }
    // Every file of the directory with its bytes (links as their target).
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> m;
        DIR *d = opendir(dir_.path().c_str());
        while (struct dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            struct stat st;
            if (lstat(file(n).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
            m[n] = S_ISLNK(st.st_mode) ? "link" : read(n);
        }
        closedir(d);
        return m;
    }

    lstest::TempDir dir_, scripts_;
};

TEST_F(CommandFaults, EachFaultFailsCleanlyAndLeavesEveryFileAsItWas) {
    const std::string long_name(300, 'n');
    const bool hts = ls_hts_enabled() != 0;
    struct Row {
        std::string args;
        int status;
        std::string message;
    };
    const Row rows[] = {
        // Outputs never land on inputs, or on each other.
        {"-d reads.fq ref.fa reads.fq", 1, "the index file 'reads.fq' is the query file 'reads.fq'"},
        {"-d ref.fa ref.fa reads.fq", 1, "the index file 'ref.fa' is the target file 'ref.fa'"},
        {"-o reads_link.fq ref.fa reads.fq", 1, "the output file 'reads_link.fq' is the query file"},
        {"-o r2.fq -x sr ref.fa r1.fq r2.fq", 1, "is the query file 'r2.fq'"},
        {"--junc-bed reads.fq -o reads.fq -x splice ref.fa r1.fq", 1, "is the annotation file"},
        {"-d new.idx -o new.idx ref.fa reads.fq", 1, "are the same file 'new.idx'"},
        {"ref.fa reads.fq >> reads.fq", 1, "the output file '(standard output)' is the query file"},
        // Files that cannot be written.
        {"-d /dev/full ref.fa", 1, "failed to write the index file '/dev/full'"},
        {"-d nodir/x.idx ref.fa", 1, "the directory 'nodir' does not exist"},
        {"-o nodir/x.paf ref.fa reads.fq", 1, "the directory 'nodir' does not exist"},
        {"-d " + long_name + ".idx ref.fa", 1, "File name too long"},
        // Sequence files damaged inside: the records before are written.
        {"-o out.paf ref.fa no_plus.fq", 1, "record 3 ('"},
        {"ref.fa no_plus.fq", 1, "no '+' line after the sequence"},
        {"ref.fa no_at.fq", 1, "record 3: the line there does not start with '@'"},
        {"ref.fa short_qual.fq", 1, "the quality has"},
        {"ref.fa cut.fq", 1, "the file ends inside the record"},
        {"ref.fa digit.fq", 1, "'7' at sequence position 6 is not a base letter"},
        {"ref.fa nul.fq", 1, "byte 0x00"},
        {"-x sr ref.fa r1.fq mates2.fq", 1, "the mates of a pair do not match: record 3"},
        {"-x sr ref.fa r1.fq short2.fq", 1, "it ends after 3 records, but 'r1.fq' has more"},
        // Files that are not FASTA, FASTQ or an index.
        // With htslib, query files in SAM, BAM and CRAM are read; damaged ones
        // fail naming the file. Without, they are refused by their first bytes.
        {"ref.fa reads.bam", 1, hts ? "'reads.bam': the BAM header" : "it is a BAM file"},
        {"ref.fa reads.cram", 1,
         hts ? "'reads.cram': it cannot be opened as a CRAM file" : "it is a CRAM file"},
        {"ref.fa reads.sam", hts ? 0 : 1, hts ? "1 reads" : "it is a SAM file"},
        {"ref.fa - < reads.bam", 1, hts ? "BAM file on a stream" : "it is a BAM file"},
        {"--keep-tags MM,M ref.fa reads.fq", 1, "option '--keep-tags': 'M' is not a two-letter tag name"},
        {"ref.fa binary.fq", 1, "binary data"},
        {"ref.idx.gz reads.fq", 1, "gzip-compressed index"},
        {"ref.fa ref.idx.gz", 1, "compressed index file"},
        {"-d out.idx flipped.idx reads.fq", 1, "flipped.idx"},
        // Pipes: read once, so refused where a second reading is needed.
        {"ref.fa <(cat reads.fq)", 0, "40 reads"},
        {"-I 10k --sketch-batch 1k ref.fa <(cat reads.fq)", 1, "can be read only once"},
        {"--split-prefix sp ref.fa <(cat reads.fq)", 1, "can be read only once"},
        // Annotations that give no intron.
        {"--annotation noexon.gtf -x splice ref.fa reads.fq", 1,
         "no intron could be read from the annotation file 'noexon.gtf'"},
        {"--junc-bed bad.gff3 -x splice ref.fa reads.fq", 1,
         "'bad.gff3' line 3: the end (column 5) lies before"},
        {"-v0 --junc-bed bad.gff3 -x splice ref.fa reads.fq", 1, "'bad.gff3' has a malformed line"},
        // Targets SAM cannot name.
        {"unnamed.fa reads.fq", 1, "has an empty name"},
        {"-a dup.fa reads.fq", 1, "occurs twice in 'dup.fa'; SAM output needs distinct names"},
        {"dup.fa reads.fq", 0, "[WARNING] the target name"},
        {"-a comma.fa reads.fq", 1, "the target name 'chr1,alt' in 'comma.fa' cannot be written in SAM"},
        // Options.
        {"-R \"@RG\\tID:x\"$'\\n'\"@CO\\tinjected\" ref.fa reads.fq", 1, "holds a control character"},
        {"-R \"@RG\\tID:\\tSM:s\" ref.fa reads.fq", 1, "the read group ID is empty"},
        {"-x map-ont -x sr ref.fa reads.fq", 1, "presets do not combine"},
        {"-ay ref.fa illumina.fq", 0, "is not made of SAM tags"},
        // BAM and CRAM.
        {"-o out.bam ref.fa reads.fq", 1,
         hts ? "BAM output holds SAM records: add -a" : "BAM output needs htslib"},
        {"-a --output-fmt bcf ref.fa reads.fq", 1, "'bcf' is not sam, bam or cram"},
        {"-a -o out.cram ref.idx reads.fq", 1,
         hts ? "give its FASTA with --reference" : "CRAM output needs htslib"},
        // The full device refuses a block while the run writes or when the file
        // is finished, whichever comes first on the compression threads.
        {"-a --output-fmt bam -o /dev/full ref.fa reads.fq", 1, hts ? "failed to write" : "BAM output needs htslib"},
    };
    const std::map<std::string, std::string> before = snapshot();
    for (const Row &row : rows) {
        const lstest::RunResult r = sh(cmd(row.args));
        EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.args << "\n" << r.err;
        std::map<std::string, std::string> after = snapshot();
        for (const auto &f : before) EXPECT_TRUE(after.count(f.first) && after[f.first] == f.second) << row.args << ": " << f.first;
        for (const auto &f : after) EXPECT_TRUE(before.count(f.first)) << row.args << " left " << f.first;
    }
    struct stat st;
    EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode)) << "a failed -d removed the device";
    // The records before a damaged one were written.
    EXPECT_EQ(lstest::lines(sh(cmd("ref.fa no_plus.fq")).out).size(), 2u);
}

TEST_F(CommandFaults, SplicedMappingIsTheSameWithBed12GtfOrGff3) {
    std::mt19937 rng(11);
    std::string g = lstest::random_dna(rng, 40000);
    const lstest::Gene fwd{{{5000, 5300}, {7000, 7250}, {10000, 10400}}},
        rev{{{20000, 20500}, {23000, 23200}}};
    lstest::plant_introns(g, fwd);
    for (size_t i = 0; i + 1 < rev.exons.size(); ++i) {
        // A '-' strand GT..AG intron reads CT..AC on the genome.
        const int s = rev.exons[i].second, e = rev.exons[i + 1].first;
        g[s] = 'C', g[s + 1] = 'T', g[e - 2] = 'A', g[e - 1] = 'C';
    }
    write("gene.fa", ">g\n" + g + "\n");
    write("tx.fa", ">fwd\n" + lstest::transcript(g, fwd) + "\n>rev\n" +
                       lssim::revcomp(lstest::transcript(g, rev)) + "\n");
    std::string bed, gtf, gff3 = "##gff-version 3\n";
    for (const auto &t : {std::make_pair("fwd", fwd), std::make_pair("rev", rev)}) {
        const std::string id = t.first, strand = id == "fwd" ? "+" : "-";
        const auto &ex = t.second.exons;
        std::string sizes, starts;
        for (const auto &e : ex) {
            sizes += std::to_string(e.second - e.first) + ",";
            starts += std::to_string(e.first - ex[0].first) + ",";
            const std::string cols = "g\tsim\texon\t" + std::to_string(e.first + 1) + "\t" +
                                     std::to_string(e.second) + "\t.\t" + strand + "\t.\t";
            gtf += cols + "gene_id \"" + id + "\"; transcript_id \"" + id + "\";\n";
            gff3 += cols + "Parent=" + id + "\n";
        }
        bed += "g\t" + std::to_string(ex[0].first) + "\t" + std::to_string(ex.back().second) + "\t" + id +
               "\t.\t" + strand + "\t0\t0\t0\t" + std::to_string(ex.size()) + "\t" + sizes + "\t" + starts +
               "\n";
    }
    std::string first;
    for (const std::string &annotation : {bed, gtf, gff3}) {
        // One name for the three: the reader goes by content, and the
        // command line in the SAM header stays the same.
        write("introns", annotation);
        const lstest::RunResult r = sh(cmd("-ax splice --junc-bed introns gene.fa tx.fa"));
        ASSERT_EQ(r.status, 0) << r.err;
        if (first.empty()) first = r.out;
        EXPECT_EQ(r.out, first) << annotation;
    }
    int spliced = 0;
    for (const std::string &line : lstest::lines(first))
        if (line[0] != '@') spliced += lstest::split(line, '\t')[5].find('N') != std::string::npos;
    EXPECT_EQ(spliced, 2) << first;
}

TEST_F(CommandFaults, DamagedBamAndCramQueriesFailNamingTheFile) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    if (sh("samtools --version").status != 0) GTEST_SKIP() << "samtools not installed";
    // A CRAM of aligned records whose reference is gone (its header names it).
    ASSERT_EQ(
        sh("samtools import -0 reads.fq -o reads.bam && " + cmd("-a ref.fa reads.fq") +
           " > a.sam && cp ref.fa gone.fa && samtools view -C -T gone.fa -o reads.cram a.sam && rm gone.fa*")
            .status,
        0);
    const std::string bam = read("reads.bam");
    write("half.bam", bam.substr(0, bam.size() / 2));
    write("no_eof.bam", bam.substr(0, bam.size() - 28)); // the 28-byte empty block that ends a BAM file
    const struct {
        std::string args;
        std::string message;
    } rows[] = {
        {"ref.fa half.bam", "failed to read 'half.bam': record "},
        {"ref.fa no_eof.bam",
         "'no_eof.bam': the file ends after record 40 without its BAM end-of-file block"},
        {"ref.idx reads.cram",
         "'reads.cram': record 1: the CRAM data there is damaged or cut short, or needs a "
         "reference (give it with --reference or REF_PATH)"},
    };
    for (const auto &row : rows) {
        const lstest::RunResult r = sh("REF_PATH=/nonexistent REF_CACHE=/nonexistent " + cmd(row.args));
        EXPECT_EQ(r.status, 1) << row.args << "\n" << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.args << "\n" << r.err;
        EXPECT_NE(r.err.find("a query file could not be read to its end"), std::string::npos) << r.err;
    }
    // The same CRAM decodes against the target FASTA.
    EXPECT_EQ(sh(cmd("ref.fa reads.cram")).out, sh(cmd("ref.fa reads.fq")).out);
}

TEST_F(CommandFaults, PlantedLinksAreNeitherFollowedNorRemoved) {
    // A link planted at the name of a split part's temporary file.
    write("victim", "keep me\n");
    ASSERT_EQ(symlink("victim", file("sp.0000.tmp").c_str()), 0);
    const lstest::RunResult r = sh(cmd("--split-prefix sp -I 10k --sketch-batch 1k ref.fa reads.fq"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("sp.0000.tmp"), std::string::npos) << r.err;
    EXPECT_EQ(read("victim"), "keep me\n");
    struct stat st;
    EXPECT_TRUE(lstat(file("sp.0000.tmp").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    // -o naming a link writes the file it points to, and the link stays.
    ASSERT_EQ(symlink("victim", file("out_link").c_str()), 0);
    EXPECT_EQ(sh(cmd("-o out_link ref.fa reads.fq")).status, 0);
    EXPECT_TRUE(lstat(file("out_link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(lstest::lines(read("victim")).size(), 40u);
}

} // namespace

TEST_F(CommandFaults, AnIndexFileShortenedWhileInUseStopsTheRunWithAMessage) {
    // The mapper waits on a FIFO for its reads once the index is loaded, and
    // the file is cut short under it: checked or not, the pages it maps are
    // gone.
    for (const std::string check : {"", "--no-index-check "}) {
        ASSERT_EQ(sh("cp ref.idx cut.idx && rm -f q.fifo out.paf && mkfifo q.fifo").status, 0);
        sh("(" + cmd(check + "-o out.paf cut.idx q.fifo") + " 2>err.txt; echo $? >status.txt) & exec 3>q.fifo; "
           "for i in $(seq 300); do grep -q 'loaded in' err.txt && break; sleep 0.1; done; "
           "truncate -s 4096 cut.idx; cat reads.fq >&3; exec 3>&-; wait");
        EXPECT_EQ(read("status.txt"), "1\n") << check;
        EXPECT_NE(read("err.txt").find("[ERROR] the index file 'cut.idx' was shortened while in use"),
                  std::string::npos)
            << read("err.txt");
        EXPECT_EQ(sh("ls | grep -c out.paf").out, "0\n") << "no output, partial or whole";
    }
}
