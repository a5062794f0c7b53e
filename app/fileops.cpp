#include "app/fileops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

enum class Step { Done, Skipped, Failed, Cancelled };

std::string SystemReason(int err) {
  char buf[256];
  // The GNU variant returns the text, which may or may not be buf.
  return strerror_r(err, buf, sizeof buf);
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
  return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> p(realpath(path.c_str(), nullptr), &free);
  return p ? std::string(p.get()) : std::string();
}

// Names in a folder, without "." and "..". false with errno set on failure.
bool ListFolder(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  errno = 0;
  while (const dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    errno = 0;
  }
  const int err = errno;
  closedir(d);
  errno = err;
  return err == 0;
}

uint64_t TreeSize(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  uint64_t sum = 0;
  std::vector<std::string> names;
  ListFolder(path, names);
  for (const std::string& n : names) sum += TreeSize(Join(path, n));
  return sum;
}

// Removes a tree that this program created or has fully copied; never
// follows a link. Returns false with errno of the first failure.
bool RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  std::vector<std::string> names;
  if (!ListFolder(path, names)) return false;
  bool ok = true;
  int err = 0;
  for (const std::string& n : names)
    if (!RemoveTree(Join(path, n)) && ok) {
      ok = false;
      err = errno;
    }
  if (ok) return rmdir(path.c_str()) == 0;
  errno = err;
  return false;
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

class Operation {
 public:
  Operation(FileOpKind kind, FileOpPrompt& prompt, FileOpResult& result)
      : kind_(kind), prompt_(prompt), result_(result) {}

  void SetTotal(uint64_t total) { total_ = total; }
  bool Cancelled() const { return cancelled_; }

  // Puts src into destDir under its own name.
  Step Place(const std::string& src, const std::string& destDir) {
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) return Fail(src, SystemReason(errno));
    const std::string target = Join(destDir, BaseName(src));
    if (S_ISDIR(st.st_mode)) {
      // A folder cannot go into itself or anything below it.
      const std::string from = RealPath(src), into = RealPath(destDir);
      if (!from.empty() && !into.empty() &&
          (into == from || into.compare(0, from.size() + 1, from + "/") == 0))
        return Fail(src, kFileOpIntoItself);
    } else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      // Copying a pipe or a device would hang or read forever.
      return Fail(src, kFileOpSpecial);
    }
    struct stat tt;
    if (lstat(target.c_str(), &tt) == 0) {
      if (tt.st_dev == st.st_dev && tt.st_ino == st.st_ino) return Fail(src, kFileOpSameFile);
      if (S_ISDIR(tt.st_mode) != S_ISDIR(st.st_mode)) return Fail(src, kFileOpTypeClash);
      if (!yesToAll_) {
        switch (prompt_.AskOverwrite(src, target)) {
          case OverwriteAnswer::Yes:
            break;
          case OverwriteAnswer::YesToAll:
            yesToAll_ = true;
            break;
          case OverwriteAnswer::No:
            done_ += TreeSize(src);
            return Step::Skipped;
          case OverwriteAnswer::Cancel:
            return Step::Cancelled;
        }
      }
      if (S_ISDIR(st.st_mode)) return Merge(src, target);
    } else if (errno != ENOENT) {
      return Fail(src, SystemReason(errno));
    }

    if (kind_ == FileOpKind::Move) {
      const uint64_t size = TreeSize(src);
      if (rename(src.c_str(), target.c_str()) == 0) {
        done_ += size;
        Tick(src);
        return Step::Done;
      }
      if (errno != EXDEV) return Fail(src, SystemReason(errno));
    }
    const Step copied =
        S_ISDIR(st.st_mode) ? CopyFolder(src, st, target) : CopyFile(src, st, destDir, target);
    if (copied != Step::Done || kind_ == FileOpKind::Copy) return copied;
    // Across file systems: the copy is complete and in place; only now
    // may the source go.
    if (!RemoveTree(src)) return Fail(src, SystemReason(errno));
    return Step::Done;
  }

 private:
  Step Fail(const std::string& path, std::string reason) {
    result_.errors.push_back({path, std::move(reason)});
    return Step::Failed;
  }

  // false once the user cancelled; work already complete stays complete.
  bool Tick(const std::string& current) {
    if (!cancelled_ && !prompt_.Progress(done_, total_ > done_ ? total_ : done_, current))
      cancelled_ = true;
    return !cancelled_;
  }

  // Two folders of the same name: their contents go together.
  Step Merge(const std::string& src, const std::string& target) {
    std::vector<std::string> names;
    if (!ListFolder(src, names)) return Fail(src, SystemReason(errno));
    bool whole = true;
    for (const std::string& n : names) {
      const Step s = Place(Join(src, n), target);
      if (s == Step::Cancelled || cancelled_) return Step::Cancelled;
      if (s != Step::Done) whole = false;
    }
    // A moved folder goes only when everything in it went.
    if (kind_ == FileOpKind::Move && whole && rmdir(src.c_str()) != 0)
      return Fail(src, SystemReason(errno));
    return whole ? Step::Done : Step::Failed;
  }

  // Copies one file or link to target through a temporary name in
  // destDir; nothing is left behind when it fails or is cancelled.
  Step CopyFile(const std::string& src, const struct stat& st, const std::string& destDir,
                const std::string& target) {
    std::string temp = Join(destDir, ".tarnelle-copy-XXXXXX");
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
      const ssize_t n = readlink(src.c_str(), link.data(), link.size());
      if (n < 0 || static_cast<size_t>(n) >= link.size()) return Fail(src, SystemReason(errno));
      link[static_cast<size_t>(n)] = '\0';
      // mkstemp only reserves the name; the link takes its place.
      const int fd = mkostemp(temp.data(), O_CLOEXEC);
      if (fd < 0) return Fail(src, SystemReason(errno));
      close(fd);
      unlink(temp.c_str());
      if (symlink(link.data(), temp.c_str()) != 0) return Fail(src, SystemReason(errno));
      if (rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        return Fail(src, SystemReason(err));
      }
      Tick(src);
      return Step::Done;
    }

    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail(src, SystemReason(errno));
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
      const int err = errno;
      close(in);
      return Fail(src, SystemReason(err));
    }
    auto discard = [&](Step step, int err) {
      close(in);
      close(out);
      unlink(temp.c_str());
      return step == Step::Failed ? Fail(src, SystemReason(err)) : step;
    };
    if (!Tick(src)) return discard(Step::Cancelled, 0);
    std::vector<char> buf(kFileOpChunk);
    uint64_t copied = 0;
    while (true) {
      const ssize_t r = read(in, buf.data(), buf.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        return discard(Step::Failed, errno);
      }
      if (r == 0) break;
      if (!WriteAll(out, buf.data(), static_cast<size_t>(r))) return discard(Step::Failed, errno);
      copied += static_cast<uint64_t>(r);
      done_ += static_cast<uint64_t>(r);
      if (!Tick(src)) return discard(Step::Cancelled, 0);
    }
    // The copy must be on the disk and whole before it takes the name.
    struct stat now, written;
    if (fsync(out) != 0) return discard(Step::Failed, errno);
    if (fstat(in, &now) != 0 || fstat(out, &written) != 0) return discard(Step::Failed, errno);
    if (static_cast<uint64_t>(now.st_size) != copied ||
        static_cast<uint64_t>(written.st_size) != copied) {
      close(in);
      close(out);
      unlink(temp.c_str());
      return Fail(src, kFileOpSizeMismatch);
    }
    fchmod(out, st.st_mode & 07777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
    close(in);
    if (close(out) != 0) {
      const int err = errno;
      unlink(temp.c_str());
      return Fail(src, SystemReason(err));
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
      const int err = errno;
      unlink(temp.c_str());
      return Fail(src, SystemReason(err));
    }
    return Step::Done;
  }

  // A folder is built under a temporary name and renamed when whole.
  Step CopyFolder(const std::string& src, const struct stat& st, const std::string& target) {
    const std::string destDir = target.substr(0, target.rfind('/') + 1);
    std::string temp = Join(destDir, ".tarnelle-copy-XXXXXX");
    if (!mkdtemp(temp.data())) return Fail(src, SystemReason(errno));
    std::vector<std::string> names;
    if (!ListFolder(src, names)) {
      const int err = errno;
      RemoveTree(temp);
      return Fail(src, SystemReason(err));
    }
    for (const std::string& n : names) {
      const std::string child = Join(src, n);
      struct stat cs;
      Step s;
      if (lstat(child.c_str(), &cs) != 0)
        s = Fail(child, SystemReason(errno));
      else if (S_ISDIR(cs.st_mode))
        s = CopyFolder(child, cs, Join(temp, n));
      else if (S_ISREG(cs.st_mode) || S_ISLNK(cs.st_mode))
        s = CopyFile(child, cs, temp, Join(temp, n));
      else
        s = Fail(child, kFileOpSpecial);
      if (s != Step::Done) {
        RemoveTree(temp);
        return s;
      }
    }
    chmod(temp.c_str(), st.st_mode & 07777);
    if (rename(temp.c_str(), target.c_str()) != 0) {
      const int err = errno;
      RemoveTree(temp);
      return Fail(src, SystemReason(err));
    }
    return Step::Done;
  }

  FileOpKind kind_;
  FileOpPrompt& prompt_;
  FileOpResult& result_;
  uint64_t done_ = 0, total_ = 0;
  bool yesToAll_ = false;
  bool cancelled_ = false;
};

}  // namespace

