/* Replay driver shared by the fuzz targets: compiled with -DLS_FUZZ_MAIN
 * instead of -fsanitize=fuzzer, a target runs once on each file named on its
 * command line, so that gcc builds and the test suite replay the corpus. */
#ifndef LODESTAR_TESTS_FUZZ_REPLAY_MAIN_H
#define LODESTAR_TESTS_FUZZ_REPLAY_MAIN_H
#ifdef LS_FUZZ_MAIN

#include <stdint.h>
#include <stdio.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

/* A target that sets itself up once defines LS_FUZZ_HAS_INITIALIZE. */
int main(int argc, char *argv[]) {
#ifdef LS_FUZZ_HAS_INITIALIZE
    LLVMFuzzerInitialize(&argc, &argv);
#endif
    for (int i = 1; i < argc; ++i) {
        FILE *fp = fopen(argv[i], "rb");
        if (fp == nullptr) {
            fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[i]);
            return 1;
        }
        std::vector<uint8_t> buf;
        int c;
        while ((c = fgetc(fp)) != EOF) buf.push_back((uint8_t)c);
        fclose(fp);
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    return 0;
}

#endif
#endif
