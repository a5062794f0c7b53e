#include "preview/headless.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cstring>
#include <vector>

#include "preview/image_io.h"

struct HeadlessContext::Impl {
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLSurface surface = EGL_NO_SURFACE;
  EGLContext context = EGL_NO_CONTEXT;
};

HeadlessContext::HeadlessContext() : impl_(std::make_unique<Impl>()) {}

HeadlessContext::~HeadlessContext() {
  Impl& d = *impl_;
  if (d.display == EGL_NO_DISPLAY) return;
  eglMakeCurrent(d.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  if (d.context != EGL_NO_CONTEXT) eglDestroyContext(d.display, d.context);
  if (d.surface != EGL_NO_SURFACE) eglDestroySurface(d.display, d.surface);
  eglTerminate(d.display);
}

namespace {
std::string EglError(const char* what) {
  char buf[96];
  snprintf(buf, sizeof buf, "%s failed (EGL error 0x%04x)", what, eglGetError());
  return buf;
}
}  // namespace

bool HeadlessContext::Create(int width, int height, std::string& error) {
  Impl& d = *impl_;
  auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (!getPlatformDisplay) {
    error = "EGL has no eglGetPlatformDisplayEXT";
    return false;
  }
  d.display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (d.display == EGL_NO_DISPLAY) {
    error = EglError("opening the surfaceless EGL display");
    return false;
  }
  EGLint major = 0, minor = 0;
  if (!eglInitialize(d.display, &major, &minor)) {
    error = EglError("eglInitialize");
    d.display = EGL_NO_DISPLAY;
    return false;
  }
  if (!eglBindAPI(EGL_OPENGL_API)) {
    error = EglError("eglBindAPI(EGL_OPENGL_API)");
    return false;
  }
  const EGLint configAttribs[] = {EGL_SURFACE_TYPE,
                                  EGL_PBUFFER_BIT,
                                  EGL_RENDERABLE_TYPE,
                                  EGL_OPENGL_BIT,
                                  EGL_RED_SIZE,
                                  8,
                                  EGL_GREEN_SIZE,
                                  8,
                                  EGL_BLUE_SIZE,
                                  8,
                                  EGL_DEPTH_SIZE,
                                  24,
                                  EGL_NONE};
  EGLConfig config = nullptr;
  EGLint count = 0;
  if (!eglChooseConfig(d.display, configAttribs, &config, 1, &count) || count < 1) {
    error = EglError("choosing an EGL pbuffer configuration");
    return false;
  }
  const EGLint surfaceAttribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
  d.surface = eglCreatePbufferSurface(d.display, config, surfaceAttribs);
  if (d.surface == EGL_NO_SURFACE) {
    error = EglError("creating the pbuffer");
    return false;
  }
  const EGLint contextAttribs[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                   EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
  d.context = eglCreateContext(d.display, config, EGL_NO_CONTEXT, contextAttribs);
  if (d.context == EGL_NO_CONTEXT) {
    error = EglError("creating the OpenGL context");
    return false;
  }
  if (!eglMakeCurrent(d.display, d.surface, d.surface, d.context)) {
    error = EglError("eglMakeCurrent");
    return false;
  }
  width_ = width;
  height_ = height;
  SceneInitGL();
  return true;
}

QImage RenderSceneHeadless(const Scene& scene) {
  SceneDrawGL(scene);
  glFinish();
  QImage image(scene.width, scene.height, QImage::Format_RGB888);
  if (image.isNull()) return image;
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glReadBuffer(GL_BACK);
  // OpenGL rows run bottom to top; read each into its place in the image.
  for (int y = 0; y < scene.height; ++y)
    glReadPixels(0, scene.height - 1 - y, scene.width, 1, GL_RGB, GL_UNSIGNED_BYTE,
                 image.scanLine(y));
  return image;
}

void RenderSceneHeadlessRgbx(const Scene& scene, uint8_t* out) {
  SceneDrawGL(scene);
  glFinish();
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, scene.width, scene.height, GL_RGBA, GL_UNSIGNED_BYTE, out);
  // OpenGL rows run bottom to top.
  const size_t row = static_cast<size_t>(scene.width) * 4;
  std::vector<uint8_t> swap(row);
  for (int y = 0; y < scene.height / 2; ++y) {
    uint8_t* a = out + row * static_cast<size_t>(y);
    uint8_t* b = out + row * static_cast<size_t>(scene.height - 1 - y);
    memcpy(swap.data(), a, row);
    memcpy(a, b, row);
    memcpy(b, swap.data(), row);
  }
}

int PreviewSnapshot(const SnapshotOptions& opt, PolygonModel* model, std::string& error) {
  const ImageFileKind kind = ImageKindOfPath(opt.out);
  if (kind == ImageFileKind::kUnknown) {
    error = "unknown image type (use .png, .jpg or .bmp): " + opt.out;
    return 1;
  }
  HeadlessContext context;
  if (!context.Create(opt.width, opt.height, error)) return 1;

  Scene scene;
  auto rgb = [](const int c[3]) { return c[0] | (c[1] << 8) | (c[2] << 16); };
  SceneSetColors(scene, rgb(opt.background), rgb(opt.object));
  SceneSetCullMode(scene, opt.cullMode);
  SceneSetRenderType(scene, opt.renderType);
  if (model && model->PolygonCount() > 0) {
    SceneSetModel(scene, model, opt.renderType);
    scene.textures = opt.textures;
    if (opt.textures && scene.model) {
      std::vector<std::string> lines;
      scene.images = LoadSurfaceImages(model->appearance, opt.modelPath, lines);
      if (opt.log) opt.log->insert(opt.log->end(), lines.begin(), lines.end());
    }
  }
  SetViewPreset(scene.camera, opt.view);
  scene.width = opt.width;
  scene.height = opt.height;

  const QImage image = RenderSceneHeadless(scene);
  if (image.isNull()) {
    error = "cannot allocate the picture";
    return 1;
  }
  return WriteImageFile(image, opt.out, kind, opt.quality, error) ? 0 : 1;
}
