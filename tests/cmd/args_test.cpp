// The command line of `lodestar`: every option group reaches the option
// records, presets yield to the options given with them, and bad lines fail
// with a message that names the option.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "args.h"
#include "testutil.h"

using lodestar_cmd::Args;
using lodestar_cmd::parse_args;

namespace {

// Parses a command line given as one string (words split at blanks).
bool parse(const std::string &line, Args *a, std::string *err) {
    std::vector<std::string> words{"lodestar"};
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    return parse_args((int)argv.size(), argv.data(), a, err);
}

} // namespace

TEST(Args, EveryGroupReachesTheOptionRecords) {
    struct Case {
        const char *line;
        std::function<void(const Args &)> check;
    };
    const Case cases[] = {
        {"-t 4 -K 2M -I 1.5G --sketch-batch 10k -d x.idx --split-prefix tmp/p ref.fa q.fq",
         [](const Args &a) {
             EXPECT_EQ(a.n_threads, 4);
             EXPECT_EQ(a.mo.batch_bases, 2000000);
             EXPECT_EQ(a.io.index_part_bases, 1500000000u);
             EXPECT_EQ(a.io.sketch_batch_bases, 10000);
             EXPECT_EQ(a.index_out, "x.idx");
             EXPECT_STREQ(a.mo.split_prefix, "tmp/p");
             EXPECT_EQ(a.positional, (std::vector<std::string>{"ref.fa", "q.fq"}));
         }},
        {"-k 17 -w 11 -H --bucket-bits 12 ref.fa",
         [](const Args &a) {
             EXPECT_EQ(a.io.k, 17);
             EXPECT_EQ(a.io.w, 11);
             EXPECT_TRUE(a.io.flag & LS_I_HPC);
             EXPECT_EQ(a.io.bucket_bits, 12);
         }},
        {"-f 0.001 -U 20,300 -g 2k -r 100,1000 -n 4 -m 50 -p 0.5 -N 3 --secondary=no --rmq --for-only "
         "-F 500 --dust 20 --mid-occ 77 --alt alt.txt r q",
         [](const Args &a) {
             EXPECT_FLOAT_EQ(a.mo.mid_occ_fraction, 0.001f);
             EXPECT_EQ(a.mo.mid_occ_min, 20);
             EXPECT_EQ(a.mo.mid_occ_max, 300);
             EXPECT_EQ(a.mo.chain_max_gap, 2000);
             EXPECT_EQ(a.mo.bw, 100);
             EXPECT_EQ(a.mo.long_bw, 1000);
             EXPECT_EQ(a.mo.chain_min_anchors, 4);
             EXPECT_EQ(a.mo.chain_min_score, 50);
             EXPECT_FLOAT_EQ(a.mo.secondary_ratio, 0.5f);
             EXPECT_EQ(a.mo.max_secondary, 3);
             EXPECT_EQ(a.mo.flag & (LS_F_NO_SECONDARY | LS_F_RMQ | LS_F_FORWARD_ONLY),
                       LS_F_NO_SECONDARY | LS_F_RMQ | LS_F_FORWARD_ONLY);
             EXPECT_EQ(a.mo.max_fragment_len, 500);
             EXPECT_EQ(a.mo.dust_threshold, 20);
             EXPECT_EQ(a.mo.mid_occ, 77);
             EXPECT_EQ(a.alt, "alt.txt");
         }},
        {"-c -A 3 -B 5 -O 5,25 -E 3 --score-N 2 -z 300,100 -s 50 --eqx r q",
         [](const Args &a) {
             EXPECT_EQ(a.mo.flag & (LS_F_BASE_ALIGN | LS_F_CG_TAG | LS_F_EQX),
                       LS_F_BASE_ALIGN | LS_F_CG_TAG | LS_F_EQX);
             EXPECT_EQ(a.mo.match_score, 3);
             EXPECT_EQ(a.mo.mismatch_penalty, 5);
             EXPECT_EQ(a.mo.gap_open, 5);
             EXPECT_EQ(a.mo.gap_open2, 25);
             EXPECT_EQ(a.mo.gap_ext, 3);
             EXPECT_EQ(a.mo.gap_ext2, Args().mo.gap_ext2); // one value leaves the second model alone
             EXPECT_EQ(a.mo.ambiguous_score, 2);
             EXPECT_EQ(a.mo.zdrop, 300);
             EXPECT_EQ(a.mo.zdrop_inversion, 100);
             EXPECT_EQ(a.mo.min_dp_score, 50);
         }},
        {"--splice -G 50k --strand f -C 7 --junc-bed a.bed --jump j.bed --spsc s.tsv --pass1 p.junc r q",
         [](const Args &a) {
             EXPECT_EQ(a.mo.flag & (LS_F_SPLICE | LS_F_SPLICE_FWD | LS_F_SPLICE_RC), LS_F_SPLICE | LS_F_SPLICE_FWD);
             EXPECT_EQ(a.mo.bw, 50000);
             EXPECT_EQ(a.mo.long_bw, 50000);
             EXPECT_EQ(a.mo.chain_max_gap_ref, 50000);
             EXPECT_EQ(a.mo.noncanonical_penalty, 7);
             EXPECT_EQ(a.junc_bed + a.jump + a.spsc + a.pass1, "a.bedj.beds.tsvp.junc");
         }},
        {"-a -o out.sam -R @RG\\tID:x\\tSM:y --cs=long --MD -L -Y -y --sam-hit-only -v 3 r q",
         [](const Args &a) {
             const int64_t want = LS_F_SAM_OUT | LS_F_BASE_ALIGN | LS_F_CS_TAG | LS_F_CS_LONG | LS_F_MD_TAG |
                                  LS_F_LONG_CIGAR | LS_F_SOFT_CLIP | LS_F_COPY_COMMENT | LS_F_SAM_HITS_ONLY;
             EXPECT_EQ(a.mo.flag & want, want);
             EXPECT_EQ(a.out_path, "out.sam");
             EXPECT_EQ(a.rg_line, "@RG\\tID:x\\tSM:y");
             EXPECT_EQ(a.verbosity, 3);
         }},
        // A preset applies first wherever it stands; options override it.
        {"-k 13 -x map-hifi -t 2 r q",
         [](const Args &a) {
             EXPECT_EQ(a.preset, "map-hifi");
             EXPECT_EQ(a.io.k, 13);
             EXPECT_EQ(a.io.w, 19);
             EXPECT_EQ(a.mo.match_score, 1);
         }},
        // Bundled switches and a value glued to its option.
        {"-ax sr -t3 r q1 q2",
         [](const Args &a) {
             EXPECT_TRUE(a.mo.flag & LS_F_SAM_OUT);
             EXPECT_TRUE(a.mo.flag & LS_F_SHORT_READ);
             EXPECT_EQ(a.n_threads, 3);
             EXPECT_EQ(a.positional.size(), 3u);
         }},
        // The intron length sets the bandwidths unless -r says otherwise.
        {"-x splice -r 300,400 -G 1000 r q",
         [](const Args &a) {
             EXPECT_EQ(a.mo.bw, 300);
             EXPECT_EQ(a.mo.long_bw, 400);
             EXPECT_EQ(a.mo.chain_max_gap_ref, 1000);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Args a;
        std::string err;
        ASSERT_TRUE(parse(c.line, &a, &err)) << err;
        c.check(a);
    }
}

TEST(Args, BadLinesNameTheOption) {
    const std::pair<const char *, const char *> cases[] = {
        {"--frobnicate r q", "unknown option '--frobnicate'"},
        {"-Q r q", "unknown option '-Q'"},
        {"r q -t", "option '-t' needs a value"},
        {"-t four r q", "option '-t': 'four' is not a number"},
        {"-t 0 r q", "option '-t': '0' is out of range (1 to 1024)"},
        {"-k 29 r q", "option '-k': '29' is out of range (1 to 28)"},
        {"-p 1.5 r q", "option '-p': '1.5' is out of range (0 to 1)"},
        {"-K 2.5 r q", "option '-K': '2.5' is not a number"},
        {"-r 100,x r q", "option '-r': 'x' is not a number"},
        {"--secondary=maybe r q", "option '--secondary': 'maybe' is neither yes nor no"},
        {"--cs=medium r q", "option '--cs': 'medium' is neither short nor long"},
        {"--eqx=1 r q", "option '--eqx' takes no value"},
        {"--strand x r q", "option '--strand': 'x' is none of f, r, b, n"},
        {"-x map-foo r q", "unknown preset 'map-foo'; valid presets: map-ont, lr,"},
        {"-x asm7 r q", "unknown preset 'asm7'"},
        {"-R ID:x r q", "option '-R': the read group line must start with @RG"},
        {"-R @RG\\tSM:y r q", "option '-R': the read group line has no ID field"},
    };
    for (const auto &c : cases) {
        Args a;
        std::string err;
        EXPECT_FALSE(parse(c.first, &a, &err)) << c.first;
        EXPECT_EQ(err.compare(0, strlen(c.second), c.second), 0) << c.first << "\n got: " << err;
    }
    // Every preset the help lists is accepted.
    std::istringstream names(lodestar_cmd::preset_names());
    for (std::string name; std::getline(names >> std::ws, name, ',');) {
        Args a;
        std::string err;
        EXPECT_TRUE(parse("-x " + name + " r q", &a, &err)) << err;
    }
    // A refused "asm" preset must not leave half of its settings behind.
    Args a;
    std::string err;
    EXPECT_FALSE(parse("-x asm7 r q", &a, &err));
    EXPECT_EQ(a.io.k, Args().io.k);
}

TEST(Args, SizesTakeDecimalSuffixes) {
    const std::pair<const char *, long long> good[] = {{"500", 500}, {"4k", 4000}, {"2.5M", 2500000},
                                                       {"8G", 8000000000LL}, {"1e3", 1000}};
    for (const auto &c : good) {
        long long v = 0;
        EXPECT_TRUE(lodestar_cmd::parse_size(c.first, 0, 1LL << 40, &v)) << c.first;
        EXPECT_EQ(v, c.second) << c.first;
    }
    for (const char *bad : {"", "k", "1.5", "4kb", "-1", "abc", "2T"}) {
        long long v;
        EXPECT_FALSE(lodestar_cmd::parse_size(bad, 0, 1LL << 40, &v)) << bad;
    }
}

// The manual page names every long option of --help, and docs/output.md every
// tag the writers' sources can print ("\tXX:T:" in a format string).
TEST(Args, ManPageAndOutputDocCoverEveryOptionAndTag) {
    const std::string src = LODESTAR_SOURCE_DIR;
    const std::string man = lstest::read_file(src + "/docs/lodestar.1");
    const std::string help = lodestar_cmd::help_text();
    std::regex long_opt("(^|[ ,])--([a-zA-Z0-9][a-zA-Z0-9:-]*)");
    int n_opts = 0;
    for (std::sregex_iterator it(help.begin(), help.end(), long_opt), end; it != end; ++it, ++n_opts) {
        std::string roff;
        for (char c : (*it)[2].str()) roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(man.find("\\fB\\-\\-" + roff + "\\fR"), std::string::npos) << "--" << (*it)[2];
    }
    EXPECT_GT(n_opts, 80);
    const std::string doc = lstest::read_file(src + "/docs/output.md");
    std::regex tag("\\\\t([A-Za-z][A-Za-z0-9]):[AifZB]:");
    int n_tags = 0;
    for (const char *file : {"lib/output/paf.cpp", "lib/output/sam.cpp", "lib/output/diff_strings.cpp"}) {
        const std::string code = lstest::read_file(src + "/" + file);
        for (std::sregex_iterator it(code.begin(), code.end(), tag), end; it != end; ++it, ++n_tags)
            EXPECT_NE(doc.find("`" + (*it)[1].str() + "`"), std::string::npos) << (*it)[1] << " of " << file;
    }
    EXPECT_GT(n_tags, 15);
}

// The usage document is the help text, so it cannot fall behind the options.
TEST(Args, UsageDocumentMatchesTheHelp) {
    const std::string doc = lstest::read_file(std::string(LODESTAR_SOURCE_DIR) + "/docs/usage.md");
    const std::string help = lodestar_cmd::help_text();
    EXPECT_NE(doc.find("```\n" + help + "```\n"), std::string::npos)
        << "docs/usage.md is out of date: regenerate it with scripts/usage-doc.sh";
    // Every line of the help fits a terminal.
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) EXPECT_LE(line.size(), 120u) << line;
}
