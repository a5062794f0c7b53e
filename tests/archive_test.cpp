// The archiver modules and the program's archive layer: loading the table,
// detection and member lists over real archives of every format, sorting,
// extraction and the cache, and hostile archives.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "archive/archiver_table.h"
#include "archive/extract.h"
#include "archive/members.h"
#include "core/user_dirs.h"
#include "tests/archive_fixtures.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

constexpr char kObj[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
constexpr char kModelMask[] = "*.obj;*.stl;*.3ds";
constexpr int kWriteFailed = 0x8006;  // the modules' result for a write that failed

std::string ModuleDir() { return TARNELLE_ARCHIVER_DIR; }
std::string Fixture(const std::string& name) {
  return std::string(TARNELLE_FIXTURES) + "/lzh/" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A folder of its own for each test.
std::string FreshDir(const std::string& name) {
  const std::string d = TempDir() + "/" + name;
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// The whole table, loaded from the build's modules only.
struct Archivers {
  ArchiverTable table;
  Archivers() { LoadArchivers(table, {ModuleDir(), false}); }
  ~Archivers() { UnloadArchivers(table); }
  const ArchiverSlot& Slot(int i) const { return table.archivers[static_cast<size_t>(i)]; }
};

std::vector<std::string> Paths(const ArchiverSlot& slot, const std::string& archive,
                               const std::string& mask = {}, bool every = true) {
  std::vector<MemberRow> rows;
  EXPECT_TRUE(ListMembers(slot, archive, mask, every, rows)) << archive;
  std::vector<std::string> out;
  for (const MemberRow& r : rows) out.push_back(r.path);
  return out;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    out.push_back(fs::relative(e.path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

struct ChildResult {
  int status = -1;  // exit status
  std::string err;  // what it wrote to standard error
};
// Runs body in a child process whose standard error is captured; with
// asNobody and run as root, the child drops to the unprivileged user so
// that file modes bind it.
ChildResult InChild(const std::function<void()>& body, bool asNobody = false) {
  int p[2];
  if (pipe(p) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 2);
    close(p[0]);
    close(p[1]);
    if (asNobody && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(125);
    body();
    fflush(stderr);
    _exit(0);
  }
  close(p[1]);
  ChildResult r;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The archiver's result for member in a child process whose files cannot
// grow past cap bytes: a write past it fails (kWriteFailed) instead of
// filling the disk. limit, when not empty, lowers the member limit.
int ExtractCapped(const ArchiverSlot& slot, const std::string& archive, const std::string& member,
                  const std::string& scratch, rlim_t cap, const std::string& limit) {
  const ChildResult r = InChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit fsize = {cap, cap};
    setrlimit(RLIMIT_FSIZE, &fsize);
    if (!limit.empty()) setenv("TARNELLE_MEMBER_LIMIT", limit.c_str(), 1);
    std::string out;
    int status = -1;
    const bool ok = ExtractToFolder(slot, archive, member, scratch, out, &status);
    _exit(ok ? 0 : status > 0x8000 && status < 0x80FF ? status - 0x8000 : 255);
  });
  return r.status > 0 && r.status < 255 ? 0x8000 + r.status : r.status;
}

}  // namespace

// The six entry points of the record era and the two later ones.
TEST(ArchiverModules, ExportTheirEntryPoints) {
  const struct {
    const char* file;
    const char* prefix;
  } modules[] = {{"Unlha32.so", "Unlha"},
                 {"7-zip32.so", "SevenZip"},
                 {"Unzip32.so", "UnZip"},
                 {"Tar32.so", "Tar"}};
  for (const auto& m : modules) {
    void* h = dlopen((ModuleDir() + "/" + m.file).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(h) << m.file << ": " << dlerror();
    for (const char* suffix : {"CheckArchive", "OpenArchive", "FindFirst", "FindNext",
                               "CloseArchive", "", "GetOriginalSizeEx", "GetListError"})
      EXPECT_TRUE(dlsym(h, (std::string(m.prefix) + suffix).c_str())) << m.prefix << suffix;
    dlclose(h);
  }
}

// Which modules are present decides the slots, the extension list and the
// message; the ZIP slot prefers 7-zip32 over Unzip32.
TEST(ArchiverTable, LoadsWhatIsPresent) {
  const struct {
    std::vector<std::string> present;
    bool ok;
    std::string extensions, message, zipModule;
  } cases[] = {
      {{"Unlha32.so", "7-zip32.so", "Unzip32.so", "Tar32.so"},
       true,
       ".lzh,.zip,.7z,.tar,.tgz,.gz,.bz2,.z",
       "",
       "7-zip32.so"},
      {{"Unzip32.so"}, true, ".zip", "Unlha32.so, Tar32.soが見つかりませんでした。", "Unzip32.so"},
      {{"7-zip32.so", "Unzip32.so"},
       true,
       ".zip,.7z",
       "Unlha32.so, Tar32.soが見つかりませんでした。",
       "7-zip32.so"},
      {{"Tar32.so"},
       false,
       ".tar,.tgz,.gz,.bz2,.z",
       "Unlha32.so, 7-zip32/Unzip32.soが見つかりませんでした。",
       ""},
      {{"Unlha32.so", "Tar32.so"},
       true,
       ".lzh,.tar,.tgz,.gz,.bz2,.z",
       "7-zip32/Unzip32.soが見つかりませんでした。",
       ""},
      {{}, false, "", "Unlha32.so, 7-zip32/Unzip32.so, Tar32.soが見つかりませんでした。", ""},
      {{"Unlha32.so", "7-zip32.so"},
       true,
       ".lzh,.zip,.7z",
       "Tar32.soが見つかりませんでした。",
       "7-zip32.so"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string dir = FreshDir("modules" + std::to_string(n++));
    for (const std::string& m : c.present) fs::create_symlink(ModuleDir() + "/" + m, dir + "/" + m);
    ArchiverTable t;
    EXPECT_EQ(LoadArchivers(t, {dir, false}), c.ok) << dir;
    EXPECT_EQ(t.extensions, c.extensions);
    EXPECT_EQ(MissingArchiversMessage(t), c.message);
    EXPECT_EQ(t.archivers[kSlotZip].moduleName, c.zipModule);
    if (!c.zipModule.empty()) {
      EXPECT_EQ(t.archivers[kSlotZip].switches,
                c.zipModule == "7-zip32.so" ? "e -aoa -hide" : "-xoj --i");
      EXPECT_TRUE(t.archivers[kSlotZip].command);
    }
    EXPECT_EQ(TreeExtensionList(t, true), c.extensions.empty() ? "" : c.extensions + ",.exe");
    UnloadArchivers(t);
    for (const ArchiverSlot& s : t.archivers) EXPECT_FALSE(s.Loaded());
  }
}

// Every format the modules read, who detects it and what it lists.
TEST(ArchiverModules, DetectAndListEveryFormat) {
  const std::string dir = FreshDir("formats");
  const std::vector<FixtureEntry> entries = {
      {"models/", "", 'd'}, {"models/Car.OBJ", kObj}, {"readme", "text"}, {"tri.obj", kObj}};
  WriteArchive(dir + "/a.zip", "zip", "", entries);
  WriteArchive(dir + "/a.7z", "7z", "", entries);
  WriteArchive(dir + "/a.tar", "tar", "", entries);
  WriteArchive(dir + "/a.tgz", "tar", "gzip", entries);
  WriteArchive(dir + "/a.tar.bz2", "tar", "bzip2", entries);
  WriteArchive(dir + "/a.tar.Z", "tar", "compress", entries);
  WriteCompressedFile(dir + "/bunny.stl.gz", "gzip", kObj);
  WriteCompressedFile(dir + "/cube.obj.bz2", "bzip2", kObj);
  WriteTemp("formats/plain.gz", "not compressed at all");
  WriteTemp("formats/garbage.zip", std::string(3000, 'x'));
  const std::vector<std::string> all = {"models/Car.OBJ", "readme", "tri.obj"};
  const struct {
    std::string path;
    int slot;
    std::vector<std::string> members;
  } cases[] = {
      {dir + "/a.zip", kSlotZip, all},
      {dir + "/a.7z", kSlotZip, all},
      {dir + "/a.tar", kSlotTar, all},
      {dir + "/a.tgz", kSlotTar, all},
      {dir + "/a.tar.bz2", kSlotTar, all},
      {dir + "/a.tar.Z", kSlotTar, all},
      {dir + "/bunny.stl.gz", kSlotTar, {"bunny.stl"}},
      {dir + "/cube.obj.bz2", kSlotTar, {"cube.obj"}},
      {Fixture("lv0.lzh"), kSlotLha, {"tri.obj", "models/cube.obj"}},
      {Fixture("lv1.lzh"), kSlotLha, {"tri.obj", "models/cube.obj"}},
      {Fixture("lv2.lzh"), kSlotLha, {"tri.obj", "models/cube.obj"}},
      {Fixture("lh0.lzh"), kSlotLha, {"tri.obj"}},
      {Fixture("lh6.lzh"), kSlotLha, {"tri.obj"}},
      {Fixture("lh7.lzh"), kSlotLha, {"tri.obj"}},
      {Fixture("cp932_l1.lzh"), kSlotLha, {"モデル.obj"}},
      {Fixture("cp932_l2.lzh"), kSlotLha, {"表/表.obj"}},
      {dir + "/plain.gz", kNoArchiver, {}},
      {dir + "/garbage.zip", kNoArchiver, {}},
      {dir + "/missing.zip", kNoArchiver, {}},
      {dir, kNoArchiver, {}},  // a folder has no extension to offer
  };
  Archivers arc;
  for (const auto& c : cases) {
    EXPECT_EQ(DetectArchiver(arc.table, c.path), c.slot) << c.path;
    if (c.slot == kNoArchiver) continue;
    EXPECT_EQ(Paths(arc.Slot(c.slot), c.path), c.members) << c.path;
    // Every listed name is one the extraction finds.
    for (const std::string& m : c.members) {
      std::string out;
      EXPECT_TRUE(ExtractToFolder(arc.Slot(c.slot), c.path, m, FreshDir("each") + "/", out)) << m;
    }
  }
  // Unzip32 reads zip only.
  const std::string unzipDir = FreshDir("unzip-only");
  fs::create_symlink(ModuleDir() + "/Unzip32.so", unzipDir + "/Unzip32.so");
  ArchiverTable unzip;
  LoadArchivers(unzip, {unzipDir, false});
  EXPECT_EQ(DetectArchiver(unzip, dir + "/a.zip"), kSlotZip);
  EXPECT_EQ(DetectArchiver(unzip, dir + "/a.7z"), kNoArchiver);
  EXPECT_EQ(Paths(unzip.archivers[kSlotZip], dir + "/a.zip"), all);
  UnloadArchivers(unzip);
}

TEST(ArchiverModules, NamesSizesAndDates) {
  const std::string dir = FreshDir("names");
  // ZIP written on Japanese Windows: CP932 without the UTF-8 flag; the same
  // text with the flag is UTF-8. A "\\" separates folders in either; in CP932
  // a 0x5C that is the second byte of a character (表) stays part of it.
  const std::string zip = HandZip({{"\x83\x82\x83\x66\x83\x8b/\x95\x5c.obj", kObj, false},
                                   {"ユーティーエフ.obj", kObj, true},
                                   {"dir\\win.obj", "w", false},
                                   {"\x95\x5c\\g.obj", "g", false}});
  WriteTemp("names/jp.zip", zip);
  Archivers arc;
  const std::vector<std::string> names = {"モデル/表.obj", "ユーティーエフ.obj", "dir/win.obj",
                                          "表/g.obj"};
  EXPECT_EQ(Paths(arc.Slot(kSlotZip), dir + "/jp.zip"), names);
  for (const std::string& m : names) {
    std::string out;
    EXPECT_TRUE(ExtractToFolder(arc.Slot(kSlotZip), dir + "/jp.zip", m, FreshDir("jp") + "/", out))
        << m;
  }

  // Dates are the local time of the member, clamped to what MS-DOS dates hold.
  setenv("TZ", "UTC", 1);
  tzset();
  WriteArchive(dir + "/d.tar", "tar", "",
               {{"new.obj", kObj, 'f', {}, 1700000000},  // 2023-11-14 22:13:20
                {"old.obj", kObj, 'f', {}, 0},
                {"odd.obj", kObj, 'f', {}, 1700000001}});
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(arc.Slot(kSlotTar), dir + "/d.tar", "", true, rows));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].date, "2023/11/14 22:13:20");
  EXPECT_EQ(rows[1].date, "1980/01/01 00:00:00");
  EXPECT_EQ(rows[2].date, "2023/11/14 22:13:20");  // two-second steps
  EXPECT_EQ(rows[0].size, std::to_string(strlen(kObj)));
  EXPECT_EQ(rows[0].type, "OBJ");

  // A size past 4 GiB comes whole through the extended call; a module
  // without it (an older one) gives the record's clamped size. A path
  // longer than the record holds is left out.
  std::string tar = TarHeader("big.obj", 5000000000ULL);
  tar += std::string(1024, '\0');
  WriteTemp("names/big.tar", tar);
  WriteTemp("names/sparse.tar", GnuSparseTar("big.stl", 60ULL << 30, std::string(512, 'x')));
  ArchiverSlot older = arc.Slot(kSlotTar);
  older.originalSizeEx = nullptr;
  const struct {
    const char* archive;
    const ArchiverSlot* slot;
    const char* size;
  } sizes[] = {{"big.tar", &arc.Slot(kSlotTar), "5000000000"},
               {"sparse.tar", &arc.Slot(kSlotTar), "64424509440"},
               {"big.tar", &older, "4294967295"}};
  for (const auto& c : sizes) {
    ASSERT_TRUE(ListMembers(*c.slot, dir + "/" + c.archive, "", true, rows)) << c.archive;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].size, c.size) << c.archive;
  }
  const RunResult listed = RunTarnelle({"--list", dir + "/sparse.tar"});
  EXPECT_EQ(listed.out.substr(0, listed.out.find('\t', 8)), "big.stl\t64424509440") << listed.err;
  const std::string longName = std::string(300, 'a') + "/" + std::string(300, 'b') + ".obj";
  WriteArchive(dir + "/long.tar", "tar", "", {{longName, kObj}, {"short.obj", kObj}});
  EXPECT_EQ(Paths(arc.Slot(kSlotTar), dir + "/long.tar"), std::vector<std::string>{"short.obj"});
  EXPECT_EQ(DosDateTimeText(0xFF9F, 0xBF7D), "2107/12/31 23:59:58");
}

TEST(MemberList, FilterAndTypes) {
  const std::string dir = FreshDir("filter");
  WriteArchive(dir + "/m.zip", "zip", "",
               {{"Models/Car.OBJ", kObj},
                {"readme", "x"},
                {"docs/", "", 'd'},
                {"part.stl", "x"},
                {"notes.txt", "x"},
                {"dir.v2/file", "x"}});
  Archivers arc;
  const ArchiverSlot& zip = arc.Slot(kSlotZip);
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(zip, dir + "/m.zip", kModelMask, false, rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].path, "Models/Car.OBJ");
  EXPECT_EQ(rows[0].type, "OBJ");
  EXPECT_EQ(rows[1].path, "part.stl");
  EXPECT_EQ(Paths(zip, dir + "/m.zip", "*.stl", false), std::vector<std::string>{"part.stl"});
  // Every member but folders under "all files".
  EXPECT_EQ(Paths(zip, dir + "/m.zip", "*.*", true),
            (std::vector<std::string>{"Models/Car.OBJ", "readme", "part.stl", "notes.txt",
                                      "dir.v2/file"}));
}

