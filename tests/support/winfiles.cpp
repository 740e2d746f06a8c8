// winfiles.cpp -- temp folders, whole-file I/O and bin-folder paths for
// tests, on plain Win32 calls.
#include "support/winfiles.h"

#include <windows.h>

static std::string Backslashed(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TempDir::TempDir() {
  char base[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, base);
  if (n == 0 || n >= MAX_PATH) return;
  std::string root(base, n);
  if (root.back() != '\\') root += '\\';
  // Process id, tick count and a counter: unique across the tests that run
  // side by side and across folders left behind by a crashed run.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = root + "tvt" + std::to_string(GetCurrentProcessId()) + "_" +
                            std::to_string(GetTickCount()) + "_" + std::to_string(counter++);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string TempDir::file(const std::string& relative) const {
  return path_ + "\\" + Backslashed(relative);
}

bool RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        // A read-only file cannot be deleted until the bit is cleared.
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(path.c_str());
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(bytes.size() - done > (1u << 20) ? (1u << 20)
                                                                      : bytes.size() - done);
    DWORD written = 0;
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  return CloseHandle(file) && ok;
}

bool WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string>>& pieces) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  for (const auto& piece : pieces) {
    position.QuadPart = static_cast<LONGLONG>(piece.first);
    DWORD written = 0;
    ok = ok && SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
         WriteFile(file, piece.second.data(), static_cast<DWORD>(piece.second.size()), &written, nullptr) &&
         written == piece.second.size();
  }
  return CloseHandle(file) && ok;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char block[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, block, sizeof block, &got, nullptr)) && got > 0)
    bytes.append(block, got);
  CloseHandle(file);
  return ok;
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  return ReadWholeFile(path, bytes) ? bytes : std::string();
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string BinPath(const std::string& relative) {
  char module[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string folder(module, n);
  folder.erase(folder.find_last_of("\\/"));
  return relative.empty() ? folder : folder + "\\" + Backslashed(relative);
}

void ListTree(const std::string& folder, std::vector<std::string>* files,
              std::vector<std::string>* folders, const std::string& skip)
{
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..")
      continue;
    std::string child = folder + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (folders)
        folders->push_back(child);
      if (child != skip)
        ListTree(child, files, folders, skip);
    } else if (files) {
      files->push_back(child);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}
