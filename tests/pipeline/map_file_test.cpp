#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lodestar.h"
#include "pipeline/map_query.h"
#include "sim.h"
#include "pipeline/split_files.h"
#include "testutil.h"

namespace {

bool file_exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

/* Runs f with standard output sent to path (a file or a device). Bytes the
 * stream could not write are dropped, so that they do not surface later. */
void redirect_stdout(const std::string &path, const std::function<void()> &f) {
    fflush(stdout);
    const int saved = dup(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    f();
    if (fflush(stdout) != 0) __fpurge(stdout);
    clearerr(stdout);
    dup2(saved, 1);
    close(saved);
}

/* Runs f with standard output sent to a file and returns what it printed. */
std::string capture(const std::string &path, const std::function<void()> &f) {
    redirect_stdout(path, f);
    return lstest::read_file(path);
}

/* Temporary file of part j. */
std::string tmp_path(const std::string &prefix, int j) {
    char name[32];
    snprintf(name, sizeof(name), ".%.4d.tmp", j);
    return prefix + name;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) ++n;
    return n;
}

/* Six random contigs (no repeats, so best hits are unique), single and
 * paired reads with errors and some random ones, all written to files. */
struct World {
    lstest::TempDir dir;
    std::string ref, reads, r1, r2;
    std::vector<lssim::Read> rd, p1, p2;

    World() {
        lssim::GenomeParams gp;
        gp.total_len = 240000;
        gp.n_contigs = 6;
        lssim::Genome g;
        std::string err;
        if (!lssim::make_genome(gp, 11, g, &err)) abort();
        lssim::ReadParams rp;
        rp.n_reads = 40;
        rp.mean_len = 1500;
        rp.sd_len = 500;
        rp.min_len = 300;
        rp.sub_rate = 0.01;
        rp.random_frac = 0.1;
        if (!lssim::make_reads(g.contigs, {}, rp, 12, rd, &err)) abort();
        lssim::ReadParams pp;
        pp.n_reads = 20;
        pp.mean_len = 500;
        pp.sd_len = 0;
        pp.sub_rate = 0.005;
        if (!lssim::make_pairs(g.contigs, {}, pp, 150, true, 13, p1, p2, &err)) abort();
        ref = dir.file("ref.fa");
        reads = dir.file("reads.fq");
        r1 = dir.file("r1.fq");
        r2 = dir.file("r2.fq");
        if (!lssim::write_fasta(ref, g.contigs, 60, false, &err) ||
            !lssim::write_reads(reads, rd, true, false, &err) ||
            !lssim::write_reads(r1, p1, true, false, &err) || !lssim::write_reads(r2, p2, true, true, &err))
            abort();
    }
};

World &world() {
    static World w;
    return w;
}

/* All index parts of the reference, each part holding about part_bases. */
std::vector<ls_idx *> build_parts(uint64_t part_bases) {
    ls_idxopt io;
    ls_idxopt_defaults(&io);
    io.k = 15;
    io.w = 10;
    io.index_part_bases = part_bases;
    ls_idx_reader *r = ls_idx_reader_open(world().ref.c_str(), &io, nullptr);
    EXPECT_NE(r, nullptr);
    std::vector<ls_idx *> parts;
    while (ls_idx *mi = ls_idx_reader_read(r, 2)) parts.push_back(mi);
    ls_idx_reader_close(r);
    return parts;
}

ls_mapopt options(const ls_idx *mi, int64_t extra_flags) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.flag |= LS_F_BASE_ALIGN | LS_F_CG_TAG | extra_flags;
    opt.batch_bases = 4000; // many batches in flight
    ls_mapopt_update(&opt, mi);
    return opt;
}

