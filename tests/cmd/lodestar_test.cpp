// The `lodestar` command end to end, on generated genomes and reads whose
// origin is known: every read type in PAF and SAM, SAM checked by samtools,
// identical bytes across threads, saved indexes and split indexes, and one
// clear failure (status 1, nothing complete-looking) for each fault.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

using lstest::RunResult;
using lstest::run_command;

namespace {

const std::string kCmd = LODESTAR_CMD;

// Records (non-header lines) of SAM or PAF text, split into columns.
std::vector<std::vector<std::string>> records(const std::string &text) {
    std::vector<std::vector<std::string>> r;
    for (const std::string &l : lstest::lines(text))
        if (!l.empty() && l[0] != '@') r.push_back(lstest::split(l, '\t'));
    return r;
}

// The value of a tag ("NM:i:3" -> "3") in a record, or "" when absent.
std::string tag(const std::vector<std::string> &rec, const std::string &name) {
    for (size_t i = 11; i < rec.size(); ++i)
        if (rec[i].compare(0, name.size() + 1, name + ":") == 0) return rec[i].substr(name.size() + 3);
    return "";
}

bool have_samtools() {
    return system("samtools --version >/dev/null 2>&1") == 0;
}

// Query intervals of the introns ('N') of a CIGAR, as target intervals from pos.
std::vector<std::pair<long, long>> introns(long pos, const std::string &cigar) {
    std::vector<std::pair<long, long>> v;
    long n = 0;
    for (char c : cigar) {
        if (isdigit((unsigned char)c)) {
            n = n * 10 + (c - '0');
            continue;
        }
        if (c == 'N') v.push_back({pos, pos + n});
        if (c == 'M' || c == 'D' || c == 'N' || c == '=' || c == 'X') pos += n;
        n = 0;
    }
    return v;
}

class Command : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new lstest::TempDir();
        std::string err;
        // Reference with repeats, an inversion and a deletion (for the assembly
        // test), but no N runs, so that every read has a unique true place.
        lssim::GenomeParams gp;
        gp.total_len = 1200000;
        gp.n_contigs = 3;
        gp.repeats = 3;
        gp.repeat_len = 3000;
        gp.inversions = 1;
        gp.deletions = 1;
        gp.inversion_len = 8000;
        gp.deletion_len = 3000;
        ASSERT_TRUE(lssim::make_genome(gp, 7, genome_, &err)) << err;
        ASSERT_TRUE(lssim::write_fasta(file("ref.fa"), genome_.contigs, 60, false, &err)) << err;

        lssim::ReadParams rp;
        rp.n_reads = 150;
        rp.mean_len = 6000, rp.sd_len = 2000;
        rp.sub_rate = 0.04, rp.ins_rate = 0.02, rp.del_rate = 0.03;
        rp.random_qual = true;
        std::vector<lssim::Read> reads;
        ASSERT_TRUE(lssim::make_reads(genome_.contigs, {}, rp, 11, reads, &err)) << err;
        ASSERT_TRUE(lssim::write_reads(file("long.fq"), reads, true, false, &err)) << err;

        lssim::ReadParams pp;
        pp.n_reads = 300;
        pp.mean_len = 350, pp.sd_len = 60, pp.min_len = 200;
        pp.sub_rate = 0.005;
        std::vector<lssim::Read> r1, r2;
        ASSERT_TRUE(lssim::make_pairs(genome_.contigs, {}, pp, 150, true, 13, r1, r2, &err)) << err;
        ASSERT_TRUE(lssim::write_reads(file("r1.fq"), r1, true, true, &err)) << err;
        ASSERT_TRUE(lssim::write_reads(file("r2.fq"), r2, true, true, &err)) << err;

        std::vector<lssim::DonorContig> donor;
        ASSERT_TRUE(lssim::make_donor(genome_.contigs, genome_.features, donor, &err)) << err;
        std::vector<lssim::Contig> asm_contigs;
        for (const auto &d : donor) asm_contigs.push_back({d.name + "_asm", d.seq});
        ASSERT_TRUE(lssim::write_fasta(file("asm.fa"), asm_contigs, 0, false, &err)) << err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string &name) { return dir_->file(name); }
    static RunResult run(const std::string &args) { return run_command(kCmd + " " + args); }
    static RunResult ok(const std::string &args) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
        return r;
    }

    static lstest::TempDir *dir_;
    static lssim::Genome genome_;
};

lstest::TempDir *Command::dir_;
lssim::Genome Command::genome_;

