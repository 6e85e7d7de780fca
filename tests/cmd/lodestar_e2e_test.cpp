// End to end through the command: simulated genomes and reads whose true
// origin is known, checked line by line against the genome.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

const std::string kBin = LODESTAR_BIN;

struct Line {
    std::string qname, tname, cigar;
    long qlen, qs, qe, tlen, rs, re, match, block, mapq;
    char strand;
};

bool parse_line(const std::string &s, Line &l) {
    std::vector<std::string> f;
    std::stringstream ss(s);
    std::string tok;
    while (std::getline(ss, tok, '\t')) f.push_back(tok);
    if (f.size() != 13 || f[12].compare(0, 5, "cg:Z:") != 0 || f[4].size() != 1) return false;
    l.qname = f[0];
    l.qlen = atol(f[1].c_str());
    l.qs = atol(f[2].c_str());
    l.qe = atol(f[3].c_str());
    l.strand = f[4][0];
    l.tname = f[5];
    l.tlen = atol(f[6].c_str());
    l.rs = atol(f[7].c_str());
    l.re = atol(f[8].c_str());
    l.match = atol(f[9].c_str());
    l.block = atol(f[10].c_str());
    l.mapq = atol(f[11].c_str());
    l.cigar = f[12].substr(5);
    return (l.strand == '+' || l.strand == '-') && l.qs >= 0 && l.qs < l.qe && l.qe <= l.qlen && l.rs >= 0 &&
           l.rs < l.re && l.re <= l.tlen && l.mapq >= 0 && l.mapq <= 60;
}

int code(char c) {
    switch (c) {
    case 'A':
    case 'a':
        return 0;
    case 'C':
    case 'c':
        return 1;
    case 'G':
    case 'g':
        return 2;
    case 'T':
    case 't':
        return 3;
    default:
        return 4;
    }
}

// Replays the CIGAR over the two sequences; returns "" when it consumes
// exactly the stated intervals and reproduces columns 10 and 11.
std::string check_cigar(const Line &l, const std::string &query, const std::string &target) {
    std::string q = l.strand == '+' ? query : lssim::revcomp(query);
    long qoff = l.strand == '+' ? l.qs : l.qlen - l.qe, toff = l.rs;
    long qend = qoff + (l.qe - l.qs), match = 0, block = 0;
    const char *p = l.cigar.c_str();
    while (*p) {
        char *end;
        long len = strtol(p, &end, 10);
        if (end == p || len <= 0) return "bad CIGAR length";
        char op = *end;
        p = end + 1;
        if (op == 'M') {
            for (long i = 0; i < len; ++i) {
                int a = code(q[qoff + i]), b = code(target[toff + i]);
                if (a < 4 && b < 4) {
                    ++block;
                    match += a == b;
                }
            }
            qoff += len, toff += len;
        } else if (op == 'I') {
            for (long i = 0; i < len; ++i) block += code(q[qoff + i]) < 4;
            qoff += len;
        } else if (op == 'D') {
            for (long i = 0; i < len; ++i) block += code(target[toff + i]) < 4;
            toff += len;
        } else {
            return std::string("unexpected operation ") + op;
        }
        if (qoff > (long)q.size() || toff > (long)target.size()) return "CIGAR runs past a sequence";
    }
    if (qoff != qend) return "query bases consumed differ from qe - qs";
    if (toff != l.re) return "target bases consumed differ from re - rs";
    if (match != l.match) return "matching bases differ from column 10";
    if (block != l.block) return "block length differs from column 11";
    return "";
}

bool overlaps(long a0, long a1, long b0, long b1) {
    return a0 < b1 && b0 < a1;
}