/* Primary lines keyed by query name: the first nine columns and the CIGAR. */
std::map<std::string, std::string> primaries(const std::string &paf) {
    std::map<std::string, std::string> out;
    for (auto &line : lstest::lines(paf)) {
        auto f = lstest::split(line, '\t');
        if (f.size() < 12 || line.find("tp:A:P") == std::string::npos) continue;
        std::string key;
        for (int i = 0; i < 9; ++i) key += f[i] + "\t";
        key += line.substr(line.find("cg:Z:"));
        EXPECT_EQ(out.count(f[0]), 0u) << "two primaries for " << f[0];
        out[f[0]] = key;
    }
    return out;
}

struct Index {
    std::vector<ls_idx *> parts;
    explicit Index(uint64_t part_bases) : parts(build_parts(part_bases)) {}
    ~Index() {
        for (ls_idx *mi : parts) ls_idx_destroy(mi);
    }
};

} // namespace

TEST(MapFile, PafInInputOrderAndSameForAnyThreadCount) {
    Index idx(1ULL << 40);
    ASSERT_EQ(idx.parts.size(), 1u);
    const ls_idx *mi = idx.parts[0];
    ls_mapopt opt = options(mi, LS_F_PAF_UNMAPPED);
    std::string out[3];
    for (int t = 1; t <= 3; ++t)
        out[t - 1] = capture(world().dir.file("o.paf"),
                             [&] { EXPECT_EQ(ls_map_file(mi, world().reads.c_str(), &opt, t), 0); });
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);

    // Every query shows up, in input order; mapped ones where they came from.
    std::vector<std::string> names;
    int correct = 0, mapped = 0;
    for (auto &line : lstest::lines(out[0])) {
        auto f = lstest::split(line, '\t');
        ASSERT_GE(f.size(), 12u);
        if (names.empty() || names.back() != f[0]) names.push_back(f[0]);
        lssim::Truth tr;
        ASSERT_TRUE(lssim::parse_truth(f[0], tr));
        if (f[5] == "*" || line.find("tp:A:P") == std::string::npos) continue;
        ++mapped;
        if (f[5] == tr.contig && std::stoul(f[7]) < tr.end && tr.start < std::stoul(f[8]) &&
            f[4][0] == tr.strand)
            ++correct;
    }
    ASSERT_EQ(names.size(), world().rd.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], world().rd[i].name);
    EXPECT_GE(mapped, 30);
    EXPECT_EQ(correct, mapped);

    // Without LS_F_PAF_UNMAPPED the random reads print nothing.
    opt.flag &= ~LS_F_PAF_UNMAPPED;
    std::string quiet = capture(world().dir.file("o2.paf"),
                                [&] { EXPECT_EQ(ls_map_file(mi, world().reads.c_str(), &opt, 2), 0); });
    EXPECT_EQ(quiet.find("\t*\t"), std::string::npos);
    EXPECT_EQ(primaries(quiet), primaries(out[0]));
}

