// The library's option list: ls_opt_set applies each kind of value, refuses
// bad ones with the command's own words and leaves the records alone then;
// the command's help shows every listed option once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "args.h"
#include "lodestar.h"

namespace {

struct Records {
    ls_idxopt io;
    ls_mapopt mo;
    Records() { ls_opt_preset(nullptr, &io, &mo); }
    bool operator==(const Records &o) const {
        return memcmp(&io, &o.io, sizeof(io)) == 0 && memcmp(&mo, &o.mo, sizeof(mo)) == 0;
    }
};

} // namespace

TEST(OptionTable, SetAppliesEachKindOfValue) {
    struct Case {
        const char *name, *value;
        std::function<bool(const Records &)> holds;
    };
    const Records d;
    const Case cases[] = {
        {"k", "17", [](const Records &r) { return r.io.k == 17; }},
        {"batch", "2.5M", [](const Records &r) { return r.mo.batch_bases == 2500000; }},
        {"f", "0.001", [](const Records &r) { return r.mo.mid_occ_fraction == 0.001f; }},
        {"bandwidth", "100,1000", [](const Records &r) { return r.mo.bw == 100 && r.mo.long_bw == 1000; }},
        {"O", "5", [&d](const Records &r) { return r.mo.gap_open == 5 && r.mo.gap_open2 == d.mo.gap_open2; }},
        {"secondary", "no", [](const Records &r) { return (r.mo.flag & LS_F_NO_SECONDARY) != 0; }},
        {"rmq", nullptr, [](const Records &r) { return (r.mo.flag & LS_F_RMQ) != 0; }},
        {"cigar", nullptr, [](const Records &r) { return r.mo.flag == (LS_F_BASE_ALIGN | LS_F_CG_TAG); }},
        {"H", nullptr, [](const Records &r) { return r.io.flag == LS_I_HPC; }},
        {"strand", "r",
         [](const Records &r) { return (r.mo.flag & (LS_F_SPLICE_FWD | LS_F_SPLICE_RC)) == LS_F_SPLICE_RC; }},
        {"cs", "long",
         [](const Records &r) {
             return (r.mo.flag & (LS_F_CS_TAG | LS_F_CS_LONG)) == (LS_F_CS_TAG | LS_F_CS_LONG);
         }},
    };
    for (const Case &c : cases) {
        Records r;
        char err[200] = "";
        EXPECT_EQ(ls_opt_set(&r.io, &r.mo, c.name, c.value, err, sizeof(err)), 0) << c.name << ": " << err;
        EXPECT_TRUE(c.holds(r)) << c.name;
    }
}

TEST(OptionTable, RefusalsUseTheCommandsWords) {
    struct Case {
        const char *name, *value;
        int code;
        const char *message;
    };
    const Case cases[] = {
        {"k", "29", -1, "option '-k': '29' is out of range (1 to 28)"},
        {"K", "2.5", -1, "option '-K': '2.5' is not a number"},
        {"pri-ratio", "1.5", -1, "option '--pri-ratio': '1.5' is out of range (0 to 1)"},
        {"bandwidth", "100,x", -1, "option '--bandwidth': 'x' is not a number"},
        {"secondary", "maybe", -1, "option '--secondary': 'maybe' is neither yes nor no"},
        {"strand", "x", -1, "option '--strand': 'x' is none of f, r, b, n"},
        {"eqx", "1", -1, "option '--eqx' takes no value"},
        {"k", nullptr, -1, "option '-k' needs a value"},
        {"frobnicate", "1", -2, "unknown option '--frobnicate'"},
        {"t", "2", -2, "unknown option '-t'"}, // the command's, not the library's
    };
    for (const Case &c : cases) {
        Records r;
        char err[200] = "";
        EXPECT_EQ(ls_opt_set(&r.io, &r.mo, c.name, c.value, err, sizeof(err)), c.code) << c.name;
        EXPECT_STREQ(err, c.message);
        EXPECT_TRUE(r == Records()) << c.name << " changed the records";
        if (c.code != -1 || c.value == nullptr) continue;
        // The command says the same for the same words.
        const bool one = strlen(c.name) == 1;
        std::string opt = (one ? "-" : "--") + std::string(c.name) + (one ? "" : "=" + std::string(c.value));
        std::string value = c.value, target = "r";
        char *argv[] = {&target[0], &opt[0], one ? &value[0] : &target[0], &target[0]};
        lodestar_cmd::Args a;
        std::string cmd_err;
        EXPECT_FALSE(lodestar_cmd::parse_args(4, argv, &a, &cmd_err));
        EXPECT_EQ(cmd_err, c.message);
    }
}

TEST(OptionTable, DefaultTextAndHelp) {
    const Records d;
    const std::pair<const char *, const char *> shown[] = {
        {"k", "15"}, {"f", "0.0002"}, {"bandwidth", "500,20000"}, {"secondary", "yes"}, {"strand", "n"}};
    for (const auto &c : shown) {
        char buf[32];
        EXPECT_EQ(ls_opt_default_text(&d.io, &d.mo, ls_opt_find(c.first), buf, sizeof(buf)),
                  (int)strlen(c.second));
        EXPECT_STREQ(buf, c.second);
    }
    char small[3];
    EXPECT_EQ(ls_opt_default_text(&d.io, &d.mo, ls_opt_find("bandwidth"), small, sizeof(small)), 9);
    EXPECT_STREQ(small, "50");
    EXPECT_EQ(ls_opt_default_text(&d.io, &d.mo, ls_opt_find("cigar"), small, sizeof(small)), -1);
    EXPECT_EQ(ls_opt_info_at(ls_opt_count()), nullptr);

    // Each listed option starts exactly one line of the command's help.
    const std::string help = lodestar_cmd::help_text();
    for (int i = 0; i < ls_opt_count(); ++i) {
        const ls_opt_info *o = ls_opt_info_at(i);
        std::string left = "\n  ";
        if (o->short_name) left += std::string("-") + o->short_name + (o->long_name ? ", " : "");
        if (o->long_name) left += std::string("--") + o->long_name;
        left += o->meta ? (o->value_optional ? "[=" : " ") + std::string(o->meta) : " ";
        const size_t at = help.find(left);
        EXPECT_NE(at, std::string::npos) << left;
        EXPECT_EQ(help.find(left, at + 1), std::string::npos) << left;
    }
}
