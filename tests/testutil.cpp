#include "testutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

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

} // namespace lstest
