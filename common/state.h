// The few process-wide variables that the dialog, the engine and the serial link share.
#pragma once

#include <atomic>

#ifdef _WIN32
#include <windows.h>
typedef HANDLE PortHandle;
#define NO_PORT INVALID_HANDLE_VALUE
#else
typedef int PortHandle;
#define NO_PORT (-1)
#endif

// The open serial port, or NO_PORT. Only the serial link writes it.
extern PortHandle g_hPort;

// 1 while a stop has been asked for and the worker has not yet been seen to end.
// Written by the thread that stops an upload, read afresh at every check by ReadPortByte.
extern std::atomic<int> g_bAbort;

// The image of the running upload (padded to whole blocks), or null.
extern unsigned char* g_pImage;

#ifdef _WIN32
extern HINSTANCE g_hInst;
// The dialog: owner of every message box and parent of every control.
extern HWND g_hDlg;
// The running upload worker, or INVALID_HANDLE_VALUE (not null) when none runs.
extern HANDLE g_hWorker;
#endif
