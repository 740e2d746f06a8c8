// manifest.cpp -- parses the tab-separated manifests and the archive index
// that make_interop.py writes beside the interop archives.
#include "support/manifest.h"

#include <cstdlib>
#include <sstream>

#include "support/winfiles.h"

static std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

static std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Unsigned number in the given base; false unless the whole field is one.
static bool Number(const std::string& field, int base, unsigned long long& value) {
  if (field.empty()) return false;
  char* end = nullptr;
  value = std::strtoull(field.c_str(), &end, base);
  return *end == '\0';
}

// A Unix time, or '-' for none.
static bool OptionalTime(const std::string& field, bool& has, int64_t& value) {
  has = field != "-";
  if (!has) return true;
  char* end = nullptr;
  value = std::strtoll(field.c_str(), &end, 10);
  return !field.empty() && *end == '\0';
}

static bool ParseRow(const std::vector<std::string>& f, ManifestRow& row) {
  if (f.size() != 12 && f.size() != 13) return false;
  unsigned long long method, flags, size, csize, crc, system, ext, encrypted;
  if (!Number(f[1], 10, method) || !Number(f[2], 16, flags) || !Number(f[3], 10, size) ||
      !Number(f[4], 10, csize) || !Number(f[5], 16, crc) || !Number(f[7], 10, system) ||
      !Number(f[8], 16, ext) || !Number(f[9], 10, encrypted))
    return false;
  std::istringstream when(f[6]);
  if (!(when >> row.year >> row.month >> row.day >> row.hour >> row.minute >> row.second))
    return false;
  row.name = f[0];
  row.method = static_cast<uint16_t>(method);
  row.flags = static_cast<uint16_t>(flags);
  row.size = static_cast<uint32_t>(size);
  row.compressedSize = static_cast<uint32_t>(csize);
  row.crc = static_cast<uint32_t>(crc);
  row.createSystem = static_cast<int>(system);
  row.externalAttributes = static_cast<uint32_t>(ext);
  row.encrypted = encrypted != 0;
  if (!OptionalTime(f[10], row.hasUnixMtime, row.unixMtime)) return false;
  row.source = f[11];
  if (f.size() == 13) {
    std::istringstream more(f[12]);
    std::string access, creation, rest;
    if (!(more >> access >> creation) || (more >> rest) ||
        !OptionalTime(access, row.hasUnixAtime, row.unixAtime) ||
        !OptionalTime(creation, row.hasUnixCtime, row.unixCtime))
      return false;
  }
  return true;
}

std::vector<ManifestRow> LoadManifest(const std::string& path,
                                      std::map<std::string, std::string>* properties) {
  std::string text;
  if (!ReadWholeFile(path, text)) return {};
  std::vector<ManifestRow> rows;
  for (const std::string& line : Lines(text)) {
    if (line[0] == '#') {
      size_t start = line.find_first_not_of("# ");
      if (start == std::string::npos) continue;
      std::vector<std::string> f = SplitTabs(line.substr(start));
      if (properties && f.size() >= 2) (*properties)[f[0]] = f[1];
      continue;
    }
    ManifestRow row;
    if (!ParseRow(SplitTabs(line), row)) return {};
    rows.push_back(row);
  }
  return rows;
}

std::vector<InteropArchive> LoadInteropIndex(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return {};
  std::vector<InteropArchive> archives;
  for (const std::string& line : Lines(text)) {
    if (line[0] == '#') continue;
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 4) return {};
    archives.push_back({f[0], f[1], f[2], f[3]});
  }
  return archives;
}

std::string InteropPath(const std::string& relative) {
  return BinPath(relative.empty() ? "interop" : "interop/" + relative);
}
