// Unzip32.so: ZIP archives only.
#include "archivers/archiver_core.h"

TARNELLE_ARCHIVER_EXPORTS(UnZip, ArcKind::kZip)
