#include "testutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "align/kernels/dp_kernel.h"

namespace lstest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/lodestar-test-XXXXXX";
    if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "warning: could not remove %s\n", path_.c_str());
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

void write_gzip(const std::string &path, const std::string &content) {
    gzFile fp = gzopen(path.c_str(), "wb");
    if (!fp) throw std::runtime_error("cannot write " + path);
    if (!content.empty() && gzwrite(fp, content.data(), (unsigned)content.size()) != (int)content.size())
        throw std::runtime_error("gzwrite failed on " + path);
    gzclose(fp);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

RunResult run_command(const std::string &cmdline) {
    TempDir dir;
    std::string out = dir.file("out"), err = dir.file("err");
    std::string full = "(" + cmdline + ") >'" + out + "' 2>'" + err + "' </dev/null";
    int rc = system(full.c_str());
    RunResult r;
    r.status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

void expect_all_freed_and_release(km_arena *km) {
    km_stats st;
    km_stat(km, &st);
    EXPECT_EQ(st.n_blocks, st.n_cores);
    km_release(km);
}

Seq encode(const std::string &s) {
    Seq r;
    for (char ch : s) r.push_back(ch == 'A' ? 0 : ch == 'C' ? 1 : ch == 'G' ? 2 : ch == 'T' ? 3 : 4);
    return r;
}

std::vector<int8_t> make_matrix(int a, int b, int amb, int tp) {
    std::vector<int8_t> mat(25);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) {
            int sc = i == j ? a : -b;
            if (tp && i != j && i < 4 && j < 4 && (i ^ j) == 2) sc = -tp;
            if (i == 4 || j == 4) sc = -amb;
            mat[i * 5 + j] = (int8_t)sc;
        }
    return mat;
}

std::string random_dna(std::mt19937 &rng, size_t n) {
    std::string s(n, 'A');
    for (char &c : s) c = "ACGT"[rng() & 3];
    return s;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t b = 0;
    for (size_t e; (e = s.find(sep, b)) != std::string::npos; b = e + 1) out.push_back(s.substr(b, e - b));
    out.push_back(s.substr(b));
    return out;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

Idx::Idx(const std::vector<std::string> &t, bool named) {
    std::vector<const char *> s, n;
    std::vector<std::string> names;
    for (size_t i = 0; i < t.size(); ++i) names.push_back("chr" + std::to_string(i + 1));
    for (size_t i = 0; i < t.size(); ++i) s.push_back(t[i].c_str()), n.push_back(names[i].c_str());
    mi = ls_idx_str(10, 15, 0, 10, (int)t.size(), s.data(), named ? n.data() : nullptr);
}

Idx::~Idx() {
    ls_idx_destroy(mi);
}

uint32_t op(uint32_t len, char c) {
    return len << 4 | (uint32_t)(strchr(LS_CIGAR_STR, c) - LS_CIGAR_STR);
}

std::string cigar_str(const uint32_t *cigar, size_t n) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += std::to_string(cigar[k] >> 4) + LS_CIGAR_STR[cigar[k] & 0xf];
    return s;
}

std::string cigar_str(const ls_extra *p) {
    return p ? cigar_str(p->cigar, p->n_cigar) : std::string();
}

std::vector<uint32_t> cigar_of(const ls_reg &r) {
    return std::vector<uint32_t>(r.p->cigar, r.p->cigar + r.p->n_cigar);
}

ls_extra *new_extra(int max_score) {
    ls_extra *p = static_cast<ls_extra *>(calloc(8, sizeof(uint32_t)));
    p->capacity = 8;
    p->max_score = max_score;
    return p;
}

void free_regions(int n, ls_reg *regs) {
    for (int i = 0; i < n; ++i) free(regs[i].p);
    free(regs);
}

void plant_introns(std::string &g, const Gene &gene) {
    for (size_t i = 0; i + 1 < gene.exons.size(); ++i) {
        const int s = gene.exons[i].second, e = gene.exons[i + 1].first;
        g[s] = 'G', g[s + 1] = 'T', g[e - 2] = 'A', g[e - 1] = 'G';
    }
}

std::string transcript(const std::string &g, const Gene &gene) {
    std::string t;
    for (auto &ex : gene.exons) t += g.substr(ex.first, ex.second - ex.first);
    return t;
}

std::vector<int> introns_of(const ls_reg &r) {
    std::vector<int> v;
    for (uint32_t i = 0; i < r.p->n_cigar; ++i)
        if ((r.p->cigar[i] & 0xf) == LS_CIGAR_N_SKIP) v.push_back((int)(r.p->cigar[i] >> 4));
    return v;
}

void check_narrower_kernels(const std::string &gtest_filter) {
    const char *off = getenv("LODESTAR_DISABLE_CPU_FEATURES");
    if (off) { /* a child run */
        EXPECT_STREQ(dpx_kernel_isa(), strstr(off, "avx2") ? "sse2" : "avx2");
        return;
    }
    const std::string widest = dpx_kernel_isa();
    if (widest == "sse2") GTEST_SKIP() << "the kernels above were the SSE2 ones";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    for (const char *off_isa : {"avx512", "avx2"}) {
        if (widest == "avx2" && strcmp(off_isa, "avx512") == 0) continue;
        RunResult res = run_command(std::string("LODESTAR_DISABLE_CPU_FEATURES=") + off_isa + " '" + self +
                                    "' --gtest_filter='" + gtest_filter + "' --gtest_brief=1");
        EXPECT_EQ(res.status, 0) << off_isa << " off\n" << res.out << res.err;
    }
}

} // namespace lstest