TEST(MemberList, SortKeys) {
  // The key starts at 1: a first click on the name column sorts descending,
  // on another column ascending; a second click reverses.
  const struct {
    int key, column, next;
  } keys[] = {{1, 0, -1}, {-1, 0, 1}, {1, 1, 2}, {2, 1, -2}, {-2, 1, 2}, {-2, 3, 4}, {4, 0, 1}};
  for (const auto& k : keys) EXPECT_EQ(NextSortKey(k.key, k.column), k.next) << k.key << k.column;

  std::vector<MemberRow> rows = {{"b.obj", "1000", "OBJ", "2020/01/02 00:00:00"},
                                 {"A.stl", "900", "STL", "2021/01/01 00:00:00"},
                                 {"c.3DS", "5", "3DS", "2019/05/05 00:00:00"}};
  auto order = [&](int key) {
    SortMembers(rows, key);
    std::string s;
    for (const MemberRow& r : rows) s += r.path + " ";
    return s;
  };
  EXPECT_EQ(order(1), "A.stl b.obj c.3DS ");
  EXPECT_EQ(order(-1), "c.3DS b.obj A.stl ");
  EXPECT_EQ(order(2), "c.3DS A.stl b.obj ");  // 900 before 1000: numbers, not texts
  EXPECT_EQ(order(-2), "b.obj A.stl c.3DS ");
  EXPECT_EQ(order(3), "c.3DS b.obj A.stl ");
  EXPECT_EQ(order(4), "c.3DS b.obj A.stl ");
}