TEST(MapFile, SamRecordsAndPairedFilesInLockstep) {
    Index idx(1ULL << 40);
    const ls_idx *mi = idx.parts[0];
    ls_mapopt opt = options(mi, LS_F_SAM_OUT);
    std::string sam[3];
    for (int t = 1; t <= 3; ++t)
        sam[t - 1] = capture(world().dir.file("o.sam"),
                             [&] { EXPECT_EQ(ls_map_file(mi, world().reads.c_str(), &opt, t), 0); });
    EXPECT_EQ(sam[0], sam[1]);
    EXPECT_EQ(sam[0], sam[2]);
    // One primary record (or unmapped record) per query, in input order,
    // carrying the query's sequence as read or reverse-complemented.
    size_t q = 0;
    for (auto &line : lstest::lines(sam[0])) {
        auto f = lstest::split(line, '\t');
        ASSERT_GE(f.size(), 11u);
        const int flag = std::stoi(f[1]);
        if (flag & 0x900) continue;
        ASSERT_LT(q, world().rd.size());
        const auto &r = world().rd[q++];
        EXPECT_EQ(f[0], r.name);
        EXPECT_EQ(f[9], (flag & 0x10) ? lssim::revcomp(r.seq) : r.seq);
    }
    EXPECT_EQ(q, world().rd.size());

    // Mates from two files (the second gzip-compressed): each pair is one
    // fragment, mate 1 then mate 2; with pair_orientation 1 the second mate
    // is mapped reverse-complemented, yet printed as read.
    const char *paths[2] = {world().r1.c_str(), world().r2.c_str()};
    opt.pair_orientation = 1;
    std::string pe[2];
    for (int t = 1; t <= 2; ++t)
        pe[t - 1] = capture(world().dir.file("pe.sam"),
                            [&] { EXPECT_EQ(ls_map_file_frag(mi, 2, paths, &opt, t), 0); });
    EXPECT_EQ(pe[0], pe[1]);
    size_t pair = 0;
    int next_mate = 1, proper = 0;
    for (auto &line : lstest::lines(pe[0])) {
        auto f = lstest::split(line, '\t');
        const int flag = std::stoi(f[1]);
        if (flag & 0x900) continue;
        EXPECT_TRUE(flag & 0x1);
        ASSERT_LT(pair, world().p1.size());
        const auto &mate = next_mate == 1 ? world().p1[pair] : world().p2[pair];
        EXPECT_EQ(f[0] + "/" + std::to_string(next_mate), mate.name);
        EXPECT_EQ(flag & 0xc0, next_mate == 1 ? 0x40 : 0x80);
        lssim::Truth tr;
        ASSERT_TRUE(lssim::parse_truth(mate.name, tr));
        if (!(flag & 0x4)) {
            // Mate 1 lies on the fragment's strand, mate 2 on the other one.
            const bool rev = (tr.strand == '-') != (next_mate == 2);
            EXPECT_EQ((flag & 0x10) != 0, rev) << line;
            EXPECT_EQ(f[9], rev ? lssim::revcomp(mate.seq) : mate.seq);
            if (flag & 0x2) ++proper;
        }
        if (next_mate == 2) ++pair;
        next_mate = 3 - next_mate;
    }
    EXPECT_EQ(pair, world().p1.size());
    EXPECT_GE(proper, 30);
}

TEST(MapFile, SplitIndexMergeMatchesOnePart) {
    Index whole(1ULL << 40);
    Index split_idx(50000);
    ASSERT_GE(split_idx.parts.size(), 3u);
    const std::string prefix = world().dir.file("split");
    ls_mapopt opt1 = options(whole.parts[0], 0);
    const std::string one = capture(world().dir.file("one.paf"), [&] {
        EXPECT_EQ(ls_map_file(whole.parts[0], world().reads.c_str(), &opt1, 2), 0);
    });

    ls_mapopt opt = options(split_idx.parts[0], 0);
    opt.split_prefix = prefix.c_str();
    const int n_parts = (int)split_idx.parts.size();
    std::vector<uint32_t> n_seq;
    for (int j = 0; j < n_parts; ++j) {
        n_seq.push_back(split_idx.parts[j]->n_seq);
        const std::string quiet = capture(world().dir.file("part.paf"), [&] {
            EXPECT_EQ(ls_map_file(split_idx.parts[j], world().reads.c_str(), &opt, 3), 0);
        });
        EXPECT_EQ(quiet, "");
        EXPECT_TRUE(file_exists(tmp_path(prefix, j)));
    }
    // The merged table lists every target in part order with its shift.
    {
        std::vector<FILE *> files(n_parts);
        std::vector<uint32_t> got(n_parts);
        int err = -1;
        ls_idx *t = ls_split_read_headers(prefix.c_str(), n_parts, files.data(), got.data(), &err);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(got, n_seq);
        EXPECT_EQ(t->n_seq, whole.parts[0]->n_seq);
        EXPECT_EQ(t->k, 15);
        for (uint32_t i = 0; i < t->n_seq; ++i) {
            EXPECT_STREQ(t->seq[i].name, whole.parts[0]->seq[i].name);
            EXPECT_EQ(t->seq[i].len, whole.parts[0]->seq[i].len);
        }
        for (FILE *f : files) fclose(f);
        ls_idx_destroy(t);
    }
    // Keep a copy of the files for the SAM merge below.
    std::vector<std::string> saved;
    for (int j = 0; j < n_parts; ++j) saved.push_back(lstest::read_file(tmp_path(prefix, j)));
    const std::string merged = capture(world().dir.file("merged.paf"), [&] {
        EXPECT_EQ(ls_split_merge(1, std::vector<const char *>{world().reads.c_str()}.data(), &opt, n_parts),
                  0);
    });
    for (int j = 0; j < n_parts; ++j) EXPECT_FALSE(file_exists(tmp_path(prefix, j)));
    const auto a = primaries(one), b = primaries(merged);
    EXPECT_GE(a.size(), 30u);
    EXPECT_EQ(a, b);

    // SAM merge: only the merged @SQ lines as header, then the records.
    for (int j = 0; j < n_parts; ++j) lstest::write_file(tmp_path(prefix, j), saved[j]);
    opt.flag |= LS_F_SAM_OUT;
    const std::string sam = capture(world().dir.file("merged.sam"), [&] {
        EXPECT_EQ(ls_split_merge(1, std::vector<const char *>{world().reads.c_str()}.data(), &opt, n_parts),
                  0);
    });
    auto lines = lstest::lines(sam);
    ASSERT_GT(lines.size(), whole.parts[0]->n_seq);
    for (uint32_t i = 0; i < whole.parts[0]->n_seq; ++i)
        EXPECT_EQ(lines[i], std::string("@SQ\tSN:") + whole.parts[0]->seq[i].name +
                                "\tLN:" + std::to_string(whole.parts[0]->seq[i].len));
    EXPECT_EQ(lines[whole.parts[0]->n_seq].substr(0, 1) == "@", false);
}

