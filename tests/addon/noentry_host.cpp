// noentry_host.cpp -- a morvalin.dll that lacks the RexxGetMorvalinFuncs
// entry, for the test of the add-on refusing to load. It offers a near name,
// so only the exact one is good enough.
#include <windows.h>

extern "C" DWORD __stdcall RexxGetMorvalinVersion(void)
{
  return 1;
}
