// Works the real loader program from outside, as a person at its window would, for the end-to-end tests.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Generous for a slow machine: every wait is a poll for a condition up to this limit.
constexpr unsigned kWaitLimitMs = 20000;

struct LoaderRun {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;
};

// The program under test; set once from the command line (a unix path becomes a Z: path).
void SetLoaderPath(const char* path);

// Starts the program and waits for its dialog; false (with the process ended) when it does not appear.
bool StartLoader(LoaderRun* run);

// Closes the dialog and waits for the process; ends it by force when it does not go. Safe to repeat.
void EndLoader(LoaderRun* run);

// Waits for the process to end by itself; false after timeoutMs.
bool WaitForExit(LoaderRun* run, DWORD* exitCode, unsigned timeoutMs = kWaitLimitMs);

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = kWaitLimitMs);

std::string WindowText(HWND window);
std::string ItemText(HWND dialog, int id);
// Types into a field at once, as WM_SETTEXT does.
void SetText(HWND field, const char* text);
void SetItemText(HWND dialog, int id, const char* text);
bool ItemShown(HWND dialog, int id);
bool ItemEnabled(HWND dialog, int id);

// A click that returns once the dialog has handled it.
void Click(HWND dialog, int id);
// A click that is only queued: for buttons that open something modal on the dialog's thread.
void PostClick(HWND dialog, int id);
// A key pressed and released on a control, through the dialog's own message loop.
void PostKey(HWND control, WPARAM virtualKey);
// A character typed into a control, queued behind the keys posted before it.
void PostChar(HWND control, char c);

// The control that has the keyboard focus on the dialog's thread, or null.
HWND FocusedWindow(HWND dialog);

int ProgressPosition(HWND dialog);
int ProgressLow(HWND dialog);
int ProgressHigh(HWND dialog);

// A message box of this program with the given caption, or null.
HWND FindBox(const LoaderRun& run, const char* caption);
// Waits for one; null after the limit.
HWND WaitForBox(const LoaderRun& run, const char* caption);
std::string BoxText(HWND box);
// Presses its OK button and waits for it to go.
bool DismissBox(HWND box);

// With KAVO_SCREENSHOTS set, has the window's current look saved as NAME.png there (by the
// screenshot server that tests/gui/with-xvfb.sh runs) and waits until it is; otherwise does nothing.
void Screenshot(HWND window, const char* name);

// A file under the temporary folder with these bytes; its path.
std::string WriteTempFile(const char* name, const std::vector<unsigned char>& bytes);
std::string TempPath(const char* name);
