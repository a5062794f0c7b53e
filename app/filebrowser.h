// The file browser's rules that need no window: the format filter built
// from the reader table, mask matching and the path a listed item loads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/reader_table.h"

inline constexpr char kFilterAllFiles[] = "すべてのファイル";
inline constexpr char kFilterAllFormats[] = "対応する全形式";

struct FilterEntry {
  std::string description;
  std::string mask;  // patterns "*.ext" separated by ";"
};

// Every reader's extension list in table order, joined with ";".
std::string AllSupportedMask(const ReaderTable& table);
// "すべてのファイル|*.*|対応する全形式|<all>|" then "name|mask|" per reader.
std::string BuildFilterText(const ReaderTable& table);
// The description/mask pairs of a filter text (a trailing "|" ends it).
std::vector<FilterEntry> ParseFilterText(std::string_view text);

// Whether a file name matches one of the mask's patterns ("*" any run, "?"
// one character, ASCII case-insensitive). "*.*" takes names without a dot
// too, as it always has.
bool MatchFileMask(std::string_view fileName, std::string_view mask);

// The path a listed item loads: the folder, a "/" when it lacks one, the
// caption and, when the caption shows no extension, the extension column.
std::string ListedItemPath(std::string_view folder, std::string_view caption,
                           std::string_view extension);

// The folder part of a path given on the command line: up to and including
// its last "/" (empty when there is none).
std::string FolderPartOf(std::string_view path);
