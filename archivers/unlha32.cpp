// Unlha32.so: LHA archives (.lzh).
#include "archivers/archiver_core.h"

TARNELLE_ARCHIVER_EXPORTS(Unlha, ArcKind::kLha)
