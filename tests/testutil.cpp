#include "testutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

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

} // namespace lstest