TEST(MapFile, InputFaultStopsAfterWritingEverythingBefore) {
    Index idx(1ULL << 40);
    const ls_idx *mi = idx.parts[0];
    ls_mapopt opt = options(mi, LS_F_PAF_UNMAPPED);
    const auto &dir = world().dir;

    // Query files that cannot be opened.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ls_map_file(mi, dir.file("missing.fq").c_str(), &opt, 2), LS_MAP_ERR_OPEN);
    const char *two[2] = {world().r1.c_str(), "/nonexistent/r2.fq"};
    EXPECT_EQ(ls_map_file_frag(mi, 2, two, &opt, 2), LS_MAP_ERR_OPEN);
    EXPECT_EQ(ls_map_file_frag(mi, 0, two, &opt, 2), LS_MAP_ERR_OPEN);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] failed to open file '/nonexistent/r2.fq'"),
              std::string::npos);

    // The reads before the fault (several batches) and the ones after it.
    const size_t n_good = 25;
    const std::vector<lssim::Read> good(world().rd.begin(), world().rd.begin() + n_good),
        rest(world().rd.begin() + n_good, world().rd.end());
    std::string err;
    ASSERT_TRUE(lssim::write_reads(dir.file("good.fq"), good, true, false, &err) &&
                lssim::write_reads(dir.file("good.fq.gz"), good, true, true, &err) &&
                lssim::write_reads(dir.file("rest.fq"), rest, true, false, &err) &&
                lssim::write_reads(dir.file("rest.fq.gz"), rest, true, true, &err))
        << err;
    const std::string expected = capture(
        dir.file("good.paf"), [&] { EXPECT_EQ(ls_map_file(mi, dir.file("good.fq").c_str(), &opt, 2), 0); });
    uint64_t good_bases = 0;
    for (const auto &r : good) good_bases += r.seq.size();
    std::set<std::string> mapped;
    for (auto &line : lstest::lines(expected))
        if (lstest::split(line, '\t')[5] != "*") mapped.insert(lstest::split(line, '\t')[0]);

    struct Case {
        const char *file;
        std::string bytes;
    } cases[] = {
        // A second gzip member cut short inside its first block.
        {"cut.fq.gz",
         lstest::read_file(dir.file("good.fq.gz")) + lstest::read_file(dir.file("rest.fq.gz")).substr(0, 40)},
        // A quality line shorter than its sequence, and good records after it.
        {"bad.fq", lstest::read_file(dir.file("good.fq")) + "@bad\nACGT\n+\nIII\n" +
                       lstest::read_file(dir.file("rest.fq"))},
    };
    for (const Case &c : cases) {
        const std::string path = dir.file(c.file);
        lstest::write_file(path, c.bytes);
        for (int t : {1, 3}) {
            SCOPED_TRACE(std::string(c.file) + " threads " + std::to_string(t));
            ls_map_stats_reset();
            testing::internal::CaptureStderr();
            int ret = 0;
            const std::string out =
                capture(dir.file("cut.paf"), [&] { ret = ls_map_file(mi, path.c_str(), &opt, t); });
            const std::string msg = testing::internal::GetCapturedStderr();
            EXPECT_EQ(ret, LS_MAP_ERR_INPUT);
            EXPECT_EQ(out, expected);
            EXPECT_EQ(count(msg, "[ERROR]"), 1u) << msg;
            EXPECT_NE(msg.find(path), std::string::npos) << msg;
            ls_map_stats st;
            ls_map_stats_get(&st);
            EXPECT_EQ(st.n_queries, n_good);
            EXPECT_EQ(st.n_bases, good_bases);
            EXPECT_EQ(st.n_mapped, mapped.size());
        }
    }
}

