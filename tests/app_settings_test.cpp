// The settings file and the file browser's rules, without a window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "app/filebrowser.h"
#include "app/ini_file.h"
#include "app/settings.h"
#include "test_util.h"

namespace {

IniFile Ini(std::string_view text) {
  IniFile ini;
  ini.Parse(text);
  return ini;
}

TEST(IniFile, KeepsWhatItDoesNotOwnAndRewritesInPlace) {
  IniFile ini =
      Ini("\xEF\xBB\xBF; made by hand\r\n"
          "[Other]\r\n"
          "x = 1 ; not a comment\r\n"
          "\r\n"
          "[OPTION]\r\n"
          "Foo=bar\r\n"
          "WinPos = 1,2,3\r\n"
          "\r\n"
          "[Tail]\r\n"
          "t=\r\n");
  EXPECT_EQ(ini.ReadString("other", "X", ""), "1 ; not a comment");
  EXPECT_EQ(ini.ReadString("Option", "winpos", "d"), "1,2,3");
  EXPECT_EQ(ini.ReadString("Option", "missing", "d"), "d");
  EXPECT_EQ(ini.ReadString("Nope", "x", "d"), "d");
  EXPECT_EQ(ini.ReadString("Tail", "t", "d"), "");

  ini.WriteString("Option", "winpos", "0");
  ini.WriteString("Option", "lastpath", "/home/ユーザー/モデル;1");
  ini.WriteString("Pview", "backcol", "0,77,102");
  ini.WriteString("Option", "evil", "a\nb=c");
  EXPECT_EQ(ini.Text(),
            "\xEF\xBB\xBF; made by hand\n"
            "[Other]\n"
            "x = 1 ; not a comment\n"
            "\n"
            "[OPTION]\n"
            "Foo=bar\n"
            "winpos=0\n"
            "lastpath=/home/ユーザー/モデル;1\n"
            "evil=a\n"
            "\n"
            "[Tail]\n"
            "t=\n"
            "\n"
            "[Pview]\n"
            "backcol=0,77,102\n");
  EXPECT_EQ(Ini(ini.Text()).ReadString("option", "LASTPATH", ""), "/home/ユーザー/モデル;1");
}

TEST(IniFile, IntegersMustBeWhole) {
  const IniFile ini =
      Ini("[S]\na=12\nb= -7 \nc=12abc\nd=99999999999\ne=\nf=2147483647\ng=-2147483648\nh=1.5\n");
  const std::pair<const char*, int> cases[] = {
      {"a", 12}, {"b", -7}, {"c", 5}, {"d", 5}, {"e", 5}, {"f", 2147483647}, {"g", -2147483647 - 1},
      {"h", 5},  {"zz", 5}};
  for (const auto& [key, want] : cases) EXPECT_EQ(ini.ReadInteger("S", key, 5), want) << key;
}

TEST(IniFile, SaveAndLoadThroughDisk) {
  const std::string dir = TempDir() + "/ini_disk/sub";
  const std::string path = dir + "/t.ini";
  IniFile ini;
  EXPECT_FALSE(ini.Load(path));  // missing: empty, defaults everywhere
  ini.WriteInteger("Option", "viewtype", 3);
  ASSERT_TRUE(ini.Save(path));  // creates the missing folders
  IniFile back;
  ASSERT_TRUE(back.Load(path));
  EXPECT_EQ(back.ReadInteger("Option", "viewtype", 0), 3);
  EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
  EXPECT_FALSE(ini.Save("/proc/version/x.ini"));  // cannot be written: no error, no crash
}

TEST(Settings, DefaultsWithoutAFile) {
  const AppSettings s = ReadSettings(IniFile());
  EXPECT_FALSE(s.savePlacement);
  EXPECT_EQ(s.viewType, 2);
  EXPECT_FALSE(s.rememberFolder);
  EXPECT_EQ(s.lastPath, "");
  EXPECT_FALSE(s.autoRotation);
  EXPECT_EQ(s.renderType, 0);
  EXPECT_EQ(s.cullMode, 0);
  EXPECT_FALSE(s.pluginsFirst);
  EXPECT_EQ(s.backColor, Rgb(0, 77, 102));
  EXPECT_EQ(s.objectColor, Rgb(222, 222, 222));
  EXPECT_FALSE(s.shareVertices);
  EXPECT_FALSE(s.fixOrientation);
  EXPECT_FALSE(s.archiveBrowsing);
  EXPECT_FALSE(s.cache);
  EXPECT_EQ(s.angle, 120.0);
  EXPECT_EQ(s.quality, 50);
}

TEST(Settings, ValuesAsStored) {
  struct Case {
    const char* text;
    bool placed;
    WindowPlacement p;
  } const places[] = {
      {"0", false, {}},
      {"1,2,3", false, {}},
      {"10,20,800,600,200,150", true, {10, 20, 800, 600, 200, 150}},
      {" -5, 7,640,480,0,0trailing", true, {-5, 7, 640, 480, 0, 0}},
      {"10,20,0,600,200,150", false, {}},            // no window is 0 wide
      {"10,20,800,600,-1,150", false, {}},           // nor has a negative panel
      {"10,20,99999999999,600,200,150", false, {}},  // beyond 32 bits
      {"10 ,20,800,600,200,150", false, {}},         // "%d," needs the comma next
  };
  for (const Case& c : places) {
    const AppSettings s = ReadSettings(Ini(std::string("[Option]\nwinpos=") + c.text + "\n"));
    EXPECT_EQ(s.savePlacement, c.placed) << c.text;
    if (c.placed) {
      EXPECT_EQ(s.placement.left, c.p.left);
      EXPECT_EQ(s.placement.top, c.p.top);
      EXPECT_EQ(s.placement.width, c.p.width);
      EXPECT_EQ(s.placement.height, c.p.height);
      EXPECT_EQ(s.placement.leftPanel, c.p.leftPanel);
      EXPECT_EQ(s.placement.listHeight, c.p.listHeight);
    }
  }
  const std::pair<const char*, uint32_t> colors[] = {
      {"255,0", Rgb(0, 77, 102)}, {"300,0,0", Rgb(44, 0, 0)}, {"-1,256,1", Rgb(255, 0, 1)},
      {"1, 2, 3", Rgb(1, 2, 3)},  {"", Rgb(0, 77, 102)},      {"9999999999,0,0", Rgb(0, 77, 102)},
  };
  for (const auto& [text, want] : colors)
    EXPECT_EQ(ReadSettings(Ini(std::string("[Pview]\nbackcol=") + text + "\n")).backColor, want)
        << text;
  EXPECT_EQ(ReadSettings(Ini("[Pview]\nobjcol=300,0,0\n")).objectColor, Rgb(44, 0, 0));
  EXPECT_EQ(ReadSettings(Ini("[Option]\nrendtype=4\n")).renderType, 4);
  EXPECT_EQ(ReadSettings(Ini("[Option]\nrendtype=5\n")).renderType, 0);
  const AppSettings arc2 = ReadSettings(Ini("[Option]\narcfolder=2\n"));
  EXPECT_TRUE(arc2.archiveBrowsing && arc2.archiveExe);
  const AppSettings path = ReadSettings(Ini("[Option]\nlastpath=/tmp/モデル\n"));
  EXPECT_TRUE(path.rememberFolder);
  EXPECT_EQ(path.lastPath, "/tmp/モデル");
}

// A file damaged by hand or by a crash: good keys survive, bad ones fall
// back to their defaults, nothing else is lost on the next write.
TEST(Settings, GarbledFileKeepsGoodKeys) {
  std::string text =
      "[Option]\n"
      "viewtype=3\n"
      "\x01\x02\xff\xfe\x80garbage\n"
      "autorot\n"
      "culling=77\n"
      "rendtype=banana\n"
      "angle=1e9\n"
      "quality=-4\n"
      "verclean=1\n"
      "winpos=10,20,\xff\xff\n"
      "[Pview]\n"
      "objcol=1,2,3\n"
      "backcol=\x01\x02\n";
  text.insert(text.find("garbage"), std::string(1, '\0'));
  IniFile ini = Ini(text);
  const AppSettings s = ReadSettings(ini);
  EXPECT_EQ(s.viewType, 3);
  EXPECT_FALSE(s.autoRotation);
  EXPECT_EQ(s.cullMode, 0);
  EXPECT_EQ(s.renderType, 0);
  EXPECT_EQ(s.angle, 120.0);
  EXPECT_EQ(s.quality, 50);
  EXPECT_TRUE(s.shareVertices);
  EXPECT_FALSE(s.savePlacement);
  EXPECT_EQ(s.objectColor, Rgb(1, 2, 3));
  EXPECT_EQ(s.backColor, Rgb(0, 77, 102));
  WriteSettings(ini, s);
  EXPECT_NE(ini.Text().find("garbage"), std::string::npos);
  EXPECT_EQ(Ini(ini.Text()).ReadString("Option", "culling", ""), "0");
}

TEST(Settings, WrittenInOrderAndForm) {
  AppSettings s;
  s.savePlacement = true;
  s.placement = {10, 20, 800, 600, 200, 150};
  s.viewType = 1;
  s.rememberFolder = true;
  s.lastPath = "/srv/モデル";
  s.renderType = 4;
  s.cullMode = 2;
  s.autoRotation = true;
  s.pluginsFirst = true;
  s.shareVertices = true;
  s.fixOrientation = true;
  s.archiveBrowsing = true;
  s.archiveExe = true;
  s.angle = 45.9;
  s.quality = 75;
  s.cache = true;
  s.backColor = Rgb(1, 2, 3);
  s.objectColor = ReadSettings(Ini("[Pview]\nobjcol=300,0,0\n")).objectColor;
  IniFile ini;
  WriteSettings(ini, s);
  EXPECT_EQ(ini.Text(),
            "[Option]\n"
            "winpos=10,20,800,600,200,150\n"
            "viewtype=1\n"
            "lastpath=/srv/モデル\n"
            "rendtype=4\n"
            "culling=2\n"
            "autorot=1\n"
            "pluginorder=1\n"
            "verclean=1\n"
            "polwise=1\n"
            "arcfolder=2\n"
            "angle=45\n"
            "quality=75\n"
            "cache=1\n"
            "thumbnails=1\n"
            "textures=1\n"
            "\n"
            "[Pview]\n"
            "backcol=1,2,3\n"
            "objcol=44,0,0\n");

  // Unchecked items write their "off" forms; the ".exe" choice is not kept
  // without archive browsing.
  s.savePlacement = false;
  s.rememberFolder = false;
  s.archiveBrowsing = false;
  s.angle = -0.5;
  WriteSettings(ini, s);
  const IniFile back = Ini(ini.Text());
  EXPECT_EQ(back.ReadString("Option", "winpos", ""), "0");
  EXPECT_EQ(back.ReadString("Option", "lastpath", "x"), "");
  EXPECT_EQ(back.ReadString("Option", "arcfolder", ""), "0");
  EXPECT_EQ(back.ReadString("Option", "angle", ""), "0");

  // A folder name holding a line break is not remembered at all.
  s.rememberFolder = true;
  s.lastPath = "/tmp/a\nwinpos=1,1,1,1,1,1";
  WriteSettings(ini, s);
  EXPECT_EQ(Ini(ini.Text()).ReadString("Option", "lastpath", "x"), "");
  EXPECT_EQ(Ini(ini.Text()).ReadString("Option", "winpos", ""), "0");
}

TEST(Settings, FileLocation) {
  const std::string dir = TempDir();
  EXPECT_EQ(SettingsFilePath(dir + "/tarnelle"), dir + "/tarnelle.ini");
  EXPECT_EQ(HelpFilePath(dir + "/tarnelle"), dir + "/tarnelle.html");
  // A folder we cannot write to (here: one that does not exist) sends the
  // file to the user's configuration folder.
  const char* old = getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  const std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(SettingsFilePath("/no/such/dir/tarnelle"), "/xdg/conf/tarnelle/tarnelle.ini");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(SettingsFilePath("/no/such/dir/tarnelle"), "/home/u/.config/tarnelle/tarnelle.ini");
  setenv("HOME", savedHome.c_str(), 1);
  if (old)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

ReaderTable TwoReaders() {
  ReaderTable t(2);
  t[0].name = "Wavefront";
  t[0].mask = "*.obj";
  t[1].name = "Plug";
  t[1].mask = "*.ab;*.cd";
  return t;
}

TEST(FileBrowser, FilterTextFromTheReaderTable) {
  const ReaderTable t = TwoReaders();
  EXPECT_EQ(AllSupportedMask(t), "*.obj;*.ab;*.cd");
  const std::string text = BuildFilterText(t);
  EXPECT_EQ(text,
            "すべてのファイル|*.*|対応する全形式|*.obj;*.ab;*.cd|Wavefront|*.obj|Plug|*.ab;*.cd|");
  const std::vector<FilterEntry> e = ParseFilterText(text);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].description, "すべてのファイル");
  EXPECT_EQ(e[0].mask, "*.*");
  EXPECT_EQ(e[1].mask, "*.obj;*.ab;*.cd");
  EXPECT_EQ(e[3].description, "Plug");
  EXPECT_EQ(e[3].mask, "*.ab;*.cd");
  EXPECT_EQ(AllSupportedMask({}), "");
  EXPECT_EQ(ParseFilterText(BuildFilterText({})).size(), 2u);
}

