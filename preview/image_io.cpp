#include "preview/image_io.h"

#include <sys/stat.h>
#include <unistd.h>

// jpeglib.h relies on FILE and size_t being declared first.
#include <jpeglib.h>

#include <QImageWriter>
#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

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

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

bool WriteJpeg(const QImage& rgb, const std::string& path, int quality, std::string& error) {
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  jpeg_compress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    error = std::string("JPEG encoding failed: ") + err.message;
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file.get());
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
  if (fflush(file.get()) != 0 || ferror(file.get())) {
    error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  FILE* f = file.release();
  if (fclose(f) != 0) {
    error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool WriteImageFile(const QImage& image, const std::string& path, ImageFileKind kind, int quality,
                    std::string& error) {
  if (image.isNull()) {
    error = "no picture to write";
    return false;
  }
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  if (kind == ImageFileKind::kJpeg) return WriteJpeg(rgb, path, quality, error);
  const char* format = kind == ImageFileKind::kPng   ? "png"
                       : kind == ImageFileKind::kBmp ? "bmp"
                                                     : nullptr;
  if (!format) {
    error = "unknown image type (use .png, .jpg or .bmp): " + path;
    return false;
  }
  QImageWriter writer(QString::fromStdString(path), format);
  if (!writer.write(rgb)) {
    error = "cannot write " + path + ": " + writer.errorString().toStdString();
    return false;
  }
  return true;
}

bool WriteImageFileReplacing(const QImage& image, const std::string& path, ImageFileKind kind,
                             int quality, std::string& error) {
  // A hidden name beside the target, so that the rename stays on one file
  // system and a crash leaves no half picture under the real name.
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp = dir + "." + base + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  // mkstemp makes the file private; a picture gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  std::string why;
  if (!WriteImageFile(image, tmp, kind, quality, why)) {
    unlink(tmp.c_str());
    error = "cannot write " + path + ": " + why;
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}
