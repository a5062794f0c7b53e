#include "preview/scene_textures.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <QImage>

void SceneTextures::Use(const std::shared_ptr<const SurfaceImages>& images) {
  if (images == images_) return;
  Release();
  if (!images) return;
  images_ = images;
  GLint maxSide = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
  names_.assign(images->images.size(), 0);
  glGenTextures(static_cast<GLsizei>(names_.size()), names_.data());
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  for (size_t i = 0; i < names_.size(); ++i) {
    // A driver that takes smaller textures gets the image scaled down.
    QImage image = images->images[i].pixels;
    if (maxSide > 0 && (image.width() > maxSide || image.height() > maxSide))
      image = image.scaled(std::min(image.width(), int(maxSide)),
                           std::min(image.height(), int(maxSide)), Qt::IgnoreAspectRatio,
                           Qt::SmoothTransformation);
    const int w = image.width(), h = image.height();
    glBindTexture(GL_TEXTURE_2D, names_[i]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    // Rows of 32-bit pixels need no padding: 4-byte alignment holds.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                 image.constBits());
    glGenerateMipmap(GL_TEXTURE_2D);
    // The mipmaps add a third.
    bytes_ += size_t(w) * size_t(h) * 4 * 4 / 3;
  }
  glBindTexture(GL_TEXTURE_2D, 0);
}

void SceneTextures::Release() {
  if (!names_.empty()) glDeleteTextures(static_cast<GLsizei>(names_.size()), names_.data());
  Forget();
}

void SceneTextures::Forget() {
  images_.reset();
  names_.clear();
  names_.shrink_to_fit();
  bytes_ = 0;
}
