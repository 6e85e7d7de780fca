/* Fuzz target of the `lodestar` command-line parser. The input is cut into
 * argument words at NUL and newline bytes (an empty word between two
 * separators is kept: the shell can pass one) and parsed as the command's
 * arguments after "lodestar". A line that parses has its option records
 * checked for consistency as the command does before it runs; every word is
 * also read as a size, whose result must respect the bounds asked for.
 *
 * Build (not part of the default build): configure with CC=clang CXX=clang++
 * -DLODESTAR_FUZZ=ON and build the args_fuzz target, then run e.g.
 *   ./args_fuzz -max_len=512 scratch/ tests/fuzz/corpus/args
 * Compiled with -DLS_FUZZ_MAIN instead of -fsanitize=fuzzer, the program runs
 * the target once on each file named on its command line. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "args.h"

#define LS_FUZZ_TARGET "args_fuzz"
#include "fuzz_check.h"

namespace {

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ls_verbosity = 0;
    std::vector<std::string> words(1, "lodestar");
    std::string w;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 || data[i] == '\n') {
            words.push_back(w);
            w.clear();
        } else {
            w += (char)data[i];
        }
    }
    if (!w.empty()) words.push_back(w);
    std::vector<char *> argv;
    for (std::string &s : words) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    lodestar_cmd::Args a;
    std::string err;
    if (lodestar_cmd::parse_args((int)words.size(), argv.data(), &a, &err)) {
        check(err.empty(), "no message on success");
        check(a.positional.size() < words.size(), "positional words come from the line");
        ls_opt_check(&a.io, &a.mo);
        if (!a.split_prefix.empty()) check(a.mo.split_prefix == a.split_prefix.c_str(), "split prefix kept");
    } else {
        check(!err.empty(), "a message on failure");
    }
    for (size_t i = 1; i < words.size(); ++i) {
        long long v = 0;
        if (lodestar_cmd::parse_size(words[i].c_str(), -1000, 1LL << 40, &v))
            check(v >= -1000 && v <= 1LL << 40, "size inside its bounds");
    }
    return 0;
}

#include "replay_main.h"
