// Writing a rendered picture to PNG, JPEG or BMP.
#pragma once

#include <QImage>
#include <string>

enum class ImageFileKind { kUnknown, kPng, kJpeg, kBmp };

// By the path's extension, ignoring case: .png, .jpg/.jpeg, .bmp.
ImageFileKind ImageKindOfPath(const std::string& path);

// Writes image (any format; alpha is dropped) to path. JPEG goes through
// libjpeg with the given quality (1-100), every other setting at its
// default. Returns false with a reason in error.
bool WriteImageFile(const QImage& image, const std::string& path, ImageFileKind kind, int quality,
                    std::string& error);

// The same, but path appears only once the picture is complete: written
// under a temporary name in the same folder, then renamed over path. On
// failure path is left as it was and no temporary file remains.
bool WriteImageFileReplacing(const QImage& image, const std::string& path, ImageFileKind kind,
                             int quality, std::string& error);
