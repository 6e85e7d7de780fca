#include "sim.h"
#include "testutil.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>

using namespace lssim;

namespace {

const Contig &contig_named(const std::vector<Contig> &ref, const std::string &name) {
    for (const Contig &c : ref)
        if (c.name == name) return c;
    ADD_FAILURE() << "no contig " << name;
    return ref[0];
}

/* The error-free read a truth name describes, rebuilt from the reference
 * alone: flagged inversions reverse-complemented, flagged deletions cut out. */
std::string expected_read(const std::vector<Contig> &ref, const std::vector<Feature> &feats, const Truth &t) {
    std::string s = contig_named(ref, t.contig).seq.substr(t.start, t.end - t.start);
    std::vector<const Feature *> ev;
    for (int id : t.inversions) ev.push_back(&feats.at(id));
    for (int id : t.deletions) ev.push_back(&feats.at(id));
    std::sort(ev.begin(), ev.end(), [](const Feature *a, const Feature *b) { return a->start > b->start; });
    for (const Feature *e : ev) {
        EXPECT_TRUE(e->contig == t.contig && e->start > t.start && e->end < t.end) << format_truth(t);
        size_t off = e->start - t.start, len = e->end - e->start;
        if (e->type == "inversion")
            s.replace(off, len, revcomp(s.substr(off, len)));
        else
            s.erase(off, len);
    }
    return t.strand == '-' ? revcomp(s) : s;
}

/* Edit distance with the alignment kept within w diagonals of the band
 * that joins the two corners. */
long banded_edit_distance(const std::string &a, const std::string &b, long w) {
    const long n = (long)a.size(), m = (long)b.size(), inf = 1L << 40;
    const long lo = std::min(0L, m - n) - w, hi = std::max(0L, m - n) + w;
    std::vector<long> prev(m + 2, inf), cur(m + 2, inf);
    for (long j = 0; j <= std::min(m, hi); ++j) prev[j] = j;
    if (hi + 1 <= m) prev[hi + 1] = inf;
    for (long i = 1; i <= n; ++i) {
        long jb = std::max(0L, i + lo), je = std::min(m, i + hi);
        if (jb > 0) cur[jb - 1] = inf;
        if (je + 1 <= m) cur[je + 1] = inf;
        for (long j = jb; j <= je; ++j) {
            if (j == 0) {
                cur[j] = i;
                continue;
            }
            long v = prev[j - 1] + (a[i - 1] != b[j - 1]);
            v = std::min(v, std::min(prev[j], cur[j - 1]) + 1);
            cur[j] = v;
        }
        std::swap(prev, cur);
    }
    return prev[m];
}

uint64_t fnv1a(uint64_t h, const std::string &s) {
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

std::string gunzip(const std::string &path) {
    gzFile fp = gzopen(path.c_str(), "rb");
    EXPECT_TRUE(fp != nullptr) << path;
    std::string out;
    char buf[4096];
    int n;
    while (fp && (n = gzread(fp, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    if (fp) gzclose(fp);
    return out;
}

GenomeParams all_features() {
    GenomeParams p;
    p.total_len = 300000, p.n_contigs = 3;
    p.repeats = 3, p.repeat_copies = 3, p.repeat_len = 1500;
    p.diverged = 2, p.diverged_copies = 3, p.diverged_len = 4000, p.divergence = 0.05;
    p.tandems = 2, p.tandem_unit = 7, p.tandem_copies = 30;
    p.homopolymers = 3, p.dinucleotides = 3, p.lowcomp_len = 40;
    p.nruns = 2, p.nrun_len = 500;
    p.inversions = 3, p.inversion_len = 1000, p.deletions = 3, p.deletion_len = 1200;
    return p;
}

} // namespace

TEST(Simulate, RandomNumbersAndLengthDistribution) {
    Rng rng(7);
    double sum = 0, sum2 = 0;
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        double u = rng.uniform();
        ASSERT_TRUE(u >= 0 && u < 1);
        ASSERT_LT(rng.below(5), 5u);
        double z = rng.normal();
        sum += z, sum2 += z * z;
    }
    EXPECT_NEAR(sum / n, 0.0, 0.02);
    EXPECT_NEAR(sum2 / n, 1.0, 0.02);

    /* log-normal lengths keep the requested mean and spread, inside [min,max] */
    std::vector<Contig> ref = {{"c", std::string(200000, 'A')}};
    ReadParams p;
    p.n_reads = 3000, p.mean_len = 5000, p.sd_len = 1500, p.min_len = 1000, p.max_len = 12000;
    std::vector<Read> reads;
    ASSERT_TRUE(make_reads(ref, {}, p, 3, reads, nullptr));
    double m = 0, v = 0;
    for (const Read &r : reads) {
        ASSERT_GE(r.seq.size(), 1000u);
        ASSERT_LE(r.seq.size(), 12000u);
        m += (double)r.seq.size();
        v += (double)r.seq.size() * (double)r.seq.size();
    }
    m /= (double)reads.size(), v = v / (double)reads.size() - m * m;
    EXPECT_NEAR(m, 5000, 120);
    EXPECT_NEAR(std::sqrt(v), 1500, 120);

    /* a contig shorter than the read length clamps it */
    p.n_reads = 10, p.sd_len = 0;
    ASSERT_TRUE(make_reads({{"tiny", "ACGTACGTAC"}}, {}, p, 1, reads, nullptr));
    for (const Read &r : reads) EXPECT_EQ(r.seq.size(), 10u);
}

TEST(Simulate, SameSeedSameBytesOtherSeedDiffers) {
    GenomeParams gp = all_features();
    ReadParams rp;
    rp.n_reads = 60, rp.mean_len = 3000, rp.sd_len = 1000, rp.sub_rate = 0.03, rp.ins_rate = 0.01;
    rp.del_rate = 0.01, rp.random_frac = 0.1, rp.random_qual = true;
    Genome g1, g2, g3;
    ASSERT_TRUE(make_genome(gp, 11, g1, nullptr));
    ASSERT_TRUE(make_genome(gp, 11, g2, nullptr));
    ASSERT_TRUE(make_genome(gp, 12, g3, nullptr));
    EXPECT_EQ(g1.contigs[0].seq, g2.contigs[0].seq);
    EXPECT_NE(g1.contigs[0].seq, g3.contigs[0].seq);
    std::vector<Read> r1, r2, r3;
    ASSERT_TRUE(make_reads(g1.contigs, g1.features, rp, 5, r1, nullptr));
    ASSERT_TRUE(make_reads(g1.contigs, g1.features, rp, 6, r3, nullptr));
    EXPECT_NE(r1[0].seq, r3[0].seq);

    lstest::TempDir dir;
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(make_reads(g2.contigs, g2.features, rp, 5, r2, nullptr));
        std::string n = std::to_string(k);
        ASSERT_TRUE(write_fasta(dir.file("g" + n + ".fa.gz"), g2.contigs, 60, true, nullptr));
        ASSERT_TRUE(write_reads(dir.file("r" + n + ".fq"), r2, true, false, nullptr));
        ASSERT_TRUE(write_features(dir.file("f" + n + ".tsv"), g2.features, nullptr));
    }
    EXPECT_EQ(lstest::read_file(dir.file("g0.fa.gz")), lstest::read_file(dir.file("g1.fa.gz")));
    EXPECT_EQ(lstest::read_file(dir.file("r0.fq")), lstest::read_file(dir.file("r1.fq")));
    EXPECT_EQ(lstest::read_file(dir.file("f0.tsv")), lstest::read_file(dir.file("f1.tsv")));

    /* The same bytes on every platform: this value may change only when the
     * generator is changed on purpose. */
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const Contig &c : g1.contigs) h = fnv1a(fnv1a(h, c.name), c.seq);
    for (const Read &r : r1) h = fnv1a(fnv1a(fnv1a(h, r.name), r.seq), r.qual);
    EXPECT_EQ(h, 0x32d3cb62168f5710ULL) << std::hex << h;
}

TEST(Simulate, PlantedFeaturesAreWhereTheListSays) {
    Genome g;
    ASSERT_TRUE(make_genome(all_features(), 21, g, nullptr));
    ASSERT_EQ(g.contigs.size(), 3u);
    uint64_t total = 0;
    for (size_t i = 0; i < g.contigs.size(); ++i) {
        EXPECT_EQ(g.contigs[i].name, "ctg" + std::to_string(i + 1));
        total += g.contigs[i].seq.size();
    }
    EXPECT_EQ(total, 300000u);

    std::map<std::string, int> count;
    std::map<int, std::vector<const Feature *>> families;
    std::map<std::string, std::string> masked; /* contig bases with the N runs blanked */
    for (const Contig &c : g.contigs) masked[c.name] = c.seq;
    for (size_t i = 0; i < g.features.size(); ++i) {
        const Feature &f = g.features[i];
        EXPECT_EQ(f.id, (int)i);
        if (i > 0 && g.features[i - 1].contig == f.contig) { EXPECT_LT(g.features[i - 1].end, f.start); }
        ++count[f.type];
        const std::string seq = contig_named(g.contigs, f.contig).seq.substr(f.start, f.end - f.start);
        if (f.family >= 0) families[f.family].push_back(&f);
        if (f.type == "tandem") {
            ASSERT_EQ(seq.size(), 7u * 30);
            for (size_t k = 0; k < seq.size(); ++k) EXPECT_EQ(seq[k], f.detail[k % 7]);
        } else if (f.type == "homopolymer") {
            EXPECT_EQ(seq, std::string(40, f.detail[0]));
        } else if (f.type == "dinucleotide") {
            ASSERT_EQ(f.detail.size(), 2u);
            EXPECT_NE(f.detail[0], f.detail[1]);
            for (size_t k = 0; k < seq.size(); ++k) EXPECT_EQ(seq[k], f.detail[k % 2]);
        } else if (f.type == "nrun") {
            EXPECT_EQ(seq, std::string(500, 'N'));
            masked[f.contig].replace(f.start, 500, 500, 'x');
        }
    }
    for (auto &m : masked) EXPECT_EQ(m.second.find('N'), std::string::npos) << "N outside the listed runs";
    EXPECT_EQ(count["repeat"], 9);
    EXPECT_EQ(count["diverged"], 6);
    EXPECT_EQ(count["tandem"], 2);
    EXPECT_EQ(count["homopolymer"], 3);
    EXPECT_EQ(count["dinucleotide"], 3);
    EXPECT_EQ(count["nrun"], 2);
    EXPECT_EQ(count["inversion"], 3);
    EXPECT_EQ(count["deletion"], 3);

    /* exact copies are identical (on their strand); diverged ones differ by about the divergence */
    ASSERT_EQ(families.size(), 5u);
    int minus = 0;
    for (auto &fam : families) {
        ASSERT_EQ(fam.second.size(), 3u);
        auto oriented = [&](const Feature *f) {
            std::string s = contig_named(g.contigs, f->contig).seq.substr(f->start, f->end - f->start);
            return f->strand == '-' ? revcomp(s) : s;
        };
        const Feature *first = nullptr;
        for (const Feature *f : fam.second)
            if (f->strand == '+' && !first) first = f;
        ASSERT_TRUE(first);
        std::string src = oriented(fam.second[0]);
        for (const Feature *f : fam.second) {
            minus += f->strand == '-';
            std::string s = oriented(f);
            ASSERT_EQ(s.size(), src.size());
            if (f->type == "repeat")
                EXPECT_EQ(s, src);
            else
                EXPECT_EQ(f->detail, "0.05");
        }
    }
    EXPECT_GT(minus, 0);
    /* any two diverged copies differ at roughly 2d of their bases, since one may be the original */
    for (auto &fam : families) {
        if (fam.second[0]->type != "diverged") continue;
        std::vector<std::string> s;
        for (const Feature *f : fam.second) {
            std::string x = contig_named(g.contigs, f->contig).seq.substr(f->start, f->end - f->start);
            s.push_back(f->strand == '-' ? revcomp(x) : x);
        }
        int best = 1 << 30;
        for (int a = 0; a < 3; ++a)
            for (int b = a + 1; b < 3; ++b) {
                int d = 0;
                for (size_t k = 0; k < s[a].size(); ++k) d += s[a][k] != s[b][k];
                best = std::min(best, d);
            }
        EXPECT_GT(best, 4000 * 0.035) << "the closest pair includes the original at 5%";
        EXPECT_LT(best, 4000 * 0.065);
    }

    /* features that find no room are left out, and the list says so */
    GenomeParams tight;
    tight.total_len = 3000, tight.repeats = 5, tight.repeat_len = 1000;
    ASSERT_TRUE(make_genome(tight, 1, g, nullptr));
    EXPECT_LT(g.features.size(), 10u);
    EXPECT_GE(g.features.size(), 1u);
}

TEST(Simulate, ErrorFreeReadsAreTheGenomeAtTheirOrigin) {
    Genome g;
    GenomeParams gp;
    gp.total_len = 200000, gp.n_contigs = 4, gp.nruns = 2;
    ASSERT_TRUE(make_genome(gp, 2, g, nullptr));
    ReadParams p;
    p.n_reads = 300, p.mean_len = 2000, p.sd_len = 800, p.min_len = 200, p.max_len = 5000, p.qual = '5';
    std::vector<Read> reads;
    ASSERT_TRUE(make_reads(g.contigs, {}, p, 9, reads, nullptr));
    ASSERT_EQ(reads.size(), 300u);
    int strands[2] = {0, 0};
    std::map<std::string, int> per_contig;
    for (size_t i = 0; i < reads.size(); ++i) {
        Truth t;
        ASSERT_TRUE(parse_truth(reads[i].name, t)) << reads[i].name;
        EXPECT_EQ(t.index, i);
        EXPECT_EQ(format_truth(t), reads[i].name);
        EXPECT_TRUE(t.inversions.empty() && t.deletions.empty() && !t.random);
        EXPECT_EQ(reads[i].seq, expected_read(g.contigs, {}, t)) << reads[i].name;
        EXPECT_EQ(reads[i].qual, std::string(reads[i].seq.size(), '5'));
        ++strands[t.strand == '-'];
        ++per_contig[t.contig];
    }
    EXPECT_GT(strands[0], 100);
    EXPECT_GT(strands[1], 100);
    EXPECT_EQ(per_contig.size(), 4u);
}

TEST(Simulate, ErrorRatesComeOutAsRequested) {
    Genome g;
    GenomeParams gp;
    gp.total_len = 200000;
    ASSERT_TRUE(make_genome(gp, 4, g, nullptr));
    auto run = [&](double sub, double ins, double del, double random_frac, std::vector<Read> &reads) {
        ReadParams p;
        p.n_reads = 50, p.mean_len = 2000, p.sd_len = 0;
        p.sub_rate = sub, p.ins_rate = ins, p.del_rate = del, p.random_frac = random_frac,
        p.random_qual = true;
        ASSERT_TRUE(make_reads(g.contigs, {}, p, 8, reads, nullptr));
    };
    std::vector<Read> reads;
    run(0.08, 0, 0, 0, reads);
    double diff = 0, len = 0;
    for (const Read &r : reads) {
        Truth t;
        ASSERT_TRUE(parse_truth(r.name, t));
        std::string want = expected_read(g.contigs, {}, t);
        ASSERT_EQ(r.seq.size(), want.size());
        for (size_t k = 0; k < want.size(); ++k) diff += r.seq[k] != want[k];
        len += (double)want.size();
        for (char q : r.qual) ASSERT_TRUE(q >= '#' && q <= 'I');
    }
    EXPECT_NEAR(diff / len, 0.08, 0.005);

    /* insertions lengthen reads, deletions shorten them, substitutions keep the length */
    const double rates[3][3] = {{0.05, 0, 0}, {0, 0.05, 0}, {0, 0, 0.05}}, gain[3] = {0, 0.05, -0.05};
    for (int k = 0; k < 3; ++k) {
        run(rates[k][0], rates[k][1], rates[k][2], 0, reads);
        double gained = 0;
        for (const Read &r : reads) gained += (double)r.seq.size() - 2000;
        EXPECT_NEAR(gained / (50 * 2000), gain[k], 0.004) << k;
    }

    /* all together: the edit distance to the origin is close to the sum of
     * the rates (a little less where neighbouring edits cancel) */
    run(0.05, 0.025, 0.025, 0.2, reads);
    double edits = 0;
    len = 0;
    int random = 0;
    for (const Read &r : reads) {
        Truth t;
        ASSERT_TRUE(parse_truth(r.name, t));
        if (t.random) {
            EXPECT_EQ(t.contig, "*");
            ++random;
            continue;
        }
        std::string want = expected_read(g.contigs, {}, t);
        edits += (double)banded_edit_distance(r.seq, want, 80);
        len += (double)want.size();
    }
    EXPECT_GT(random, 3);
    EXPECT_LT(random, 20);
    EXPECT_NEAR(edits / len, 0.095, 0.01);
}

TEST(Simulate, ReadsAcrossInversionsAndDeletionsFollowTheDonor) {
    Genome g;
    GenomeParams gp;
    gp.total_len = 120000, gp.n_contigs = 2;
    gp.inversions = 3, gp.inversion_len = 1500, gp.deletions = 3, gp.deletion_len = 2000;
    ASSERT_TRUE(make_genome(gp, 5, g, nullptr));
    std::vector<DonorContig> donor;
    ASSERT_TRUE(make_donor(g.contigs, g.features, donor, nullptr));
    uint64_t ref_len = 0, donor_len = 0;
    for (size_t i = 0; i < donor.size(); ++i)
        ref_len += g.contigs[i].seq.size(), donor_len += donor[i].seq.size();
    EXPECT_EQ(ref_len - donor_len, 3u * 2000);

    for (uint64_t len : {5000, 600}) { /* long reads span events, short ones also fall inside inversions */
        ReadParams p;
        p.n_reads = 300, p.mean_len = (double)len, p.sd_len = 0;
        std::vector<Read> reads;
        ASSERT_TRUE(make_reads(g.contigs, g.features, p, 13, reads, nullptr));
        int inv = 0, del = 0, inside = 0;
        for (const Read &r : reads) {
            Truth t;
            ASSERT_TRUE(parse_truth(r.name, t));
            EXPECT_EQ(format_truth(t), r.name);
            EXPECT_EQ(r.seq, expected_read(g.contigs, g.features, t)) << r.name;
            inv += !t.inversions.empty(), del += !t.deletions.empty();
            for (const Feature &f : g.features)
                if (f.type == "inversion" && f.contig == t.contig && t.start >= f.start && t.end <= f.end)
                    ++inside;
            /* a read inside an inversion is on the donor's other strand */
            const std::string &d = donor[t.contig == "ctg1" ? 0 : 1].seq;
            EXPECT_TRUE(d.find(r.seq) != std::string::npos || d.find(revcomp(r.seq)) != std::string::npos)
                << r.name;
            if (!t.deletions.empty()) {
                EXPECT_EQ(r.seq.size() + 2000 * t.deletions.size(), t.end - t.start);
            }
        }
        if (len == 5000) {
            EXPECT_GT(inv, 5);
            EXPECT_GT(del, 5);
        } else {
            EXPECT_GT(inside, 0);
        }
    }

    /* reading the plain genome: no flags at all */
    ReadParams p;
    std::vector<Read> reads;
    ASSERT_TRUE(make_reads(g.contigs, {}, p, 13, reads, nullptr));
    for (const Read &r : reads) EXPECT_EQ(r.name.find("!inv"), std::string::npos);

    /* events that overlap or leave their contig are refused */
    std::vector<Feature> bad = {g.features[0], g.features[0]};
    bad[0].type = "inversion", bad[1].type = "deletion", bad[1].start += 10, bad[1].end += 10;
    std::string err;
    EXPECT_FALSE(make_donor(g.contigs, bad, donor, &err));
    EXPECT_NE(err.find("overlap"), std::string::npos);
    bad.resize(1), bad[0].end = 1u << 30;
    EXPECT_FALSE(make_donor(g.contigs, bad, donor, &err));
}

TEST(Simulate, TruthNamesRoundTripAndBadOnesAreRefused) {
    Truth t;
    ASSERT_TRUE(parse_truth("r12!ctg3!104500!114730!-", t));
    EXPECT_EQ(t.index, 12u);
    EXPECT_EQ(t.contig, "ctg3");
    EXPECT_EQ(t.start, 104500u);
    EXPECT_EQ(t.end, 114730u);
    EXPECT_EQ(t.strand, '-');
    EXPECT_FALSE(t.random);
    EXPECT_EQ(t.mate, 0);

    ASSERT_TRUE(parse_truth("r0!chr_1.2!5!900!+!inv3!inv8!del11!rand/2 length=895", t));
    EXPECT_EQ(t.contig, "chr_1.2");
    EXPECT_EQ(t.inversions, (std::vector<int>{3, 8}));
    EXPECT_EQ(t.deletions, (std::vector<int>{11}));
    EXPECT_TRUE(t.random);
    EXPECT_EQ(t.mate, 2);
    EXPECT_EQ(format_truth(t), "r0!chr_1.2!5!900!+!inv3!inv8!del11!rand/2");

    for (const char *bad : {"", "r12!ctg3!5!4!+", "x1!c!1!2!+", "r1!c!1!2!*", "r1!c!1!2!+!foo", "r1!!1!2!+",
                            "r!c!1!2!+", "r1!c!1!2", "r1!c!-1!2!+", "r1!c!1!2!+!inv", "r1!c!1!2!+!rand!rand",
                            "r1!c!1!99999999999999999999!+"})
        EXPECT_FALSE(parse_truth(bad, t)) << bad;

    /* paired names share the fragment's truth */
    Genome g;
    GenomeParams gp;
    gp.total_len = 50000;
    ASSERT_TRUE(make_genome(gp, 3, g, nullptr));
    ReadParams p;
    p.n_reads = 40, p.mean_len = 300, p.sd_len = 40, p.min_len = 100, p.max_len = 600;
    std::vector<Read> r1, r2;
    ASSERT_TRUE(make_pairs(g.contigs, {}, p, 120, true, 2, r1, r2, nullptr));
    ASSERT_EQ(r1.size(), 40u);
    ASSERT_EQ(r2.size(), 40u);
    for (size_t i = 0; i < r1.size(); ++i) {
        Truth a, b;
        ASSERT_TRUE(parse_truth(r1[i].name, a));
        ASSERT_TRUE(parse_truth(r2[i].name, b));
        EXPECT_EQ(a.mate, 1);
        EXPECT_EQ(b.mate, 2);
        EXPECT_EQ(r1[i].name.substr(0, r1[i].name.size() - 2), r2[i].name.substr(0, r2[i].name.size() - 2));
        EXPECT_EQ(format_truth(a), r1[i].name);
        std::string frag = expected_read(g.contigs, {}, a);
        ASSERT_EQ(r1[i].seq.size(), 120u);
        EXPECT_EQ(r1[i].seq, frag.substr(0, 120));
        EXPECT_EQ(r2[i].seq, revcomp(frag.substr(frag.size() - 120)));
    }
}

TEST(Simulate, FilesRoundTripAndBadParametersAreRefused) {
    lstest::TempDir dir;
    std::vector<Contig> c = {{"a", "ACGTNACGTTGCA"}, {"b", ""}, {"c", "GG"}};
    for (bool gz : {false, true}) {
        std::string path = dir.file(gz ? "x.fa.gz" : "x.fa");
        ASSERT_TRUE(write_fasta(path, c, 5, gz, nullptr));
        std::vector<Contig> back;
        ASSERT_TRUE(read_fasta(path, back, nullptr));
        ASSERT_EQ(back.size(), 3u);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(back[i].name + back[i].seq, c[i].name + c[i].seq);
    }
    EXPECT_EQ(lstest::read_file(dir.file("x.fa")), ">a\nACGTN\nACGTT\nGCA\n>b\n>c\nGG\n");
    EXPECT_EQ(gunzip(dir.file("x.fa.gz")), lstest::read_file(dir.file("x.fa")));
    std::string err;
    std::vector<Contig> back;
    EXPECT_FALSE(read_fasta(dir.file("missing.fa"), back, &err));
    EXPECT_NE(err.find("missing.fa"), std::string::npos);

    Genome g;
    ASSERT_TRUE(make_genome(all_features(), 1, g, nullptr));
    ASSERT_TRUE(write_features(dir.file("f.tsv"), g.features, nullptr));
    std::vector<Feature> f;
    ASSERT_TRUE(read_features(dir.file("f.tsv"), f, nullptr));
    ASSERT_EQ(f.size(), g.features.size());
    for (size_t i = 0; i < f.size(); ++i) {
        EXPECT_EQ(f[i].id, g.features[i].id);
        EXPECT_EQ(f[i].type + f[i].contig + f[i].detail,
                  g.features[i].type + g.features[i].contig + g.features[i].detail);
        EXPECT_EQ(f[i].start, g.features[i].start);
        EXPECT_EQ(f[i].end, g.features[i].end);
        EXPECT_EQ(f[i].strand, g.features[i].strand);
        EXPECT_EQ(f[i].family, g.features[i].family);
    }
    lstest::write_file(dir.file("bad.tsv"), "#id\n1\tnrun\tctg1\t5\n");
    EXPECT_FALSE(read_features(dir.file("bad.tsv"), f, &err));
    EXPECT_NE(err.find("bad.tsv:2"), std::string::npos);

    ReadParams p;
    std::vector<Read> reads;
    p.sub_rate = 0.6, p.ins_rate = 0.3, p.del_rate = 0.2;
    EXPECT_FALSE(make_reads(g.contigs, {}, p, 1, reads, &err));
    p = ReadParams(), p.min_len = 500, p.max_len = 400;
    EXPECT_FALSE(make_reads(g.contigs, {}, p, 1, reads, &err));
    p = ReadParams();
    EXPECT_FALSE(make_reads({{"bad!name", "ACGT"}}, {}, p, 1, reads, &err));
    EXPECT_FALSE(make_reads({{"empty", ""}}, {}, p, 1, reads, &err));
    GenomeParams gp;
    gp.n_contigs = 0;
    EXPECT_FALSE(make_genome(gp, 1, g, &err));
    gp = GenomeParams(), gp.divergence = 2;
    EXPECT_FALSE(make_genome(gp, 1, g, &err));
}

TEST(Simulate, CommandWritesWhatTheLibraryMakes) {
    lstest::TempDir dir;
    const std::string sim = LODESTAR_SIM;
    auto r = lstest::run_command(sim +
                                 " genome --size 150k --contigs 2 --repeats 2 --tandems 2 --inversions 2"
                                 " --deletions 2 --inversion-len 2k --seed 9 -o " +
                                 dir.file("g.fa") + " --features " + dir.file("f.tsv") + " --donor " +
                                 dir.file("d.fa.gz"));
    ASSERT_EQ(r.status, 0) << r.err;
    GenomeParams gp;
    gp.total_len = 150000, gp.n_contigs = 2, gp.repeats = 2, gp.tandems = 2, gp.inversions = 2,
    gp.deletions = 2;
    gp.inversion_len = 2000;
    Genome g;
    ASSERT_TRUE(make_genome(gp, 9, g, nullptr));
    ASSERT_TRUE(write_fasta(dir.file("lib.fa"), g.contigs, 80, false, nullptr));
    EXPECT_EQ(lstest::read_file(dir.file("g.fa")), lstest::read_file(dir.file("lib.fa")));
    std::vector<DonorContig> donor;
    std::vector<Contig> dfile;
    ASSERT_TRUE(make_donor(g.contigs, g.features, donor, nullptr));
    ASSERT_TRUE(read_fasta(dir.file("d.fa.gz"), dfile, nullptr));
    ASSERT_EQ(dfile.size(), 2u);
    EXPECT_EQ(dfile[1].seq, donor[1].seq);

    r = lstest::run_command(sim + " reads -g " + dir.file("g.fa") + " -f " + dir.file("f.tsv") +
                            " -n 40 --mean-len 3000 --sd-len 500 --sub 0.01 --seed 4 --random-qual -o " +
                            dir.file("r.fq"));
    ASSERT_EQ(r.status, 0) << r.err;
    ReadParams p;
    p.n_reads = 40, p.mean_len = 3000, p.sd_len = 500, p.sub_rate = 0.01, p.random_qual = true;
    std::vector<Read> reads;
    ASSERT_TRUE(make_reads(g.contigs, g.features, p, 4, reads, nullptr));
    ASSERT_TRUE(write_reads(dir.file("lib.fq"), reads, true, false, nullptr));
    std::string fq = lstest::read_file(dir.file("r.fq"));
    EXPECT_EQ(fq, lstest::read_file(dir.file("lib.fq")));
    /* valid FASTQ: four lines a record, names that parse, quality as long as the sequence */
    std::vector<std::string> lines;
    for (size_t b = 0, e; (e = fq.find('\n', b)) != std::string::npos; b = e + 1)
        lines.push_back(fq.substr(b, e - b));
    ASSERT_EQ(lines.size(), 160u);
    for (size_t i = 0; i < lines.size(); i += 4) {
        Truth t;
        EXPECT_EQ(lines[i][0], '@');
        EXPECT_TRUE(parse_truth(lines[i].substr(1), t));
        EXPECT_EQ(lines[i + 1].find_first_not_of("ACGTN"), std::string::npos);
        EXPECT_EQ(lines[i + 2], "+");
        EXPECT_EQ(lines[i + 3].size(), lines[i + 1].size());
    }

    /* FASTA by name, gzip by name */
    r = lstest::run_command(sim + " reads -g " + dir.file("g.fa") + " -n 5 --mean-len 500 -o " +
                            dir.file("r.fa.gz"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Contig> rf;
    ASSERT_TRUE(read_fasta(dir.file("r.fa.gz"), rf, nullptr));
    ASSERT_EQ(rf.size(), 5u);
    EXPECT_EQ(gunzip(dir.file("r.fa.gz"))[0], '>');

    r = lstest::run_command(sim + " pairs -g " + dir.file("g.fa") + " -n 7 --suffix -1 " + dir.file("a.fq") +
                            " -2 " + dir.file("b.fq"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string a = lstest::read_file(dir.file("a.fq")), b = lstest::read_file(dir.file("b.fq"));
    EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 28);
    EXPECT_EQ(a.substr(0, a.find("/1\n")), b.substr(0, b.find("/2\n")));

    /* usage and errors */
    r = lstest::run_command(sim + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: lodestar-sim"), std::string::npos);
    r = lstest::run_command(sim + " reads --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--mean-len"), std::string::npos);
    EXPECT_EQ(lstest::run_command(sim).status, 1);
    EXPECT_EQ(lstest::run_command(sim + " genome --bogus 3").status, 1);
    EXPECT_EQ(lstest::run_command(sim + " genome --size 1x").status, 1);
    r = lstest::run_command(sim + " reads -g " + dir.file("nothere.fa"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothere.fa"), std::string::npos);
}

TEST(Simulate, ExampleIsSmallAndComplete) {
    lstest::TempDir dir;
    auto r = lstest::run_command(std::string(LODESTAR_SIM) + " example " + dir.file("ex"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Contig> genome, reads;
    std::vector<Feature> features;
    ASSERT_TRUE(read_fasta(dir.file("ex/genome.fa"), genome, nullptr));
    ASSERT_TRUE(read_fasta(dir.file("ex/reads.fa"), reads, nullptr));
    ASSERT_TRUE(read_features(dir.file("ex/features.tsv"), features, nullptr));
    uint64_t total = 0;
    for (const Contig &c : genome) total += c.seq.size();
    EXPECT_EQ(total, 2000000u);
    ASSERT_EQ(reads.size(), 200u);
    double len = 0;
    int minus = 0;
    for (const Contig &rd : reads) {
        Truth t;
        ASSERT_TRUE(parse_truth(rd.name, t));
        len += (double)rd.seq.size(), minus += t.strand == '-';
    }
    EXPECT_NEAR(len / 200, 10000, 1000);
    EXPECT_GT(minus, 60);
    EXPECT_GT(features.size(), 20u);
}
