// Copy and move without a window: overwrite answers, refusals, cancelling,
// failures with the system's reason, and moves across file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/fileops.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

void Put(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string Get(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> n;
  for (const auto& e : fs::directory_iterator(dir)) n.push_back(e.path().filename().string());
  std::sort(n.begin(), n.end());
  return n;
}

// Answers overwrite questions from a script; can cancel at a progress call.
struct ScriptedPrompt : FileOpPrompt {
  std::deque<OverwriteAnswer> answers;
  std::vector<std::string> asked;
  int progressCalls = 0;
  uint64_t lastDone = 0, lastTotal = 0;
  std::function<bool(int call, const std::string& current)> onProgress;

  OverwriteAnswer AskOverwrite(const std::string& source, const std::string&) override {
    asked.push_back(fs::path(source).filename().string());
    if (answers.empty()) return OverwriteAnswer::Cancel;
    const OverwriteAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  bool Progress(uint64_t done, uint64_t total, const std::string& current) override {
    EXPECT_LE(done, total);
    lastDone = done;
    lastTotal = total;
    ++progressCalls;
    return !onProgress || onProgress(progressCalls, current);
  }
};

class FileOps : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    root_ = fs::path(TempDir()) / ("ops" + std::to_string(++serial));
    src_ = root_ / "src";
    dst_ = root_ / "dst";
    fs::create_directories(src_);
    fs::create_directories(dst_);
  }
  std::vector<std::string> Srcs(std::initializer_list<const char*> names) const {
    std::vector<std::string> v;
    for (const char* n : names) v.push_back((src_ / n).string());
    return v;
  }
  fs::path root_, src_, dst_;
};

TEST_F(FileOps, OverwriteAnswers) {
  struct Case {
    const char* name;
    FileOpKind kind;
    std::vector<OverwriteAnswer> answers;
    size_t asked;
    const char* aAfter;  // contents of dst/a and dst/b afterwards
    const char* bAfter;
    bool cancelled;
    int placed, skipped;
  };
  using A = OverwriteAnswer;
  const Case cases[] = {
      {"yes then no", FileOpKind::Copy, {A::Yes, A::No}, 2, "new a", "old b", false, 1, 1},
      {"yes to all", FileOpKind::Copy, {A::YesToAll}, 1, "new a", "new b", false, 2, 0},
      {"no to both", FileOpKind::Copy, {A::No, A::No}, 2, "old a", "old b", false, 0, 2},
      {"cancel", FileOpKind::Copy, {A::Cancel}, 1, "old a", "old b", true, 0, 0},
      {"move, yes to all", FileOpKind::Move, {A::YesToAll}, 1, "new a", "new b", false, 2, 0},
      {"move, no then yes", FileOpKind::Move, {A::No, A::Yes}, 2, "old a", "new b", false, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    Put(src_ / "a", "new a");
    Put(src_ / "b", "new b");
    Put(src_ / "c", "new c");  // no collision: copied without a question
    Put(dst_ / "a", "old a");
    Put(dst_ / "b", "old b");
    ScriptedPrompt p;
    p.answers.assign(c.answers.begin(), c.answers.end());
    const FileOpResult r = CopyOrMoveFiles(c.kind, Srcs({"a", "b", "c"}), dst_.string(), p);
    EXPECT_EQ(p.asked.size(), c.asked);
    EXPECT_EQ(Get(dst_ / "a"), c.aAfter);
    EXPECT_EQ(Get(dst_ / "b"), c.bAfter);
    EXPECT_EQ(r.cancelled, c.cancelled);
    EXPECT_EQ(r.placed, c.placed + (c.cancelled ? 0 : 1));
    EXPECT_EQ(r.skipped, c.skipped);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(fs::exists(dst_ / "c"), !c.cancelled);
    // Moving keeps what was not moved; copying keeps everything.
    const bool movedA = c.kind == FileOpKind::Move && std::string(c.aAfter) == "new a";
    EXPECT_EQ(fs::exists(src_ / "a"), !movedA);
    EXPECT_EQ(fs::exists(src_ / "c"), c.kind == FileOpKind::Copy || c.cancelled);
    // No temporary file stays behind.
    for (const std::string& n : Names(dst_)) EXPECT_NE(n[0], '.') << n;
  }
}

TEST_F(FileOps, RefusesToPutAnythingOntoOrIntoItself) {
  Put(src_ / "m.stl", "model");
  Put(src_ / "sub" / "deep" / "x", "x");
  for (FileOpKind kind : {FileOpKind::Copy, FileOpKind::Move}) {
    ScriptedPrompt p;
    FileOpResult r = CopyOrMoveFiles(kind, Srcs({"m.stl"}), src_.string(), p);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].reason, kFileOpSameFile);
    EXPECT_TRUE(p.asked.empty());
    r = CopyOrMoveFiles(kind, Srcs({"sub"}), (src_ / "sub" / "deep").string(), p);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].reason, kFileOpIntoItself);
    r = CopyOrMoveFiles(kind, Srcs({"sub"}), (src_ / "sub").string(), p);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].reason, kFileOpIntoItself);
  }
  EXPECT_EQ(Get(src_ / "m.stl"), "model");
  EXPECT_EQ(Names(src_), (std::vector<std::string>{"m.stl", "sub"}));
  EXPECT_EQ(Names(src_ / "sub" / "deep"), std::vector<std::string>{"x"});
}

