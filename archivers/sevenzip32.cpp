// 7-zip32.so: ZIP and 7z archives.
#include "archivers/archiver_core.h"

TARNELLE_ARCHIVER_EXPORTS(SevenZip, ArcKind::kZip7z)
