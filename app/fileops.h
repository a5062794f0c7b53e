// Copying and moving files and folders into a destination folder without
// ever losing data: a copy is written under a hidden temporary name in the
// destination and renamed into place only when complete, and a move across
// file systems removes the source only after its copy is complete. Asking
// about overwrites and showing progress is left to the caller's prompt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FileOpKind { Copy, Move };
enum class OverwriteAnswer { Yes, YesToAll, No, Cancel };

class FileOpPrompt {
 public:
  virtual ~FileOpPrompt() = default;
  // target exists and source would replace it (for two folders: merge).
  virtual OverwriteAnswer AskOverwrite(const std::string& source, const std::string& target) = 0;
  // Bytes done of the total so far, while working on current. false cancels;
  // the file in progress is then discarded.
  virtual bool Progress(uint64_t done, uint64_t total, const std::string& current) = 0;
};

struct FileOpError {
  std::string path;    // the source the failure is about
  std::string reason;  // the system's text, or one of ours below
};

struct FileOpResult {
  std::vector<FileOpError> errors;
  bool cancelled = false;
  int placed = 0;   // sources now in the destination
  int skipped = 0;  // sources the user chose not to overwrite with
};

inline constexpr char kFileOpSameFile[] = "コピー元とコピー先が同じファイルです";
inline constexpr char kFileOpIntoItself[] = "フォルダをそれ自身の中には置けません";
inline constexpr char kFileOpTypeClash[] = "同じ名前の別の種類の項目があります";
inline constexpr char kFileOpSizeMismatch[] = "コピーしたサイズが元のファイルと一致しません";
inline constexpr char kFileOpSpecial[] = "通常のファイルでもフォルダでもありません";

// Copies or moves each source (a file, a symbolic link or a folder with its
// contents) into destDir under its own name.
FileOpResult CopyOrMoveFiles(FileOpKind kind, const std::vector<std::string>& sources,
                             const std::string& destDir, FileOpPrompt& prompt);

// The one log line for a finished copy or move into destDir: how many
// items arrived, and how many were left alone, failed or cut off by a cancel.
std::string FileOpSummaryText(FileOpKind kind, const FileOpResult& result,
                              const std::string& destDir);

// Bytes handed to the prompt between two progress calls at most.
inline constexpr size_t kFileOpChunk = 1 << 20;
