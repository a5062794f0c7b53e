// Frame times of the preview: loads a model through the pipeline and
// reports the median of N repaints per render type.
//   preview_frames [--widget] [--reference] [--buffers] [--immediate] [--compare]
//                  [--drag] [--share] [--memory] [--textured=N] [--frames=N] [--size=WxH] FILE
// Without --widget the headless (EGL) renderer draws, in immediate mode
// unless --buffers is given, and reports besides each frame the time spent
// issuing the GL calls (before glFinish). With --widget the preview window
// under the current X server draws (from buffers; --reference times the
// one-primitive-per-polygon drawing); --drag then drags the view N steps
// and reports frames per second while moving (the stand-in is drawn when
// full frames are slow) and the first full frame at rest; --immediate
// draws the window in immediate mode. --share loads with vertex sharing on.
// --compare
// (headless) checks that the drawings give the same pixels in every type.
// --memory (headless, from buffers) reports the peak resident memory of
// loading and preparing the model alone, of a first frame in immediate
// mode (what the driver keeps for drawing at all), then per render type
// the peak with its buffers filled and the stand-in and the level of
// detail built and drawn from buffers of their own, as the window holds
// them.
// --textured=N (headless) gives the model one material with an embedded
// N x N image and texture coordinates from its x and y, and reports the
// image's decoding; the first frame then includes its upload.
#include <GL/gl.h>

#include <QApplication>
#include <QBuffer>
#include <QEventLoop>
#include <QOpenGLContext>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pipeline.h"
#include "mesh/prepare_mesh.h"
#include "preview/draw_buffers.h"
#include "preview/glpanel.h"
#include "preview/headless.h"
#include "preview/pview.h"
#include "preview/standin.h"
#include "readers/builtin.h"

namespace {

class QuietHost : public LoadHost {
 public:
  explicit QuietHost(bool share) : share_(share) {}
  LoadSettings Settings() const override {
    LoadSettings s;
    s.shareVertices = share_;
    return s;
  }
  void AppendLog(const std::string&) override {}

