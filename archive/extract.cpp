#include "archive/extract.h"

#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

std::string DirOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string WithoutTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// The canonical form of an existing path, or the path itself.
std::string Canonical(const std::string& p) {
  char buf[PATH_MAX];
  return realpath(p.c_str(), buf) ? std::string(buf) : WithoutTrailingSlash(p);
}

// Whether dir is equal to or above path (both canonical).
bool IsAtOrAbove(const std::string& dir, const std::string& path) {
  if (dir == "/") return true;
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         path[dir.size()] == '/');
}

bool IsRealDirectory(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularNotLink(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The identity of an archive file as the cache keys it.
std::string ArchiveKey(const std::string& archivePath, const std::string& member) {
  struct stat st;
  if (stat(archivePath.c_str(), &st) != 0) return {};
  char buf[96];
  snprintf(buf, sizeof buf, "|%lld|%lld.%09ld|", static_cast<long long>(st.st_size),
           static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  return archivePath + buf + member;
}

int RemoveEntry(const char* path, const struct stat*, int flag, struct FTW*) {
  // Depth first and physical: a link is removed as a link.
  if (flag == FTW_DP)
    rmdir(path);
  else
    unlink(path);
  return 0;
}

}  // namespace

std::string ScratchFolderOf(const std::string& cacheFolder) { return cacheFolder + "tmp/"; }

std::string CacheFileName(const std::string& cacheFolder, const std::string& member) {
  std::string flat = member;
  for (char& c : flat)
    if (c == '/' || c == '\\' || c == ':') c = '_';
  return cacheFolder + flat;
}

std::string ExtractedFileName(const std::string& scratchFolder, const std::string& member) {
  size_t cut = member.find_last_of('/');
  if (cut == std::string::npos) cut = member.find_last_of('\\');
  return scratchFolder + (cut == std::string::npos ? member : member.substr(cut + 1));
}

std::string MemberDisplayName(const std::string& archivePath, const std::string& member) {
  return archivePath + "//" + member;
}

bool BuildExtractCommand(const std::string& switches, const std::string& archivePath,
                         const std::string& scratchFolder, const std::string& member,
                         std::string& command) {
  for (const std::string* s : {&archivePath, &scratchFolder, &member})
    if (s->find('"') != std::string::npos) return false;
  command = switches + " \"" + archivePath + "\" \"" + scratchFolder + "\" \"" + member + "\"";
  return true;
}

bool MakePrivateFolder(const std::string& folder) {
  const std::string target = WithoutTrailingSlash(folder);
  if (target.empty() || target == "/") return false;
  if (IsRealDirectory(target)) return true;
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) return false;  // a file or a link stands there
  const std::string parent = DirOf(target);
  if (parent != target && !IsRealDirectory(parent) && !MakePrivateFolder(parent)) return false;
  if (mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsRealDirectory(target);
}

std::string ExtractRefusalText(int status, const std::string& displayName) {
  if (status == kArchiverTooLarge)
    return displayName + ": 展開後のサイズが大きすぎるため解凍しませんでした。";
  if (status == kArchiverNoSpace)
    return displayName + ": ディスクの空き容量が足りないため解凍しませんでした。";
  if (status == kArchiverSizeMismatch)
    return displayName + ": 展開後のサイズが記録と合わない（壊れている）ため解凍しませんでした。";
  if (status == kArchiverEncrypted) return displayName + ": 暗号化されているため解凍できません。";
  return {};
}

bool ExtractToFolder(const ArchiverSlot& slot, const std::string& archivePath,
                     const std::string& member, const std::string& scratchFolder,
                     std::string& extracted, int* status) {
  extracted = ExtractedFileName(scratchFolder, member);
  if (status) *status = -1;
  std::string command;
  if (!slot.Loaded() || !slot.command ||
      !BuildExtractCommand(slot.switches, archivePath, scratchFolder, member, command))
    return false;
  // A file of that name from an earlier attempt must not pass for this one.
  unlink(extracted.c_str());
  const int r = slot.command(nullptr, command.c_str(), nullptr, 0);
  if (status) *status = r;
  return IsRegularNotLink(extracted);
}

bool ExtractMember(const ArchiverSlot& slot, ArchiveCache& cache, const std::string& archivePath,
                   const std::string& member, bool useCache, std::string& cacheFile, int* status) {
  cacheFile = CacheFileName(cache.folder, member);
  const std::string scratch = ScratchFolderOf(cache.folder);
  if (!MakePrivateFolder(cache.folder) || !MakePrivateFolder(scratch)) return false;
  const std::string key = ArchiveKey(archivePath, member);
  if (useCache && !key.empty() && IsRegularNotLink(cacheFile)) {
    const auto it = cache.producedBy.find(cacheFile);
    if (it != cache.producedBy.end() && it->second == key) return true;
  }
  cache.producedBy.erase(cacheFile);
  std::string extracted;
  ++cache.commandRuns;
  if (!ExtractToFolder(slot, archivePath, member, scratch, extracted, status)) {
    unlink(extracted.c_str());
    return false;
  }
  // rename replaces whatever stands at the cache name (a link included)
  // without following it.
  unlink(cacheFile.c_str());
  if (rename(extracted.c_str(), cacheFile.c_str()) != 0) {
    unlink(extracted.c_str());
    return false;
  }
  if (useCache && !key.empty()) cache.producedBy[cacheFile] = key;
  return true;
}

bool DeleteCacheFolder(const std::string& folder, const std::string& exePath) {
  const std::string target = WithoutTrailingSlash(folder);
  if (target.empty() || target == "/" || target == ".") return false;
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return unlink(target.c_str()) == 0;  // the link, not what it names
  if (!S_ISDIR(st.st_mode)) return false;
  const std::string canon = Canonical(target);
  if (canon == "/") return false;
  if (!exePath.empty() && IsAtOrAbove(canon, Canonical(DirOf(exePath)))) return false;
  if (const char* home = getenv("HOME"); home && *home && IsAtOrAbove(canon, Canonical(home)))
    return false;
  nftw(target.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  return lstat(target.c_str(), &st) != 0;
}

bool SplitMemberArgument(const std::string& arg, std::string& archivePath, std::string& member) {
  struct stat st;
  if (stat(arg.c_str(), &st) == 0) return false;
  for (size_t at = arg.find("//"); at != std::string::npos; at = arg.find("//", at + 1)) {
    const std::string head = arg.substr(0, at);
    if (head.empty() || at + 2 >= arg.size()) continue;
    if (stat(head.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      archivePath = head;
      member = arg.substr(at + 2);
      return true;
    }
  }
  return false;
}