TEST(Extraction, NamesAndCommandLine) {
  EXPECT_EQ(CacheFileName("/x/Cache/", "models/a.obj"), "/x/Cache/models_a.obj");
  EXPECT_EQ(CacheFileName("/x/Cache/", "models\\a.obj"), "/x/Cache/models_a.obj");
  EXPECT_EQ(CacheFileName("/x/Cache/", "C:\\m/a.obj"), "/x/Cache/C__m_a.obj");
  EXPECT_EQ(ExtractedFileName("/x/Cache/tmp/", "models/a.obj"), "/x/Cache/tmp/a.obj");
  EXPECT_EQ(ExtractedFileName("/x/Cache/tmp/", "models\\a.obj"), "/x/Cache/tmp/a.obj");
  EXPECT_EQ(ScratchFolderOf("/x/Cache/"), "/x/Cache/tmp/");
  EXPECT_EQ(MemberDisplayName("/d/a.lzh", "m/a.obj"), "/d/a.lzh//m/a.obj");
  std::string cmd;
  ASSERT_TRUE(BuildExtractCommand("e -m2 -n1", "/d/a.lzh", "/c/tmp/", "m/a.obj", cmd));
  EXPECT_EQ(cmd, "e -m2 -n1 \"/d/a.lzh\" \"/c/tmp/\" \"m/a.obj\"");
  EXPECT_FALSE(BuildExtractCommand("e", "/d/a\".lzh", "/c/tmp/", "a.obj", cmd));

  const std::string dir = FreshDir("split");
  WriteTemp("split/a.zip", "x");
  const struct {
    std::string arg;
    bool split;
    std::string archive, member;
  } cases[] = {
      {dir + "/a.zip//m/x.obj", true, dir + "/a.zip", "m/x.obj"},
      {dir + "/a.zip//", false, "", ""},
      {dir + "/a.zip", false, "", ""},
      {dir + "/none.zip//x.obj", false, "", ""},
      {dir + "//a.zip//x.obj", true, dir + "//a.zip", "x.obj"},
  };
  for (const auto& c : cases) {
    std::string a, m;
    EXPECT_EQ(SplitMemberArgument(c.arg, a, m), c.split) << c.arg;
    if (c.split) {
      EXPECT_EQ(a, c.archive);
      EXPECT_EQ(m, c.member);
    }
  }
}

// Every format extracts the named member, by its base name, into the
// scratch folder; the same path twice: the last one wins.
TEST(Extraction, ExtractsOneMemberOfEveryFormat) {
  const std::string dir = FreshDir("extract");
  const std::vector<FixtureEntry> entries = {
      {"models/a.obj", "first"}, {"b.stl", "bee"}, {"models/a.obj", "second"}};
  WriteArchive(dir + "/a.zip", "zip", "", entries);
  WriteArchive(dir + "/a.7z", "7z", "", entries);
  WriteArchive(dir + "/a.tgz", "tar", "gzip", entries);
  WriteArchive(dir + "/a.tar.Z", "tar", "compress", entries);
  WriteCompressedFile(dir + "/one.stl.gz", "gzip", "solid");
  Archivers arc;
  const struct {
    std::string archive, member, data;
  } cases[] = {
      {dir + "/a.zip", "models/a.obj", "second"},   {dir + "/a.7z", "models/a.obj", "second"},
      {dir + "/a.tgz", "models/a.obj", "second"},   {dir + "/a.tar.Z", "b.stl", "bee"},
      {dir + "/one.stl.gz", "one.stl", "solid"},    {Fixture("lv2.lzh"), "models/cube.obj", kObj},
      {Fixture("cp932_l2.lzh"), "表/表.obj", kObj}, {Fixture("lh7.lzh"), "tri.obj", kObj},
  };
  for (const auto& c : cases) {
    const std::string scratch = FreshDir("scratch") + "/";
    const int slot = DetectArchiver(arc.table, c.archive);
    ASSERT_NE(slot, kNoArchiver) << c.archive;
    std::string out;
    ASSERT_TRUE(ExtractToFolder(arc.Slot(slot), c.archive, c.member, scratch, out)) << c.archive;
    EXPECT_EQ(ReadAll(out), c.data) << c.archive;
    EXPECT_EQ(FilesIn(scratch).size(), 1u) << c.archive;
    // A member that is not there leaves nothing.
    EXPECT_FALSE(ExtractToFolder(arc.Slot(slot), c.archive, "nothere.obj", scratch, out));
    EXPECT_EQ(FilesIn(scratch).size(), 1u);
  }
}

TEST(Extraction, CacheReuseIsKeyedByArchiveAndMember) {
  const std::string dir = FreshDir("cache");
  // ZIP readers take "\\" for a folder separator; tar keeps it.
  WriteArchive(dir + "/one.tar", "tar", "", {{"models/a.obj", "one"}, {"models\\a.obj", "back"}});
  WriteArchive(dir + "/two.tar", "tar", "", {{"models/a.obj", "two"}});
  Archivers arc;
  const ArchiverSlot& zip = arc.Slot(kSlotTar);
  ArchiveCache cache;
  cache.folder = dir + "/exe/Cache/";
  std::string file;
  // Cache on: the second click reuses the file.
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/one.tar", "models/a.obj", true, file));
  EXPECT_EQ(file, cache.folder + "models_a.obj");
  EXPECT_EQ(ReadAll(file), "one");
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/one.tar", "models/a.obj", true, file));
  EXPECT_EQ(cache.commandRuns, 1);
  // The same cache file from another archive or member path is extracted anew.
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/two.tar", "models/a.obj", true, file));
  EXPECT_EQ(ReadAll(file), "two");
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/one.tar", "models\\a.obj", true, file));
  EXPECT_EQ(file, cache.folder + "models_a.obj");
  EXPECT_EQ(ReadAll(file), "back");
  EXPECT_EQ(cache.commandRuns, 3);
  // A changed archive at the same path is extracted anew.
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/two.tar", "models/a.obj", true, file));
  EXPECT_EQ(cache.commandRuns, 4);
  WriteArchive(dir + "/two.tar", "tar", "", {{"models/a.obj", "changed!"}});
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/two.tar", "models/a.obj", true, file));
  EXPECT_EQ(ReadAll(file), "changed!");
  EXPECT_EQ(cache.commandRuns, 5);
  // Cache off: every click runs the archiver.
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/two.tar", "models/a.obj", false, file));
  ASSERT_TRUE(ExtractMember(zip, cache, dir + "/two.tar", "models/a.obj", false, file));
  EXPECT_EQ(cache.commandRuns, 7);
  // A failed extraction: false, and the scratch folder stays empty.
  EXPECT_FALSE(ExtractMember(zip, cache, dir + "/two.tar", "gone.obj", true, file));
  EXPECT_TRUE(FilesIn(ScratchFolderOf(cache.folder)).empty());
}