TEST_F(Command, LongReadsInPafAndSamLandOnTheirOrigin) {
    const RunResult paf = ok("-c " + file("ref.fa") + " " + file("long.fq"));
    std::set<std::string> right, seen;
    for (const auto &rec : records(paf.out)) {
        ASSERT_GE(rec.size(), 13u);
        if (tag(rec, "tp") != "P" || seen.count(rec[0])) continue;
        seen.insert(rec[0]);
        lssim::Truth t;
        ASSERT_TRUE(lssim::parse_truth(rec[0], t));
        if (rec[5] == t.contig && rec[4][0] == t.strand && std::stol(rec[7]) < (long)t.end &&
            std::stol(rec[8]) > (long)t.start)
            right.insert(rec[0]);
        EXPECT_NE(tag(rec, "cg"), "");
    }
    EXPECT_GE(right.size(), 145u) << "of " << seen.size();

    const std::string sam = file("long.sam");
    ok("-a -R '@RG\\tID:grp1\\tSM:s' -o " + sam + " " + file("ref.fa") + " " + file("long.fq"));
    const std::string text = lstest::read_file(sam);
    const std::string hd = "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@SQ\t";
    EXPECT_EQ(text.compare(0, hd.size(), hd), 0);
    EXPECT_NE(text.find("@RG\tID:grp1\tSM:s\n"), std::string::npos);
    EXPECT_NE(text.find("@PG\tID:lodestar\tPN:lodestar\tVN:"), std::string::npos);
    for (const auto &rec : records(text)) ASSERT_EQ(tag(rec, "RG"), "grp1") << rec[0];
    if (!have_samtools()) GTEST_SKIP() << "samtools not installed";
    EXPECT_EQ(run_command("samtools quickcheck -v " + sam).status, 0);
    const RunResult sorted = run_command("samtools sort -o " + file("long.bam") + " " + sam +
                                         " && samtools view -c " + file("long.bam"));
    EXPECT_EQ(sorted.status, 0) << sorted.err;
    EXPECT_EQ(std::stoul(sorted.out), records(text).size());
    // MD and NM agree with what samtools computes from the reference.
    const RunResult calmd = run_command("samtools calmd " + sam + " " + file("ref.fa") + " 2>/dev/null");
    ASSERT_EQ(calmd.status, 0);
    const auto ours = records(lstest::read_file(sam)), theirs = records(calmd.out);
    ASSERT_EQ(ours.size(), theirs.size());
    int compared = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
        if (ours[i][5] == "*") continue;
        ++compared;
        EXPECT_EQ(tag(ours[i], "NM"), tag(theirs[i], "NM")) << ours[i][0];
    }
    EXPECT_GT(compared, 140);
    const RunResult md = run_command(kCmd + " -a --MD " + file("ref.fa") + " " + file("long.fq") + " > " +
                                     file("md.sam") + " && samtools calmd " + file("md.sam") + " " +
                                     file("ref.fa") + " 2>/dev/null");
    ASSERT_EQ(md.status, 0);
    const auto with_md = records(lstest::read_file(file("md.sam"))), recomputed = records(md.out);
    ASSERT_EQ(with_md.size(), recomputed.size());
    for (size_t i = 0; i < with_md.size(); ++i) {
        if (with_md[i][5] == "*") continue;
        EXPECT_EQ(tag(with_md[i], "MD"), tag(recomputed[i], "MD")) << with_md[i][0];
    }
}