class EndToEnd : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new lstest::TempDir();
        lssim::GenomeParams gp;
        gp.total_len = 1500000;
        gp.n_contigs = 2;
        gp.repeats = 3;
        gp.repeat_len = 3000;
        gp.diverged = 2;
        gp.diverged_len = 3000;
        gp.tandems = 3;
        gp.homopolymers = 4;
        gp.dinucleotides = 4;
        gp.nruns = 2;
        gp.inversions = 2;
        gp.inversion_len = 3000;
        gp.deletions = 2;
        gp.deletion_len = 3000;
        std::string err;
        ASSERT_TRUE(lssim::make_genome(gp, 2024, genome_, &err)) << err;
        ASSERT_TRUE(lssim::write_fasta(dir_->file("genome.fa"), genome_.contigs, 60, false, &err)) << err;

        // 10 kb reads at 5%, 10% and 15% error, from both strands.
        const double rates[] = {0.05, 0.10, 0.15};
        for (int i = 0; i < 3; ++i) {
            lssim::ReadParams rp;
            rp.n_reads = 60;
            rp.mean_len = 10000;
            rp.sd_len = 2000;
            rp.min_len = 3000;
            rp.sub_rate = rates[i] * 0.5;
            rp.ins_rate = rates[i] * 0.25;
            rp.del_rate = rates[i] * 0.25;
            rp.random_frac = 0.03;
            std::vector<lssim::Read> reads;
            ASSERT_TRUE(lssim::make_reads(genome_.contigs, genome_.features, rp, 77 + i, reads, &err)) << err;
            for (auto &r : reads) {
                r.name = "e" + std::to_string(i) + r.name;
                reads_.push_back(r);
            }
        }
        ASSERT_TRUE(lssim::write_reads(dir_->file("reads.fq"), reads_, true, false, &err)) << err;
        auto run = lstest::run_command(kBin + " " + dir_->file("genome.fa") + " " + dir_->file("reads.fq"));
        status_ = run.status;
        out_ = run.out;
        err_ = run.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // The truth of a read named "e<i>r...".
    static lssim::Truth truth_of(const std::string &name) {
        lssim::Truth t;
        EXPECT_TRUE(lssim::parse_truth(name.substr(2), t)) << name;
        return t;
    }
    // Does the truth interval touch a repeat copy (where the origin is not unique)?
    static bool in_repeat(const lssim::Truth &t) {
        for (const auto &f : genome_.features)
            if ((f.type == "repeat" || f.type == "diverged" || f.type == "tandem") && f.contig == t.contig &&
                overlaps(t.start, t.end, f.start, f.end))
                return true;
        return false;
    }
    static const std::string &contig_seq(const std::string &name) {
        for (const auto &c : genome_.contigs)
            if (c.name == name) return c.seq;
        static const std::string none;
        return none;
    }

    static lstest::TempDir *dir_;
    static lssim::Genome genome_;
    static std::vector<lssim::Read> reads_;
    static int status_;
    static std::string out_, err_;
};

lstest::TempDir *EndToEnd::dir_;
lssim::Genome EndToEnd::genome_;
std::vector<lssim::Read> EndToEnd::reads_;
int EndToEnd::status_;
std::string EndToEnd::out_, EndToEnd::err_;

TEST_F(EndToEnd, EveryLineIsWellFormedAndItsCigarSpellsTheAlignment) {
    ASSERT_EQ(status_, 0) << err_;
    EXPECT_EQ(err_, "");
    std::map<std::string, const lssim::Read *> by_name;
    for (const auto &r : reads_) by_name[r.name] = &r;
    auto lines = lstest::lines(out_);
    ASSERT_GT(lines.size(), reads_.size() / 2);
    int bad = 0;
    for (const auto &s : lines) {
        Line l;
        ASSERT_TRUE(parse_line(s, l)) << s.substr(0, 200);
        ASSERT_TRUE(by_name.count(l.qname)) << l.qname;
        const lssim::Read &r = *by_name[l.qname];
        EXPECT_EQ(l.qlen, (long)r.seq.size());
        const std::string &t = contig_seq(l.tname);
        ASSERT_EQ(l.tlen, (long)t.size()) << l.tname;
        std::string why = check_cigar(l, r.seq, t);
        if (!why.empty() && ++bad <= 5) ADD_FAILURE() << l.qname << ": " << why;
    }
    EXPECT_EQ(bad, 0);
}

