// The member list of an archive: the rows shown (path, size, type, date),
// filtered by the format mask, and their sorting by a signed column key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archiver_table.h"

struct MemberRow {
  std::string path;  // member path inside the archive (UTF-8)
  std::string size;  // uncompressed size, decimal (64-bit where the module tells it)
  std::string type;  // extension in upper case
  std::string date;  // "yyyy/mm/dd hh:mm:ss"
};

// "%04d/%02d/%02d %02d:%02d:%02d" of an MS-DOS date and time, as stored
// (each field held to its valid range: a month or day of 0 prints as 1).
std::string DosDateTimeText(uint16_t date, uint16_t time);

// Lists the members of archivePath through slot, in archive order, keeping
// those whose extension the mask names; everyMember lists all of them.
// False when the archive cannot be opened. incomplete (when given) tells
// whether the listing stopped at damage (a truncated archive): the rows
// are then those before it.
bool ListMembers(const ArchiverSlot& slot, const std::string& archivePath, const std::string& mask,
                 bool everyMember, std::vector<MemberRow>& rows, bool* incomplete = nullptr);

// The log line for a listing that stopped at damage.
std::string IncompleteListText(const std::string& archivePath);
// The log line for a file that no module lists: that it cannot be read
// (no permission), or that it is no archive a module reads.
std::string UnlistedArchiveText(const std::string& path);

// The key after a click on column (0-based): column + 1, negated when it
// names the column already sorted by.
int NextSortKey(int key, int column);
// < 0, 0, > 0 as a sorts before, with or after b under key.
int CompareMembers(const MemberRow& a, const MemberRow& b, int key);
void SortMembers(std::vector<MemberRow>& rows, int key);
