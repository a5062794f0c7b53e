// A small INI file reader/writer that keeps everything it does not touch:
// unknown sections, unknown keys, comments and blank lines survive a
// rewrite, values are raw UTF-8 bytes (";" and "," are ordinary characters).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class IniFile {
 public:
  // Reads a file; a missing or unreadable file leaves the INI empty and
  // returns false.
  bool Load(const std::string& path);
  void Parse(std::string_view text);

  // Writes the text to path (through a temporary file renamed over it, so
  // an interrupted write never leaves half a file). Creates a missing parent
  // folder. Returns false when it cannot write.
  bool Save(const std::string& path) const;
  std::string Text() const;

  // Section and key names compare ASCII case-insensitively; surrounding
  // blanks of names and values are ignored. The first matching key wins.
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // A whole decimal integer (optional sign) in the 32-bit range, else def.
  int ReadInteger(std::string_view section, std::string_view key, int def) const;

  // Replaces the key's line in place, or appends it at the end of its
  // section (the section is appended when missing). Line breaks in value
  // would split the line, so they end the value.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);

 private:
  struct Span {
    size_t begin = 0, end = 0;  // line range of a section's body
    bool found = false;
  };
  Span FindSection(std::string_view section) const;

  std::vector<std::string> lines_;
  bool bom_ = false;
};

// Parses s as a whole decimal integer within int's range.
bool ParseWholeInt(std::string_view s, int& out);
