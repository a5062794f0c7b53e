// The settings file: any text must give settings inside the ranges the
// window accepts, and what is written back must read back the same.
#include <string_view>

#include "app/ini_file.h"
#include "app/settings.h"
#include "fuzz/fuzz_entry.h"

namespace {

bool Same(const AppSettings& a, const AppSettings& b) {
  const WindowPlacement &p = a.placement, &q = b.placement;
  return a.savePlacement == b.savePlacement &&
         (!a.savePlacement ||
          (p.left == q.left && p.top == q.top && p.width == q.width && p.height == q.height &&
           p.leftPanel == q.leftPanel && p.listHeight == q.listHeight)) &&
         a.viewType == b.viewType && a.rememberFolder == b.rememberFolder &&
         a.lastPath == b.lastPath && a.autoRotation == b.autoRotation &&
         a.renderType == b.renderType && a.cullMode == b.cullMode &&
         a.pluginsFirst == b.pluginsFirst && a.backColor == b.backColor &&
         a.objectColor == b.objectColor && a.shareVertices == b.shareVertices &&
         a.fixOrientation == b.fixOrientation && a.archiveBrowsing == b.archiveBrowsing &&
         a.archiveExe == b.archiveExe && a.cache == b.cache && a.angle == b.angle &&
         a.quality == b.quality;
}

}  // namespace

TARNELLE_FUZZ_ENTRY {
  IniFile ini;
  ini.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  const AppSettings s = ReadSettings(ini);
  FUZZ_CHECK(s.viewType >= 0 && s.viewType <= 3);
  FUZZ_CHECK(s.renderType >= 0 && s.renderType <= 4);
  FUZZ_CHECK(s.cullMode >= 0 && s.cullMode <= 2);
  FUZZ_CHECK(s.angle >= 0 && s.angle <= 180);
  FUZZ_CHECK(s.quality >= 0 && s.quality <= 100);
  FUZZ_CHECK(!s.savePlacement || (s.placement.width > 0 && s.placement.height > 0));

  // Written into the same file (so its other lines stay) and read again,
  // from the object and from its text.
  // A folder with a line break is not remembered rather than stored wrongly.
  AppSettings expected = s;
  if (expected.lastPath.find_first_of("\r\n") != std::string::npos) {
    expected.lastPath.clear();
    expected.rememberFolder = false;
  }
  WriteSettings(ini, s);
  FUZZ_CHECK(Same(ReadSettings(ini), expected));
  IniFile again;
  again.Parse(ini.Text());
  FUZZ_CHECK(Same(ReadSettings(again), expected));
  return 0;
}