TEST_F(Command, ShortPairsArePairedConsistently) {
    const std::string args = "-ax sr " + file("ref.fa") + " " + file("r1.fq") + " " + file("r2.fq");
    const RunResult r = ok(args);
    const auto recs = records(r.out);
    int proper = 0, primaries = 0;
    std::map<std::string, std::vector<std::vector<std::string>>> by_name;
    for (const auto &rec : recs) {
        const int flag = std::stoi(rec[1]);
        EXPECT_TRUE(flag & 1) << rec[0];
        if (flag & 0x900) continue;
        ++primaries;
        proper += (flag & 2) != 0;
        by_name[rec[0]].push_back(rec);
    }
    EXPECT_EQ(primaries, 600);
    EXPECT_GE(proper, 580);
    for (const auto &kv : by_name) {
        ASSERT_EQ(kv.second.size(), 2u) << kv.first; // the /1 and /2 suffixes are gone
        const auto &a = kv.second[0], &b = kv.second[1];
        if ((std::stoi(a[1]) & 4) || (std::stoi(b[1]) & 4)) continue;
        EXPECT_EQ(a[6] == "=" ? a[2] : a[6], b[2]) << kv.first;
        EXPECT_EQ(a[7], b[3]) << kv.first;
        EXPECT_EQ(std::stol(a[8]), -std::stol(b[8])) << kv.first;
    }
    // A record names its mate's CIGAR and MAPQ exactly when the mate is mapped.
    for (const auto &rec : recs) {
        const bool mate_unmapped = (std::stoi(rec[1]) & 8) != 0;
        EXPECT_EQ(tag(rec, "MC").empty(), mate_unmapped) << rec[0];
        EXPECT_EQ(tag(rec, "MQ").empty(), mate_unmapped) << rec[0];
    }
    if (!have_samtools()) GTEST_SKIP() << "samtools not installed";
    // fixmate recomputes the mate fields and the MC and MQ tags from the records: nothing changes,
    // but for the MC:Z:* it gives a record whose mate is unmapped (we give none: Picard refuses it).
    const RunResult fixed = run_command(kCmd + " " + args + " | samtools fixmate -O sam - - 2>&1");
    ASSERT_EQ(fixed.status, 0) << fixed.out;
    const auto after = records(fixed.out);
    ASSERT_EQ(after.size(), recs.size());
    int tagged = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        for (int c : {1, 6, 7, 8}) EXPECT_EQ(recs[i][c], after[i][c]) << recs[i][0] << " column " << c + 1;
        const std::string mc = tag(after[i], "MC");
        EXPECT_EQ(tag(recs[i], "MC"), mc == "*" ? "" : mc) << recs[i][0];
        EXPECT_EQ(tag(recs[i], "MQ"), tag(after[i], "MQ")) << recs[i][0];
        tagged += !mc.empty() && mc != "*";
    }
    EXPECT_GE(tagged, 580);
}

// SAM text with every float tag as samtools prints it (%g), which is the
// only way its view of a BAM or CRAM file may differ from our text; the @PG
// line (which holds the command line) is left out.
std::string floats_as_g(const std::string &text) {
    std::string out;
    for (const std::string &l : lstest::lines(text)) {
        if (l.compare(0, 3, "@PG") == 0) continue;
        std::vector<std::string> f = lstest::split(l, '\t');
        for (size_t i = 11; l[0] != '@' && i < f.size(); ++i)
            if (f[i].size() > 5 && f[i].compare(2, 3, ":f:") == 0) {
                char buf[64];
                snprintf(buf, sizeof(buf), "%g", atof(f[i].c_str() + 5));
                f[i] = f[i].substr(0, 5) + buf;
            }
        for (size_t i = 0; i < f.size(); ++i) out += (i ? "\t" : "") + f[i];
        out += "\n";
    }
    return out;
}

TEST_F(Command, BamAndCramHoldTheSamRecords) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    if (!have_samtools()) GTEST_SKIP() << "samtools not installed";
    const std::string in = file("ref.fa") + " " + file("r1.fq") + " " + file("r2.fq");
    const std::string sam = floats_as_g(ok("-t2 -ax sr " + in).out);
    ok("-t2 -ax sr -o " + file("o.bam") + " " + in);
    // The name asks for nothing; the option asks for CRAM, against the target.
    ok("-t2 -ax sr --output-fmt cram -o " + file("o.out") + " " + in);
    const RunResult bam = run_command("samtools view -h --no-PG " + file("o.bam"));
    // The CRAM header gains M5 and UR tags on its @SQ lines: records only.
    const RunResult cram = run_command("samtools view --input-fmt-option decode_md=0 -T " + file("ref.fa") + " " +
                                       file("o.out"));
    ASSERT_EQ(bam.status, 0) << bam.err;
    ASSERT_EQ(cram.status, 0) << cram.err;
    EXPECT_TRUE(floats_as_g(bam.out) == sam) << "BAM records differ from SAM";
    std::string records;
    for (const std::string &l : lstest::lines(sam))
        if (l[0] != '@') records += l + "\n";
    EXPECT_TRUE(floats_as_g(cram.out) == records)
        << "CRAM records differ from SAM";
    EXPECT_EQ(run_command("samtools view -H " + file("o.out") + " | head -1").out.substr(0, 3), "@HD");
}

// Records of SAM text without the @PG line, which holds the command line.
std::string without_pg(const std::string &sam) {
    std::string out;
    for (const std::string &l : lstest::lines(sam))
        if (l.compare(0, 3, "@PG") != 0) out += l + "\n";
    return out;
}

