// Prints the manual page of `lodestar` (docs/lodestar.1), made from the same
// option table as --help; scripts/man-page.sh writes it, a test keeps it current.
#include <stdio.h>

#include "args.h"

int main() {
    const std::string page = lodestar_cmd::man_page();
    return fputs(page.c_str(), stdout) == EOF || fflush(stdout) != 0;
}
