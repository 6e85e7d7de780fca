/* Helpers shared by the tests: temporary files and running the command. */
#ifndef LODESTAR_TESTUTIL_H
#define LODESTAR_TESTUTIL_H

#include <string>

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

} // namespace lstest

#endif