// Hostile member names, links and devices: at most one regular file, by
// base name, inside the scratch folder; nothing anywhere else.
TEST(Extraction, HostileMembersWriteNothingOutside) {
  const std::string dir = FreshDir("hostile");
  WriteArchive(dir + "/names.tar", "tar", "",
               {{"../up.obj", "up"},
                {"/etc/abs.obj", "abs"},
                {"C:\\win.obj", "win"},
                {"a/../../dots.obj", "dots"},
                {"..", "dotdot"},
                {"link.obj", "", 'l', "/etc/passwd"},
                {"hard.obj", "", 'h', "C:\\win.obj"},
                {"dup.obj", "file"},
                {"dup.obj", "", 'l', "/etc/passwd"}});
  WriteTemp("hostile/quote.zip",
            HandZip({{"q\"uote.obj", "q"}, {std::string("nul\0x.obj", 9), "n"}}));
  Archivers arc;
  const ArchiverSlot& tar = arc.Slot(kSlotTar);
  // Symbolic links and folders are not listed; the rest, hard links
  // included, lists under its stored name.
  EXPECT_EQ(Paths(tar, dir + "/names.tar"),
            (std::vector<std::string>{"../up.obj", "/etc/abs.obj", "C:\\win.obj",
                                      "a/../../dots.obj", "..", "hard.obj", "dup.obj"}));
  // A quote cannot be passed to the extraction command: not listed.
  EXPECT_EQ(Paths(arc.Slot(kSlotZip), dir + "/quote.zip"), std::vector<std::string>{"nul"});

  const struct {
    std::string member, file, data;  // file empty: nothing is extracted
  } cases[] = {{"../up.obj", "up.obj", "up"},
               {"/etc/abs.obj", "abs.obj", "abs"},
               {"C:\\win.obj", "win.obj", "win"},
               {"a/../../dots.obj", "dots.obj", "dots"},
               {"..", "", ""},
               {"link.obj", "", ""},
               {"hard.obj", "hard.obj", "win"},  // a second name, by its own base name
               {"dup.obj", "", ""}};             // the last entry of that path is a link
  for (const auto& c : cases) {
    const std::string outer = FreshDir("outer");
    const std::string scratch = outer + "/Cache/tmp/";
    fs::create_directories(scratch);
    std::string out;
    const bool ok = ExtractToFolder(tar, dir + "/names.tar", c.member, scratch, out);
    EXPECT_EQ(ok, !c.file.empty()) << c.member;
    if (ok) {
      EXPECT_EQ(out, scratch + c.file);
      EXPECT_EQ(ReadAll(out), c.data);
      EXPECT_EQ(FilesIn(outer),
                (std::vector<std::string>{"Cache", "Cache/tmp", "Cache/tmp/" + c.file}));
    } else {
      EXPECT_EQ(FilesIn(outer), (std::vector<std::string>{"Cache", "Cache/tmp"})) << c.member;
    }
  }
  // The quoted name is refused by the command; a link already standing at
  // the base name is replaced, never written through.
  const std::string outer = FreshDir("outer");
  const std::string scratch = outer + "/tmp/";
  fs::create_directories(scratch);
  WriteTemp("hostile/victim.obj", "keep");
  fs::create_symlink(dir + "/victim.obj", scratch + "win.obj");
  std::string out;
  EXPECT_FALSE(
      ExtractToFolder(arc.Slot(kSlotZip), dir + "/quote.zip", "q\"uote.obj", scratch, out));
  ASSERT_TRUE(ExtractToFolder(tar, dir + "/names.tar", "C:\\win.obj", scratch, out));
  EXPECT_EQ(ReadAll(dir + "/victim.obj"), "keep");
  EXPECT_FALSE(fs::is_symlink(out));
  EXPECT_EQ(ReadAll(out), "win");
  // A scratch folder that is itself a link is not used.
  fs::create_directories(outer + "/real");
  fs::create_symlink(outer + "/real", outer + "/linked");
  EXPECT_FALSE(ExtractToFolder(tar, dir + "/names.tar", "../up.obj", outer + "/linked/", out));
  EXPECT_TRUE(fs::is_empty(outer + "/real"));
}

TEST(Extraction, BrokenAndHugeArchivesFailCleanly) {
  const std::string dir = FreshDir("broken");
  WriteArchive(dir + "/good.zip", "zip", "", {{"a.obj", std::string(20000, 'a')}, {"b.obj", kObj}});
  WriteArchive(dir + "/good.tgz", "tar", "gzip",
               {{"a.obj", std::string(20000, 'a')}, {"b.obj", kObj}});
  const std::string zip = ReadAll(dir + "/good.zip");
  const std::string tgz = ReadAll(dir + "/good.tgz");
  WriteTemp("broken/cut.zip", zip.substr(0, zip.size() / 2));
  WriteTemp("broken/cut.tgz", tgz.substr(0, tgz.size() / 2));
  WriteTemp("broken/garbage.7z", "7z\xBC\xAF\x27\x1C" + std::string(500, '\x55'));
  WriteTemp("broken/garbage.lzh", std::string("\x20\x00-lh5-", 7) + std::string(200, '\xFF'));
  // A member that claims 1 GB in a file of a few hundred bytes.
  WriteTemp("broken/claims.zip", HandZip({{"huge.obj", "tiny", true, 1000000000}}));
  std::string tar = TarHeader("huge.obj", 1000000000ULL) + std::string(512, 'x');
  WriteTemp("broken/claims.tar", tar);

  Archivers arc;
  for (const char* name :
       {"cut.zip", "cut.tgz", "garbage.7z", "garbage.lzh", "claims.zip", "claims.tar"}) {
    const std::string path = dir + "/" + name;
    const int slot = DetectArchiver(arc.table, path);
    if (slot != kNoArchiver) {
      std::vector<MemberRow> rows;
      ListMembers(arc.Slot(slot), path, "", true, rows);  // whatever it lists, it returns
      for (const char* member : {"a.obj", "b.obj", "huge.obj"}) {
        const std::string scratch = FreshDir("scratch") + "/";
        std::string out;
        if (ExtractToFolder(arc.Slot(slot), path, member, scratch, out)) {
          // Only a whole member comes out.
          EXPECT_EQ(ReadAll(out).size(), std::string(member) == "a.obj" ? 20000u : strlen(kObj))
              << name << " " << member;
        }
        // No partial file stays behind.
        EXPECT_LE(FilesIn(scratch).size(), 1u) << name;
        for (const std::string& f : FilesIn(scratch)) EXPECT_EQ(f.find(".part"), std::string::npos);
      }
    }
  }
  // The huge member's claimed size is listed; it cannot be extracted.
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(arc.Slot(kSlotZip), dir + "/claims.zip", "", true, rows));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size, "1000000000");
  std::string out;
  const std::string scratch = FreshDir("scratch") + "/";
  EXPECT_FALSE(ExtractToFolder(arc.Slot(kSlotZip), dir + "/claims.zip", "huge.obj", scratch, out));
  EXPECT_FALSE(ExtractToFolder(arc.Slot(kSlotTar), dir + "/claims.tar", "huge.obj", scratch, out));
  EXPECT_TRUE(FilesIn(scratch).empty());
  // Devices and pipes are never opened as archives.
  EXPECT_EQ(DetectArchiver(arc.table, "/dev/zero"), kNoArchiver);
}

