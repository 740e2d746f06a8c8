// manifest.h -- reads what make_interop.py recorded about each interop
// archive, so tests can compare a reader's view with an independent one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One entry of an interop archive, as Python's zipfile (or, for gzip, a
// plain parse of the member header) saw it. For gzip: name is FNAME, flags
// is FLG, createSystem is the OS byte, the date and time are MTIME in UTC
// (all zero when MTIME is 0).
struct ManifestRow {
  std::string name;
  uint16_t method = 0;
  uint16_t flags = 0;
  uint32_t size = 0;
  uint32_t compressedSize = 0;
  uint32_t crc = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0; // as the tool recorded (UTC)
  int createSystem = 0;
  uint32_t externalAttributes = 0;
  bool encrypted = false;
  bool hasUnixMtime = false;
  int64_t unixMtime = 0;  // central "UT" modification time, or gzip MTIME
  std::string source;     // relative to the interop folder, forward slashes
  // Access and creation times of the central "UT" block, when it holds them.
  bool hasUnixAtime = false, hasUnixCtime = false;
  int64_t unixAtime = 0, unixCtime = 0;

  bool isDirectory() const { return !source.empty() && source.back() == '/'; }
};

// The rows of a manifest file; empty when the file cannot be read or a line
// is malformed. "# key<TAB>value" lines go to `properties` when given.
std::vector<ManifestRow> LoadManifest(const std::string& path,
                                      std::map<std::string, std::string>* properties = nullptr);

// One line of interop/archives.txt.
struct InteropArchive {
  std::string file;     // e.g. "zip_encrypted.zip"; its manifest is file + ".manifest"
  std::string kind;     // "zip" or "gzip"
  std::string password; // empty when not encrypted
  std::string tool;     // how it was made, for messages
};

std::vector<InteropArchive> LoadInteropIndex(const std::string& path);

// The interop folder in the build's bin folder, with `relative` appended.
std::string InteropPath(const std::string& relative = "");
