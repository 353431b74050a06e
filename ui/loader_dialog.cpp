// The loader dialog: starts and stops upload workers, offers the file chooser, ends the program on close.
#include "ui/loader_dialog.h"

#include <commdlg.h>

#include <cstddef>

#include "common/state.h"
#include "engine/upload_worker.h"
#include "ui/resources/resource.h"
#include "ui/stop_upload.h"

#if defined(__i386__)
// OPENFILENAME_SIZE_VERSION_400A: the structure without the fields later platform versions added.
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76, "the chooser's original size");
#endif

namespace {

BOOL OnInitDialog(HWND hwnd)
{
    g_hDlg = hwnd;
    SetDlgItemTextA(hwnd, IDC_PORT, "COM1");
    // TRUE: the dialog manager puts the focus on the first tab stop, the file name field.
    return TRUE;
}

void StartUpload()
{
    SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Stop");
    // The worker's first dialog operation waits for this thread, so g_hWorker is set before the worker
    // can hand its end back through WM_UPLOAD_ENDED.
    HANDLE worker = CreateThread(NULL, 0, UploadWorker, NULL, 0, NULL);
    if (worker == NULL) {
        // No upload runs: the button and g_hWorker must say so, or the next press would try to stop it.
        MessageBoxA(g_hDlg, "Can't start the upload.", "KAVO - Error", MB_ICONERROR);
        SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Upload");
        return;
    }
    g_hWorker = worker;
}

BOOL OnCommand(WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDC_UPLOAD:
        OnUploadPressed();
        break;
    case IDC_BROWSE:
        BrowseForImage();
        break;
    default:
        // IDCANCEL from Esc among them: only WM_CLOSE ends the dialog.
        break;
    }
    return TRUE;
}

} // namespace

void OnUploadPressed()
{
    if (g_hWorker == INVALID_HANDLE_VALUE) {
        StartUpload();
        return;
    }
    StopUpload();
    g_hWorker = INVALID_HANDLE_VALUE;
    SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Upload");
}

void BrowseForImage()
{
    char path[256] = "";
    OPENFILENAMEA chooser;
    ZeroMemory(&chooser, sizeof chooser);
    chooser.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    chooser.hwndOwner = g_hDlg;
    chooser.hInstance = g_hInst;
    chooser.lpstrFilter = "Binaries (*.bin)\0*.bin\0\0";
    chooser.lpstrFile = path;
    chooser.nMaxFile = sizeof path;
    if (GetOpenFileNameA(&chooser))
        SetDlgItemTextA(g_hDlg, IDC_FILENAME, path);
}

INT_PTR CALLBACK LoaderDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(hwnd);
    case WM_CLOSE:
        // Also while an upload runs: the worker ends with the process.
        EndDialog(hwnd, 0);
        return TRUE;
    case WM_COMMAND:
        return OnCommand(wParam);
    case WM_UPLOAD_ENDED:
        OnUploadEnded();
        return TRUE;
    default:
        return FALSE;
    }
}