TEST(FileBrowser, MaskMatching) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"a.stl", "*.stl", true},      {"A.STL", "*.stl", true}, {"a.stlx", "*.stl", false},
      {"a.stl.bak", "*.stl", false}, {"stl", "*.stl", false},  {"a.ab", "*.obj;*.ab", true},
      {"README", "*.*", true},       {"x.obj", "*.*", true},   {"x.obj", "", false},
      {"x.cd", "*.ab; *.cd", true},  {"ab.x", "a?.x", true},   {"モデル.OBJ", "*.obj", true},
  };
  for (const auto& [name, mask, want] : cases)
    EXPECT_EQ(MatchFileMask(name, mask), want) << name << " " << mask;
  // Many stars against a long name stay fast (linear backtracking).
  EXPECT_FALSE(MatchFileMask(std::string(5000, 'a'), "*a*a*a*a*a*a*a*a*b"));
}

TEST(FileBrowser, ListedItemPath) {
  EXPECT_EQ(ListedItemPath("/m", "teapot.obj", ".obj"), "/m/teapot.obj");
  EXPECT_EQ(ListedItemPath("/m/", "teapot", ".OBJ"), "/m/teapot.OBJ");
  EXPECT_EQ(ListedItemPath("/", "a.stl", ".stl"), "/a.stl");
  EXPECT_EQ(FolderPartOf("/a/b/c.stl"), "/a/b/");
  EXPECT_EQ(FolderPartOf("c.stl"), "");
}

}  // namespace
