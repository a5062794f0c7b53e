#include "tests/archive_fixtures.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void AddFilter(archive* a, const std::string& filter) {
  if (filter == "gzip") archive_write_add_filter_gzip(a);
  if (filter == "bzip2") archive_write_add_filter_bzip2(a);
  if (filter == "compress") archive_write_add_filter_compress(a);
}

uint32_t Crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (const char ch : s) {
    c ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

void Put16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8 & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

}  // namespace

void WriteArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<FixtureEntry>& entries, const char* passphrase) {
  archive* a = archive_write_new();
  if (format == "zip") archive_write_set_format_zip(a);
  if (format == "7z") archive_write_set_format_7zip(a);
  if (format == "tar") archive_write_set_format_pax_restricted(a);
  AddFilter(a, filter);
  if (passphrase) {
    ASSERT_EQ(archive_write_set_options(a, "zip:encryption=zipcrypt"), ARCHIVE_OK)
        << archive_error_string(a);
    ASSERT_EQ(archive_write_set_passphrase(a, passphrase), ARCHIVE_OK);
  }
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK) << archive_error_string(a);
  for (const FixtureEntry& f : entries) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, f.name.c_str());
    archive_entry_set_mtime(e, f.mtime, 0);
    archive_entry_set_perm(e, 0644);
    switch (f.kind) {
      case 'd':
        archive_entry_set_filetype(e, AE_IFDIR);
        archive_entry_set_perm(e, 0755);
        break;
      case 'l':
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_symlink(e, f.target.c_str());
        break;
      case 'h':
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_hardlink(e, f.target.c_str());
        break;
      default:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_size(e, static_cast<la_int64_t>(f.data.size()));
    }
    ASSERT_GE(archive_write_header(a, e), ARCHIVE_WARN) << archive_error_string(a);
    if (f.kind == 'f' && !f.data.empty()) archive_write_data(a, f.data.data(), f.data.size());
    archive_entry_free(e);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK) << archive_error_string(a);
  archive_write_free(a);
}

void WriteCompressedFile(const std::string& path, const std::string& filter,
                         const std::string& data) {
  archive* a = archive_write_new();
  archive_write_set_format_raw(a);
  AddFilter(a, filter);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK) << archive_error_string(a);
  archive_entry* e = archive_entry_new();
  archive_entry_set_filetype(e, AE_IFREG);
  archive_entry_set_pathname(e, "data");
  ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
  archive_write_data(a, data.data(), data.size());
  archive_entry_free(e);
  archive_write_close(a);
  archive_write_free(a);
}

// A raw deflate stream of stored blocks.
std::string StoredDeflate(const std::string& data) {
  std::string out;
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(data.size() - at, 0xFFFF);
    out += static_cast<char>(at + n == data.size() ? 1 : 0);  // last block?, stored
    Put16(out, static_cast<unsigned>(n));
    Put16(out, static_cast<unsigned>(~n & 0xFFFF));
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  return out;
}

std::string HandZip(const std::vector<HandZipEntry>& entries) {
  std::string out, central;
  for (const HandZipEntry& z : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = Crc32(z.data);
    const uint32_t size = z.claimedSize < 0 ? static_cast<uint32_t>(z.data.size())
                                            : static_cast<uint32_t>(z.claimedSize);
    const std::string stored = z.deflate ? StoredDeflate(z.data) : z.data;
    const uint32_t packed = z.deflate ? static_cast<uint32_t>(stored.size()) : size;
    const unsigned method = z.deflate ? 8 : 0;
    const unsigned flags = z.utf8Flag ? 0x800 : 0;
    // Local header.
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, flags);
    Put16(out, method);
    Put16(out, 0x6000);  // 12:00:00
    Put16(out, z.dosDate);
    Put32(out, crc);
    Put32(out, packed);
    Put32(out, size);
    Put16(out, static_cast<unsigned>(z.name.size()));
    Put16(out, 0);
    out += z.name;
    out += stored;
    // Central directory record.
    Put32(central, 0x02014b50);
    Put16(central, 0x031E);
    Put16(central, 20);
    Put16(central, flags);
    Put16(central, method);
    Put16(central, 0x6000);
    Put16(central, z.dosDate);
    Put32(central, crc);
    Put32(central, packed);
    Put32(central, size);
    Put16(central, static_cast<unsigned>(z.name.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, z.mode << 16);
    Put32(central, offset);
    central += z.name;
  }
  const uint32_t cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<unsigned>(entries.size()));
  Put16(out, static_cast<unsigned>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, cdOffset);
  Put16(out, 0);
  return out;
}

