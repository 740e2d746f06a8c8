// detach_child.cpp -- a script's process that ends with archives still open.
// It opens two archives by file name and a third through a file handle of
// its own, then either unloads the add-on and checks what its detach released
// ("unload"), or exits at once with the add-on loaded ("exit"), leaving
// addon_detach_watch.dll to look after the add-on's detach.
//
//   addon_detach_child REPORT unload|exit FILE1 FILE2 FILE3
#include <windows.h>

#include <stdio.h>

#include <string>

#include "busy.h"
#include "morvalin.h"

const UINT EXIT_WITH_ARCHIVES_OPEN = 42;

static std::string OwnFolder()
{
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

static bool Opened(const morvalin::Host& host, const std::string& variable, const std::string& source,
                   const std::string& kind)
{
  morvalin::Outcome out = host.call("UNZIPOPEN", {variable, source, kind});
  return out.kind == morvalin::Kind::Returned && !out.value && host.variable(variable);
}

int main(int argc, char** argv)
{
  if (argc != 6)
    return 2;
  const std::string reportPath = argv[1], mode = argv[2];
  const char* files[3] = {argv[3], argv[4], argv[5]};
  FILE* report = fopen(reportPath.c_str(), "w");
  if (!report)
    return 3;

  // Loaded before the add-on, so detached after it.
  HMODULE watch = LoadLibraryA((OwnFolder() + "addon_detach_watch.dll").c_str());
  typedef void(__stdcall * WatchFn)(const char*, const char*);
  WatchFn watchAtDetach =
      watch ? reinterpret_cast<WatchFn>(reinterpret_cast<void*>(GetProcAddress(watch, "WatchAtDetach")))
            : nullptr;
  fprintf(report, "watch=%d\n", watchAtDetach ? 1 : 0);

  morvalin::Host host;
  morvalin::AddonLoad load = host.loadAddon("tarvune.dll");
  fprintf(report, "loaded=%d\n", load.loaded() ? 1 : 0);

  // The script's own handle, read and written by the script as it pleases.
  HANDLE own = CreateFileA(files[2], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  int opened = Opened(host, "A", files[0], "FILE") + Opened(host, "B", files[1], "FILE") +
               Opened(host, "C", std::to_string(reinterpret_cast<uintptr_t>(own)), "PIPE");
  fprintf(report, "opened=%d\n", opened);
  fprintf(report, "busy_before=%d\n", IsBusy(files[0]) + IsBusy(files[1]));

  if (mode == "exit") {
    std::string watched = std::string(files[0]) + "|" + files[1] + "|" + files[2];
    if (watchAtDetach)
      watchAtDetach((reportPath + ".detach").c_str(), watched.c_str());
    fclose(report);
    ExitProcess(EXIT_WITH_ARCHIVES_OPEN);
  }

  host.unloadAddon();
  fprintf(report, "unloaded=%d\n", GetModuleHandleA("tarvune.dll") == nullptr ? 1 : 0);
  fprintf(report, "busy_after=%d\n", IsBusy(files[0]) + IsBusy(files[1]));

  // The script's handle is still its own: it answers and takes a write.
  DWORD size = GetFileSize(own, nullptr);
  DWORD written = 0;
  bool wrote = size != INVALID_FILE_SIZE && SetFilePointer(own, 0, nullptr, FILE_END) == size &&
               WriteFile(own, "!", 1, &written, nullptr) && written == 1;
  fprintf(report, "own_handle_works=%d\n", wrote ? 1 : 0);
  // Once it is closed, no copy of it is left open either.
  CloseHandle(own);
  fprintf(report, "third_busy_after_own_close=%d\n", IsBusy(files[2]) ? 1 : 0);
  fclose(report);
  return 0;
}
