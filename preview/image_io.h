// Writing a rendered picture to PNG, JPEG or BMP.
#pragma once

#include <QByteArray>
#include <QImage>
#include <string>

enum class ImageFileKind { kUnknown, kPng, kJpeg, kBmp };

// By the path's extension, ignoring case: .png, .jpg/.jpeg, .bmp.
ImageFileKind ImageKindOfPath(const std::string& path);

// The file's bytes: BMP as 24-bit bottom-up rows, JPEG through libjpeg
// with the given quality (1-100, every other setting at its default), PNG
// through Qt. Alpha is dropped. False with a reason in error.
bool EncodeImage(const QImage& image, ImageFileKind kind, int quality, QByteArray& out,
                 std::string& error);

// Encodes image and puts it at path. The bytes go to a temporary file in
// the same folder that replaces path only once it is complete, so a failed
// write leaves neither a partial picture nor a damaged older file. An
// existing file without any write permission bit is refused, as a folder
// is. False with a reason in error.
bool WriteImageFile(const QImage& image, const std::string& path, ImageFileKind kind, int quality,
                    std::string& error);
