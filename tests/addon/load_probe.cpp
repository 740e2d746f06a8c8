// load_probe.cpp -- loads tarvune.dll without the real host and reports what
// happened: whether the load succeeded, and the text and caption of each
// message box shown meanwhile. A WH_CBT hook reads every box as it is
// activated and closes it, so the probe never waits for a person.
//
//   addon_load_probe REPORT [HOST_DLL]
// HOST_DLL, when given, is loaded first (a morvalin.dll without the entry).
#include <windows.h>

#include <stdio.h>

#include <string>

static HHOOK hook;
static int boxes;
static std::string caption, text;

static BOOL CALLBACK ReadStatic(HWND child, LPARAM)
{
  char className[32], buffer[512];
  if (GetClassNameA(child, className, sizeof className) && lstrcmpiA(className, "Static") == 0 &&
      GetWindowTextA(child, buffer, sizeof buffer) > 0)
    text = buffer;
  return TRUE;
}

static LRESULT CALLBACK WatchBoxes(int code, WPARAM wParam, LPARAM lParam)
{
  char className[32] = "";
  if (code == HCBT_ACTIVATE &&
      GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className) &&
      lstrcmpA(className, "#32770") == 0) {  // a dialog: the message box
    HWND box = reinterpret_cast<HWND>(wParam);
    char buffer[512] = "";
    GetWindowTextA(box, buffer, sizeof buffer);
    caption = buffer;
    EnumChildWindows(box, ReadStatic, 0);
    boxes++;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

static std::string OwnFolder()
{
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

int main(int argc, char** argv)
{
  if (argc < 2)
    return 2;
  bool hostLoaded = false;
  if (argc > 2)
    hostLoaded = LoadLibraryA(argv[2]) != nullptr;

  hook = SetWindowsHookExA(WH_CBT, WatchBoxes, nullptr, GetCurrentThreadId());
  SetLastError(NO_ERROR);
  HMODULE addon = LoadLibraryA((OwnFolder() + "tarvune.dll").c_str());
  DWORD error = GetLastError();
  UnhookWindowsHookEx(hook);

  FILE* report = fopen(argv[1], "w");
  if (!report)
    return 3;
  fprintf(report, "host=%d\nhooked=%d\nloaded=%d\nerror=%lu\nboxes=%d\ncaption=%s\ntext=%s\n",
          hostLoaded ? 1 : 0, hook ? 1 : 0, addon ? 1 : 0, addon ? 0ul : error, boxes,
          caption.c_str(), text.c_str());
  fclose(report);
  return 0;
}