TEST(MapFile, OutputFaultsAreReturnedOnce) {
    Index idx(1ULL << 40);
    const ls_idx *mi = idx.parts[0];
    const std::string full = world().dir.file("full");
    ASSERT_EQ(symlink("/dev/full", tmp_path(full, 0).c_str()), 0);
    struct Case {
        const char *split_prefix; // null: standard output
        std::string message;
    } cases[] = {
        {nullptr, "[ERROR] failed to write the results: No space left on device\n"},
        // A link planted at the temporary file's name is not written through.
        {full.c_str(), "[ERROR] temporary file '" + tmp_path(full, 0) +
                           "' exists, perhaps left by an earlier run: remove it or choose another "
                           "--split-prefix\n"},
        {"/nonexistent/dir/x", "[ERROR] failed to write to temporary file "
                               "'/nonexistent/dir/x.0000.tmp': No such file or directory\n"},
    };
    for (const Case &c : cases) {
        for (int t : {1, 3}) {
            SCOPED_TRACE(std::string(c.split_prefix ? c.split_prefix : "stdout") + " threads " +
                         std::to_string(t));
            ls_mapopt opt = options(mi, LS_F_PAF_UNMAPPED);
            opt.split_prefix = c.split_prefix;
            testing::internal::CaptureStderr();
            int ret = 0;
            redirect_stdout(c.split_prefix ? world().dir.file("o.paf") : "/dev/full",
                            [&] { ret = ls_map_file(mi, world().reads.c_str(), &opt, t); });
            EXPECT_EQ(ret, LS_MAP_ERR_OUTPUT);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        }
    }
    char target[16] = {0};
    EXPECT_EQ(readlink(tmp_path(full, 0).c_str(), target, sizeof(target) - 1), 9);
    EXPECT_STREQ(target, "/dev/full") << "the link is kept";
    remove(tmp_path(full, 0).c_str());
}

