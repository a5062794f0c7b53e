// Rendering the scene without any window or display: EGL on Mesa's
// surfaceless platform with a pbuffer and a compatibility context.
#pragma once

#include <QImage>
#include <cstdint>
#include <memory>
#include <string>

#include "preview/scene.h"
#include "preview/snapshot_options.h"

class HeadlessContext {
 public:
  HeadlessContext();
  ~HeadlessContext();
  HeadlessContext(const HeadlessContext&) = delete;
  HeadlessContext& operator=(const HeadlessContext&) = delete;

  // Creates the display, a width x height pbuffer and a context, and makes
  // it current. False with a reason in error.
  bool Create(int width, int height, std::string& error);
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int width_ = 0, height_ = 0;
};

// Draws one frame of the scene into the current headless context (of the
// scene's size) and reads it back, top row first.
QImage RenderSceneHeadless(const Scene& scene);
// The same frame as 4 bytes a pixel (R, G, B, unused), top row first, into
// out (scene.width * scene.height * 4 bytes): the buffer's own layout, read
// back in one call with no conversion to compile.
void RenderSceneHeadlessRgbx(const Scene& scene, uint8_t* out);

// The --snapshot renderer: loads nothing itself, draws model (null or
// without polygons: only the background) with the options' render type,
// culling, view, size and colours, and writes the file opt.out. The file
// appears whole or not at all. 0 on success.
int PreviewSnapshot(const SnapshotOptions& opt, PolygonModel* model, std::string& error);
