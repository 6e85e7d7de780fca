/* The properties the fuzz targets assert: a failed one names the target and
 * the property, then aborts, which libFuzzer reports as a crash and keeps the
 * input of. Each target defines LS_FUZZ_TARGET (its name) before including. */
#ifndef LODESTAR_TESTS_FUZZ_FUZZ_CHECK_H
#define LODESTAR_TESTS_FUZZ_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

static inline void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "%s: check failed: %s\n", LS_FUZZ_TARGET, what);
        abort();
    }
}

#endif
