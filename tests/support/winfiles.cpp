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

static std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &wide[0], n);
  return wide;
}

// A name as the ANSI code page shows it, without best fit: '_' for each
// character the code page lacks (as the add-on shows a Unicode name).
static std::string Shown(const std::wstring& name) {
  std::string shown;
  for (wchar_t c : name) {
    char bytes[8];
    BOOL lacked = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, sizeof bytes, "_", &lacked);
    shown += n > 0 && !lacked ? std::string(bytes, n) : std::string("_");
  }
  return shown;
}

// The wide path that `path` names: each component that does not exist under
// its ANSI name is the folder's entry whose name shows as it. A file that the
// add-on created under a Unicode name is found by the path a script sees.
static std::wstring WidePath(const std::string& path) {
  std::wstring found;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    std::wstring next = found + (start ? L"\\" : L"") + Wide(part);
    if (start > 0 && GetFileAttributesW(next.c_str()) == INVALID_FILE_ATTRIBUTES) {
      WIN32_FIND_DATAW entry;
      HANDLE search = FindFirstFileW((found + L"\\*").c_str(), &entry);
      if (search != INVALID_HANDLE_VALUE) {
        do {
          if (Shown(entry.cFileName) == part) {
            next = found + L"\\" + entry.cFileName;
            break;
          }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
      }
    }
    found = next;
    start = end + 1;
  }
  return found;
}

// Wide calls throughout: a name the ANSI code page lacks is removed as well.
static bool RemoveTreeW(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTreeW(child);
      } else {
        // A read-only file cannot be deleted until the bit is cleared.
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(path.c_str());
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::string& path) {
  return RemoveTreeW(Wide(path));
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
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
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
  DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
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
