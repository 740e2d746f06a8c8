// winfiles.h -- small Win32 file helpers for tests running under Wine: a
// temp folder that removes itself, whole-file reads and writes, and paths
// in the build's bin folder (where the test programs and interop archives
// live).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A new, empty folder under the temp path, removed with everything in it
// (read-only files included) when the object goes away. Paths use
// backslashes and the folder path ends without one.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "\\" + relative; forward slashes in `relative` become backslashes.
  std::string file(const std::string& relative) const;
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

// Removes a folder and everything under it, names the ANSI code page lacks
// included. True when it is gone.
bool RemoveTree(const std::string& path);

// Writes (creating or truncating) a file with exactly these bytes.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// A file of `size` bytes that are zero (and sparse, so they cost no disk)
// except for each piece, written at its offset. False when the file system
// cannot hold it.
bool WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string>>& pieces);

// Reads a whole file; false when it cannot be opened or read. Here and in
// DirectoryExists, a name that the ANSI code page lacks characters of is
// found by the text a script sees of it, '_' for each such character.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// The whole file, or an empty string when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Lists every file and folder under `folder`, at any depth, as full paths;
// either list may be null. The folder `skip`, if met, is listed but not entered.
void ListTree(const std::string& folder, std::vector<std::string>* files,
              std::vector<std::string>* folders, const std::string& skip = "");

bool FileExists(const std::string& path);      // a file, not a folder
bool DirectoryExists(const std::string& path);

// The folder of the running test program (the build's bin folder), with
// `relative` appended after a backslash; forward slashes become backslashes.
std::string BinPath(const std::string& relative = "");