TEST_F(Command, QueriesInBamSamAndCramMapAsTheirFastq) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    if (!have_samtools()) GTEST_SKIP() << "samtools not installed";
    const std::string ref = file("ref.fa") + " ";
    ASSERT_EQ(run_command("samtools import -0 " + file("long.fq") + " -o " + file("long.bam")).status, 0);
    EXPECT_EQ(ok("-t2 -x map-ont " + ref + file("long.bam")).out,
              ok("-t2 -x map-ont " + ref + file("long.fq")).out);
    const std::string fq_sam = without_pg(ok("-t2 -ax map-ont " + ref + file("long.fq")).out);
    EXPECT_TRUE(without_pg(ok("-t2 -ax map-ont " + ref + file("long.bam")).out) == fq_sam) << "unaligned BAM";
    // Our own SAM output, aligned, each primary followed by a secondary and
    // a supplementary copy: reverse-strand records come back as sequenced,
    // the copies are skipped, and with -y every tag the mapper writes is
    // left behind, so nothing changes.
    std::string aligned;
    int n_reverse = 0;
    for (const std::string &l : lstest::lines(fq_sam)) {
        aligned += l + "\n";
        std::vector<std::string> f = lstest::split(l, '\t');
        if (l[0] == '@' || (std::stoi(f[1]) & 4)) continue;
        n_reverse += (std::stoi(f[1]) & 0x10) != 0;
        for (int copy : {0x100, 0x800}) {
            f[1] = std::to_string(std::stoi(lstest::split(l, '\t')[1]) | copy);
            for (size_t c = 0; c < f.size(); ++c)
                aligned += (c ? "\t" : "") + (copy == 0x100 && c >= 9 && c <= 10 ? "*" : f[c]);
            aligned += "\n";
        }
    }
    EXPECT_GT(n_reverse, 0);
    lstest::write_file(file("aligned.sam"), aligned);
    ASSERT_EQ(run_command("cd " + dir_->path() +
                          " && samtools view -b -o aligned.bam aligned.sam && samtools view -C -T ref.fa -o "
                          "aligned.cram aligned.sam")
                  .status,
              0);
    for (const char *name : {"aligned.sam", "aligned.bam", "aligned.cram"})
        EXPECT_TRUE(without_pg(ok("-t2 -y -ax map-ont " + ref + file(name)).out) == fq_sam) << name;
    // Both mates in one unaligned BAM, pairs adjacent: flags, mates and
    // insert sizes as from two FASTQ files of the same names (samtools drops
    // the /1 and /2, which would change how ties between places are broken).
    ASSERT_EQ(
        run_command("cd " + dir_->path() +
                    " && samtools import -1 r1.fq -2 r2.fq -o pairs.bam && samtools fastq -1 p1.fq -2 p2.fq "
                    "pairs.bam 2>/dev/null")
            .status,
        0);
    EXPECT_TRUE(without_pg(ok("-t2 -ax sr " + ref + file("pairs.bam")).out) ==
                without_pg(ok("-t2 -ax sr " + ref + file("p1.fq") + " " + file("p2.fq")).out))
        << "paired BAM";
}

TEST_F(Command, TagsOfBamQueriesAreCarriedVerbatimWithY) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    if (!have_samtools()) GTEST_SKIP() << "samtools not installed";
    // A read the mapper places on the reverse strand, its modification tags
    // given relative to the read as sequenced: they stay valid unchanged.
    const auto fq = lstest::lines(lstest::read_file(file("long.fq")));
    size_t i = 0;
    while (i + 4 <= fq.size() && fq[i].find("!-") == std::string::npos) i += 4;
    ASSERT_LT(i + 4, fq.size() + 1);
    const std::string name = fq[i].substr(1),
                      tags = "MM:Z:C+m,0,3;\tML:B:C,250,12\tfi:B:S,1,65535\trq:f:0.999";
    lstest::write_file(file("tags.sam"), "@HD\tVN:1.6\n" + name + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + fq[i + 1] +
                                             "\t" + fq[i + 3] + "\tNM:i:77\t" + tags + "\tRG:Z:in\n");
    ASSERT_EQ(run_command("samtools view -b -o " + file("tags.bam") + " " + file("tags.sam")).status, 0);
    const auto plain = records(ok("-ax map-ont " + file("ref.fa") + " " + file("tags.bam")).out);
    const auto with_y = records(ok("-y -ax map-ont " + file("ref.fa") + " " + file("tags.bam")).out);
    const auto kept = records(
        ok("-y --keep-tags ML,NM,RG -R '@RG\\tID:own' -ax map-ont " + file("ref.fa") + " " + file("tags.bam"))
            .out);
    ASSERT_TRUE(!plain.empty() && plain.size() == with_y.size() && plain.size() == kept.size());
    EXPECT_EQ(std::stoi(plain[0][1]) & 0x10, 0x10);
    for (size_t k = 0; k < plain.size(); ++k) {
        std::string text = with_y[k][11];
        for (size_t c = 12; c < with_y[k].size(); ++c) text += "\t" + with_y[k][c];
        // The mapper's own NM, then the input's tags but NM, as the file has them.
        EXPECT_EQ(tag(with_y[k], "NM"), tag(plain[k], "NM"));
        EXPECT_NE(text.find(tags + "\tRG:Z:in"), std::string::npos) << text;
        EXPECT_EQ(text.find("NM:i:77"), std::string::npos) << text;
        // Only ML of the list: NM is the mapper's, RG the run's own.
        EXPECT_EQ(tag(kept[k], "ML"), "C,250,12");
        EXPECT_EQ(tag(kept[k], "MM") + tag(kept[k], "fi"), "");
        EXPECT_EQ(tag(kept[k], "RG"), "own");
    }
}

