// Run contexts: two runs in one process keep their read groups, totals,
// messages and temporary files apart, and a run's output is the same bytes
// whichever sink takes it.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

struct Data {
    lstest::TempDir dir;
    std::string ref, reads;
    ls_idx *mi = nullptr;
    ls_mapopt opt;

    Data() {
        lssim::GenomeParams gp;
        gp.total_len = 60000;
        gp.n_contigs = 2;
        lssim::Genome g;
        std::vector<lssim::Read> rd;
        lssim::ReadParams rp;
        rp.n_reads = 30;
        rp.mean_len = 1000;
        rp.sd_len = 200;
        rp.min_len = 300;
        rp.sub_rate = 0.01;
        rp.random_frac = 0.2;
        std::string err;
        ref = dir.file("ref.fa");
        reads = dir.file("reads.fq");
        if (!lssim::make_genome(gp, 5, g, &err) || !lssim::make_reads(g.contigs, {}, rp, 6, rd, &err) ||
            !lssim::write_fasta(ref, g.contigs, 60, false, &err) || !lssim::write_reads(reads, rd, true, false, &err))
            abort();
        ls_idxopt io;
        ls_idxopt_defaults(&io);
        ls_idx_reader *r = ls_idx_reader_open(ref.c_str(), &io, nullptr);
        mi = ls_idx_reader_read(r, 1);
        ls_idx_reader_close(r);
        ls_mapopt_defaults(&opt);
        opt.flag |= LS_F_BASE_ALIGN | LS_F_SAM_OUT;
        opt.batch_bases = 5000; // several batches
        ls_mapopt_update(&opt, mi);
    }
    ~Data() { ls_idx_destroy(mi); }
};

Data &data() {
    static Data d;
    return d;
}

int append(void *data, const char *buf, size_t len) {
    static_cast<std::string *>(data)->append(buf, len);
    return 0;
}

int refuse(void *, const char *, size_t) {
    errno = ENOSPC;
    return -1;
}

void collect(void *data, int level, const char *line) {
    static_cast<std::vector<std::string> *>(data)->push_back(std::to_string(level) + line);
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
    return s;
}

TEST(Run, TwoRunsKeepTheirReadGroupsAndTotalsAndEqualTheDefaultRun) {
    Data &d = data();
    const char *path = d.reads.c_str();
    // The default run, as the calls without a run use it, into a file.
    FILE *fp = tmpfile();
    ls_run_set_output(ls_run_default(), fp);
    ls_map_stats_reset();
    ASSERT_EQ(ls_map_file(d.mi, path, &d.opt, 2), 0);
    ls_run_set_output(ls_run_default(), nullptr);
    rewind(fp);
    std::string plain;
    for (int c; (c = fgetc(fp)) != EOF;) plain += (char)c;
    fclose(fp);
    ls_map_stats def;
    ls_map_stats_get(&def);

    ls_run *a = ls_run_init(), *b = ls_run_init();
    std::string out_a, out_b;
    ls_run_set_writer(a, append, &out_a);
    ls_run_set_writer(b, append, &out_b);
    ASSERT_EQ(ls_run_set_read_group(a, "@RG\\tID:a\\tSM:x"), 0);
    ASSERT_EQ(ls_run_set_read_group(b, "@RG\\tID:b"), 0);
    EXPECT_STREQ(ls_run_read_group_id(a), "a");
    EXPECT_STREQ(ls_rg_id, ""); // the default run's ID is untouched
    ASSERT_EQ(ls_run_map_files(a, d.mi, 1, &path, &d.opt, 3), 0);
    ASSERT_EQ(ls_run_map_files(b, d.mi, 1, &path, &d.opt, 1), 0);
    EXPECT_EQ(ls_run_sam_header(a, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_NE(out_a.find("\n@RG\tID:a\tSM:x\n@PG"), std::string::npos);

    // Every record carries its run's tag; without it, the default run's bytes.
    const std::string body_a = out_a.substr(0, out_a.find("@HD"));
    EXPECT_EQ(lstest::lines(body_a).size(), lstest::lines(plain).size());
    EXPECT_EQ(replace_all(body_a, "\tRG:Z:a", ""), plain);
    EXPECT_EQ(replace_all(out_b, "\tRG:Z:b", ""), plain);

    ls_map_stats sa, sd;
    ls_run_stats(a, &sa);
    ls_map_stats_get(&sd);
    EXPECT_EQ(sa.n_queries, 30u);
    EXPECT_EQ(sa.n_mapped, def.n_mapped);
    EXPECT_EQ(sd.n_queries, def.n_queries); // runs a and b left the default totals alone
    ls_run_destroy(a);
    ls_run_destroy(b);
}

TEST(Run, MessagesAndFailuresGoToTheRunsLog) {
    Data &d = data();
    ls_run *run = ls_run_init();
    std::vector<std::string> log;
    ls_run_set_log(run, collect, &log, 1);
    const std::string missing = d.dir.file("missing.fq");
    const char *path = missing.c_str();
    EXPECT_EQ(ls_run_map_files(run, d.mi, 1, &path, &d.opt, 1), LS_MAP_ERR_OPEN);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("1[ERROR] failed to open file '" + missing + "'", 0), 0u) << log[0];

    // A writer that refuses: the run stops with an output error, said once.
    log.clear();
    ls_run_set_writer(run, refuse, nullptr);
    path = d.reads.c_str();
    EXPECT_EQ(ls_run_map_files(run, d.mi, 1, &path, &d.opt, 2), LS_MAP_ERR_OUTPUT);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("failed to write the results: " + std::string(strerror(ENOSPC))), std::string::npos);

    // A rejected read group leaves none; warnings are below verbosity 1.
    log.clear();
    EXPECT_EQ(ls_run_set_read_group(run, "@RG\\tSM:x"), -1);
    EXPECT_STREQ(ls_run_read_group_id(run), "");
    EXPECT_EQ(log, std::vector<std::string>{"1[ERROR] no ID within the read group line"});
    ls_run_destroy(run);
}

TEST(Run, DestroyRemovesOnlyTheRunsOwnTemporaryFiles) {
    Data &d = data();
    ls_mapopt opt = d.opt;
    const std::string prefix = d.dir.file("split");
    opt.split_prefix = prefix.c_str();
    ls_run *a = ls_run_init(), *b = ls_run_init();
    const char *path = d.reads.c_str();
    ASSERT_EQ(ls_run_map_files(a, d.mi, 1, &path, &opt, 1), 0);
    const std::string part0 = prefix + ".0000.tmp";
    struct stat st;
    ASSERT_EQ(stat(part0.c_str(), &st), 0);
    ls_run_split_discard(b, prefix.c_str()); // not b's file
    ls_run_destroy(b);
    EXPECT_EQ(stat(part0.c_str(), &st), 0);
    ls_run_destroy(a);
    EXPECT_NE(stat(part0.c_str(), &st), 0);
}

} // namespace
