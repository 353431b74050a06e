// The thread that runs one upload from the dialog's fields to its final status, and the clean-up that ends it.
#pragma once

#include <windows.h>

// Sent (not posted) by a worker to g_hDlg when it has ended an upload by itself and released the
// port and the image. The dialog procedure answers it with OnUploadEnded(), so that the worker is
// marked gone on the dialog thread, where button presses are handled.
#define WM_UPLOAD_ENDED (WM_APP + 1)

// Thread procedure for CreateThread; the parameter is ignored. Returns 0 on every outcome it
// reports; when stopped the thread ends inside ReadPortByte instead.
DWORD WINAPI UploadWorker(LPVOID parameter);

// DTR off, port closed, image released; then (on the dialog thread) the worker's thread handle is
// released once the thread has ended, g_hWorker becomes INVALID_HANDLE_VALUE and the button reads
// "Upload". On the worker thread it releases what the worker holds and hands the rest to the dialog
// thread through WM_UPLOAD_ENDED. Running it again finds nothing to release.
void ResetUpload();

// The dialog procedure's answer to WM_UPLOAD_ENDED.
void OnUploadEnded();