std::string HandGzip(const std::string& name, uint32_t mtime, const std::string& data) {
  std::string out("\x1f\x8b\x08\x08", 4);  // deflate, FNAME
  Put32(out, mtime);
  out += std::string("\x00\x03", 2);  // no extra flags, Unix
  out += name;
  out += '\0';
  out += '\x01';  // the last block, stored
  Put16(out, static_cast<unsigned>(data.size()));
  Put16(out, static_cast<unsigned>(~data.size() & 0xFFFF));
  out += data;
  Put32(out, Crc32(data));
  Put32(out, static_cast<uint32_t>(data.size()));
  return out;
}

std::string NoiseBytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string HandLzh(const std::string& name, const std::string& data, long long claimedSize) {
  std::string h = "-lh0-";
  Put32(h, static_cast<uint32_t>(data.size()));
  Put32(h,
        static_cast<uint32_t>(claimedSize < 0 ? static_cast<long long>(data.size()) : claimedSize));
  Put16(h, 0x6000);  // 12:00:00
  Put16(h, 0x5721);  // 2023/09/01
  h += '\x20';       // attribute: archive
  h += '\0';         // header level 0
  h += static_cast<char>(name.size());
  h += name;
  // CRC-16 (the ARC polynomial) of the data.
  unsigned crc = 0;
  for (const char ch : data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  Put16(h, crc);
  unsigned sum = 0;
  for (const char c : h) sum += static_cast<unsigned char>(c);
  std::string out;
  out += static_cast<char>(h.size());
  out += static_cast<char>(sum & 0xFF);
  return out + h + data + std::string(1, '\0');
}

std::string TarHeader(const std::string& name, unsigned long long size, char type,
                      const std::string& link) {
  std::string h(512, '\0');
  memcpy(&h[0], name.data(), std::min<size_t>(name.size(), 100));
  snprintf(&h[100], 8, "%07o", 0644);
  snprintf(&h[108], 8, "%07o", 0);
  snprintf(&h[116], 8, "%07o", 0);
  snprintf(&h[124], 12, "%011llo", size);
  snprintf(&h[136], 12, "%011o", 1700000000u);
  h[156] = type;
  memcpy(&h[157], link.data(), std::min<size_t>(link.size(), 100));
  memcpy(&h[257], "ustar", 6);
  memcpy(&h[263], "00", 2);
  memset(&h[148], ' ', 8);
  unsigned sum = 0;
  for (const char c : h) sum += static_cast<unsigned char>(c);
  snprintf(&h[148], 8, "%06o", sum);
  h[155] = ' ';
  return h;
}

std::string GnuSparseTar(const std::string& name, unsigned long long realSize,
                         const std::string& data) {
  std::string h(512, '\0');
  memcpy(&h[0], name.data(), std::min<size_t>(name.size(), 100));
  snprintf(&h[100], 8, "%07o", 0644);
  snprintf(&h[108], 8, "%07o", 0);
  snprintf(&h[116], 8, "%07o", 0);
  snprintf(&h[124], 12, "%011llo", static_cast<unsigned long long>(data.size()));
  snprintf(&h[136], 12, "%011o", 1700000000u);
  h[156] = 'S';
  memcpy(&h[257], "ustar  ", 8);  // the GNU magic, with its NUL
  // A 12-digit octal field may fill its 12 bytes with no terminator;
  // larger numbers are base-256 with the top bit set.
  auto octal12 = [&h](size_t at, unsigned long long v) {
    if (v >> 36 == 0) {
      char buf[16];
      snprintf(buf, sizeof buf, "%012llo", v);
      memcpy(&h[at], buf, 12);
      return;
    }
    h[at] = static_cast<char>(0x80);
    for (int i = 11; i >= 4; --i, v >>= 8)
      h[at + static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
  };
  // The sparse map: the data at offset 0, then an empty run at the end
  // that carries the hole to realSize.
  size_t at = 386;
  if (!data.empty()) {
    octal12(at, 0);
    octal12(at + 12, data.size());
    at += 24;
  }
  octal12(at, realSize);
  octal12(at + 12, 0);
  octal12(483, realSize);
  memset(&h[148], ' ', 8);
  unsigned sum = 0;
  for (const char c : h) sum += static_cast<unsigned char>(c);
  snprintf(&h[148], 8, "%06o", sum);
  h[155] = ' ';
  return h + data + std::string(1024, '\0');
}
