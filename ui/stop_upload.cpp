// The Stop button: the one place where the dialog thread waits for the worker, and gives up if it must.
#include "ui/stop_upload.h"

#include <windows.h>

#include "common/state.h"
#include "engine/upload_worker.h"
#include "ui/resources/resource.h"

namespace {

enum WorkerEnd { EndedWhenAsked, EndedByItself, StillRunning };

// One wait of timeoutMs in all. The worker's dialog operations are messages sent to this thread,
// so they are carried out meanwhile or the worker could never reach the read that ends it; posted
// messages (user input) stay queued. MWMO_INPUTAVAILABLE: a message already pending when the wait
// starts wakes it too, even if the queue has been looked at since it arrived.
WorkerEnd WaitForWorker(HANDLE hWorker, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD remaining = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
        DWORD result = MsgWaitForMultipleObjectsEx(1, &hWorker, remaining, QS_SENDMESSAGE,
                                                    MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0)
            return EndedWhenAsked;
        if (result != WAIT_OBJECT_0 + 1)
            return StillRunning;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        // Its WM_UPLOAD_ENDED was among them: it has ended and its handle is already released.
        if (g_hWorker == INVALID_HANDLE_VALUE)
            return EndedByItself;
        if (remaining == 0)
            return StillRunning;
    }
}

} // namespace

void StopUpload()
{
    HWND hStatus = GetDlgItem(g_hDlg, IDC_STATUS);
    HWND hProgress = GetDlgItem(g_hDlg, IDC_PROGRESS);
    HWND hButton = GetDlgItem(g_hDlg, IDC_UPLOAD);
    HANDLE hWorker = g_hWorker;

    // A worker on its way to an error box may still end by itself, having set no status of its own:
    // the status line then goes back to what it showed before.
    char previousText[64];
    GetWindowTextA(hStatus, previousText, sizeof previousText);
    bool previousShown = (GetWindowLongA(hStatus, GWL_STYLE) & WS_VISIBLE) != 0;

    WorkerEnd end = EndedByItself;
    if (hWorker != INVALID_HANDLE_VALUE) {
        SetWindowTextA(hStatus, "Stopping...");
        ShowWindow(hStatus, SW_SHOW);
        ShowWindow(hProgress, SW_HIDE);
        EnableWindow(hButton, FALSE);
        g_bAbort = 1;
        end = WaitForWorker(hWorker, 1000);
        if (end == StillRunning) {
            MessageBoxA(g_hDlg, "Uploader thread failed to terminate - Tell Zuldo and restart the program.",
                        "KAVO Uploader - Oops", MB_ICONERROR);
            ExitProcess(0);
        }
    }

    g_bAbort = 0;
    EnableWindow(hButton, TRUE);
    ResetUpload();
    if (end == EndedWhenAsked) {
        SetWindowTextA(hStatus, "Aborted!");
    } else if (hWorker != INVALID_HANDLE_VALUE) {
        // It finished on its own during the wait: "Done." or "Bad checksum!" say what happened.
        char text[64];
        GetWindowTextA(hStatus, text, sizeof text);
        if (lstrcmpA(text, "Stopping...") == 0) {
            SetWindowTextA(hStatus, previousText);
            ShowWindow(hStatus, previousShown ? SW_SHOW : SW_HIDE);
        }
    }
    SetFocus(hButton);
}