TEST_F(EndToEnd, PrimariesLandOnTheTrueOriginAndMapq60IsNeverWrong) {
    ASSERT_EQ(status_, 0) << err_;
    std::map<std::string, std::vector<Line>> by_read;
    std::vector<std::string> order;
    for (const auto &s : lstest::lines(out_)) {
        Line l;
        ASSERT_TRUE(parse_line(s, l));
        if (!by_read.count(l.qname)) order.push_back(l.qname);
        by_read[l.qname].push_back(l);
    }
    int unique = 0, unique_ok = 0, wrong60 = 0, rand_mapped = 0, sv_reads = 0, sv_covered = 0;
    for (const auto &r : reads_) {
        lssim::Truth t = truth_of(r.name);
        auto it = by_read.find(r.name);
        if (t.random) {
            rand_mapped += it != by_read.end();
            continue;
        }
        bool sv = !t.inversions.empty() || !t.deletions.empty();
        if (it != by_read.end()) {
            for (const auto &l : it->second) {
                bool right_place = l.tname == t.contig && overlaps(l.rs, l.re, t.start, t.end);
                // Pieces of a read that spans an inversion map to the other
                // strand there.
                bool right_strand = l.strand == t.strand || !t.inversions.empty();
                if (l.mapq == 60 && !(right_place && right_strand)) {
                    ++wrong60;
                    ADD_FAILURE() << "wrong mapq-60 line for " << r.name << ": " << l.tname << ":" << l.rs
                                  << "-" << l.re << l.strand;
                }
            }
        }
        if (sv) {
            ++sv_reads;
            // Together the read's lines should still explain most of it.
            if (it != by_read.end()) {
                std::vector<char> cov(r.seq.size(), 0);
                for (const auto &l : it->second)
                    for (long i = l.qs; i < l.qe; ++i) cov[i] = 1;
                long n = 0;
                for (char c : cov) n += c;
                sv_covered += n >= 0.7 * (double)r.seq.size();
            }
            continue;
        }
        if (in_repeat(t)) continue;
        ++unique;
        if (it == by_read.end()) continue;
        const Line &p = it->second.front();
        unique_ok += p.tname == t.contig && p.strand == t.strand && overlaps(p.rs, p.re, t.start, t.end);
    }
    printf("unique reads %d, primary on the origin %d; reads spanning inversions/deletions %d, mostly "
           "covered %d\n",
           unique, unique_ok, sv_reads, sv_covered);
    EXPECT_EQ(wrong60, 0);
    EXPECT_GT(unique, 100);
    EXPECT_GE(unique_ok, 0.99 * unique) << unique_ok << " of " << unique;
    EXPECT_EQ(rand_mapped, 0);
    EXPECT_GT(sv_reads, 0) << "the read set should span planted inversions and deletions";
    EXPECT_GE(sv_covered, 0.9 * sv_reads) << sv_covered << " of " << sv_reads;
}

TEST_F(EndToEnd, OutputIsIdenticalAcrossRuns) {
    ASSERT_EQ(status_, 0) << err_;
    auto again = lstest::run_command(kBin + " " + dir_->file("genome.fa") + " " + dir_->file("reads.fq"));
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(again.out == out_) << "second run differs";
}

// Formats a region the way the command documents its lines.
std::string format_region(const char *qname, size_t qlen, const ls_idx *mi, const ls_reg *r) {
    std::string s;
    char buf[512];
    snprintf(buf, sizeof buf, "%s\t%zu\t%d\t%d\t%c\t%s\t%u\t%d\t%d\t%d\t%d\t%u\tcg:Z:", qname, qlen, r->qs,
             r->qe, r->reverse ? '-' : '+', mi->seq[r->target_id].name, mi->seq[r->target_id].len, r->rs,
             r->re, r->match_len, r->block_len, (unsigned)r->mapq);
    s += buf;
    for (uint32_t i = 0; i < r->p->n_cigar; ++i) {
        snprintf(buf, sizeof buf, "%u%c", r->p->cigar[i] >> 4, "MIDNSHP=XB"[r->p->cigar[i] & 0xf]);
        s += buf;
    }
    return s + "\n";
}

TEST_F(EndToEnd, LibraryWithoutArenasGivesTheCommandsOutput) {
    ASSERT_EQ(status_, 0) << err_;
    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    mo.flag |= LS_F_BASE_ALIGN;
    const int saved = ls_debug_flags;
    ls_debug_flags |= LS_DBG_NO_ARENA;
    ls_idx_reader *ir = ls_idx_reader_open(dir_->file("genome.fa").c_str(), &io, nullptr);
    ASSERT_NE(ir, nullptr);
    ls_idx *mi = ls_idx_reader_read(ir, 1);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->arena, nullptr);
    ls_mapopt_update(&mo, mi);
    ls_tbuf *b = ls_tbuf_init();
    std::string out;
    for (const auto &r : reads_) {
        int n = 0;
        ls_reg *regs = ls_map(mi, (int)r.seq.size(), r.seq.c_str(), &n, b, &mo, nullptr);
        for (int j = 0; j < n; ++j) out += format_region(r.name.c_str(), r.seq.size(), mi, &regs[j]);
        lstest::free_regions(n, regs);
    }
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
    EXPECT_EQ(ls_idx_reader_read(ir, 1), nullptr);
    ls_idx_reader_close(ir);
    ls_debug_flags = saved;
    EXPECT_TRUE(out == out_) << "the library without arenas differs from the command";
}

} // namespace

