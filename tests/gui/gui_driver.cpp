// Outside view of the loader program: its process, its dialog's controls, its message boxes, screenshots.
#include "tests/gui/gui_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ui/resources/resource.h"

namespace {

const char kDialogCaption[] = "KAVO Control Board Loader";
// Each cross-process message gets this long before the dialog counts as hung.
constexpr UINT kSendLimitMs = 10000;

std::string g_loaderPath;

// Wine programs see the unix file system as drive Z:.
std::string WindowsPath(const char* path)
{
    std::string result = path;
    if (!result.empty() && result[0] == '/')
        result = "Z:" + result;
    return result;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendLimitMs, &result))
        ADD_FAILURE() << "message " << message << " was not answered within " << kSendLimitMs << " ms";
    return static_cast<LRESULT>(result);
}

DWORD ProcessOf(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

HWND FindTopLevel(DWORD pid, const char* className, const char* caption)
{
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, className, caption)) != nullptr) {
        if (ProcessOf(window) == pid)
            return window;
    }
    return nullptr;
}

void CloseHandles(LoaderRun* run)
{
    CloseHandle(run->process.hThread);
    CloseHandle(run->process.hProcess);
    run->process = PROCESS_INFORMATION{};
    run->dialog = nullptr;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True once neither the window nor any of its children waits to be painted.
bool Painted(HWND window)
{
    if (GetUpdateRect(window, nullptr, FALSE))
        return false;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetUpdateRect(child, nullptr, FALSE))
            return false;
    }
    return true;
}

} // namespace

void SetLoaderPath(const char* path)
{
    g_loaderPath = WindowsPath(path);
}

bool StartLoader(LoaderRun* run)
{
    std::string commandLine = "\"" + g_loaderPath + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(g_loaderPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &run->process)) {
        ADD_FAILURE() << "cannot start " << g_loaderPath << " (error " << GetLastError() << ")";
        return false;
    }
    DWORD pid = run->process.dwProcessId;
    WaitUntil([&] {
        run->dialog = FindTopLevel(pid, nullptr, kDialogCaption);
        return run->dialog != nullptr && IsWindowVisible(run->dialog);
    });
    if (run->dialog == nullptr) {
        ADD_FAILURE() << "the dialog did not appear within " << kWaitLimitMs << " ms";
        EndLoader(run);
        return false;
    }
    return true;
}

void EndLoader(LoaderRun* run)
{
    if (run->process.hProcess == nullptr)
        return;
    if (WaitForSingleObject(run->process.hProcess, 0) == WAIT_TIMEOUT && run->dialog != nullptr) {
        PostMessageA(run->dialog, WM_CLOSE, 0, 0);
        WaitForSingleObject(run->process.hProcess, kWaitLimitMs);
    }
    if (WaitForSingleObject(run->process.hProcess, 0) == WAIT_TIMEOUT) {
        ADD_FAILURE() << "the program did not end by itself: ended by force";
        TerminateProcess(run->process.hProcess, 1);
        WaitForSingleObject(run->process.hProcess, kWaitLimitMs);
    }
    CloseHandles(run);
}

bool WaitForExit(LoaderRun* run, DWORD* exitCode, unsigned timeoutMs)
{
    if (WaitForSingleObject(run->process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(run->process.hProcess, exitCode);
    CloseHandles(run);
    return true;
}

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
}

std::string WindowText(HWND window)
{
    char text[512] = "";
    Send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

void SetText(HWND field, const char* text)
{
    Send(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void SetItemText(HWND dialog, int id, const char* text)
{
    SetText(GetDlgItem(dialog, id), text);
}

bool ItemShown(HWND dialog, int id)
{
    return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE;
}

bool ItemEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void Click(HWND dialog, int id)
{
    Send(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PostClick(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PostKey(HWND control, WPARAM virtualKey)
{
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(static_cast<UINT>(virtualKey), MAPVK_VK_TO_VSC)) << 16;
    PostMessageA(control, WM_KEYDOWN, virtualKey, scan | 1);
    PostMessageA(control, WM_KEYUP, virtualKey, scan | 1 | (1u << 30) | (1u << 31));
}

void PostChar(HWND control, char c)
{
    PostMessageA(control, WM_CHAR, static_cast<unsigned char>(c), 1);
}

HWND FocusedWindow(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

int ProgressPosition(HWND dialog)
{
    return static_cast<int>(Send(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

int ProgressLow(HWND dialog)
{
    return static_cast<int>(Send(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETRANGE, TRUE, 0));
}

int ProgressHigh(HWND dialog)
{
    return static_cast<int>(Send(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
}

HWND FindBox(const LoaderRun& run, const char* caption)
{
    return FindTopLevel(run.process.dwProcessId, "#32770", caption);
}

HWND WaitForBox(const LoaderRun& run, const char* caption)
{
    HWND box = nullptr;
    WaitUntil([&] {
        box = FindBox(run, caption);
        return box != nullptr && IsWindowVisible(box);
    });
    return box;
}

std::string BoxText(HWND box)
{
    // The message text of a message box is its static control 0xFFFF.
    return ItemText(box, 0xFFFF);
}

bool DismissBox(HWND box)
{
    PostClick(box, IDOK);
    return WaitUntil([&] { return !IsWindow(box); });
}

void Screenshot(HWND window, const char* name)
{
    const char* dir = std::getenv("KAVO_SCREENSHOTS");
    if (dir == nullptr || *dir == '\0')
        return;
    // What the dialog thread has been asked to show must be on the screen before the shot.
    EXPECT_TRUE(WaitUntil([&] { return Painted(window); })) << "the window was not painted for " << name;
    RECT rect;
    GetWindowRect(window, &rect);
    std::string base = WindowsPath(dir) + "/" + name;
    std::string picture = base + ".png";
    std::string request = base + ".req";
    DeleteFileA(picture.c_str());
    std::string draft = request + ".tmp";
    FILE* f = std::fopen(draft.c_str(), "wb");
    ASSERT_NE(f, nullptr) << "cannot write " << draft;
    std::fprintf(f, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    std::fclose(f);
    // Renamed into place, so the server never reads half a request.
    ASSERT_TRUE(MoveFileExA(draft.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(picture) && !FileExists(request); }))
        << "no screenshot " << picture << ": is the screenshot server of with-xvfb.sh running?";
}

std::string TempPath(const char* name)
{
    char dir[MAX_PATH] = "";
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + "kavo-e2e-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::string WriteTempFile(const char* name, const std::vector<unsigned char>& bytes)
{
    std::string path = TempPath(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot write " << path;
        return path;
    }
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}
