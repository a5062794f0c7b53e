// A model's decoded images as OpenGL textures in one context. They belong
// to the context they were made in, as the buffer objects do: the owner
// releases them while it is current, or forgets them once it is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "preview/surface_images.h"

class SceneTextures {
 public:
  SceneTextures() = default;
  SceneTextures(const SceneTextures&) = delete;
  SceneTextures& operator=(const SceneTextures&) = delete;
  ~SceneTextures() = default;

  // Makes the textures of images in the current context, unless they are
  // the ones made last; null releases them.
  void Use(const std::shared_ptr<const SurfaceImages>& images);
  // The texture of image i, 0 for none.
  unsigned Name(int32_t i) const {
    return i >= 0 && static_cast<size_t>(i) < names_.size() ? names_[static_cast<size_t>(i)] : 0;
  }
  // Deletes the textures (their context is current).
  void Release();
  // Drops the names without deleting them: their context no longer exists.
  void Forget();
  // Bytes handed to the driver.
  size_t Bytes() const { return bytes_; }

 private:
  std::shared_ptr<const SurfaceImages> images_;
  std::vector<unsigned> names_;
  size_t bytes_ = 0;
};
