// Runs one upload on its own thread, so that the dialog stays free for Stop and Close meanwhile.
#include "engine/upload_worker.h"

#include <commctrl.h>

#include "common/state.h"
#include "engine/image.h"
#include "engine/protocol.h"
#include "serial/serial_port.h"
#include "ui/resources/resource.h"

namespace {

// Found when the worker starts; the progress hooks of the transfer have no other way to reach them.
// Every call on them from this thread is a message sent to the dialog thread, which carries it out
// before the call returns.
HWND s_hStatus = nullptr;
HWND s_hProgress = nullptr;

void ShowTransferStarted(int32_t paddedLength)
{
    SendMessageA(s_hProgress, PBM_SETRANGE32, 0, paddedLength);
    SendMessageA(s_hProgress, PBM_SETPOS, 0, 0);
    ShowWindow(s_hStatus, SW_HIDE);
    ShowWindow(s_hProgress, SW_SHOW);
}

void ShowBlockSent(int32_t offset)
{
    SendMessageA(s_hProgress, PBM_SETPOS, offset, 0);
}

void ShowFinalStatus(const char* text)
{
    ShowWindow(s_hProgress, SW_HIDE);
    ShowWindow(s_hStatus, SW_SHOW);
    SetWindowTextA(s_hStatus, text);
}

void ShowFailure(UploadOutcome outcome)
{
    MessageBoxA(g_hDlg, OutcomeMessage(outcome), OutcomeCaption(outcome), MB_ICONERROR);
}

// Loads, opens, prompts and transfers; an early failure returns before the status line is touched.
UploadOutcome RunUpload()
{
    char fileName[256];
    GetDlgItemTextA(g_hDlg, IDC_FILENAME, fileName, sizeof fileName);
    FirmwareImage image;
    UploadOutcome failure;
    if (!LoadFirmwareImage(fileName, &image, &failure))
        return failure;

    // Read only now: the file has been loaded and closed.
    char portName[16];
    GetDlgItemTextA(g_hDlg, IDC_PORT, portName, sizeof portName);
    if (!OpenSerialPort(portName))
        return PortNotOpened;
    RaiseDtr();
    SetWindowTextA(s_hStatus, "Reset the board...");
    ShowWindow(s_hStatus, SW_SHOW);

    return RunTransfer(image.paddedLength, ShowTransferStarted, ShowBlockSent);
}

} // namespace

DWORD WINAPI UploadWorker(LPVOID)
{
    g_pImage = nullptr;
    s_hStatus = GetDlgItem(g_hDlg, IDC_STATUS);
    s_hProgress = GetDlgItem(g_hDlg, IDC_PROGRESS);

    UploadOutcome outcome = RunUpload();
    switch (outcome) {
    case Completed:
        ShowFinalStatus("Done.");
        break;
    case ChecksumMismatch:
        // The port stays open with DTR raised until the box is dismissed.
        ShowFinalStatus("Bad checksum!");
        ShowFailure(outcome);
        break;
    default:
        ShowFailure(outcome);
        break;
    }
    ResetUpload();
    return 0;
}

void ResetUpload()
{
    DropDtr();
    CloseSerialPort();
    ReleaseFirmwareImage();

    // g_hWorker and the button belong to the dialog thread, where presses are handled: a worker
    // hands them over and waits until the dialog has taken them.
    if (GetWindowThreadProcessId(g_hDlg, nullptr) != GetCurrentThreadId()) {
        SendMessageA(g_hDlg, WM_UPLOAD_ENDED, 0, 0);
        return;
    }
    if (g_hWorker != INVALID_HANDLE_VALUE) {
        // The worker has ended or is just returning from its last message.
        WaitForSingleObject(g_hWorker, 1000);
        CloseHandle(g_hWorker);
        g_hWorker = INVALID_HANDLE_VALUE;
    }
    SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Upload");
}

void OnUploadEnded()
{
    // Lets the worker return from its message, so that the wait in ResetUpload sees it end.
    ReplyMessage(0);
    ResetUpload();
}
