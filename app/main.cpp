// Entry point: the headless command line, or the viewer.
#include <cstdio>

#include "app/cli.h"
#ifdef TARNELLE_HAVE_PREVIEW
#include "preview/headless.h"
#endif

int main(int argc, char** argv) {
  static char outBuf[1 << 16];
  setvbuf(stdout, outBuf, _IOFBF, sizeof outBuf);
#ifdef TARNELLE_HAVE_PREVIEW
  g_snapshotRenderer = PreviewSnapshot;
#endif
  if (IsHeadlessInvocation(argc, argv)) return RunCommandLine(argc, argv);
  fprintf(stderr, "tarnelle: the viewer window is not built yet; use --info, --dump\n%s", kUsage);
  return 2;
}
