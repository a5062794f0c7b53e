// The archive modules through the program's archive layer: the member list
// as the browser reads it, then the extraction of every listed member (up
// to a few) into a scratch folder. Whatever the archive holds, extraction
// may leave only regular files directly inside the scratch folder and
// nothing anywhere else. Each of the four modules (LHA, 7-Zip, ZIP, TAR)
// gets the input; the ones whose formats do not match give up at once.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/members.h"
#include "archivers/archiver_core.h"
#include "fuzz/fuzz_entry.h"

namespace {

template <ArcKind kind>
ArchiverSlot SlotFor(const char* name, const char* switches) {
  ArchiverSlot s;
  s.module = &s;  // compiled in: any non-null handle marks the slot loaded
  s.moduleName = name;
  s.check = [](const char* p, int m) { return ArcCoreCheck(kind, p, m); };
  s.open = [](void*, const char* p, unsigned long m) { return ArcCoreOpen(kind, p, m); };
  s.findFirst = ArcCoreFindFirst;
  s.findNext = ArcCoreFindNext;
  s.close = ArcCoreClose;
  s.originalSizeEx = ArcCoreOriginalSizeEx;
  s.listError = ArcCoreListError;
  s.command = [](void*, const char* c, char* o, unsigned long n) {
    return ArcCoreCommand(kind, c, o, n);
  };
  s.switches = switches;
  return s;
}

struct Module {
  ArchiverSlot slot;
  const char* ext;
};

const Module* Modules() {
  static const Module modules[4] = {
      {SlotFor<ArcKind::kLha>("Unlha32.so", "e -m2 -n1"), "lzh"},
      {SlotFor<ArcKind::kZip7z>("7-zip32.so", "e -aoa -hide"), "7z"},
      {SlotFor<ArcKind::kZip>("Unzip32.so", "-xoj --i"), "zip"},
      {SlotFor<ArcKind::kTar>("Tar32.so", "--use-directory=0 -xfoI"), "tar.gz"},
  };
  return modules;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

const std::string& Scratch() {
  static const std::string scratch = [] {
    // A bomb in a small input must not fill the RAM disk: files this
    // process writes stop at 64 MB (the write fails instead of a signal).
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64u << 20, 64u << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string s = FuzzWorkFolder() + "/scratch/";
    FUZZ_CHECK(mkdir(s.c_str(), 0700) == 0);
    return s;
  }();
  return scratch;
}

void ListAndExtract(const Module& m, const uint8_t* data, size_t size) {
  const std::string& scratch = Scratch();
  const std::string& archive = WriteFuzzInput(data, size, m.ext);

  std::vector<MemberRow> rows;
  bool incomplete = false;
  if (!ListMembers(m.slot, archive, "", true, rows, &incomplete)) return;
  size_t tried = 0;
  for (const MemberRow& row : rows) {
    if (++tried > 8) break;
    std::string extracted;
    const bool ok = ExtractToFolder(m.slot, archive, row.path, scratch, extracted);
    FUZZ_CHECK(extracted.compare(0, scratch.size(), scratch) == 0);
    FUZZ_CHECK(extracted.find('/', scratch.size()) == std::string::npos);
    // Only regular files, directly in the scratch folder; the work folder
    // holds nothing but the inputs and the scratch folder.
    for (const std::string& n : Entries(scratch)) {
      struct stat st;
      FUZZ_CHECK(lstat((scratch + n).c_str(), &st) == 0 && S_ISREG(st.st_mode));
      unlink((scratch + n).c_str());
    }
    for (const std::string& n : Entries(FuzzWorkFolder()))
      FUZZ_CHECK(n == "scratch" || n.compare(0, 6, "input.") == 0);
    (void)ok;
  }
}

}  // namespace

TARNELLE_FUZZ_ENTRY {
  for (int k = 0; k < 4; ++k) ListAndExtract(Modules()[k], data, size);
  return 0;
}