FileOpResult CopyOrMoveFiles(FileOpKind kind, const std::vector<std::string>& sources,
                             const std::string& destDir, FileOpPrompt& prompt) {
  FileOpResult result;
  struct stat dst;
  int bad = 0;
  if (stat(destDir.c_str(), &dst) != 0)
    bad = errno;
  else if (!S_ISDIR(dst.st_mode))
    bad = ENOTDIR;
  if (bad != 0) {
    const std::string reason = SystemReason(bad);
    for (const std::string& s : sources) result.errors.push_back({s, reason});
    return result;
  }
  Operation op(kind, prompt, result);
  uint64_t total = 0;
  for (const std::string& s : sources) total += TreeSize(s);
  op.SetTotal(total);
  for (const std::string& s : sources) {
    switch (op.Place(s, destDir)) {
      case Step::Done:
        ++result.placed;
        break;
      case Step::Skipped:
        ++result.skipped;
        break;
      case Step::Failed:
        break;
      case Step::Cancelled:
        result.cancelled = true;
        return result;
    }
    if (op.Cancelled()) {
      result.cancelled = true;
      return result;
    }
  }
  return result;
}

std::string FileOpSummaryText(FileOpKind kind, const FileOpResult& result,
                              const std::string& destDir) {
  const char* verb = kind == FileOpKind::Copy ? "コピー" : "移動";
  std::string text = std::to_string(result.placed);
  text.append(" 個の項目を ").append(destDir).append(" に").append(verb).append("しました。");
  if (result.skipped > 0)
    text.append(" ").append(std::to_string(result.skipped)).append(" 個は上書きしませんでした。");
  if (!result.errors.empty())
    text.append(" ")
        .append(std::to_string(result.errors.size()))
        .append(" 個は")
        .append(verb)
        .append("できませんでした。");
  if (result.cancelled) text.append(" 途中で中止しました。");
  return text;
}
