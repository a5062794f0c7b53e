#include "preview/image_io.h"

// jpeglib.h relies on FILE and size_t being declared first.
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on
#include <sys/stat.h>

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QSaveFile>
#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

ImageFileKind ImageKindOfPath(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return ImageFileKind::kUnknown;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return ImageFileKind::kPng;
  if (ext == "jpg" || ext == "jpeg") return ImageFileKind::kJpeg;
  if (ext == "bmp") return ImageFileKind::kBmp;
  return ImageFileKind::kUnknown;
}

namespace {

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Encodes into memory; the file is written whole afterwards.
bool EncodeJpeg(const QImage& rgb, int quality, QByteArray& out, std::string& error) {
  jpeg_compress_struct cinfo;
  JpegError err;
  // libjpeg allocates the buffer and grows it with realloc; it must be freed
  // on every path, also after a longjmp from inside the encoder.
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    error = std::string("JPEG encoding failed: ") + err.message;
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
  cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  out = QByteArray(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
  free(buffer);
  return true;
}

void PutLE(QByteArray& b, qsizetype at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}

// A plain 24-bit BMP: file header, BITMAPINFOHEADER, rows bottom-up in
// blue-green-red order, each padded to four bytes.
bool EncodeBmp(const QImage& rgb, QByteArray& out, std::string& error) {
  const int64_t w = rgb.width(), h = rgb.height();
  const int64_t stride = (w * 3 + 3) / 4 * 4;
  const int64_t dataSize = stride * h;
  if (dataSize + 54 > INT32_MAX) {
    error = "picture too large for BMP";
    return false;
  }
  out = QByteArray(static_cast<qsizetype>(54 + dataSize), '\0');
  out[0] = 'B';
  out[1] = 'M';
  PutLE(out, 2, static_cast<uint32_t>(54 + dataSize), 4);
  PutLE(out, 10, 54, 4);
  PutLE(out, 14, 40, 4);
  PutLE(out, 18, static_cast<uint32_t>(w), 4);
  PutLE(out, 22, static_cast<uint32_t>(h), 4);
  PutLE(out, 26, 1, 2);
  PutLE(out, 28, 24, 2);
  PutLE(out, 34, static_cast<uint32_t>(dataSize), 4);
  PutLE(out, 38, 3780, 4);  // 96 dpi in pixels per metre
  PutLE(out, 42, 3780, 4);
  char* data = out.data() + 54;
  for (int64_t y = 0; y < h; ++y) {
    const uchar* src = rgb.constScanLine(static_cast<int>(h - 1 - y));
    char* dst = data + y * stride;
    for (int64_t x = 0; x < w; ++x) {
      dst[x * 3] = static_cast<char>(src[x * 3 + 2]);
      dst[x * 3 + 1] = static_cast<char>(src[x * 3 + 1]);
      dst[x * 3 + 2] = static_cast<char>(src[x * 3]);
    }
  }
  return true;
}

bool EncodePng(const QImage& rgb, QByteArray& out, std::string& error) {
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  if (!writer.write(rgb)) {
    error = "PNG encoding failed: " + writer.errorString().toStdString();
    return false;
  }
  return true;
}

}  // namespace

bool EncodeImage(const QImage& image, ImageFileKind kind, int quality, QByteArray& out,
                 std::string& error) {
  if (image.isNull()) {
    error = "no picture to write";
    return false;
  }
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  if (rgb.isNull()) {
    error = "cannot allocate the picture";
    return false;
  }
  switch (kind) {
    case ImageFileKind::kJpeg:
      return EncodeJpeg(rgb, quality, out, error);
    case ImageFileKind::kBmp:
      return EncodeBmp(rgb, out, error);
    case ImageFileKind::kPng:
      return EncodePng(rgb, out, error);
    case ImageFileKind::kUnknown:
      break;
  }
  error = "unknown image type (use .png, .jpg or .bmp)";
  return false;
}

bool WriteImageFile(const QImage& image, const std::string& path, ImageFileKind kind, int quality,
                    std::string& error) {
  QByteArray bytes;
  if (!EncodeImage(image, kind, quality, bytes, error)) return false;
  // A file marked read-only is kept even where the user may replace it (as
  // root, or as the folder's owner): replacing it by rename would bypass
  // the mark.
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    error = "cannot write " + path + ": the file is read-only";
    return false;
  }
  QSaveFile file(QFile::decodeName(path.c_str()));
  // Never fall back to writing into the old file: that is what could
  // leave it half-written.
  file.setDirectWriteFallback(false);
  if (!file.open(QIODevice::WriteOnly)) {
    error = "cannot write " + path + ": " + file.errorString().toStdString();
    return false;
  }
  if (file.write(bytes) != bytes.size() || !file.commit()) {
    error = "cannot write " + path + ": " + file.errorString().toStdString();
    file.cancelWriting();
    return false;
  }
  return true;
}