TEST_F(Command, SplicedReadsFollowTheAnnotatedIntrons) {
    // A gene whose middle intron has no canonical motif: only the annotation
    // can place it exactly.
    lssim::GenomeParams gp;
    gp.total_len = 150000;
    lssim::Genome g;
    std::string err;
    ASSERT_TRUE(lssim::make_genome(gp, 41, g, &err)) << err;
    std::string &s = g.contigs[0].seq;
    const std::vector<std::pair<int, int>> exons = {{20000, 20300}, {22000, 22250}, {26000, 26400}, {30000, 30500}};
    for (size_t i = 0; i + 1 < exons.size(); ++i) {
        const int a = exons[i].second, b = exons[i + 1].first;
        if (i == 1) continue;
        s[a] = 'G', s[a + 1] = 'T', s[b - 2] = 'A', s[b - 1] = 'G';
    }
    ASSERT_TRUE(lssim::write_fasta(file("gene.fa"), g.contigs, 60, false, &err)) << err;
    std::string tx, sizes, starts;
    for (const auto &e : exons) {
        tx += s.substr(e.first, e.second - e.first);
        sizes += std::to_string(e.second - e.first) + ",";
        starts += std::to_string(e.first - exons[0].first) + ",";
    }
    lstest::write_file(file("gene.bed"), g.contigs[0].name + "\t20000\t30500\ttx1\t0\t+\t20000\t30500\t0\t4\t" +
                                             sizes + "\t" + starts + "\n");
    lstest::write_file(file("tx.fa"), ">fwd\n" + tx + "\n>rev\n" + lssim::revcomp(tx) + "\n");
    const RunResult r = ok("-ax splice --junc-bed " + file("gene.bed") + " " + file("gene.fa") + " " + file("tx.fa"));
    const std::vector<std::pair<long, long>> want = {{20300, 22000}, {22250, 26000}, {26400, 30000}};
    int seen = 0;
    for (const auto &rec : records(r.out)) {
        if (std::stoi(rec[1]) & 0x904) continue;
        ++seen;
        EXPECT_EQ(introns(std::stol(rec[3]) - 1, rec[5]), want) << rec[0] << " " << rec[5];
        EXPECT_EQ(tag(rec, "XS"), "+") << rec[0]; // the transcript's strand on the genome
    }
    EXPECT_EQ(seen, 2);
    // Junction lines of a first pass feed a second one.
    const RunResult junc = ok("-x splice --write-junc --junc-bed " + file("gene.bed") + " " + file("gene.fa") +
                              " " + file("tx.fa"));
    const auto lines = records(junc.out);
    ASSERT_EQ(lines.size(), 6u) << junc.out; // three introns of each transcript
    EXPECT_EQ(lines[0][1] + "-" + lines[0][2], "20300-22000");
    lstest::write_file(file("pass1.bed"), junc.out);
    EXPECT_EQ(records(ok("-ax splice --pass1 " + file("pass1.bed") + " " + file("gene.fa") + " " + file("tx.fa")).out)
                  .size(),
              2u);
}

TEST_F(Command, AssemblyPiecesShowTheInversion) {
    const RunResult r = ok("-x asm5 -c " + file("ref.fa") + " " + file("asm.fa"));
    const lssim::Feature *inv = nullptr;
    for (const auto &f : genome_.features)
        if (f.type == "inversion") inv = &f;
    ASSERT_NE(inv, nullptr);
    bool inverted_piece = false;
    for (const auto &rec : records(r.out)) {
        EXPECT_EQ(rec[0], rec[5] + "_asm"); // every piece on its own contig
        if (rec[5] == inv->contig && rec[4] == "-" && std::stol(rec[7]) < (long)inv->end &&
            std::stol(rec[8]) > (long)inv->start)
            inverted_piece = true;
    }
    EXPECT_TRUE(inverted_piece) << r.out;
}

