// End-to-end runs of the command: argument check, bad files, exit status.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

using lstest::run_command;
using lstest::TempDir;
using lstest::write_file;
using lstest::write_gzip;

namespace {

const std::string kBin = LODESTAR_BIN;
const char *const kUsage = "Usage: lodestar-lite <target.fa> <query.fa>\n";

std::string q(const std::string &s) {
    return "'" + s + "'";
}

// Runs the command on a target and a query file of d.
lstest::RunResult run_on(const TempDir &d, const std::string &target, const std::string &query) {
    return run_command(kBin + " " + q(d.file(target)) + " " + q(d.file(query)));
}

// A small random-looking genome: enough sequence for an index part.
std::string toy_genome() {
    std::string s;
    uint64_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        s += "ACGT"[(x >> 33) & 3];
    }
    return ">chr1 toy\n" + s + "\n";
}

} // namespace

TEST(Cli, UsageOnTooFewArguments) {
    for (const std::string args : {"", " only-one.fa"}) {
        auto r = run_command(kBin + args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, kUsage) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST(Cli, UnopenableFilesFailWithTheirNameAndReason) {
    TempDir d;
    write_file(d.file("t.fa"), toy_genome());
    write_file(d.file("q.fa"), ">r\nACGT\n");

    // Either file missing: status 1, no output, the file named with the reason.
    auto expect_missing = [&](const std::string &target, const std::string &query,
                              const std::string &missing) {
        SCOPED_TRACE(missing);
        auto r = run_on(d, target, query);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
    };
    expect_missing("t.fa", "missing.fq", "missing.fq");
    expect_missing("no-target.fa", "q.fa", "no-target.fa");
}

TEST(Cli, EmptyInputsRunCleanly) {
    TempDir d;
    write_file(d.file("t.fa"), toy_genome());
    write_file(d.file("empty.fa"), "");
    write_file(d.file("q.fa"), ">r\nACGT\n");

    auto r = run_on(d, "t.fa", "empty.fa");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // A target file with no sequence yields no index part: no output, success.
    r = run_on(d, "empty.fa", "q.fa");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(Cli, MalformedFastqIsReportedOnceWithStatusOne) {
    TempDir d;
    write_file(d.file("t.fa"), toy_genome());
    // The third record's quality is shorter than its sequence.
    write_file(d.file("q.fq"), "@r1\nACGT\n+\nIIII\n@r2 c\nACGT\n+\nIIII\n@r3\nACGTAC\n+\nIII\n");
    auto r = run_on(d, "t.fa", "q.fq");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'r2'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("q.fq"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[WARNING]"), r.err.rfind("[WARNING]")) << "warned more than once: " << r.err;

    write_file(d.file("bad-first.fq"), "@r1\nACGT\n+\nII\n");
    r = run_on(d, "t.fa", "bad-first.fq");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad-first.fq"), std::string::npos) << r.err;
}

TEST(Cli, CorruptGzipQueryIsAnError) {
    TempDir d;
    write_file(d.file("t.fa"), toy_genome());
    std::string reads;
    for (int i = 0; i < 2000; ++i) reads += ">r" + std::to_string(i) + "\nACGTACGTTTGACCA\n";
    write_gzip(d.file("q.fa.gz"), reads);
    std::string gz = lstest::read_file(d.file("q.fa.gz"));
    write_file(d.file("cut.fa.gz"), gz.substr(0, gz.size() / 2));

    auto r = run_on(d, "t.fa", "q.fa.gz");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_on(d, "t.fa", "cut.fa.gz");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut.fa.gz"), std::string::npos) << r.err;
}

TEST(Cli, FailedWritesAreNotSuccess) {
    TempDir d;
    write_file(d.file("t.fa"), toy_genome());
    // A query that maps: a stretch of the target itself.
    std::string g = toy_genome();
    std::string body = g.substr(g.find('\n') + 1, 2000);
    write_file(d.file("q.fa"), ">q\n" + body + "\n");
    auto r = run_on(d, "t.fa", "q.fa");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(r.out, "");
    r = run_command(kBin + " " + q(d.file("t.fa")) + " " + q(d.file("q.fa")) + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed to write the results"), std::string::npos) << r.err;
}
