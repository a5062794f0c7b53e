#include "archive/members.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/reader_table.h"

namespace {

int CompareNoCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int64_t SizeOf(const std::string& text) { return strtoll(text.c_str(), nullptr, 10); }

}  // namespace

std::string DosDateTimeText(uint16_t date, uint16_t time) {
  // Archivers write date 0 for "unknown", and the fields have room for
  // values no clock shows: each is held to its valid range.
  const auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; };
  char buf[64];
  snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", 1980 + (date >> 9),
           clamp(date >> 5 & 15, 1, 12), clamp(date & 31, 1, 31), clamp(time >> 11, 0, 23),
           clamp(time >> 5 & 63, 0, 59), clamp((time & 31) * 2, 0, 59));
  return buf;
}

bool ListMembers(const ArchiverSlot& slot, const std::string& archivePath, const std::string& mask,
                 bool everyMember, std::vector<MemberRow>& rows, bool* incomplete) {
  rows.clear();
  if (!slot.Loaded() || !slot.open || !slot.findFirst || !slot.findNext || !slot.close)
    return false;
  if (incomplete) *incomplete = false;
  ArcHandle h = slot.open(nullptr, archivePath.c_str(), 1);
  if (!h) return false;
  ArcMemberRecord rec;
  for (int r = slot.findFirst(h, "*.*", &rec); r != -1; r = slot.findNext(h, &rec)) {
    rec.fileName[sizeof rec.fileName - 1] = '\0';
    MemberRow row;
    row.path = rec.fileName;
    // The extension is what follows the last "." of the whole path.
    const size_t dot = row.path.find_last_of('.');
    std::string ext = dot == std::string::npos ? std::string() : row.path.substr(dot + 1);
    for (char& c : ext)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!everyMember && !MatchMask(ext, mask)) continue;
    if (row.path.empty()) continue;
    // The record's size stops at 4 GiB; the extended call has it all.
    int64_t size = 0;
    row.size = slot.originalSizeEx && slot.originalSizeEx(h, &size) == 0 && size >= 0
                   ? std::to_string(size)
                   : std::to_string(rec.originalSize);
    row.type = ext;
    for (char& c : row.type)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    row.date = DosDateTimeText(rec.date, rec.time);
    rows.push_back(std::move(row));
  }
  if (incomplete && slot.listError) *incomplete = slot.listError(h) != 0;
  slot.close(h);
  return true;
}

std::string IncompleteListText(const std::string& archivePath) {
  return archivePath + ": 途中で壊れているため、読めたところまでを一覧にしました。";
}

std::string UnlistedArchiveText(const std::string& path) {
  const int err = ArchiveOpenError(path);
  if (err == EACCES || err == EPERM) return path + ": 読み取る権限がないため開けません。";
  if (err != 0) return path + ": 読み取れないため開けません。";
  return path + ": 読める圧縮ファイルではありません。";
}

int NextSortKey(int key, int column) {
  const int next = column + 1;
  return next == (key < 0 ? -key : key) ? -key : next;
}

int CompareMembers(const MemberRow& a, const MemberRow& b, int key) {
  int r = 0;
  switch (key < 0 ? -key : key) {
    case 1:
      r = CompareNoCase(a.path, b.path);
      break;
    case 2: {
      const int64_t d = SizeOf(a.size) - SizeOf(b.size);
      r = d < 0 ? -1 : d > 0 ? 1 : 0;
      break;
    }
    case 3:
      r = CompareNoCase(a.type, b.type);
      break;
    case 4:
      r = CompareNoCase(a.date, b.date);
      break;
    default:
      break;
  }
  return key < 0 ? -r : r;
}

void SortMembers(std::vector<MemberRow>& rows, int key) {
  std::stable_sort(rows.begin(), rows.end(), [key](const MemberRow& a, const MemberRow& b) {
    return CompareMembers(a, b, key) < 0;
  });
}