TEST_F(Command, OutputNeverDependsOnThreadsIndexFilesOrParts) {
    const std::string longs = file("ref.fa") + " " + file("long.fq");
    const std::string pairs = file("ref.fa") + " " + file("r1.fq") + " " + file("r2.fq");
    // The @PG line holds the command line, which differs by design.
    auto body = [](const std::string &text) {
        std::string s;
        for (const std::string &l : lstest::lines(text))
            if (l.compare(0, 3, "@PG") != 0) s += l + "\n";
        return s;
    };
    // Long reads, short pairs and spliced alignment: the same bytes with 1 to
    // 3 threads, batches from one query to the whole file, and narrower
    // vector units forced instead of the widest one.
    const std::pair<std::string, std::string> modes[] = {
        {"-c --cs", longs}, {"-ax sr", pairs}, {"-ax splice", longs}};
    const std::string variants[] = {"-t2", "-t3", "-t2 -K 1", "-t1 -K 1G", "-t2 -K 20k"};
    for (const auto &m : modes) {
        const std::string one = body(ok(m.first + " -t1 " + m.second).out);
        EXPECT_GT(one.size(), 10000u) << m.first;
        for (const std::string &v : variants)
            EXPECT_TRUE(body(ok(m.first + " " + v + " " + m.second).out) == one) << m.first << " " << v;
        for (const char *off : {"avx512", "avx2"}) { // AVX2 at most, then SSE2 only
            const RunResult narrower = run_command(std::string("LODESTAR_DISABLE_CPU_FEATURES=") + off + " " +
                                                   kCmd + " " + m.first + " -t2 " + m.second);
            EXPECT_TRUE(body(narrower.out) == one) << m.first << " without " << off;
        }
    }
    // Each read's lines do not depend on where the read stands in the file.
    auto by_read = [](const std::string &text) {
        std::map<std::string, std::string> m;
        for (const std::string &l : lstest::lines(text)) m[l.substr(0, l.find('\t'))] += l + "\n";
        return m;
    };
    {
        std::vector<std::string> recs;
        const std::vector<std::string> fq = lstest::lines(lstest::read_file(file("long.fq")));
        for (size_t i = 0; i + 3 < fq.size(); i += 4) recs.push_back(fq[i] + "\n" + fq[i + 1] + "\n+\n" + fq[i + 3] + "\n");
        lssim::Rng rng(5);
        for (size_t i = recs.size(); i > 1; --i) std::swap(recs[i - 1], recs[rng.below(i)]);
        std::string shuffled;
        for (const std::string &r : recs) shuffled += r;
        lstest::write_file(file("shuffled.fq"), shuffled);
        EXPECT_TRUE(by_read(ok("-c " + file("ref.fa") + " " + file("shuffled.fq")).out) ==
                    by_read(ok("-c " + longs).out));
    }
    // Empty records between reads: an empty query has no minimizer, hence no
    // repetitive stretch (rl:i:0), whatever read its thread mapped before
    // (--mid-occ 1 gives most reads a repetitive stretch to pass on).
    {
        const std::vector<std::string> fq = lstest::lines(lstest::read_file(file("long.fq")));
        std::string text;
        for (size_t i = 0; i < 4 * 30; i += 4)
            text += fq[i] + "\n" + fq[i + 1] + "\n+\n" + fq[i + 3] + "\n@empty" + std::to_string(i / 4) +
                    "\n\n+\n\n";
        lstest::write_file(file("with_empty.fq"), text);
        const std::string args = " --paf-no-hit --mid-occ 1 " + file("ref.fa") + " " + file("with_empty.fq");
        const std::string one = ok("-t1" + args).out;
        for (const char *v : {"-t2", "-t2 -K 1", "-t3 -K 20k"}) EXPECT_TRUE(ok(v + args).out == one) << v;
        int n_empty = 0;
        for (const auto &rec : records(one))
            if (rec[0].compare(0, 5, "empty") == 0) {
                ++n_empty;
                EXPECT_EQ(tag(rec, "rl"), "0") << rec[0];
            }
        EXPECT_EQ(n_empty, 30);
    }
    // Queries from standard input.
    EXPECT_TRUE(run_command("cat " + file("long.fq") + " | " + kCmd + " -c " + file("ref.fa") + " -").out ==
                ok("-c " + longs).out);
    // A saved index maps exactly like the sequences it was built from, in
    // either file format, whole or in three parts (merged without --cs), in
    // every mode. The lite driver, too, reads both formats alike.
    std::set<std::string> lite;
    for (const std::string &parts : {std::string(), "-I 250k --sketch-batch 1k --split-prefix " + file("sp") + " "}) {
        for (const auto &m : modes) {
            const std::string mode = parts.empty() ? m.first : m.first.substr(0, m.first.find(" --cs"));
            const std::string queries = m.second.substr(m.second.find(' '));
            const std::string want = body(ok(parts + mode + " " + m.second).out);
            for (const char *fmt : {"mapped", "stream"}) {
                ok(parts + mode + " --index-format " + fmt + " -d " + file("ref.idx") + " " + file("ref.fa"));
                EXPECT_TRUE(body(ok(parts + mode + " " + file("ref.idx") + queries).out) == want)
                    << fmt << " " << parts << mode;
                if (fmt[0] == 'm') {
                    EXPECT_TRUE(body(ok(parts + mode + " --no-index-check " + file("ref.idx") + queries).out) ==
                                want)
                        << "unchecked " << parts << mode;
                }
                if (parts.empty() && m.first[1] == 'c')
                    lite.insert(run_command(std::string(LODESTAR_BIN) + " " + file("ref.idx") + queries).out);
            }
        }
    }
    EXPECT_EQ(lite.size(), 1U);
    EXPECT_GT(lite.begin()->size(), 10000U);
    // Two processes mapping one mapped file at once share its pages and
    // give what one alone gives.
    ok("-d " + file("ref.idx") + " " + file("ref.fa"));
    const std::string alone = ok("-c " + file("ref.idx") + " " + file("long.fq")).out;
    const std::string both = "-c " + file("ref.idx") + " " + file("long.fq");
    ASSERT_EQ(run_command("(" + kCmd + " " + both + " >" + file("a.paf") + " 2>/dev/null & " + kCmd + " " + both +
                          " >" + file("b.paf") + " 2>/dev/null; wait)")
                  .status,
              0);
    EXPECT_TRUE(lstest::read_file(file("a.paf")) == alone && lstest::read_file(file("b.paf")) == alone);
    // Three parts merged through temporary files give the single part's
    // primary mappings.
    const std::string prefix = file("split");
    const RunResult merged = ok("-I 250k --sketch-batch 1k --split-prefix " + prefix + " " + longs);
    EXPECT_NE(merged.err.find("index part 3"), std::string::npos) << merged.err;
    auto primaries = [](const std::string &text) {
        std::vector<std::string> v;
        for (const auto &rec : records(text))
            if (tag(rec, "tp") == "P") v.push_back(rec[0] + rec[4] + rec[5] + rec[7] + "-" + rec[8]);
        return v;
    };
    EXPECT_EQ(primaries(merged.out), primaries(ok(longs).out));
    EXPECT_EQ(run_command("ls " + prefix + "* 2>/dev/null").out, ""); // temporary files removed
}

