// Extraction of one archive member through its archiver's command entry
// point into the scratch folder, the cache folder it is moved to, and the
// removal of that folder.
#pragma once

#include <map>
#include <string>

#include "archive/archiver_table.h"

inline constexpr char kExtractFailedMessage[] = "ファイルの解凍に失敗しました。";

// Results of an archiver's command entry point that refuse a member and
// leave nothing written.
inline constexpr int kArchiverNoSpace = 0x8005;
inline constexpr int kArchiverTooLarge = 0x8007;
inline constexpr int kArchiverSizeMismatch = 0x8008;  // more data than its header states
inline constexpr int kArchiverEncrypted = 0x8009;
// The log line for such a refusal of displayName; empty for any other result.
std::string ExtractRefusalText(int status, const std::string& displayName);

// The scratch folder inside it: <cache>tmp/.
std::string ScratchFolderOf(const std::string& cacheFolder);
// <cache> + the member path with every "/", "\" and ":" made "_".
std::string CacheFileName(const std::string& cacheFolder, const std::string& member);
// <scratch> + the member's base name (after its last "/", else its last "\").
std::string ExtractedFileName(const std::string& scratchFolder, const std::string& member);
// What the log shows for a member: archive + "//" + member.
std::string MemberDisplayName(const std::string& archivePath, const std::string& member);
// switches "archive" "scratch" "member"; false when a part holds a '"' and
// so cannot be quoted.
bool BuildExtractCommand(const std::string& switches, const std::string& archivePath,
                         const std::string& scratchFolder, const std::string& member,
                         std::string& command);

// Creates folder (with missing parents, mode 0700 for new ones) and checks
// that it and every folder of it created or used is a real directory, not
// a link.
bool MakePrivateFolder(const std::string& folder);

// The cache folder's state for one run: which archive and member produced
// each cache file, so that a file is reused only for the same archive
// (path, size, modification time) and member.
struct ArchiveCache {
  std::string folder;  // with a trailing "/"
  std::map<std::string, std::string> producedBy;
  int commandRuns = 0;  // how often an archiver's command entry point ran
};

// Extracts member of archivePath through slot into the scratch folder and
// moves it to its cache file name (path returned in cacheFile). With
// useCache, a cache file this archive and member produced is reused
// without running the archiver. False when no file came out; status (when
// given) then holds the archiver's result.
bool ExtractMember(const ArchiverSlot& slot, ArchiveCache& cache, const std::string& archivePath,
                   const std::string& member, bool useCache, std::string& cacheFile,
                   int* status = nullptr);

// Extracts member into scratchFolder (which must exist) and returns the
// extracted file's path; the command line's own road, without a cache.
bool ExtractToFolder(const ArchiverSlot& slot, const std::string& archivePath,
                     const std::string& member, const std::string& scratchFolder,
                     std::string& extracted, int* status = nullptr);

// Removes folder and everything in it without following a link. Refuses
// an empty path, "/", the executable's folder or any folder above it, and
// the home folder. False when refused or when something stayed.
bool DeleteCacheFolder(const std::string& folder, const std::string& exePath);

// Splits an argument "ARCHIVE//MEMBER" when the whole argument is not an
// existing file: the archive is the shortest prefix before a "//" that is
// an existing regular file, the member what follows it.
bool SplitMemberArgument(const std::string& arg, std::string& archivePath, std::string& member);
