// detach_watch.cpp -- a library that, at its own process detach, writes which
// of a list of files some handle still holds open. Loaded before tarvune.dll,
// it is detached after it, so it sees what the add-on's detach left behind.
#include <windows.h>

#include "busy.h"

static char reportPath[MAX_PATH];
static char files[8][MAX_PATH];
static int fileCount;

// `list` holds the paths separated by '|'.
extern "C" void __stdcall WatchAtDetach(const char* report, const char* list)
{
  lstrcpynA(reportPath, report, MAX_PATH);
  fileCount = 0;
  while (*list && fileCount < 8) {
    int n = 0;
    while (list[n] && list[n] != '|')
      n++;
    lstrcpynA(files[fileCount++], list, n + 1 < MAX_PATH ? n + 1 : MAX_PATH);
    list += list[n] ? n + 1 : n;
  }
}

// Plain Win32 only: at process exit the C runtime may already be gone.
static void WriteReport()
{
  char text[256] = "";
  for (int i = 0; i < fileCount; i++) {
    char line[32];
    wsprintfA(line, "busy.%d=%d\r\n", i + 1, IsBusy(files[i]) ? 1 : 0);
    lstrcatA(text, line);
  }
  HANDLE out = CreateFileA(reportPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteFile(out, text, lstrlenA(text), &written, nullptr);
  CloseHandle(out);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
  if (reason == DLL_PROCESS_DETACH && reportPath[0])
    WriteReport();
  return TRUE;
}
