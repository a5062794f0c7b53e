// The command line: --help, --version and the headless modes --info,
// --dump, --snapshot and --list, all checked before any toolkit starts.
#pragma once

#include <string>
#include <vector>

#include "core/pipeline.h"
#include "preview/snapshot_options.h"

struct CliOptions {
  enum class Mode { kViewer, kInfo, kDump, kSnapshot, kList } mode = Mode::kViewer;
  LoadSettings load;  // the defaults of a missing settings file
  bool raw = false;
  bool time = false;
  bool pluginsFirst = false;
  bool noPlugins = false;
  int view = 0;
  int width = 640, height = 480;
  int background[3] = {0, 77, 102};
  int object[3] = {222, 222, 222};
  int quality = 50;
  std::string snapshotOut;
  bool textures = true;  // --textures=0|1
  std::vector<std::string> files;
  int optionCount = 0;  // options other than the mode (the viewer takes none)
};

// Parses argv. Returns false with a message in error on a usage error.
bool ParseCommandLine(int argc, char** argv, CliOptions& opt, std::string& error);

// What main does with argv, decided before any toolkit starts.
enum class StartKind {
  kHelp,        // print the usage on standard output, exit 0
  kVersion,     // print the version, exit 0
  kUsageError,  // error says why: usage on standard error, exit 2
  kHeadless,    // RunCommandLine
  kViewer,      // the window, with at most one file
};
StartKind CheckArguments(int argc, char** argv, CliOptions& opt, std::string& error);

// Runs --info, --dump, --snapshot or --list; returns the exit status.
int RunCommandLine(int argc, char** argv);

// The usage text printed on a usage error.
extern const char kUsage[];
// The version --version prints, the one the About box shows.
extern const char kVersion[];

// The picture --snapshot asks for, from the parsed options.
SnapshotOptions SnapshotOptionsOf(const CliOptions& opt);

// Renders the current model for --snapshot; set by the preview module when
// it is linked in. Returns 0 on success, with a message on failure.
using SnapshotFn = int (*)(const SnapshotOptions& opt, PolygonModel* model, std::string& error);
extern SnapshotFn g_snapshotRenderer;