// Archives as other tools write them: every regular member is listed with
// its real size and date, and extracts to its bytes.
TEST(ArchiverModules, EveryRegularMemberOfRealArchives) {
  const std::string dir = FreshDir("real");
  auto tarFile = [](const std::string& name, const std::string& data) {
    std::string t = TarHeader(name, data.size()) + data;
    return t + std::string((512 - t.size() % 512) % 512, '\0');
  };
  const std::string end(1024, '\0');
  // Python's zipfile: permission bits with no file type; date 0 from tools
  // that know no date; a CP437 name (neither UTF-8 nor CP932); a folder
  // and a symbolic link by mode are no members.
  WriteTemp("real/py.zip", HandZip({{"perm.obj", kObj, false, -1, 0600},
                                    {"folder/", "", false, -1, 0600},
                                    {"link.obj", "perm.obj", false, -1, 0120777},
                                    {"nodate.obj", kObj, false, -1, 0100644, 0},
                                    {"\xff\xfe.obj", kObj, false}}));
  // Tar: a hard link (a second name of a.obj), a symbolic link, a Latin-1 name.
  WriteTemp("real/links.tar", tarFile("m/a.obj", kObj) + TarHeader("m/b.obj", 0, '1', "m/a.obj") +
                                  TarHeader("m/s.obj", 0, '2', "a.obj") +
                                  tarFile("caf\xe9.obj", kObj) + end);
  // gzip -N keeps the original name and time; bzip2 and compress keep no size.
  WriteTemp("real/renamed.gz", HandGzip("orig.obj", 1600000000, kObj));
  // A stored name that cannot be handed back gives way to the file's own.
  WriteTemp("real/quoted.obj.gz", HandGzip("q\"x.obj", 1600000000, kObj));
  WriteCompressedFile(dir + "/one.obj.bz2", "bzip2", kObj);
  WriteCompressedFile(dir + "/one.obj.Z", "compress", kObj);

  setenv("TZ", "UTC", 1);
  tzset();
  Archivers arc;
  const struct {
    const char* archive;
    int slot;
    std::vector<std::string> members;  // listed, in order
    const char* date;                  // of the first member; empty: any
  } cases[] = {
      {"py.zip", kSlotZip, {"perm.obj", "nodate.obj", "\u00a0\u25a0.obj"}, ""},
      {"links.tar", kSlotTar, {"m/a.obj", "m/b.obj", "caf\u00e9.obj"}, ""},
      {"renamed.gz", kSlotTar, {"orig.obj"}, "2020/09/13 12:26:40"},
      {"one.obj.bz2", kSlotTar, {"one.obj"}, ""},
      {"one.obj.Z", kSlotTar, {"one.obj"}, ""},
      {"quoted.obj.gz", kSlotTar, {"quoted.obj"}, ""},
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.archive;
    std::vector<MemberRow> rows;
    ASSERT_TRUE(ListMembers(arc.Slot(c.slot), path, "", true, rows)) << c.archive;
    std::vector<std::string> names;
    for (const MemberRow& r : rows) {
      names.push_back(r.path);
      EXPECT_EQ(r.size, std::to_string(strlen(kObj))) << c.archive << " " << r.path;
    }
    EXPECT_EQ(names, c.members) << c.archive;
    if (*c.date && !rows.empty()) {
      EXPECT_EQ(rows[0].date, c.date) << c.archive;
    }
    for (const std::string& m : names) {
      std::string out;
      ASSERT_TRUE(ExtractToFolder(arc.Slot(c.slot), path, m, FreshDir("real-x") + "/", out))
          << c.archive << " " << m;
      EXPECT_EQ(ReadAll(out), kObj) << c.archive << " " << m;
    }
  }
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(arc.Slot(kSlotZip), dir + "/py.zip", "", true, rows));
  EXPECT_EQ(rows[1].date, "1980/01/01 12:00:00");
  EXPECT_EQ(DosDateTimeText(0, 0), "1980/01/01 00:00:00");
  EXPECT_EQ(DosDateTimeText(0xFFFF, 0xFFFF), "2107/12/31 23:59:59");
  unsetenv("TZ");
  tzset();
}

// A tar hard link names its target as the writer spelled it ("./dir/f",
// "dir//f"); the file itself may be stored either way. Both are listed and
// extract to the target's data.
TEST(ArchiverModules, HardLinkTargetsSpelledOtherwise) {
  const std::string dir = FreshDir("hardlinks");
  auto tarFile = [](const std::string& name, const std::string& data) {
    std::string t = TarHeader(name, data.size()) + data;
    return t + std::string((512 - t.size() % 512) % 512, '\0');
  };
  WriteTemp("hardlinks/l.tar",
            tarFile("ustar/linktest1/regtype", "one") + tarFile("./b/two.obj", "two!") +
                TarHeader("ustar/linktest2/lnktype", 0, '1', "./ustar/linktest1/regtype") +
                TarHeader("l2", 0, '1', "ustar//linktest1/regtype") +
                TarHeader("l3", 0, '1', "b/two.obj") + TarHeader("l4", 0, '1', "././b/./two.obj") +
                TarHeader("l5", 0, '1', "ustar/linktest1") +  // no such file
                std::string(1024, '\0'));
  Archivers arc;
  const std::string path = dir + "/l.tar";
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(arc.Slot(kSlotTar), path, "", true, rows));
  std::vector<std::string> listed;
  for (const MemberRow& r : rows) listed.push_back(r.path + " " + r.size);
  EXPECT_EQ(listed,
            (std::vector<std::string>{"ustar/linktest1/regtype 3", "./b/two.obj 4",
                                      "ustar/linktest2/lnktype 3", "l2 3", "l3 4", "l4 4"}));
  const struct {
    const char* member;
    const char* data;
  } cases[] = {{"ustar/linktest2/lnktype", "one"}, {"l2", "one"}, {"l3", "two!"}, {"l4", "two!"}};
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(ExtractToFolder(arc.Slot(kSlotTar), path, c.member, FreshDir("hl-x") + "/", out))
        << c.member;
    EXPECT_EQ(ReadAll(out), c.data) << c.member;
  }
  // The member asked for is matched as listed, not by its normal form.
  std::string out;
  EXPECT_FALSE(ExtractToFolder(arc.Slot(kSlotTar), path, "b/two.obj", FreshDir("hl-x") + "/", out));
}

// A compressed file whose data begins with a zero block looks like an
// empty tar. Unless its name says tar, it is one compressed file.
TEST(ArchiverModules, CompressedFileOfZerosIsOneFile) {
  const std::string dir = FreshDir("zeros");
  const std::string zeros(1000, '\0');
  WriteCompressedFile(dir + "/z.stl.gz", "gzip", zeros);
  WriteCompressedFile(dir + "/z.stl.bz2", "bzip2", zeros);
  WriteCompressedFile(dir + "/z.stl.Z", "compress", zeros);
  WriteCompressedFile(dir + "/lead.obj.gz", "gzip", std::string(512, '\0') + kObj);
  WriteCompressedFile(dir + "/empty.tar.gz", "gzip", std::string(10240, '\0'));
  WriteCompressedFile(dir + "/empty.tgz", "gzip", std::string(10240, '\0'));
  const struct {
    const char* archive;
    std::vector<std::string> members;
    std::string data;
  } cases[] = {
      {"z.stl.gz", {"z.stl"}, zeros}, {"z.stl.bz2", {"z.stl"}, zeros},
      {"z.stl.Z", {"z.stl"}, zeros},  {"lead.obj.gz", {"lead.obj"}, std::string(512, '\0') + kObj},
      {"empty.tar.gz", {}, ""},  // an empty tar, as named
      {"empty.tgz", {}, ""},
  };
  Archivers arc;
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.archive;
    ASSERT_EQ(DetectArchiver(arc.table, path), kSlotTar) << c.archive;
    std::vector<MemberRow> rows;
    ASSERT_TRUE(ListMembers(arc.Slot(kSlotTar), path, "", true, rows)) << c.archive;
    std::vector<std::string> names;
    for (const MemberRow& r : rows) names.push_back(r.path);
    EXPECT_EQ(names, c.members) << c.archive;
    if (rows.empty()) continue;
    EXPECT_EQ(rows[0].size, std::to_string(c.data.size())) << c.archive;
    std::string out;
    ASSERT_TRUE(
        ExtractToFolder(arc.Slot(kSlotTar), path, rows[0].path, FreshDir("zeros-x") + "/", out))
        << c.archive;
    EXPECT_EQ(ReadAll(out), c.data) << c.archive;
  }
}

