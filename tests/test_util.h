// Small helpers shared by the tests: temporary files, the corpus, and
// running the tarnelle executable.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Writes bytes to a file named name in this process's temporary folder and
// returns its path.
std::string WriteTemp(const std::string& name, std::string_view bytes);

// A fresh temporary folder (created) for this process.
std::string TempDir();

// The corpus folder: $TARNELLE_CORPUS when set, else the one the build found
// (../shared/corpus beside the checkout).
std::string CorpusDir();
// The files of one corpus folder (e.g. "stl"), sorted; empty when the corpus is absent.
std::vector<std::string> CorpusFiles(const std::string& subdir);
// Why a corpus test found nothing to check, for GTEST_SKIP.
std::string CorpusSkipReason(const std::string& subdir);

// One row of the corpus manifest, keyed by its column names.
using ManifestRow = std::map<std::string, std::string>;
// Rows keyed by the path relative to the corpus ("stl/x.stl").
std::map<std::string, ManifestRow> ReadManifest();
// The integer after "key=" in a manifest notes text, or -1.
long NoteValue(const std::string& notes, const std::string& key);

struct RunResult {
  int status = -1;
  std::string out, err;
};
// Runs the built tarnelle executable with args (no shell involved). Each
// entry of env either sets ("NAME=value") or removes ("NAME") a variable
// of the child's environment.
RunResult RunTarnelle(const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {});
// The same for another executable (a copy of tarnelle in a tree of its own).
RunResult RunExecutable(const std::string& exe, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {});

// The text with the figure of every time-limit reason ("時間の上限 (7 秒)")
// replaced by N: a plug-in that spins is ended by its processor cap or, on
// a busy machine, by the wall-clock guard, whose figure is larger. Either
// is the time limit a test means.
std::string AnyTimeLimit(std::string text);

// A TCP port on the loopback that nobody may connect to: the hostile
// plug-in tests show that nothing inside the sandbox reached it.
struct LoopbackListener {
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  bool Contacted() const;
  int fd = -1;
  int port = 0;
};

// Little-endian byte helpers for binary fixtures.
void PutU16(std::string& s, unsigned v);
void PutU32(std::string& s, unsigned v);
void PutF32(std::string& s, float v);

// Whether this build runs under AddressSanitizer (which needs address space
// of its own, so address-space caps are left off there).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