TEST(MapFile, DamagedSplitFilesStopTheMergeAndAreKept) {
    Index idx(50000);
    ASSERT_GE(idx.parts.size(), 2u);
    ls_mapopt opt = options(idx.parts[0], LS_F_PAF_UNMAPPED);
    const std::string prefix = world().dir.file("damaged");
    opt.split_prefix = prefix.c_str();
    const int n_parts = (int)idx.parts.size();
    for (int j = 0; j < n_parts; ++j)
        capture(world().dir.file("x"),
                [&] { EXPECT_EQ(ls_map_file(idx.parts[j], world().reads.c_str(), &opt, 2), 0); });
    std::vector<std::string> saved;
    for (int j = 0; j < n_parts; ++j) saved.push_back(lstest::read_file(tmp_path(prefix, j)));
    const char *q[1] = {world().reads.c_str()};

    // A part missing, or none asked for.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ls_split_merge(1, q, &opt, n_parts + 1), LS_MAP_ERR_OPEN);
    EXPECT_EQ(ls_split_merge(1, q, &opt, 0), LS_MAP_ERR_OPEN);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("failed to open temporary file"),
              std::string::npos);

    const std::string whole =
        capture(world().dir.file("whole.paf"), [&] { EXPECT_EQ(ls_split_merge(1, q, &opt, n_parts), 0); });
    const std::string &b = saved[1];
    struct Case {
        const char *what;
        std::string bytes; // of part 1
        const char *message;
    } cases[] = {
        {"cut in half", b.substr(0, b.size() / 2), "it ends early"},
        {"cut in the header", b.substr(0, 6), "it ends early"},
        {"a query too many", b + std::string(12, '\0'), "more queries than the query files hold"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int j = 0; j < n_parts; ++j)
            lstest::write_file(tmp_path(prefix, j), j == 1 ? c.bytes : saved[j]);
        testing::internal::CaptureStderr();
        int ret = 0;
        const std::string out =
            capture(world().dir.file("damaged.paf"), [&] { ret = ls_split_merge(1, q, &opt, n_parts); });
        const std::string msg = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ret, LS_MAP_ERR_INPUT);
        EXPECT_EQ(count(msg, "[ERROR]"), 1u) << msg;
        EXPECT_NE(msg.find(tmp_path(prefix, 1) + ": " + c.message), std::string::npos) << msg;
        EXPECT_EQ(whole.compare(0, out.size(), out), 0) << "not a prefix of the whole output";
        for (int j = 0; j < n_parts; ++j) EXPECT_TRUE(file_exists(tmp_path(prefix, j)));
    }
    ls_split_remove(prefix.c_str(), n_parts);
}

/* Interleaved mode groups consecutive records of one name: a run longer than
 * a fragment may hold goes on as further fragments, and with all chains kept
 * every mate still has a SAM primary for its mate's record to point to. Both
 * used to stop the process at an assertion. */
TEST(MapFile, FragmentModeTakesLongRunsOfOneNameAndAllChains) {
    Index idx(1ULL << 40);
    const ls_idx *mi = idx.parts[0];
    lstest::TempDir dir;
    std::string same, pairs;
    for (int i = 0; i < 300; ++i) same += ">x\n" + world().p1[0].seq + "\n";
    for (size_t i = 0; i < world().p1.size(); ++i)
        pairs += ">" + world().p1[i].name + "\n" + world().p1[i].seq + "\n>" + world().p2[i].name + "\n" +
                 world().p2[i].seq + "\n";
    lstest::write_file(dir.file("same.fa"), same);
    lstest::write_file(dir.file("pairs.fa"), pairs);
    struct Case {
        const char *file;
        int64_t flag;
        size_t n_records; // neither secondary nor supplementary
    } cases[] = {
        {"same.fa", LS_F_SAM_OUT | LS_F_FRAGMENT, 300},
        {"pairs.fa", LS_F_SAM_OUT | LS_F_FRAGMENT | LS_F_ALL_CHAINS, 2 * world().p1.size()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        ls_mapopt opt = options(mi, c.flag);
        const std::string sam = capture(
            dir.file("o.sam"), [&] { EXPECT_EQ(ls_map_file(mi, dir.file(c.file).c_str(), &opt, 2), 0); });
        size_t n = 0;
        for (auto &line : lstest::lines(sam))
            if (!(std::stoi(lstest::split(line, '\t')[1]) & 0x900)) ++n;
        EXPECT_EQ(n, c.n_records);
    }
}
