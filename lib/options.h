/* Index and mapping options: defaults, named presets, the update of the
 * mapping options from an index part and the consistency check.
 *
 * The records themselves (ls_idxopt, ls_mapopt) and the LS_I_* / LS_F_* flag
 * bits are part of the public interface and live in lodestar.h; this module
 * owns no state. Options are plain values owned by the caller and only read
 * while queries are mapped, so threads may share one set. */
#ifndef LODESTAR_OPTIONS_H
#define LODESTAR_OPTIONS_H

#include "lodestar.h"

#endif
