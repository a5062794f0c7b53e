// What a headless picture of one model is drawn with. Plain data without
// Qt, so that the command line can fill it in a build without the preview.
#pragma once

#include <string>
#include <vector>

struct SnapshotOptions {
  std::string out;  // .png, .jpg/.jpeg or .bmp
  int renderType = 0;
  int cullMode = 0;
  int view = 0;
  int width = 640, height = 480;
  int background[3] = {0, 77, 102};
  int object[3] = {222, 222, 222};
  int quality = 50;  // JPEG only
  // The model's materials and textures (flat and smooth types); texture
  // names are looked up beside modelPath.
  bool textures = true;
  std::string modelPath;
  // Filled with a line for each texture that could not be shown.
  std::vector<std::string>* log = nullptr;
};