TEST_F(Command, EveryFaultIsOneClearMessageAndStatusOne) {
    lstest::write_file(file("bad.idx"), std::string("LSI\2", 4) + "garbage");
    lstest::write_file(file("empty.fa"), "");
    const std::string gz = file("cut.fq.gz");
    {
        std::string text = lstest::read_file(file("long.fq"));
        lstest::write_gzip(gz, text);
        std::string bytes = lstest::read_file(gz);
        lstest::write_file(gz, bytes.substr(0, bytes.size() / 2));
    }
    const std::string ref = file("ref.fa"), reads = file("long.fq");
    struct Case {
        std::string args, message;
    };
    const Case cases[] = {
        {"--no-such-option " + ref, "unknown option '--no-such-option'"},
        {"-t x " + ref + " " + reads, "option '-t': 'x' is not a number"},
        {"-r 600,500 " + ref + " " + reads, "NUM1 (600) can't be larger than NUM2 (500)"},
        {"-x splice --rmq " + ref + " " + reads, "--rmq doesn't work with --sr or --splice"},
        {ref + " " + file("missing.fq"), "failed to open the query file '" + file("missing.fq") + "'"},
        {dir_->path() + " " + reads, "failed to open the target file '" + dir_->path() + "': Is a directory"},
        {"--junc-bed " + file("none.bed") + " " + ref + " " + reads, "failed to open the annotation file"},
        {"-o " + file("no/such/dir/out.paf") + " " + ref + " " + reads, "the directory '" + file("no/such/dir") + "' does not exist"},
        {"-o /dev/full " + ref + " " + reads, "failed to write the results"},
        {file("bad.idx") + " " + reads, "bad.idx"},
        {file("empty.fa") + " " + reads, "no sequence in the target file"},
        {"-a -I 250k --sketch-batch 1k " + ref + " " + reads, "SAM output needs them merged"},
        {ref + " " + gz, "a query file could not be read to its end"},
    };
    for (const Case &c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "colour outside a terminal: " << r.err;
    }
    // A cut query file: what came before is written, and an -o file that
    // could not be completed is removed.
    EXPECT_FALSE(run(ref + " " + gz).out.empty());
    EXPECT_EQ(run("-o " + file("cut.paf") + " " + ref + " " + gz).status, 1);
    EXPECT_EQ(run_command("test -e " + file("cut.paf")).status, 1);
    EXPECT_EQ(run_command("ls " + file("cut.paf") + "* 2>/dev/null").out, "");
    // A query without read permission (root reads everything, so only an
    // ordinary user sees the refusal).
    if (geteuid() != 0) {
        lstest::write_file(file("locked.fq"), "@r\nACGT\n+\nIIII\n");
        ASSERT_EQ(chmod(file("locked.fq").c_str(), 0), 0);
        const RunResult locked = run(ref + " " + file("locked.fq"));
        EXPECT_EQ(locked.status, 1);
        EXPECT_NE(locked.err.find("failed to open the query file"), std::string::npos) << locked.err;
    }
    // An index file cut inside a later part: the parts before it are mapped,
    // then the run fails naming the file.
    ok("-I 250k --sketch-batch 1k -d " + file("parts.idx") + " " + ref);
    const std::string parts = lstest::read_file(file("parts.idx"));
    lstest::write_file(file("cut.idx"), parts.substr(0, parts.size() * 2 / 3));
    const RunResult cut_idx = run(file("cut.idx") + " " + reads);
    EXPECT_EQ(cut_idx.status, 1);
    EXPECT_NE(cut_idx.err.find("cut.idx"), std::string::npos) << cut_idx.err;
    EXPECT_FALSE(cut_idx.out.empty());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Memory too small for the index (sanitizers reserve more address space
    // than any such limit allows): one line, a failed status, no output file.
    ASSERT_EQ(run_command(std::string(LODESTAR_SIM) + " genome --seed 3 --size 6M -o " + file("big.fa")).status, 0);
    const RunResult oom =
        run_command("ulimit -v 40000; " + kCmd + " -t1 -o " + file("oom.paf") + " " + file("big.fa") + " " + reads);
    EXPECT_NE(oom.status, 0);
    EXPECT_NE(oom.err.find("[ERROR] out of memory"), std::string::npos) << oom.err;
    EXPECT_EQ(run_command("ls " + file("oom.paf") + "* 2>/dev/null").out, "");
#endif
    // Usage, help and version.
    EXPECT_EQ(run("").status, 1);
    const RunResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Alignment:"), std::string::npos);
    EXPECT_EQ(run("--version").out.compare(0, 9, "lodestar "), 0);
    // A reader that stops early ends the run quietly: the conventional
    // broken-pipe stop, not a storm of errors.
    const RunResult piped = run_command(kCmd + " " + ref + " " + reads + " | head -1");
    EXPECT_EQ(lstest::lines(piped.out).size(), 1u);
    EXPECT_EQ(piped.err.find("ERROR"), std::string::npos) << piped.err;
}

} // namespace

