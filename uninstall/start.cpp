// start.cpp -- the program's entry point: common controls, the modeless
// dialog and its message loop. Every path leaves through ExitProcess(0).
#include "uninstall.h"

static const char WINDOW_TITLE[] = "Uninstall Tarvune Add-on Library";

// There is no C runtime to call us with arguments or to realign the stack:
// the loader jumps here directly, and the process ends in ExitProcess.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void UninstallStart()
{
    g_module = GetModuleHandleA(nullptr);

    // Registers "msctls_progress32" before the dialog template names it.
    InitCommonControls();

    g_dialog = CreateDialogParamA(g_module, MAKEINTRESOURCEA(DIALOG_UNINSTALL), nullptr,
                                  UninstallDialogProc, 0);
    if (!g_dialog) {
        // A dialog that failed half-way was destroyed, and its WM_DESTROY
        // posted the quit message; the box would take that as its own end
        // and vanish unseen.
        MSG quit;
        PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        MessageBoxA(nullptr, "Can't create window!", "Error during uninstall:", MB_ICONWARNING | MB_OK);
        ExitProcess(0);
    }
    SetWindowTextA(g_dialog, WINDOW_TITLE);
    ShowWindow(g_dialog, SW_SHOWDEFAULT);
    UpdateWindow(g_dialog);

    // IsDialogMessageA gives the dialog its keyboard: Tab, Enter as OK, Esc
    // as Cancel. Nothing here needs character messages, so no translation.
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) == 1) {
        if (!IsDialogMessageA(g_dialog, &message))
            DispatchMessageA(&message);
    }
    ExitProcess(0);
}
