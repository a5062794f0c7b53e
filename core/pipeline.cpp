#include "core/pipeline.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "core/load_progress.h"
#include "core/plugin_loader.h"

namespace {

constexpr char kNoMemory[] = "メモリが不足しています。";
constexpr char kReaderCrashed[] = "読み込み中にエラーが発生しました。";
constexpr char kPrepareFailed[] = "...メッシュの準備に失敗しました。";

bool Succeeded(int32_t loadResult) { return (loadResult & 0xFF) != 0; }

std::string ErrorTextOf(const FormatReader& r) {
  const char* t = r.GetErrMsg ? r.GetErrMsg() : nullptr;
  return t ? std::string(t) : std::string();
}

// Puts the cursor back and starts the trim timer however the load ends.
struct LoadEpilogue {
  LoadPipeline& pipeline;
  LoadHost& host;
  const std::string& path;
  ~LoadEpilogue() {
    pipeline.lastPath = path;
    host.EndWaitCursor();
    host.StartTrimTimer();
  }
};

}  // namespace

LoadOutcome LoadModelFile(LoadPipeline& pipeline, LoadHost& host, const std::string& path,
                          const std::string& displayName) {
  const LoadSettings settings = host.Settings();
  host.StopAutoRotation();
  host.AppendLog(kLogSeparator);
  host.BeginWaitCursor();
  LoadEpilogue epilogue{pipeline, host, path};

  const std::string ext = FileExtension(path);
  const ReaderTable& table = pipeline.table;
  const size_t count = table.size();
  const std::string& shown = displayName.empty() ? path : displayName;
  const char* cpath = path.c_str();

  bool loaded = false;
  std::string error;
  size_t tried = count;  // "none"
  size_t winner = count;
  const char* threw = nullptr;  // a reader that threw counts as a failure with this text

  // What the loader process noticed (refused files, a failed plug-in's
  // output) follows the load's own lines.
  std::vector<std::string> loaderNotes;
  auto notes = [&] {
    for (const std::string& line : loaderNotes) host.AppendLog(line);
  };
  auto fail = [&](const std::string& second) {
    host.AppendLog("file: " + shown);
    host.AppendLog(second);
    notes();
    host.PreviewClearModel();
    host.PreviewRepaint();
    return LoadOutcome::kFailed;
  };

  try {
    if (CurrentModel) {
      host.PreviewClearModel();
      CurrentModel->Clear();
      CurrentModel.reset();
    }
    CurrentModel = std::make_unique<PolygonModel>();
    PolygonModel& model = *CurrentModel;
    model.Clear();
    model.SetEdgeAngle(settings.angle);

    // Plug-ins in the loader process: a loader that dies counts as a
    // reader that failed with the reason as its text.
    PluginLoaderSession loader(table, path);
    auto isSupport = [&](const FormatReader& r, std::string* died) {
      if (r.loaderPath.empty()) return r.IsSupport(cpath);
      PluginLoaderSession::Result res = loader.IsSupport(r);
      if (res.died && died) *died = std::move(res.error);
      return res.died ? -1 : res.value;
    };
    auto load = [&](const FormatReader& r, std::string& text) {
      if (r.loaderPath.empty()) {
        if (Succeeded(r.Load(cpath))) return true;
        text = ErrorTextOf(r);
        return false;
      }
      PluginLoaderSession::Result res = loader.Load(r, model);
      if (!res.died && Succeeded(res.value)) return true;
      text = std::move(res.error);
      return false;
    };

    auto attempt = [&](size_t i) {
      const FormatReader& r = table[i];
      tried = i;
      if (LoadCancelled()) return false;
      std::string died;
      if (isSupport(r, &died) == -1) {
        if (!died.empty()) error = std::move(died);
        return false;
      }
      model.Clear();
      if (load(r, error)) {
        winner = i;
        return true;
      }
      return false;
    };

    // First pass: readers whose mask matches, or only the one chosen in the
    // format filter.
    if (settings.filterIndex < 2) {
      for (size_t i = 0; i < count && !loaded; ++i)
        if (MatchMask(ext, table[i].mask)) loaded = attempt(i);
    } else if (static_cast<size_t>(settings.filterIndex - 2) < count) {
      loaded = attempt(static_cast<size_t>(settings.filterIndex - 2));
    }

    // Fallback pass: readers sure of the format, only when nobody explained
    // a failure.
    if (!loaded && error.empty()) {
      const size_t skip = tried;
      tried = count;
      for (size_t i = 0; i < count && !LoadCancelled(); ++i) {
        if (i == skip) continue;
        if (isSupport(table[i], nullptr) != 1) continue;
        model.Clear();
        std::string unused;
        if (load(table[i], unused)) {
          loaded = true;
          winner = tried = i;
          break;
        }
      }
    }
    loaderNotes = loader.TakeNotes(!loaded);
  } catch (const std::bad_alloc&) {
    loaded = false;
    threw = kNoMemory;
  } catch (...) {
    loaded = false;
    threw = kReaderCrashed;
  }

  if (!displayName.empty() && !settings.cache) unlink(cpath);

  // A cancelled reader stops as at the end of its file and may even report
  // success: its model is incomplete and goes.
  auto cancelled = [&] {
    host.AppendLog(kLogCancelled);
    host.PreviewClearModel();
    CurrentModel.reset();
    host.PreviewRepaint();
    return LoadOutcome::kCancelled;
  };
  if (LoadCancelled()) {
    host.AppendLog("file: " + shown);
    return cancelled();
  }

  if (!loaded) {
    if (threw) return fail(std::string("...") + threw);
    if (tried < count) return fail("..." + error);
    return fail(kLogNoFormat);
  }

  PolygonModel& model = *CurrentModel;
  host.AppendLog(table[winner].name + ": " + shown);
  // Readers store indices unchecked; nothing out of range may reach mesh
  // preparation or drawing.
  NormalizeAppearance(model);
  model.DropInvalidPolygons();
  if (model.PolygonCount() == 0) {
    host.AppendLog(kLogNoPolygons);
    notes();
    host.PreviewClearModel();
    host.PreviewRepaint();
    return LoadOutcome::kNoPolygons;
  }
  char counts[128];
  snprintf(counts, sizeof counts, " > 頂点数 = %d, ポリゴン数 = %d", model.VertexCount(),
           model.PolygonCount());
  host.AppendLog(counts);
  notes();
  try {
    if (pipeline.prepareMesh)
      pipeline.prepareMesh(model, settings.shareVertices, settings.fixOrientation);
  } catch (const LoadCancelledError&) {
    return cancelled();
  } catch (...) {
    host.AppendLog(kPrepareFailed);
    host.PreviewClearModel();
    host.PreviewRepaint();
    return LoadOutcome::kFailed;
  }
  if (LoadCancelled()) return cancelled();
  host.PreviewClearModel();
  host.PreviewSetCullMode(settings.cullMode);
  host.PreviewSetModel(model, settings.renderType);
  return LoadOutcome::kLoaded;
}
