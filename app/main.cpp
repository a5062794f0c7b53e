// Entry point: the arguments are checked first; then the headless command
// line or the viewer.
#include <cstdio>

#include "app/cli.h"
#ifdef TARNELLE_WITH_GUI
#include "app/display_check.h"
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
  CliOptions opt;
  std::string error;
  switch (CheckArguments(argc, argv, opt, error)) {
    case StartKind::kHelp:
      fputs(kUsage, stdout);
      return 0;
    case StartKind::kVersion:
      printf("tarnelle %s\n", kVersion);
      return 0;
    case StartKind::kUsageError:
      fprintf(stderr, "tarnelle: %s\n%s", error.c_str(), kUsage);
      return 2;
    case StartKind::kHeadless:
      return RunCommandLine(argc, argv);
    case StartKind::kViewer:
      break;
  }
#ifdef TARNELLE_WITH_GUI
  if (const std::string why = MissingDisplayReason(); !why.empty()) {
    fprintf(stderr, "tarnelle: %s; --info, --dump and --snapshot work without one\n", why.c_str());
    return 1;
  }
  return RunViewer(argc, argv);
#else
  fprintf(stderr, "tarnelle: this build has no viewer window; use --info, --dump\n%s", kUsage);
  return 2;
#endif
}