TEST_F(FileOps, CancelHalfWayLeavesNoPartialFile) {
  std::string big(8 * kFileOpChunk + 123, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  Put(src_ / "big.stl", big);
  Put(dst_ / "big.stl", "what was there");
  // (A move on one file system is a rename, done at once; moves across
  // file systems are cancelled below.)
  for (FileOpKind kind : {FileOpKind::Copy}) {
    for (bool replacing : {false, true}) {
      SCOPED_TRACE(std::to_string(replacing));
      if (!replacing) fs::remove(dst_ / "big.stl");
      ScriptedPrompt p;
      p.answers = {OverwriteAnswer::Yes};
      // Half of the chunks are written when the user cancels.
      p.onProgress = [](int call, const std::string&) { return call < 5; };
      const FileOpResult r = CopyOrMoveFiles(kind, Srcs({"big.stl"}), dst_.string(), p);
      EXPECT_TRUE(r.cancelled);
      EXPECT_TRUE(r.errors.empty());
      EXPECT_EQ(Names(dst_),
                replacing ? std::vector<std::string>{"big.stl"} : std::vector<std::string>{});
      if (replacing) {
        EXPECT_EQ(Get(dst_ / "big.stl"), "what was there");
      }
      EXPECT_EQ(Get(src_ / "big.stl"), big);
      Put(dst_ / "big.stl", "what was there");
    }
  }
  // Uncancelled: the whole file with its mode and time, progress to the end.
  fs::remove(dst_ / "big.stl");
  chmod((src_ / "big.stl").c_str(), 0640);
  ScriptedPrompt p;
  const FileOpResult r = CopyOrMoveFiles(FileOpKind::Copy, Srcs({"big.stl"}), dst_.string(), p);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(Get(dst_ / "big.stl"), big);
  EXPECT_EQ(p.lastDone, big.size());
  EXPECT_EQ(p.lastTotal, big.size());
  EXPECT_EQ(fs::status(dst_ / "big.stl").permissions(), fs::status(src_ / "big.stl").permissions());
  EXPECT_EQ(fs::last_write_time(dst_ / "big.stl"), fs::last_write_time(src_ / "big.stl"));
}

// A folder the process cannot write: permissions stop a normal user; root
// is stopped only by something like sysfs.
std::string UnwritableFolder(const fs::path& base) {
  const fs::path ro = base / "readonly";
  fs::create_directories(ro);
  chmod(ro.c_str(), 0555);
  for (const std::string& dir : {ro.string(), std::string("/sys")}) {
    const std::string probe = dir + "/.probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && fs::is_directory(dir)) return dir;
    if (fd >= 0) {
      close(fd);
      unlink(probe.c_str());
    }
  }
  return {};
}

TEST_F(FileOps, FailuresNameTheFileAndTheSystemReasonAndTheRestGoesOn) {
  Put(src_ / "a.obj", "a");
  Put(src_ / "b.obj", "b");
  ScriptedPrompt p;
  FileOpResult r = CopyOrMoveFiles(FileOpKind::Move, Srcs({"gone.obj", "a.obj"}), dst_.string(), p);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].path, (src_ / "gone.obj").string());
  EXPECT_EQ(r.errors[0].reason, strerror(ENOENT));
  EXPECT_EQ(r.placed, 1);
  EXPECT_EQ(Get(dst_ / "a.obj"), "a");

  r = CopyOrMoveFiles(FileOpKind::Copy, Srcs({"b.obj"}), (root_ / "nowhere").string(), p);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].reason, strerror(ENOENT));

  const std::string ro = UnwritableFolder(root_);
  if (ro.empty()) GTEST_SKIP() << "no folder here refuses writing to this process";
  for (FileOpKind kind : {FileOpKind::Copy, FileOpKind::Move}) {
    r = CopyOrMoveFiles(kind, Srcs({"b.obj"}), ro, p);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].path, (src_ / "b.obj").string());
    EXPECT_TRUE(r.errors[0].reason == strerror(EACCES) || r.errors[0].reason == strerror(EPERM) ||
                r.errors[0].reason == strerror(EROFS) || r.errors[0].reason == strerror(EXDEV))
        << r.errors[0].reason;
    EXPECT_EQ(Get(src_ / "b.obj"), "b");
  }
}

