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
    const TextureImage& t = images->images[i];
    const uint8_t* pixels = t.rgba.data();
    int w = t.width, h = t.height;
    // A driver that takes smaller textures gets the image scaled down.
    QImage scaled;
    if (maxSide > 0 && (w > maxSide || h > maxSide)) {
      const QImage whole(pixels, w, h, w * 4, QImage::Format_RGBA8888);
      scaled = whole.scaled(std::min(w, int(maxSide)), std::min(h, int(maxSide)),
                            Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      pixels = scaled.constBits();
      w = scaled.width();
      h = scaled.height();
    }
    glBindTexture(GL_TEXTURE_2D, names_[i]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
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