namespace {

// An index file of two parts (one contig each): every query is printed for
// the first part before any line of the second, and a broken last FASTQ
// record stops the query loop of each part at the same place.
TEST_F(EndToEnd, TwoIndexPartsAreMappedOneAfterTheOther) {
    ASSERT_EQ(status_, 0) << err_;
    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    io.sketch_batch_bases = 100000;
    io.index_part_bases = 300000; // ctg1 holds about 450 kb
    const std::string idx = dir_->file("two-parts.idx");
    ls_idx_reader *ir = ls_idx_reader_open(dir_->file("genome.fa").c_str(), &io, idx.c_str());
    ASSERT_NE(ir, nullptr);
    int parts = 0;
    while (ls_idx *mi = ls_idx_reader_read(ir, 2)) {
        EXPECT_EQ(mi->part_index, parts);
        ++parts;
        ls_idx_destroy(mi);
    }
    EXPECT_EQ(ls_idx_reader_error(ir), 0);
    EXPECT_EQ(ls_idx_reader_close(ir), 0);
    ASSERT_EQ(parts, 2);

    auto r = lstest::run_command(kBin + " " + idx + " " + dir_->file("reads.fq"));
    ASSERT_EQ(r.status, 0) << r.err;
    // Same lines as with the plain genome: the parts hold one contig each, so
    // only the order differs (all ctg1 lines, then all ctg2 lines).
    auto lines = lstest::lines(r.out);
    std::string first, second;
    bool in_second = false;
    for (const auto &s : lines) {
        Line l;
        ASSERT_TRUE(parse_line(s, l));
        if (l.tname == "ctg2") in_second = true;
        ASSERT_EQ(l.tname, in_second ? "ctg2" : "ctg1") << "a line of the first part after the second began";
        (in_second ? second : first) += s + "\n";
    }
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(second.empty());

    // Three records, the last one broken: two records' lines per part.
    std::string fq;
    for (int i = 0; i < 3; ++i) {
        const lssim::Read *rd = nullptr;
        for (const auto &x : reads_) {
            lssim::Truth t = truth_of(x.name);
            // An unambiguous read of ctg1, then one of ctg2, then another.
            if (!t.random && t.inversions.empty() && t.deletions.empty() && !in_repeat(t) &&
                t.contig == (i == 1 ? "ctg2" : "ctg1") && fq.find(x.name) == std::string::npos) {
                rd = &x;
                break;
            }
        }
        ASSERT_NE(rd, nullptr);
        std::string qual(rd->seq.size() - (i == 2 ? 1 : 0), 'I');
        fq += "@" + rd->name + " comment text\n" + rd->seq + "\n+\n" + qual + "\n";
    }
    lstest::write_file(dir_->file("broken.fq"), fq);
    r = lstest::run_command(kBin + " " + idx + " " + dir_->file("broken.fq"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("broken.fq"), std::string::npos) << r.err;
    lines = lstest::lines(r.out);
    std::vector<std::string> names;
    for (const auto &s : lines) {
        Line l;
        ASSERT_TRUE(parse_line(s, l));
        names.push_back(l.qname + "/" + l.tname);
        EXPECT_EQ(l.qname.find(' '), std::string::npos) << "the name column holds only the name";
    }
    // Record 1 maps to ctg1 (first part), record 2 to ctg2 (second part);
    // record 3 is never printed.
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.front().substr(names.front().size() - 4), "ctg1");
    EXPECT_EQ(names.back().substr(names.back().size() - 4), "ctg2");
    for (const auto &n : names) EXPECT_EQ(fq.find(n.substr(0, n.find('/'))) < fq.rfind("\n@"), true) << n;
}

} // namespace
