// The choices that survive a restart, as the window keeps them between
// start and close, and their stored form in the INI file.
#pragma once

#include <cstdint>
#include <string>

#include "app/ini_file.h"

// Colours are held as red in the low byte, green next, blue in the third.
constexpr uint32_t Rgb(int r, int g, int b) {
  return static_cast<uint32_t>(r & 0xFF) | static_cast<uint32_t>(g & 0xFF) << 8 |
         static_cast<uint32_t>(b & 0xFF) << 16;
}
constexpr int RedOf(uint32_t c) { return static_cast<int>(c & 0xFF); }
constexpr int GreenOf(uint32_t c) { return static_cast<int>(c >> 8 & 0xFF); }
constexpr int BlueOf(uint32_t c) { return static_cast<int>(c >> 16 & 0xFF); }

inline constexpr uint32_t kDefaultBackColor = Rgb(0, 77, 102);
inline constexpr uint32_t kDefaultObjectColor = Rgb(222, 222, 222);

// Window left, top, width, height, left panel width, file list height.
struct WindowPlacement {
  int left = 0, top = 0, width = 0, height = 0, leftPanel = 0, listHeight = 0;
};

struct AppSettings {
  bool savePlacement = false;  // "サイズ・位置を保存"; placement is valid when set
  WindowPlacement placement;
  int viewType = 2;             // 0 large icons, 1 small icons, 2 list, 3 details
  bool rememberFolder = false;  // "フォルダ記憶"
  std::string lastPath;         // folder to select at start; written when remembered
  bool autoRotation = false;
  int renderType = 0;  // 0 flat .. 4 point
  int cullMode = 0;    // 0 both sides, 1, 2 one side each
  bool pluginsFirst = false;
  uint32_t backColor = kDefaultBackColor;
  uint32_t objectColor = kDefaultObjectColor;
  bool shareVertices = false;    // "頂点共有化"
  bool fixOrientation = false;   // "面方向の補正"
  bool archiveBrowsing = false;  // "圧縮ファイル参照"
  bool archiveExe = false;       // self-extracting ".exe" files count as archives
  bool cache = false;
  double angle = 120.0;    // edge detection angle, degrees
  int quality = 50;        // JPEG quality, percent
  bool thumbnails = true;  // model thumbnails in the icon views
  bool textures = true;    // "テクスチャ表示": materials and textures in the preview
};

// Applies every key of a settings file; keys that are missing or do not
// parse keep their defaults.
AppSettings ReadSettings(const IniFile& ini);
// Writes every key in the file's fixed order.
void WriteSettings(IniFile& ini, const AppSettings& s);

// "%d,%d,%d" as the colour keys store it; fewer than three numbers give def.
uint32_t ParseColor(std::string_view text, uint32_t def);
// "%d,%d,%d,%d,%d,%d"; false unless all six numbers parse.
bool ParsePlacement(std::string_view text, WindowPlacement& out);

// Where the settings file lives: <exe dir>/<exe name>.ini when the
// executable's folder is writable, else $XDG_CONFIG_HOME/tarnelle/tarnelle.ini
// (~/.config when the variable is unset).
std::string SettingsFilePath(const std::string& exePath);
// The HTML manual beside the executable: <exe dir>/<exe name>.html.
std::string HelpFilePath(const std::string& exePath);
// The running executable's full path (empty when it cannot be told).
std::string CurrentExecutablePath();