// A member whose data runs past the size its header states (ZIP deflate,
// LHA stored data longer than the original size) is stopped at that size
// plus a little and refused as damaged; one of unknown size (a single
// .gz, .bz2) is stopped at the member limit. Each runs in a child whose
// files cannot grow past 512 KiB, so a member written on shows as a
// failed write rather than a full disk.
TEST(Extraction, MembersThatLieAboutTheirSizeAreStopped) {
  const std::string dir = FreshDir("lies");
  const std::string mb = NoiseBytes(1 << 20);
  const std::string small = NoiseBytes(200000);
  WriteTemp("lies/lie.zip", HandZip({{"a.obj", mb, true, 3061, 0100644u, 0x5721, true}}));
  WriteTemp("lies/honest.zip", HandZip({{"a.obj", small, true, -1, 0100644u, 0x5721, true}}));
  WriteTemp("lies/lie.lzh", HandLzh("a.obj", mb, 3061));
  WriteTemp("lies/honest.lzh", HandLzh("a.obj", small));
  // gzip's size field holds the size modulo 4 GiB: this one says 10 bytes.
  std::string gz;
  WriteCompressedFile(dir + "/a.obj.gz", "gzip", mb);
  gz = ReadAll(dir + "/a.obj.gz");
  gz.replace(gz.size() - 4, 4, std::string("\x0a\0\0\0", 4));
  WriteTemp("lies/a.obj.gz", gz);
  WriteCompressedFile(dir + "/a.obj.bz2", "bzip2", mb);
  WriteCompressedFile(dir + "/small.obj.gz", "gzip", small);
  const rlim_t cap = 512 * 1024;
  const struct {
    const char* archive;
    int slot;
    std::string limit;  // member limit for the modules; empty: the machine's
    int status;         // 0: extracted
  } cases[] = {
      {"lie.zip", kSlotZip, "", kArchiverSizeMismatch},
      {"lie.lzh", kSlotLha, "", kArchiverSizeMismatch},
      {"honest.zip", kSlotZip, "", 0},
      {"honest.lzh", kSlotLha, "", 0},
      {"a.obj.gz", kSlotTar, "262144", kArchiverTooLarge},
      {"a.obj.bz2", kSlotTar, "262144", kArchiverTooLarge},
      // Without the lower limit the cap is what stops it: the check of the harness.
      {"a.obj.gz", kSlotTar, "", kWriteFailed},
      {"small.obj.gz", kSlotTar, "262144", 0},
  };
  Archivers arc;
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.archive;
    ASSERT_EQ(DetectArchiver(arc.table, path), c.slot) << c.archive;
    const std::string scratch = FreshDir("lies-x") + "/";
    const std::string member = std::string(c.archive).find("small") == 0 ? "small.obj" : "a.obj";
    EXPECT_EQ(ExtractCapped(arc.Slot(c.slot), path, member, scratch, cap, c.limit), c.status)
        << c.archive;
    EXPECT_EQ(FilesIn(scratch).size(), c.status == 0 ? 1u : 0u) << c.archive;
  }
  // Said in one line, as other refusals are.
  const RunResult r = RunTarnelle({"--info", dir + "/lie.zip//a.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "lie.zip//a.obj: 展開後のサイズが記録と合わない（壊れている）ため解凍しませんでした。"),
      std::string::npos)
      << r.err;
}

// Where "\\" separates folders (ZIP, 7z, LHA) a member may be named with
// it, as Windows users type it; in a tar it is part of the name.
TEST(Extraction, BackslashSeparatedMemberNames) {
  const std::string dir = FreshDir("backslash");
  const std::vector<FixtureEntry> entries = {{"models/sub/a.obj", kObj}};
  WriteArchive(dir + "/a.zip", "zip", "", entries);
  WriteArchive(dir + "/a.7z", "7z", "", entries);
  WriteArchive(dir + "/a.tar", "tar", "", {{"models/sub/a.obj", kObj}, {"w\\b.obj", "back"}});
  const struct {
    std::string archive, member, data;  // data empty: not found
  } cases[] = {
      {dir + "/a.zip", "models\\sub\\a.obj", kObj},
      {dir + "/a.zip", "models\\sub/a.obj", kObj},
      // The base name is what follows the last "/" (as the program names the file).
      {dir + "/a.zip", "models/sub\\a.obj", kObj},
      {dir + "/a.7z", "models\\sub\\a.obj", kObj},
      {Fixture("lv2.lzh"), "models\\cube.obj", kObj},
      {dir + "/a.tar", "models\\sub\\a.obj", ""},
      {dir + "/a.tar", "w\\b.obj", "back"},
  };
  Archivers arc;
  for (const auto& c : cases) {
    const int slot = DetectArchiver(arc.table, c.archive);
    ASSERT_NE(slot, kNoArchiver) << c.archive;
    const std::string scratch = FreshDir("backslash-x") + "/";
    std::string out;
    EXPECT_EQ(ExtractToFolder(arc.Slot(slot), c.archive, c.member, scratch, out), !c.data.empty())
        << c.archive << " " << c.member;
    if (!c.data.empty()) {
      EXPECT_EQ(ReadAll(out), c.data) << c.archive << " " << c.member;
    }
  }
  // The command line's ARCHIVE//MEMBER, as typed.
  const RunResult r = RunTarnelle({"--info", dir + "/a.zip//models\\sub\\a.obj"});
  EXPECT_EQ(r.status, 0) << r.err;
}

