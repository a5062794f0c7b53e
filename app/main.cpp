// Entry point: the headless command line, or the viewer.
#include <cstdio>

#include "app/cli.h"
#ifdef TARNELLE_WITH_GUI
#include "app/viewer.h"
#endif
#ifdef TARNELLE_HAVE_PREVIEW
#include "app/thumbnail.h"
#include "preview/headless.h"
#endif

int main(int argc, char** argv) {
  static char outBuf[1 << 16];
  setvbuf(stdout, outBuf, _IOFBF, sizeof outBuf);
#ifdef TARNELLE_HAVE_PREVIEW
  g_snapshotRenderer = PreviewSnapshot;
  if (IsThumbnailInvocation(argc, argv)) return RunThumbnail(argc, argv);
#endif
  if (IsHeadlessInvocation(argc, argv)) return RunCommandLine(argc, argv);
#ifdef TARNELLE_WITH_GUI
  return RunViewer(argc, argv);
#else
  fprintf(stderr, "tarnelle: this build has no viewer window; use --info, --dump\n%s", kUsage);
  return 2;
#endif
}
