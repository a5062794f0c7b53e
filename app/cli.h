// The headless command line: --info, --dump, --snapshot and --list.
#pragma once

#include <string>
#include <vector>

#include "core/pipeline.h"

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
  std::vector<std::string> files;
};

// Parses argv. Returns false with a message in error on a usage error.
bool ParseCommandLine(int argc, char** argv, CliOptions& opt, std::string& error);

// Whether argv asks for a headless mode (any argument starting with "--").
bool IsHeadlessInvocation(int argc, char** argv);

// Runs --info, --dump, --snapshot or --list; returns the exit status.
int RunCommandLine(int argc, char** argv);

// The usage text printed on a usage error.
extern const char kUsage[];

// Renders the current model for --snapshot; set by the preview module when
// it is linked in. Returns 0 on success, with a message on failure.
using SnapshotFn = int (*)(const CliOptions& opt, PolygonModel* model, std::string& error);
extern SnapshotFn g_snapshotRenderer;