TEST_F(FileOps, FoldersAndLinksAreCopiedWholeAndMergedByAnswer) {
  Put(src_ / "set" / "a.stl", "a");
  Put(src_ / "set" / "inner" / "b.stl", "b");
  fs::create_symlink("a.stl", src_ / "set" / "link.stl");
  ScriptedPrompt p;
  FileOpResult r = CopyOrMoveFiles(FileOpKind::Copy, Srcs({"set"}), dst_.string(), p);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(Names(dst_), std::vector<std::string>{"set"});
  EXPECT_EQ(Names(dst_ / "set"), (std::vector<std::string>{"a.stl", "inner", "link.stl"}));
  EXPECT_EQ(Get(dst_ / "set" / "inner" / "b.stl"), "b");
  EXPECT_TRUE(fs::is_symlink(dst_ / "set" / "link.stl"));
  EXPECT_EQ(fs::read_symlink(dst_ / "set" / "link.stl"), "a.stl");

  // Copying again: the folder question first, then the files in it.
  Put(src_ / "set" / "a.stl", "a2");
  Put(src_ / "set" / "c.stl", "c");
  p.answers = {OverwriteAnswer::Yes, OverwriteAnswer::YesToAll};
  r = CopyOrMoveFiles(FileOpKind::Copy, Srcs({"set"}), dst_.string(), p);
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(p.asked.size(), 2u);
  EXPECT_EQ(p.asked[0], "set");
  EXPECT_EQ(Get(dst_ / "set" / "a.stl"), "a2");
  EXPECT_EQ(Get(dst_ / "set" / "c.stl"), "c");
}

