// Tar32.so: tar archives, plain or compressed, and single files compressed
// with gzip, bzip2 or compress.
#include "archivers/archiver_core.h"

TARNELLE_ARCHIVER_EXPORTS(Tar, ArcKind::kTar)
