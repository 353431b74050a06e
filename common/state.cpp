// Storage for the process-wide variables, with their starting values.
#include "common/state.h"

PortHandle g_hPort = NO_PORT;
std::atomic<int> g_bAbort{0};
unsigned char* g_pImage = nullptr;

#ifdef _WIN32
HINSTANCE g_hInst = nullptr;
HWND g_hDlg = nullptr;
HANDLE g_hWorker = INVALID_HANDLE_VALUE;
#endif