// A folder on another file system than the temporary folder: /dev/shm is
// often one; else a tmpfs mounted for the test when the process may.
struct OtherFileSystem {
  fs::path dir;
  bool mounted = false;
  std::string why;
  explicit OtherFileSystem(const fs::path& base) {
    struct stat here, there;
    stat(base.c_str(), &here);
    const fs::path shm = "/dev/shm";
    if (stat(shm.c_str(), &there) == 0 && there.st_dev != here.st_dev &&
        access(shm.c_str(), W_OK) == 0) {
      char tmpl[] = "/dev/shm/tarnelle-test-XXXXXX";
      if (mkdtemp(tmpl)) {
        dir = tmpl;
        return;
      }
    }
    const fs::path mnt = base / "tmpfs";
    fs::create_directories(mnt);
    if (mount("tarnelle-test", mnt.c_str(), "tmpfs", 0, "size=64m") == 0) {
      dir = mnt;
      mounted = true;
      return;
    }
    why =
        std::string("/dev/shm is not another writable file system and mounting a tmpfs failed: ") +
        strerror(errno);
  }
  ~OtherFileSystem() {
    if (mounted)
      umount2(dir.c_str(), MNT_DETACH);
    else if (!dir.empty())
      fs::remove_all(dir);
  }
};

TEST_F(FileOps, MoveAcrossFileSystemsKeepsTheSourceUntilTheCopyIsComplete) {
  OtherFileSystem other(root_);
  if (other.dir.empty()) GTEST_SKIP() << other.why;
  const std::string big(3 * kFileOpChunk + 5, 'm');
  Put(src_ / "big.stl", big);
  Put(src_ / "set" / "a.obj", "a");
  Put(src_ / "set" / "inner" / "b.obj", "b");
  ScriptedPrompt p;
  int checks = 0;
  p.onProgress = [&](int, const std::string& current) {
    // While the copy runs the source is whole and the name is not taken.
    if (current == (src_ / "big.stl").string() && fs::exists(src_ / "big.stl")) {
      EXPECT_EQ(fs::file_size(src_ / "big.stl"), big.size());
      EXPECT_FALSE(fs::exists(other.dir / "big.stl"));
      ++checks;
    }
    if (current == (src_ / "set" / "inner" / "b.obj").string()) {
      EXPECT_EQ(Get(src_ / "set" / "a.obj"), "a");
      EXPECT_FALSE(fs::exists(other.dir / "set"));
      ++checks;
    }
    return true;
  };
  const FileOpResult r =
      CopyOrMoveFiles(FileOpKind::Move, Srcs({"big.stl", "set"}), other.dir.string(), p);
  EXPECT_TRUE(r.errors.empty()) << r.errors[0].reason;
  EXPECT_EQ(r.placed, 2);
  EXPECT_GE(checks, 3);
  EXPECT_EQ(Get(other.dir / "big.stl"), big);
  EXPECT_EQ(Get(other.dir / "set" / "inner" / "b.obj"), "b");
  EXPECT_TRUE(Names(src_).empty());

  // Cancelled across file systems: the source stays, nothing arrives.
  Put(src_ / "big.stl", big);
  p.onProgress = [](int call, const std::string&) { return call < 2; };
  fs::remove(other.dir / "big.stl");
  const FileOpResult c =
      CopyOrMoveFiles(FileOpKind::Move, Srcs({"big.stl"}), other.dir.string(), p);
  EXPECT_TRUE(c.cancelled);
  EXPECT_EQ(Get(src_ / "big.stl"), big);
  EXPECT_EQ(Names(other.dir), std::vector<std::string>{"set"});
}

TEST_F(FileOps, MoveOnOneFileSystemIsARename) {
  Put(src_ / "m.ply", "ply");
  const auto inode = [](const fs::path& p) {
    struct stat st;
    stat(p.c_str(), &st);
    return st.st_ino;
  };
  const ino_t before = inode(src_ / "m.ply");
  ScriptedPrompt p;
  const FileOpResult r = CopyOrMoveFiles(FileOpKind::Move, Srcs({"m.ply"}), dst_.string(), p);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_FALSE(fs::exists(src_ / "m.ply"));
  EXPECT_EQ(inode(dst_ / "m.ply"), before);
}

}  // namespace
