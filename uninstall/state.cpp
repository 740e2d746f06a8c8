// state.cpp -- the uninstaller's two process-wide values.
#include "uninstall.h"

HINSTANCE g_module = nullptr;
HWND g_dialog = nullptr;
