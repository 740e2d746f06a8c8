// dialog.cpp -- the confirmation dialog's procedure: set-up, OK, Cancel, close.
#include "uninstall.h"

// The progress bar counts the two uninstall stages: the add-on file, then
// the self-removal batch.
static const int PROGRESS_STAGES = 2;

static void SetUpDialog(HWND window)
{
    HICON icon = LoadIconA(g_module, MAKEINTRESOURCEA(ICON_UNINSTALL));
    if (icon)
        SetClassLongPtrA(window, GCLP_HICON, (LONG_PTR)icon);  // SetClassLongA in a 32-bit image

    // The dialog has a fixed size: its system menu offers neither.
    HMENU menu = GetSystemMenu(window, FALSE);
    if (menu) {
        DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
        DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    }

    SendDlgItemMessageA(window, CONTROL_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_STAGES));
    SendDlgItemMessageA(window, CONTROL_PROGRESS, PBM_SETSTEP, 1, 0);
}

INT_PTR CALLBACK UninstallDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetUpDialog(window);
        return TRUE;  // the dialog manager focuses the first tab stop, OK

    case WM_COMMAND:
        // Only clicks (and Enter or Esc through IsDialogMessageA) act; other
        // button notifications carry a nonzero code in the high word.
        if (HIWORD(wParam) == BN_CLICKED) {
            if (LOWORD(wParam) == IDOK) {
                RunUninstall();
                DestroyWindow(window);
            } else if (LOWORD(wParam) == IDCANCEL) {
                DestroyWindow(window);
            }
        }
        return FALSE;

    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;

    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}
