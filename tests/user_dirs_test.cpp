// Where the program writes: beside the executable, or in the XDG folders
// when its folder is read-only.
#include "core/user_dirs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/test_util.h"

namespace {

// Sets environment variables for one scope and puts the old values back.
class EnvGuard {
 public:
  void Set(const char* name, const char* value) {
    const char* old = getenv(name);
    saved_.push_back({name, old ? old : "", old != nullptr});
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->had)
        setenv(it->name, it->value.c_str(), 1);
      else
        unsetenv(it->name);
    }
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool had;
  };
  std::vector<Saved> saved_;
};

TEST(UserDirs, CacheBesideAWritableExecutableElseInTheXdgCache) {
  EnvGuard env;
  env.Set("XDG_CACHE_HOME", "/xdg/cache/");
  const std::string dir = TempDir() + "/prefix";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  EXPECT_TRUE(IsWritableFolder(dir));
  EXPECT_EQ(CacheFolderPath(dir + "/tarnelle"), dir + "/Cache/");
  // Read-only, as an installed tree: root too keeps out of it.
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  EXPECT_FALSE(IsWritableFolder(dir));
  EXPECT_EQ(CacheFolderPath(dir + "/tarnelle"), "/xdg/cache/tarnelle/");
  chmod(dir.c_str(), 0755);
  EXPECT_FALSE(IsWritableFolder("/no/such/folder"));
  EXPECT_FALSE(IsWritableFolder(""));
}

TEST(UserDirs, AnInstalledTreeAlwaysUsesTheXdgCache) {
  EnvGuard env;
  env.Set("XDG_CACHE_HOME", "/xdg/cache");
  const std::string root = TempDir();
  // prefix/lib/tarnelle reached through prefix/bin/tarnelle, writable (and
  // run as root in the test machine): still the XDG folder.
  for (const char* d : {"/prefix", "/prefix/lib", "/prefix/lib/tarnelle", "/prefix/bin", "/loose",
                        "/loose/lib", "/loose/lib/tarnelle"})
    ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d;
  ASSERT_EQ(symlink("../lib/tarnelle/tarnelle", (root + "/prefix/bin/tarnelle").c_str()), 0);
  struct Case {
    std::string dir;
    bool installed;
  } cases[] = {
      {root + "/prefix/lib/tarnelle", true},
      // No bin/tarnelle: a tree unpacked by hand.
      {root + "/loose/lib/tarnelle", false},
      // A build folder.
      {root + "/prefix", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsInstalledTree(c.dir), c.installed) << c.dir;
    EXPECT_EQ(KeepsFilesBesideExecutable(c.dir), !c.installed) << c.dir;
    EXPECT_EQ(CacheFolderPath(c.dir + "/tarnelle"),
              c.installed ? "/xdg/cache/tarnelle/" : c.dir + "/Cache/")
        << c.dir;
  }
}

TEST(UserDirs, XdgVariablesOnlyCountWhenAbsolute) {
  EnvGuard env;
  env.Set("HOME", "/home/u");
  struct Case {
    const char* value;
    const char* expected;
  } cases[] = {
      {"/data/cache", "/data/cache"},       {"/data/cache//", "/data/cache"},
      {"relative/cache", "/home/u/.cache"}, {"", "/home/u/.cache"},
      {nullptr, "/home/u/.cache"},
  };
  for (const Case& c : cases) {
    env.Set("XDG_CACHE_HOME", c.value);
    EXPECT_EQ(XdgBaseDir("XDG_CACHE_HOME", ".cache"), c.expected) << (c.value ? c.value : "unset");
  }
}

}  // namespace
