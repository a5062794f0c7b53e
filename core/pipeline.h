// LoadModelFile: turns one file into the current model and shows it. The
// window and the command line run this same pipeline through LoadHost.
#pragma once

#include <string>

#include "core/model.h"
#include "core/reader_table.h"

// Log texts of the pipeline.
inline constexpr char kLogSeparator[] = "----------";
inline constexpr char kLogNoPolygons[] = "...ポリゴンデータが見つかりませんでした。";
inline constexpr char kLogNoFormat[] = "...対応形式が見つかりませんでした。";
inline constexpr char kLogCancelled[] = "...読み込みを中止しました。";

// The choices a load depends on, read from the host at the start of each load.
struct LoadSettings {
  int filterIndex = 1;  // 0 all files, 1 all supported formats, k + 2 reader k
  float angle = 120.0f;
  bool cache = false;
  bool shareVertices = false;
  bool fixOrientation = false;
  int cullMode = 0;
  int renderType = 0;
};

// What the pipeline needs from the window (or the command line).
class LoadHost {
 public:
  virtual ~LoadHost() = default;
  virtual LoadSettings Settings() const = 0;
  virtual void AppendLog(const std::string& line) = 0;
  virtual void StopAutoRotation() {}
  virtual void BeginWaitCursor() {}
  virtual void EndWaitCursor() {}
  // The preview: drop every reference into the model, show a model, repaint.
  virtual void PreviewClearModel() {}
  virtual void PreviewSetCullMode(int /*mode*/) {}
  virtual void PreviewSetModel(PolygonModel& /*model*/, int /*renderType*/) {}
  virtual void PreviewRepaint() {}
  virtual void StartTrimTimer() {}
};

using PrepareMeshFn = void (*)(PolygonModel& model, bool shareVertices, bool fixOrientation);

struct LoadPipeline {
  ReaderTable table;
  PrepareMeshFn prepareMesh = nullptr;  // run on every loaded model with polygons
  std::string lastPath;                 // the last path handed to LoadModelFile
};

// What became of one load (the log lines say the same to the user).
// kCancelled only happens under a LoadControl (core/load_progress.h).
enum class LoadOutcome { kLoaded, kNoPolygons, kFailed, kCancelled };

// displayName is empty for an ordinary file; for an archive member it names
// the member and path is its extracted copy, deleted after reading unless
// the cache setting is on.
LoadOutcome LoadModelFile(LoadPipeline& pipeline, LoadHost& host, const std::string& path,
                          const std::string& displayName = {});