// Saved index files keep their exact bytes across changes to how the index is
// built in memory: digests of files written by an earlier build, for a genome
// of two long contigs and one of many short contigs in several parts. (Format
// version 3: the bytes of version 2 with the new magic and each part's
// checksum; the same with -t1, -t2 and -t3.)
TEST_F(Command, SavedIndexBytesArePinned) {
    const std::string sim = LODESTAR_SIM;
    const struct {
        const char *genome, *index, *md5;
    } cases[] = {
        {"--seed 31 --size 3M --contigs 2", "--index-format stream -t3", "9e90758b87bb825ec472ed06f415447d"},
        {"--seed 32 --size 2M --contigs 9", "--index-format stream -t2 -I 700k --sketch-batch 100k",
         "591df9248198b722c791f896c718ee5a"},
        {"--seed 32 --size 2M --contigs 9", "--index-format stream -t1 -k 15 -w 5 -H",
         "f7e260345fd0fcee7c5b29c693b46c24"},
        {"--seed 31 --size 3M --contigs 2", "-t3", "d85e201efefd97a7dedbb54833f0e71d"},
        {"--seed 32 --size 2M --contigs 9", "-t2 -I 700k --sketch-batch 100k", "5802e1d8a50806603fb130afa8ec9dfb"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(run_command(sim + " genome " + c.genome + " -o " + file("pin.fa")).status, 0);
        ok(std::string(c.index) + " -d " + file("pin.idx") + " " + file("pin.fa"));
        EXPECT_EQ(run_command("md5sum < " + file("pin.idx")).out.substr(0, 32), c.md5) << c.index;
    }
}
