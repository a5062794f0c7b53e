#include "app/settings.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/user_dirs.h"

namespace {

constexpr char kOption[] = "Option";
constexpr char kPview[] = "Pview";

// sscanf's "%d" followed by literal commas: each number may have leading
// white space and a sign; scanning stops at the first mismatch. A number
// beyond the 32-bit range stops it too. Returns how many numbers parsed.
int ScanCommaInts(std::string_view s, int* out, int count) {
  size_t pos = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (pos >= s.size() || s[pos] != ',') return i;
      ++pos;
    }
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r' ||
                              s[pos] == '\v' || s[pos] == '\f'))
      ++pos;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) negative = s[pos++] == '-';
    const size_t digits = pos;
    long long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      v = v * 10 + (s[pos++] - '0');
      if (v > static_cast<long long>(INT_MAX) + 1) return i;
    }
    if (pos == digits) return i;
    if (negative) v = -v;
    if (v > INT_MAX) return i;
    out[i] = static_cast<int>(v);
  }
  return count;
}

std::string ColorText(uint32_t c) {
  return std::to_string(RedOf(c)) + "," + std::to_string(GreenOf(c)) + "," +
         std::to_string(BlueOf(c));
}

// An integer key whose value must lie in [lo, hi]; anything else is def.
int ReadRanged(const IniFile& ini, const char* key, int def, int lo, int hi) {
  const int v = ini.ReadInteger(kOption, key, def);
  return v >= lo && v <= hi ? v : def;
}

std::string DirOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return base.empty() ? "tarnelle" : base;
}

// The edge angle written as an integer: truncated toward zero.
int TruncatedAngle(double a) {
  if (!(a > INT_MIN && a < INT_MAX)) return a >= INT_MAX ? INT_MAX : a <= INT_MIN ? INT_MIN : 0;
  return static_cast<int>(a);
}

}  // namespace

uint32_t ParseColor(std::string_view text, uint32_t def) {
  int c[3];
  if (ScanCommaInts(text, c, 3) < 3) return def;
  return Rgb(c[0], c[1], c[2]);
}

bool ParsePlacement(std::string_view text, WindowPlacement& out) {
  int v[6];
  if (ScanCommaInts(text, v, 6) < 6) return false;
  out = {v[0], v[1], v[2], v[3], v[4], v[5]};
  return true;
}

AppSettings ReadSettings(const IniFile& ini) {
  AppSettings s;
  const std::string winpos = ini.ReadString(kOption, "winpos", "0");
  WindowPlacement p;
  // Sizes that no window can have count as a broken value; whether the
  // position is on a screen is for the window to judge.
  if (winpos != "0" && ParsePlacement(winpos, p) && p.width > 0 && p.height > 0 &&
      p.width <= 32767 && p.height <= 32767 && p.leftPanel >= 0 && p.listHeight >= 0 &&
      p.left > -32768 && p.left < 32768 && p.top > -32768 && p.top < 32768) {
    s.savePlacement = true;
    s.placement = p;
  }
  s.viewType = ReadRanged(ini, "viewtype", 2, 0, 3);
  s.lastPath = ini.ReadString(kOption, "lastpath", "");
  s.rememberFolder = !s.lastPath.empty();
  s.autoRotation = ini.ReadInteger(kOption, "autorot", 0) != 0;
  // A stored point type (4) is restored like the other four.
  const int rt = ini.ReadInteger(kOption, "rendtype", -1);
  s.renderType = rt >= 0 && rt <= 4 ? rt : 0;
  s.cullMode = ReadRanged(ini, "culling", 0, 0, 2);
  s.pluginsFirst = ini.ReadInteger(kOption, "pluginorder", 0) != 0;
  s.backColor = ParseColor(ini.ReadString(kPview, "backcol", "0,77,102"), kDefaultBackColor);
  s.objectColor = ParseColor(ini.ReadString(kPview, "objcol", "222,222,222"), kDefaultObjectColor);
  s.shareVertices = ini.ReadInteger(kOption, "verclean", 0) != 0;
  s.fixOrientation = ini.ReadInteger(kOption, "polwise", 0) != 0;
  const int arc = ReadRanged(ini, "arcfolder", 0, 0, 2);
  s.archiveBrowsing = arc != 0;
  s.archiveExe = arc == 2;
  s.cache = ini.ReadInteger(kOption, "cache", 0) != 0;
  // The options dialog offers 0 to 180 degrees and 0 to 100 percent.
  s.angle = ReadRanged(ini, "angle", 120, 0, 180);
  s.quality = ReadRanged(ini, "quality", 50, 0, 100);
  s.thumbnails = ini.ReadInteger(kOption, "thumbnails", 1) != 0;
  s.textures = ini.ReadInteger(kOption, "textures", 1) != 0;
  return s;
}

