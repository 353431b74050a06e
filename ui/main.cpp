// Program entry: the loader is one modal dialog, and the process ends when it is closed.
#include <windows.h>

#include <commctrl.h>

#include "common/state.h"
#include "ui/loader_dialog.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    g_hInst = hInstance;
    // Registers the progress bar's class before the template needs it.
    InitCommonControls();
    // -1 when the dialog cannot be created; 0 after a normal close.
    return static_cast<int>(DialogBoxParamA(hInstance, "Main", NULL, LoaderDlgProc, 0));
}