 private:
  bool share_;
};

using Clock = std::chrono::steady_clock;

// One material over every polygon, its image an N x N checker held as an
// embedded PNG, the corners' texture coordinates their x and y.
void GiveTexture(PolygonModel& m, int side) {
  QImage img(side, side, QImage::Format_RGB32);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      img.setPixel(x, y, ((x / 64) ^ (y / 64)) & 1 ? qRgb(200, 40, 40) : qRgb(240, 240, 240));
  QByteArray png;
  QBuffer out(&png);
  out.open(QIODevice::WriteOnly);
  img.save(&out, "PNG");
  SurfaceAppearance& a = m.appearance;
  a.images.push_back({"png", std::vector<uint8_t>(png.begin(), png.end())});
  a.materials.resize(1);
  a.materials[0].texture = "*0";
  a.polygonMaterial.assign(static_cast<size_t>(m.PolygonCount()), 0);
  Float3 lo = m.vertices.empty() ? Float3{0, 0, 0} : m.vertices[0], hi = lo;
  for (const Float3& v : m.vertices) {
    lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), 0};
    hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), 0};
  }
  const float w = hi.x > lo.x ? hi.x - lo.x : 1, h = hi.y > lo.y ? hi.y - lo.y : 1;
  a.cornerUV.reserve(m.indexPool.size());
  for (int32_t v : m.indexPool)
    a.cornerUV.push_back({(m.vertices[v].x - lo.x) / w, (m.vertices[v].y - lo.y) / h});
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <typename Frame>
void TimeTypes(const char* where, int frames, Frame frame) {
  for (int type = 0; type < 5; ++type) {
    frame(type);  // warm-up, and the type's state
    std::vector<double> ms;
    for (int i = 0; i < frames; ++i) {
      const Clock::time_point t0 = Clock::now();
      frame(type);
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    printf("%s type %d: median %.1f ms (min %.1f, max %.1f) over %d frames\n", where, type,
           Median(ms), *std::min_element(ms.begin(), ms.end()),
           *std::max_element(ms.begin(), ms.end()), frames);
    fflush(stdout);
  }
}

// A "Vm...:" line of /proc/self/status in bytes; 0 where there is none.
size_t StatusBytes(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::stoull(line.substr(n)) * 1024;
  return 0;
}

// Starts the peak over again from what is resident now; false where the
// kernel does not allow it.
bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

double MiB(size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// The --memory figures, once the model is loaded and prepared with the
// context current: its peak so far is the model's own, and everything after
// it is what the preview adds. A frame in immediate mode shows what the
// driver needs to draw at all. Then per render type: the peak while its
// buffers are filled, while a frame is drawn from them, and with the
// stand-in built and drawn from buffers of its own, as the window does.
int ReportMemory(Scene& scene, size_t before) {
  const size_t modelPeak = StatusBytes("VmHWM:");
  const auto share = [&](size_t bytes) {
    return 100.0 * (static_cast<double>(bytes) / static_cast<double>(modelPeak) - 1.0);
  };
  printf(
      "memory: %.1f MiB resident with the context alone; model peak %.1f MiB, %.1f MiB "
      "resident after it\n",
      MiB(before), MiB(modelPeak), MiB(StatusBytes("VmRSS:")));
  size_t peak = StatusBytes("VmHWM:");
  const bool resets = ResetPeak();
  SceneSetRenderType(scene, 0);
  SceneDrawGL(scene);
  glFinish();
  printf("memory: a frame in immediate mode peaks at %.1f MiB (%+.1f%%)\n",
         MiB(StatusBytes("VmHWM:")), share(StatusBytes("VmHWM:")));
  auto buffers = std::make_shared<DrawBuffers>();
  auto standInBuffers = std::make_shared<DrawBuffers>();
  auto detailBuffers = std::make_shared<DrawBuffers>();
  scene.buffers = buffers;
  std::unique_ptr<PolygonModel> standIn, detail;
  const uint64_t standInSerial = NewModelSerial(), detailSerial = NewModelSerial();
  for (int type = 0; type < 5; ++type) {
    if (resets) ResetPeak();
    const size_t start = StatusBytes("VmRSS:");
    SceneSetRenderType(scene, type);
    SceneFillBuffersGL(scene);
    const size_t fill = StatusBytes("VmHWM:");
    SceneDrawGL(scene);
    glFinish();
    const size_t frame = StatusBytes("VmHWM:");
    if (!standIn) {
      // The window starts the stand-in once the first full frame is drawn
      // (at once for a model drawn on the render thread), then the level of
      // detail of about a triangle per pixel.
      StandInBuilder builder;
      const int32_t pixels = scene.width * scene.height;
      builder.Start(*scene.model, 60000, nullptr, pixels);
      while (!(standIn = builder.Take())) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (scene.model->PolygonCount() > pixels)
        while (!(detail = builder.TakeDetail()))
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SceneDrawModelGL(scene, *standIn, standInBuffers.get(), standInSerial);
    if (detail) SceneDrawModelGL(scene, *detail, detailBuffers.get(), detailSerial);
    glFinish();
    const size_t all = StatusBytes("VmHWM:");
    peak = std::max(peak, all);
    printf(
        "memory type %d: from %.1f MiB resident, peak %.1f MiB filling (%+.1f%%), %.1f MiB drawing "
        "(%+.1f%%), %.1f MiB "
        "with the stand-in and the level of detail (%+.1f%%); buffers %.1f MiB, stand-in "
        "buffers %.2f MiB, level of detail %d triangles, its buffers %.1f MiB\n",
        type, MiB(start), MiB(fill), share(fill), MiB(frame), share(frame), MiB(all), share(all),
        MiB(buffers->Bytes()), MiB(standInBuffers->Bytes()), detail ? detail->PolygonCount() : 0,
        MiB(detailBuffers->Bytes()));
  }
  printf(
      "memory: peak %.1f MiB with buffers, stand-in and level of detail, %+.1f%% of the model "
      "peak\n",
      MiB(peak), share(peak));
  buffers->Release();
  standInBuffers->Release();
  detailBuffers->Release();
  scene.buffers.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool widget = false, reference = false, compare = false, buffers = false, drag = false;
  bool share = false, immediate = false, memory = false;
  int frames = 20, width = 640, height = 480, textureSide = 0;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--widget"))
      widget = true;
    else if (!strcmp(argv[i], "--reference"))
      reference = true;
    else if (!strcmp(argv[i], "--compare"))
      compare = true;
    else if (!strcmp(argv[i], "--buffers"))
      buffers = true;
    else if (!strcmp(argv[i], "--drag"))
      drag = true;
    else if (!strcmp(argv[i], "--share"))
      share = true;
    else if (!strcmp(argv[i], "--memory"))
      memory = true;
    else if (!strcmp(argv[i], "--immediate"))
      immediate = true;
    else if (!strncmp(argv[i], "--textured=", 11))
      textureSide = atoi(argv[i] + 11);
    else if (!strncmp(argv[i], "--frames=", 9))
      frames = atoi(argv[i] + 9);
    else if (sscanf(argv[i], "--size=%dx%d", &width, &height) == 2)
      continue;
    else
      file = argv[i];
  }
  if (file.empty() || frames < 1 || width < 1 || height < 1) {
    fprintf(stderr,
            "usage: preview_frames [--widget] [--reference] [--buffers] [--immediate] [--compare] "
            "[--drag] [--share] [--memory] [--textured=N] [--frames=N] [--size=WxH] FILE\n");
    return 2;
  }

  // For --memory the context comes first, as the window's does: the
  // model's peak then includes what the driver holds before any drawing.
  std::unique_ptr<HeadlessContext> memoryContext;
  size_t before = 0;
  if (memory && !widget) {
    memoryContext = std::make_unique<HeadlessContext>();
    std::string error;
    if (!memoryContext->Create(width, height, error)) {
      fprintf(stderr, "preview_frames: %s\n", error.c_str());
      return 1;
    }
    before = StatusBytes("VmRSS:");
  }
  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  pipeline.prepareMesh = PrepareMesh;
  QuietHost host(share);
  if (LoadModelFile(pipeline, host, file) != LoadOutcome::kLoaded || !CurrentModel) {
    fprintf(stderr, "preview_frames: cannot load %s\n", file.c_str());
    return 1;
  }
  PolygonModel& model = *CurrentModel;
  printf("%s: %d vertices, %d polygons, %dx%d\n", file.c_str(), model.VertexCount(),
         model.PolygonCount(), width, height);

  if (memory && !widget) {
    Scene scene;
    scene.width = width;
    scene.height = height;
    SceneSetModel(scene, &model, 0);
    return ReportMemory(scene, before);
  }
  if (!widget) {
    HeadlessContext context;
    std::string error;
    if (!context.Create(width, height, error)) {
      fprintf(stderr, "preview_frames: %s\n", error.c_str());
      return 1;
    }
    printf("renderer: %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    Scene scene;
    scene.width = width;
    scene.height = height;
    SceneSetModel(scene, &model, 0);
    scene.referenceDrawing = reference;
    if (textureSide > 0) {
      GiveTexture(model, textureSide);
      const Clock::time_point t0 = Clock::now();
      std::vector<std::string> log;
      scene.images = LoadSurfaceImages(model.appearance, file, log);
      printf("texture %dx%d decoded in %.1f ms, %.1f MB%s\n", textureSide, textureSide,
             std::chrono::duration<double, std::milli>(Clock::now() - t0).count(),
             scene.images ? static_cast<double>(scene.images->Bytes()) / 1048576.0 : 0.0,
             log.empty() ? "" : " (refused)");
      scene.glTextures = std::make_shared<SceneTextures>();
    }
    if (compare) {
      for (int turn = 0; turn < 2; ++turn) {
        scene.camera.rotation =
            turn ? Multiply(Rotation(30, 1, 0, 0), Rotation(40, 0, 1, 0)) : Mat4::Identity();
        for (int type = 0; type < 5; ++type) {
          SceneSetRenderType(scene, type);
          scene.referenceDrawing = true;
          const QImage a = RenderSceneHeadless(scene);
          scene.referenceDrawing = false;
          scene.buffers = buffers ? std::make_shared<DrawBuffers>() : nullptr;
          const QImage b = RenderSceneHeadless(scene);
          if (scene.buffers) scene.buffers->Release();
          scene.buffers.reset();
          long differ = 0;
          for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x) differ += a.pixel(x, y) != b.pixel(x, y);
          int maxd = 0;
          for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x) {
              const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
              maxd = std::max({maxd, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                               std::abs(qBlue(p) - qBlue(q))});
            }
          printf("compare view %d type %d: %ld of %d pixels differ (by up to %d)\n", turn, type,
                 differ, width * height, maxd);
        }
      }
      scene.camera.rotation = Mat4::Identity();
      scene.referenceDrawing = reference;
    }
    if (buffers) scene.buffers = std::make_shared<DrawBuffers>();
    std::vector<double> callMs[5];
    TimeTypes(buffers ? "headless buffers" : "headless immediate", frames, [&](int type) {
      SceneSetRenderType(scene, type);
      const Clock::time_point t0 = Clock::now();
      SceneDrawGL(scene);
      callMs[type].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      glFinish();
    });
    for (int type = 0; type < 5; ++type) {
      // The first entry filled the buffers (or warmed up).
      std::vector<double> v(callMs[type].begin() + 1, callMs[type].end());
      printf("GL calls type %d: median %.3f ms (first frame %.1f ms)\n", type, Median(v),
             callMs[type][0]);
    }
    if (scene.buffers) {
      printf("buffer bytes: %zu\n", scene.buffers->Bytes());
      scene.buffers->Release();
    }
    return 0;
  }

  QApplication app(argc, argv);
  TPView view;
  view.resize(width, height);
  view.show();
  if (!QTest::qWaitForWindowExposed(&view)) return 1;
  while (!view.GLReady() && !view.GLFailed()) QTest::qWait(10);
  if (!view.GLReady()) return 1;
  TGLPanel* panel = view.Panel();
  panel->makeCurrent();
  printf("renderer: %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
  panel->doneCurrent();
  const Clock::time_point set = Clock::now();
  view.SetBufferDrawing(!immediate);
  view.SetModel(&model, 0);
  view.SetReferenceDrawing(reference);
  if (drag) {
    // The first full frame, then the drag as a user's: one pixel per event,
    // each event's frame on the screen before the next.
    QEventLoop first;
    QObject::connect(panel, &QOpenGLWidget::frameSwapped, &first, &QEventLoop::quit);
    first.exec();
    printf("first frame after SetModel: %.1f ms (full frame %.1f ms)\n",
           std::chrono::duration<double, std::milli>(Clock::now() - set).count(),
           view.LastFullFrameMs());
    const Clock::time_point t0 = Clock::now();
    while (!view.StandInReady() && Clock::now() - t0 < std::chrono::seconds(60)) QTest::qWait(5);
    printf("stand-in ready %.1f ms later\n",
           std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    view.MouseDown(1, false, 100, 100, 0);
    int standIn = 0;
    std::vector<double> ms;
    for (int i = 1; i <= frames; ++i) {
      QEventLoop loop;
      QObject::connect(panel, &QOpenGLWidget::frameSwapped, &loop, &QEventLoop::quit);
      const Clock::time_point f0 = Clock::now();
      view.MouseMove(1, false, 100 + 3 * i, 100 + i);
      loop.exec();
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - f0).count());
      standIn += view.LastFrameWasStandIn();
    }
    view.MouseUp(false, 100 + 3 * frames, 100 + frames, 5000);
    double total = 0;
    for (double v : ms) total += v;
    printf("drag: %d frames, %d of them stand-in, median %.1f ms, %.1f frames per second\n", frames,
           standIn, Median(ms), 1000.0 * frames / total);
    QEventLoop rest;
    QObject::connect(panel, &QOpenGLWidget::frameSwapped, &rest, &QEventLoop::quit);
    const Clock::time_point r0 = Clock::now();
    rest.exec();
    printf(
        "at rest: full frame on screen %.1f ms after the last move's frame (full frame %.1f ms,"
        " stand-in %d)\n",
        std::chrono::duration<double, std::milli>(Clock::now() - r0).count(),
        view.LastFullFrameMs(), view.LastFrameWasStandIn());
    printf("buffer bytes: %zu\n", view.BufferBytes());
    view.ClearModel();
    return 0;
  }
  // One frame: from the repaint request until the panel's picture is on
  // the screen (painted, composited and swapped).
  TimeTypes("widget", frames, [&](int type) {
    QEventLoop loop;
    QObject::connect(panel, &QOpenGLWidget::frameSwapped, &loop, &QEventLoop::quit);
    view.SetRenderType(type);  // asks for the repaint
    loop.exec();
  });
  view.ClearModel();
  return 0;
}