void WriteSettings(IniFile& ini, const AppSettings& s) {
  const WindowPlacement& p = s.placement;
  ini.WriteString(kOption, "winpos",
                  s.savePlacement
                      ? std::to_string(p.left) + "," + std::to_string(p.top) + "," +
                            std::to_string(p.width) + "," + std::to_string(p.height) + "," +
                            std::to_string(p.leftPanel) + "," + std::to_string(p.listHeight)
                      : std::string("0"));
  ini.WriteInteger(kOption, "viewtype", s.viewType);
  // A folder name with a line break cannot be stored on one line; such a
  // folder is not remembered rather than remembered wrongly.
  const bool pathFits = s.lastPath.find_first_of("\r\n") == std::string::npos;
  ini.WriteString(kOption, "lastpath", s.rememberFolder && pathFits ? s.lastPath : "");
  ini.WriteInteger(kOption, "rendtype", s.renderType);
  ini.WriteInteger(kOption, "culling", s.cullMode);
  ini.WriteInteger(kOption, "autorot", s.autoRotation ? 1 : 0);
  ini.WriteInteger(kOption, "pluginorder", s.pluginsFirst ? 1 : 0);
  ini.WriteInteger(kOption, "verclean", s.shareVertices ? 1 : 0);
  ini.WriteInteger(kOption, "polwise", s.fixOrientation ? 1 : 0);
  ini.WriteInteger(kOption, "arcfolder", !s.archiveBrowsing ? 0 : s.archiveExe ? 2 : 1);
  ini.WriteInteger(kOption, "angle", TruncatedAngle(s.angle));
  ini.WriteInteger(kOption, "quality", s.quality);
  ini.WriteInteger(kOption, "cache", s.cache ? 1 : 0);
  ini.WriteString(kPview, "backcol", ColorText(s.backColor));
  ini.WriteString(kPview, "objcol", ColorText(s.objectColor));
  ini.WriteInteger(kOption, "thumbnails", s.thumbnails ? 1 : 0);
  ini.WriteInteger(kOption, "textures", s.textures ? 1 : 0);
}

std::string CurrentExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string SettingsFilePath(const std::string& exePath) {
  const std::string dir = DirOf(exePath);
  const std::string beside = dir + (dir == "/" ? "" : "/") + BaseOf(exePath) + ".ini";
  // Beside the executable when we may write there (the file itself too, if
  // it exists) and it is no installed tree, else the user's configuration
  // folder.
  if (KeepsFilesBesideExecutable(dir) &&
      (access(beside.c_str(), F_OK) != 0 || access(beside.c_str(), W_OK) == 0))
    return beside;
  return XdgBaseDir("XDG_CONFIG_HOME", ".config") + "/tarnelle/tarnelle.ini";
}

std::string HelpFilePath(const std::string& exePath) {
  const std::string dir = DirOf(exePath);
  return dir + (dir == "/" ? "" : "/") + BaseOf(exePath) + ".html";
}
