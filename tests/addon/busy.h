// busy.h -- whether some process still holds a file open without sharing it.
// Plain Win32 only, so that it also serves code that runs at process exit.
#pragma once

#include <windows.h>

inline bool IsBusy(const char* path)
{
  HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}
