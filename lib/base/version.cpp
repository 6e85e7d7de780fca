/* The version of the library that is linked in, next to LS_VERSION of the
 * header a program was compiled with. */
#include "lodestar.h"

const char *ls_version(void) {
    return LS_VERSION;
}
