/* Helpers shared by the tests: temporary files, running the command, the
 * arena leak check, and encoded sequences with their scoring matrices. */
#ifndef LODESTAR_TESTUTIL_H
#define LODESTAR_TESTUTIL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "base/arena.h"

namespace lstest {

/* A fresh directory under the system's temporary folder, removed with its
 * contents when the object goes out of scope. */
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    /* Path of a file inside the directory. */
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
/* Writes content gzip-compressed. */
void write_gzip(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

struct RunResult {
    int status = -1; /* exit status, or -1 if the process did not exit normally */
    std::string out, err;
};

/* Runs a shell command line, capturing standard output and standard error. */
RunResult run_command(const std::string &cmdline);

/* Checks that every block taken from km went back (each core is one free
 * block again), then releases km. */
void expect_all_freed_and_release(km_arena *km);

/* A sequence in the 0-4 code (A, C, G, T, anything else N). */
typedef std::vector<uint8_t> Seq;

Seq encode(const std::string &s);

/* Scoring matrix as the aligners build it: match a, mismatch -b, -amb against
 * N, and -tp for transitions (A/G, C/T) when tp is set. */
std::vector<int8_t> make_matrix(int a, int b, int amb, int tp = 0);

} // namespace lstest

#endif