// A truncated archive lists what survives and says that it is not all; an
// encrypted member is refused with its own line. Whole archives say
// nothing.
TEST(ArchiverModules, TruncatedArchivesAndEncryptedMembersAreNamed) {
  const std::string dir = FreshDir("damage");
  const std::string noise = NoiseBytes(100000);
  const std::vector<FixtureEntry> entries = {
      {"a.obj", noise}, {"b.obj", noise}, {"c.obj", noise}, {"d.obj", noise}};
  WriteArchive(dir + "/whole.tgz", "tar", "gzip", entries);
  WriteArchive(dir + "/whole.zip", "zip", "", entries);
  // bzip2 decodes in blocks of 900 kB: the cut falls in the second.
  WriteCompressedFile(dir + "/one.obj.bz2", "bzip2", NoiseBytes(2 << 20));
  const auto cut = [&](const std::string& from, const std::string& to, size_t keep) {
    WriteTemp("damage/" + to, ReadAll(dir + "/" + from).substr(0, keep));
  };
  cut("whole.tgz", "cut.tgz", 150000);
  cut("whole.tgz", "cut.tar.gz", 250000);
  cut("whole.zip", "cut.zip", 250000);
  cut("one.obj.bz2", "cut.obj.bz2", 1500000);
  std::string lzh = HandLzh("a.obj", kObj);
  lzh.pop_back();  // the end mark
  WriteTemp("damage/cut2.lzh", lzh + HandLzh("b.obj", noise).substr(0, 1000));
  const struct {
    const char* archive;
    int slot;
    std::vector<std::string> members;
    bool incomplete;
  } cases[] = {
      {"whole.tgz", kSlotTar, {"a.obj", "b.obj", "c.obj", "d.obj"}, false},
      {"whole.zip", kSlotZip, {"a.obj", "b.obj", "c.obj", "d.obj"}, false},
      {"cut.tgz", kSlotTar, {"a.obj", "b.obj"}, true},
      {"cut.tar.gz", kSlotTar, {"a.obj", "b.obj"}, true},
      {"cut.zip", kSlotZip, {"a.obj", "b.obj", "c.obj"}, true},
      {"cut.obj.bz2", kSlotTar, {"cut.obj"}, true},
      {"cut2.lzh", kSlotLha, {"a.obj", "b.obj"}, true},
  };
  Archivers arc;
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.archive;
    ASSERT_EQ(DetectArchiver(arc.table, path), c.slot) << c.archive;
    std::vector<MemberRow> rows;
    bool incomplete = !c.incomplete;
    ASSERT_TRUE(ListMembers(arc.Slot(c.slot), path, "", true, rows, &incomplete)) << c.archive;
    std::vector<std::string> names;
    for (const MemberRow& r : rows) names.push_back(r.path);
    EXPECT_EQ(names, c.members) << c.archive;
    EXPECT_EQ(incomplete, c.incomplete) << c.archive;
    // A module without the call lists the same and never says damaged.
    ArchiverSlot older = arc.Slot(c.slot);
    older.listError = nullptr;
    ASSERT_TRUE(ListMembers(older, path, "", true, rows, &incomplete));
    EXPECT_FALSE(incomplete);
  }
  RunResult r = RunTarnelle({"--list", dir + "/cut.tgz"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 6), "a.obj\t");
  EXPECT_EQ(r.err, "tarnelle: " + IncompleteListText(dir + "/cut.tgz") + "\n");
  EXPECT_EQ(IncompleteListText("x.tgz"),
            "x.tgz: 途中で壊れているため、読めたところまでを一覧にしました。");
  r = RunTarnelle({"--list", dir + "/whole.tgz"});
  EXPECT_TRUE(r.err.empty()) << r.err;

  // Encrypted members are listed; extracting one says why it cannot be.
  WriteArchive(dir + "/locked.zip", "zip", "", {{"a.obj", kObj}}, "secret");
  EXPECT_EQ(Paths(arc.Slot(kSlotZip), dir + "/locked.zip"), std::vector<std::string>{"a.obj"});
  const std::string scratch = FreshDir("damage-x") + "/";
  std::string out;
  int status = 0;
  EXPECT_FALSE(
      ExtractToFolder(arc.Slot(kSlotZip), dir + "/locked.zip", "a.obj", scratch, out, &status));
  EXPECT_EQ(status, kArchiverEncrypted);
  EXPECT_TRUE(FilesIn(scratch).empty());
  r = RunTarnelle({"--info", dir + "/locked.zip//a.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "tarnelle: " + dir + "/locked.zip//a.obj: 暗号化されているため解凍できません。\n");
}

// GNU tar's sparse members: a file that is one hole comes out at its size
// in zeros; one that claims more than any model load could use is refused
// before a byte is written.
TEST(Extraction, SparseTarMembers) {
  const std::string dir = FreshDir("sparse");
  const std::string make =
      "cd '" + dir + "' && truncate -s 1M hole.stl && truncate -s 200G big.stl" +
      " && tar -cSf hole.tar hole.stl && tar -cSf big.tar big.stl" + " && rm hole.stl big.stl";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "GNU tar with -S and truncate are needed";
  Archivers arc;
  const std::string scratch = FreshDir("sparse-x") + "/";
  std::string out;
  int status = 0;
  ASSERT_TRUE(
      ExtractToFolder(arc.Slot(kSlotTar), dir + "/hole.tar", "hole.stl", scratch, out, &status));
  EXPECT_EQ(fs::file_size(out), 1u << 20);
  EXPECT_EQ(ReadAll(out), std::string(1 << 20, '\0'));
  fs::remove(out);

  EXPECT_EQ(Paths(arc.Slot(kSlotTar), dir + "/big.tar"), std::vector<std::string>{"big.stl"});
  EXPECT_FALSE(
      ExtractToFolder(arc.Slot(kSlotTar), dir + "/big.tar", "big.stl", scratch, out, &status));
  EXPECT_EQ(status, kArchiverTooLarge);
  EXPECT_TRUE(FilesIn(scratch).empty());
  EXPECT_EQ(ExtractRefusalText(status, "big.tar//big.stl"),
            "big.tar//big.stl: 展開後のサイズが大きすぎるため解凍しませんでした。");
  // The command line says it in one line and exits 1.
  const RunResult r = RunTarnelle({"--info", dir + "/big.tar//big.stl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("大きすぎる"), std::string::npos) << r.err;
}

// Sparse members built by hand, so that no tar is needed: holes come out
// as zeros up to the stated size, and a member claiming more than any
// model load could use (or the disk could hold) is refused before a byte
// is written.
TEST(Extraction, HandBuiltSparseMembers) {
  const std::string dir = FreshDir("hsparse");
  const std::string block(512, 'x');
  const unsigned long long huge = 1ULL << 50;  // 1 PiB: beyond any machine's memory and disk
  const bool bigRefused =  // 60 GiB is refused by memory here, as on most machines
      static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) *
          static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) <
      60ULL << 30;
  const struct {
    const char* archive;
    std::string tar;
    std::string expect;  // extracted bytes; empty: refused
  } cases[] = {
      {"hole.tar", GnuSparseTar("hole.stl", 1 << 20, ""), std::string(1 << 20, '\0')},
      {"part.tar", GnuSparseTar("part.stl", 4096, block), block + std::string(4096 - 512, '\0')},
      {"big60g.tar", bigRefused ? GnuSparseTar("big.stl", 60ULL << 30, block) : std::string(), ""},
      {"huge.tar", GnuSparseTar("big.stl", huge, block), ""},
  };
  Archivers arc;
  for (const auto& c : cases) {
    if (c.tar.empty()) continue;
    WriteTemp(std::string("hsparse/") + c.archive, c.tar);
    const std::string path = dir + "/" + c.archive;
    std::vector<MemberRow> rows;
    ASSERT_TRUE(ListMembers(arc.Slot(kSlotTar), path, "", true, rows)) << c.archive;
    ASSERT_EQ(rows.size(), 1u) << c.archive;
    const std::string scratch = FreshDir("hsparse-x") + "/";
    std::string out;
    int status = 0;
    const bool ok = ExtractToFolder(arc.Slot(kSlotTar), path, rows[0].path, scratch, out, &status);
    if (!c.expect.empty()) {
      ASSERT_TRUE(ok) << c.archive;
      EXPECT_EQ(ReadAll(out), c.expect) << c.archive;
      continue;
    }
    EXPECT_FALSE(ok) << c.archive;
    EXPECT_TRUE(status == kArchiverTooLarge || status == kArchiverNoSpace) << status;
    EXPECT_TRUE(FilesIn(scratch).empty()) << c.archive;
  }
}

TEST(Extraction, HundredThousandMembers) {
  const std::string dir = FreshDir("many");
  std::vector<FixtureEntry> entries;
  entries.reserve(100000);
  for (int i = 0; i < 100000; ++i)
    entries.push_back({"m/" + std::to_string(i) + (i % 2 ? ".obj" : ".txt"), "x"});
  WriteArchive(dir + "/many.zip", "zip", "", entries);
  Archivers arc;
  std::vector<MemberRow> rows;
  ASSERT_TRUE(ListMembers(arc.Slot(kSlotZip), dir + "/many.zip", kModelMask, false, rows));
  ASSERT_EQ(rows.size(), 50000u);
  EXPECT_EQ(rows.back().path, "m/99999.obj");
  const std::string scratch = FreshDir("scratch") + "/";
  std::string out;
  ASSERT_TRUE(ExtractToFolder(arc.Slot(kSlotZip), dir + "/many.zip", "m/77777.obj", scratch, out));
  EXPECT_EQ(ReadAll(out), "x");
}

TEST(CacheFolder, DeletionRemovesOnlyTheCacheFolder) {
  const std::string dir = FreshDir("delete");
  const std::string exe = dir + "/bin/tarnelle";
  fs::create_directories(dir + "/bin/Cache/tmp/sub");
  fs::create_directories(dir + "/outside");
  WriteTemp("delete/outside/keep.obj", "keep");
  WriteTemp("delete/bin/Cache/a.obj", "a");
  WriteTemp("delete/bin/Cache/tmp/sub/b.obj", "b");
  fs::create_symlink(dir + "/outside", dir + "/bin/Cache/tmp/link");
  fs::create_symlink(dir + "/outside/keep.obj", dir + "/bin/Cache/file-link.obj");
  // What must never be removed.
  for (const std::string& bad : {std::string(), std::string("/"), dir + "/bin", dir + "/bin/", dir,
                                 std::string(getenv("HOME") ? getenv("HOME") : "/")})
    EXPECT_FALSE(DeleteCacheFolder(bad, exe)) << bad;
  EXPECT_TRUE(fs::exists(dir + "/bin/Cache/a.obj"));
  EXPECT_EQ(CacheFolderPath(exe), dir + "/bin/Cache/");
  EXPECT_TRUE(DeleteCacheFolder(CacheFolderPath(exe), exe));
  EXPECT_FALSE(fs::exists(dir + "/bin/Cache"));
  EXPECT_TRUE(fs::exists(dir + "/bin"));
  EXPECT_EQ(ReadAll(dir + "/outside/keep.obj"), "keep");
  // A cache folder that is a link: the link goes, its target stays.
  fs::create_symlink(dir + "/outside", dir + "/bin/Cache");
  EXPECT_TRUE(DeleteCacheFolder(dir + "/bin/Cache/", exe));
  EXPECT_EQ(ReadAll(dir + "/outside/keep.obj"), "keep");
  // A missing folder: nothing to do, silently.
  EXPECT_FALSE(DeleteCacheFolder(dir + "/bin/Cache/", exe));
  // A file or link where the cache or scratch folder belongs stops extraction.
  fs::create_symlink(dir + "/outside", dir + "/bin/Cache");
  EXPECT_FALSE(MakePrivateFolder(dir + "/bin/Cache/tmp/"));
  EXPECT_FALSE(fs::exists(dir + "/outside/tmp"));
}

TEST(ArchiveCommandLine, ListsAndLoadsMembers) {
  const std::string dir = FreshDir("cli");
  WriteArchive(dir + "/m.zip", "zip", "",
               {{"Models/Car.OBJ", kObj}, {"readme", "x"}, {"b/Car.OBJ", "not a model"}});
  setenv("TZ", "UTC", 1);
  RunResult r = RunTarnelle({"--list", dir + "/m.zip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Models/Car.OBJ\t32\tOBJ\t2023/11/14 22:13:20\n"
            "b/Car.OBJ\t11\tOBJ\t2023/11/14 22:13:20\n");
  r = RunTarnelle({"--list", "--filter=0", dir + "/m.zip"});
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);

  // The member is extracted into a private folder that is gone afterwards.
  const std::string tmp = FreshDir("cli-tmp");
  setenv("TMPDIR", tmp.c_str(), 1);
  const std::string member = dir + "/m.zip//Models/Car.OBJ";
  r = RunTarnelle({"--info", member, dir + "/m.zip//b/Car.OBJ"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("\n", r.out.find("Wavefront"))),
            "----------\nWavefront: " + member);
  EXPECT_NE(r.out.find("file: " + dir + "/m.zip//b/Car.OBJ"), std::string::npos) << r.out;
  r = RunTarnelle({"--dump", member});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nmodel 3 1\n"), std::string::npos) << r.out;
  r = RunTarnelle({"--info", dir + "/m.zip//none.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("ファイルの解凍に失敗しました。"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp));
  unsetenv("TMPDIR");

  // What is wrong is said: not found, a folder, not an archive a module reads.
  WriteTemp("cli/bad.zip", "garbage");
  for (const auto& [path, says] :
       {std::pair{dir + "/bad.zip", "not an archive"}, std::pair{dir + "/gone.zip", "no such file"},
        std::pair{dir, "is a folder"}}) {
    r = RunTarnelle({"--list", path});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
  EXPECT_EQ(RunTarnelle({"--list", dir + "/m.zip", dir + "/m.zip"}).status, 2);
}

// A file or folder the user may not read is said to be that, not a file
// that no module reads. As root the checks run as the unprivileged user.
TEST(ArchiveCommandLine, UnreadableArchivesSaySo) {
  // A folder anyone may enter, so that only the modes below keep one out.
  std::string base = (fs::temp_directory_path() / "tarnelle-perm-XXXXXX").string();
  ASSERT_TRUE(mkdtemp(base.data()));
  chmod(base.c_str(), 0755);
  WriteArchive(base + "/open.zip", "zip", "", {{"a.obj", kObj}});
  WriteArchive(base + "/locked.zip", "zip", "", {{"a.obj", kObj}});
  fs::create_directories(base + "/closed");
  WriteArchive(base + "/closed/in.zip", "zip", "", {{"a.obj", kObj}});
  WriteTemp("fake.zip", "garbage");
  fs::copy_file(TempDir() + "/fake.zip", base + "/fake.zip");
  for (const char* f : {"/open.zip", "/fake.zip"}) chmod((base + f).c_str(), 0644);
  chmod((base + "/locked.zip").c_str(), 0);
  chmod((base + "/closed").c_str(), 0);
  const std::string exe = std::string(TARNELLE_BINARY_DIR) + "/app/tarnelle";
  // The unprivileged user must reach the readable archive and the program.
  const ChildResult reach = InChild(
      [&] {
        _exit(ArchiveOpenError(base + "/open.zip") == 0 && access(exe.c_str(), X_OK) == 0 ? 0 : 1);
      },
      true);
  if (reach.status != 0) {
    chmod((base + "/closed").c_str(), 0755);
    fs::remove_all(base);
    GTEST_SKIP() << "the unprivileged user cannot reach " << base << " or " << exe;
  }
  const struct {
    const char* file;
    int status;
    std::string says;  // on standard error
    std::string log;   // the window's line, after the path
  } cases[] = {
      {"/locked.zip", 1, "cannot be read (Permission denied)",
       ": 読み取る権限がないため開けません。"},
      {"/closed/in.zip", 1, "cannot be read (Permission denied)",
       ": 読み取る権限がないため開けません。"},
      {"/fake.zip", 1, "not an archive that any archiver module reads",
       ": 読める圧縮ファイルではありません。"},
      {"/open.zip", 0, "", ""},
  };
  for (const auto& c : cases) {
    const std::string path = base + c.file;
    const ChildResult r = InChild(
        [&] {
          const int null = open("/dev/null", O_WRONLY);
          dup2(null, 1);
          execl(exe.c_str(), exe.c_str(), "--list", path.c_str(), static_cast<char*>(nullptr));
          _exit(127);
        },
        true);
    EXPECT_EQ(r.status, c.status) << c.file << ": " << r.err;
    if (c.says.empty()) {
      EXPECT_TRUE(r.err.empty()) << r.err;
      continue;
    }
    EXPECT_EQ(r.err, "tarnelle: " + path + ": " + c.says + "\n");
    const ChildResult text =
        InChild([&] { fputs(UnlistedArchiveText(path).c_str(), stderr); }, true);
    EXPECT_EQ(text.err, path + c.log);
  }
  chmod((base + "/closed").c_str(), 0755);
  fs::remove_all(base);
}
