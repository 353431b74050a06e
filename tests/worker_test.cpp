// Drives the upload worker and the Stop button on a window laid out like the loader dialog, against the simulated board.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/state.h"
#include "engine/upload_worker.h"
#include "tests/sim_client.h"
#include "ui/resources/resource.h"
#include "ui/stop_upload.h"

namespace {

constexpr DWORD kLimitMs = 20000;
const char* const kOopsCaption = "KAVO Uploader - Oops";
const char* const kOopsText = "Uploader thread failed to terminate - Tell Zuldo and restart the program.";

// ---- The stand-in dialog: the same controls and the same answers to a press and to WM_UPLOAD_ENDED.

void PressUpload()
{
    if (g_hWorker != INVALID_HANDLE_VALUE) {
        StopUpload();
        g_hWorker = INVALID_HANDLE_VALUE;
        SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Upload");
        return;
    }
    SetDlgItemTextA(g_hDlg, IDC_UPLOAD, "Stop");
    g_hWorker = CreateThread(nullptr, 0, UploadWorker, nullptr, 0, nullptr);
}

LRESULT CALLBACK TestDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_UPLOAD_ENDED:
        OnUploadEnded();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_UPLOAD) {
            PressUpload();
            return 0;
        }
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void AddControl(HWND parent, const char* cls, const char* text, DWORD style, int id, int y)
{
    CreateWindowExA(0, cls, text, WS_CHILD | style, 10, y, 300, 22, parent,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
}

HWND CreateTestDialog()
{
    static bool registered = false;
    if (!registered) {
        InitCommonControls();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = TestDialogProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = "KavoWorkerTestDialog";
        registered = RegisterClassA(&wc) != 0;
    }
    HWND dlg = CreateWindowExA(0, "KavoWorkerTestDialog", "KAVO worker test", WS_OVERLAPPEDWINDOW, 50, 50,
                               340, 220, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (dlg == nullptr)
        return nullptr;
    AddControl(dlg, "EDIT", "", WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, IDC_FILENAME, 10);
    AddControl(dlg, "EDIT", "COM1", WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, IDC_PORT, 40);
    AddControl(dlg, "BUTTON", "Upload", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDC_UPLOAD, 70);
    AddControl(dlg, "STATIC", "", 0, IDC_STATUS, 100);
    AddControl(dlg, PROGRESS_CLASSA, "", 0, IDC_PROGRESS, 130);
    ShowWindow(dlg, SW_SHOW);
    SetForegroundWindow(dlg);
    g_hDlg = dlg;
    return dlg;
}

// ---- Reading the dialog and waiting on it.

// Runs the dialog thread's messages until done() holds; false after limitMs.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs = kLimitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done())
            return true;
        if (GetTickCount() - start > limitMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

HWND Control(int id) { return GetDlgItem(g_hDlg, id); }

std::string Text(int id)
{
    char text[300] = "";
    GetDlgItemTextA(g_hDlg, id, text, sizeof text);
    return text;
}

bool Shown(int id) { return (GetWindowLongA(Control(id), GWL_STYLE) & WS_VISIBLE) != 0; }

int ProgressPos() { return static_cast<int>(SendMessageA(Control(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }

PBRANGE ProgressRange()
{
    PBRANGE range = {};
    SendMessageA(Control(IDC_PROGRESS), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    return range;
}

bool Waiting() { return Text(IDC_STATUS) == "Reset the board..." && Shown(IDC_STATUS); }
bool NoWorker() { return g_hWorker == INVALID_HANDLE_VALUE; }

// ---- Message boxes, of this process only (a child process may show its own).

HWND FindBox(const char* caption, DWORD process = GetCurrentProcessId())
{
    HWND box = nullptr;
    while ((box = FindWindowExA(nullptr, box, "#32770", caption)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        if (owner == process)
            return box;
    }
    return nullptr;
}

std::string BoxText(HWND box)
{
    char text[300] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

void DismissBox(HWND box) { PostMessageA(box, WM_COMMAND, IDOK, 0); }

// An unintended fatal stop would end the process with exit code 0, a silent pass: end it with 1 instead.
DWORD WINAPI WatchForOops(LPVOID)
{
    for (;;) {
        if (FindBox(kOopsCaption) != nullptr) {
            std::fprintf(stderr, "FATAL: the stop gave up on the worker (\"%s\" box)\n", kOopsCaption);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 1);
        }
        Sleep(20);
    }
}

// ---- Images.

std::vector<unsigned char> MakeImage(size_t length, unsigned seed)
{
    std::vector<unsigned char> image(length);
    for (size_t i = 0; i < length; ++i)
        image[i] = static_cast<unsigned char>(i * 7 + seed * 31 + (i >> 8));
    return image;
}

std::vector<unsigned char> Padded(std::vector<unsigned char> image)
{
    image.resize((image.size() + 63) / 64 * 64, 0);
    return image;
}

std::vector<unsigned char> StartCommandAnd(const std::vector<unsigned char>& bytes)
{
    std::vector<unsigned char> sent(2 + bytes.size());
    sent[0] = 'H';
    sent[1] = 0x01;
    std::copy(bytes.begin(), bytes.end(), sent.begin() + 2);
    return sent;
}

std::string TempPath(const char* name)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + "kavo-worker-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

// A handle to the running worker that outlives g_hWorker, to see it end and to check that its own
// handle was released.
struct WorkerWatch {
    HANDLE original = INVALID_HANDLE_VALUE;
    HANDLE copy = nullptr;
};

WorkerWatch Watch()
{
    WorkerWatch watch;
    watch.original = g_hWorker;
    DuplicateHandle(GetCurrentProcess(), g_hWorker, GetCurrentProcess(), &watch.copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return watch;
}

// The worker ended with exit code 0 and nothing holds its handle but the copy.
void ExpectEndedAndReleased(WorkerWatch& watch)
{
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(watch.original, &flags)) << "the worker's handle was not closed";
    ASSERT_NE(watch.copy, nullptr);
    EXPECT_EQ(WaitForSingleObject(watch.copy, 5000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(watch.copy, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(watch.copy);
    watch.copy = nullptr;
}

// After every kind of end: nothing held, button back, no stop pending.
void ExpectIdle()
{
    EXPECT_EQ(g_hWorker, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_pImage, nullptr);
    EXPECT_EQ(g_bAbort.load(), 0);
    EXPECT_EQ(Text(IDC_UPLOAD), "Upload");
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_UPLOAD)));
}

class WorkerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static HANDLE watcher = CreateThread(nullptr, 0, WatchForOops, nullptr, 0, nullptr);
        (void)watcher;
    }

    void SetUp() override
    {
        SimDefaults();
        ASSERT_NE(CreateTestDialog(), nullptr) << "no window: is there an X display?";
        SetDlgItemTextA(g_hDlg, IDC_PORT, SimPort());
        SetFocus(Control(IDC_FILENAME));
    }

    void TearDown() override
    {
        // A failed test may leave a worker behind: let it end without the fatal path.
        PumpUntil([] {
            for (const char* caption : {"KAVO - Error", "KAVO Uploader - Error"})
                if (HWND box = FindBox(caption))
                    DismissBox(box);
            return NoWorker();
        }, 3000);
        if (!NoWorker()) {
            HANDLE worker = g_hWorker;
            g_bAbort = 1;
            PumpUntil([worker] { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0 || NoWorker(); });
            g_bAbort = 0;
            ResetUpload();
        }
        DestroyWindow(g_hDlg);
        g_hDlg = nullptr;
        for (const std::string& path : files_)
            DeleteFileA(path.c_str());
    }

    // Writes image to a fresh file and puts its name in the file name field.
    void UseImage(const std::vector<unsigned char>& image)
    {
        std::string path = TempPath((std::to_string(files_.size()) + ".bin").c_str());
        files_.push_back(path);
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr) << path;
        if (!image.empty())
            std::fwrite(image.data(), 1, image.size(), file);
        std::fclose(file);
        SetDlgItemTextA(g_hDlg, IDC_FILENAME, path.c_str());
    }

    // Upload pressed; returns once the worker prompts for the board's reset.
    WorkerWatch StartAndWaitForBoard()
    {
        PressUpload();
        WorkerWatch watch = Watch();
        EXPECT_EQ(Text(IDC_UPLOAD), "Stop");
        EXPECT_TRUE(PumpUntil(Waiting)) << "status: " << Text(IDC_STATUS);
        return watch;
    }

    // A whole upload of image that the board confirms.
    void UploadToDone(const std::vector<unsigned char>& image)
    {
        UseImage(image);
        WorkerWatch watch = StartAndWaitForBoard();
        EXPECT_NE(g_hPort, INVALID_HANDLE_VALUE);
        SimCommand("reset");
        ASSERT_TRUE(PumpUntil(NoWorker)) << "status: " << Text(IDC_STATUS);
        ExpectEndedAndReleased(watch);

        std::vector<unsigned char> padded = Padded(image);
        EXPECT_EQ(Text(IDC_STATUS), "Done.");
        EXPECT_TRUE(Shown(IDC_STATUS));
        EXPECT_FALSE(Shown(IDC_PROGRESS));
        PBRANGE range = ProgressRange();
        EXPECT_EQ(range.iLow, 0);
        EXPECT_EQ(range.iHigh, static_cast<int>(padded.size()));
        EXPECT_EQ(ProgressPos(), static_cast<int>(padded.size()));
        ExpectIdle();
        EXPECT_TRUE(SimWaitReceived(2 + padded.size(), kLimitMs));
        EXPECT_EQ(SimReceived(), StartCommandAnd(padded));
    }

    std::vector<std::string> files_;
};

// ---- Uploads that end by themselves.

class CompletedUpload : public WorkerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(CompletedUpload, ShowsDoneAndReleasesEverything)
{
    UploadToDone(MakeImage(GetParam(), 1));
}

// Empty, one partial block, several blocks ending in a partial one.
INSTANTIATE_TEST_SUITE_P(FileLengths, CompletedUpload, ::testing::Values(0, 1, 200));

TEST_F(WorkerTest, SecondUploadShowsDoneUntilThePrompt)
{
    ASSERT_NO_FATAL_FAILURE(UploadToDone(MakeImage(130, 2)));
    SimDefaults();
    std::vector<unsigned char> second = MakeImage(300, 3);
    UseImage(second);

    PressUpload();
    WorkerWatch watch = Watch();
    // The worker's status change needs this thread: until it pumps, the old status stands.
    EXPECT_EQ(Text(IDC_STATUS), "Done.");
    ASSERT_TRUE(PumpUntil(Waiting));
    SimCommand("reset");
    ASSERT_TRUE(PumpUntil(NoWorker));
    ExpectEndedAndReleased(watch);
    EXPECT_EQ(Text(IDC_STATUS), "Done.");
    ExpectIdle();
    EXPECT_TRUE(SimWaitReceived(2 + Padded(second).size(), kLimitMs));
    EXPECT_EQ(SimReceived(), StartCommandAnd(Padded(second)));
}

enum FileField { EmptyName, MissingFile, GoodFile };

struct EarlyFailure {
    const char* name;
    FileField file;
    const char* port;  // null: the simulator's
    bool imageHeldInBox;
    const char* text;
};

void PrintTo(const EarlyFailure& c, std::ostream* os) { *os << c.name; }

class EarlyFailureTest : public WorkerTest, public ::testing::WithParamInterface<EarlyFailure> {};

TEST_P(EarlyFailureTest, ShowsItsBoxAndLeavesTheStatus)
{
    const EarlyFailure& c = GetParam();
    if (c.file == GoodFile)
        UseImage(MakeImage(100, 4));
    else if (c.file == MissingFile)
        SetDlgItemTextA(g_hDlg, IDC_FILENAME, TempPath("missing.bin").c_str());
    if (c.port != nullptr)
        SetDlgItemTextA(g_hDlg, IDC_PORT, c.port);
    // What a previous upload left.
    SetDlgItemTextA(g_hDlg, IDC_STATUS, "Aborted!");
    ShowWindow(Control(IDC_STATUS), SW_SHOW);

    PressUpload();
    WorkerWatch watch = Watch();
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindBox("KAVO - Error")) != nullptr; }));
    EXPECT_EQ(BoxText(box), c.text);
    EXPECT_EQ(g_hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_pImage != nullptr, c.imageHeldInBox);
    EXPECT_EQ(Text(IDC_UPLOAD), "Stop");

    DismissBox(box);
    ASSERT_TRUE(PumpUntil(NoWorker));
    ExpectEndedAndReleased(watch);
    EXPECT_EQ(FindBox("KAVO - Error"), nullptr);
    EXPECT_EQ(Text(IDC_STATUS), "Aborted!");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_FALSE(Shown(IDC_PROGRESS));
    ExpectIdle();
    EXPECT_TRUE(SimReceived().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, EarlyFailureTest,
    ::testing::Values(
        EarlyFailure{"EmptyFileName", EmptyName, nullptr, false, "You must select a file to upload first."},
        EarlyFailure{"UnreadableFile", MissingFile, nullptr, false, "Can't read from the specified file."},
        EarlyFailure{"NonexistentPort", GoodFile, "COM9", true, "Can't open the serial port."}),
    [](const ::testing::TestParamInfo<EarlyFailure>& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, MismatchHoldsThePortUntilTheBoxIsDismissed)
{
    std::vector<unsigned char> image = MakeImage(200, 5);
    UseImage(image);
    SimCommand("bad-checksum 0");
    WorkerWatch watch = StartAndWaitForBoard();
    SimCommand("reset");

    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindBox("KAVO Uploader - Error")) != nullptr; }));
    EXPECT_EQ(BoxText(box), "Checksum failed - try again");
    EXPECT_EQ(Text(IDC_STATUS), "Bad checksum!");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_FALSE(Shown(IDC_PROGRESS));
    EXPECT_NE(g_hPort, INVALID_HANDLE_VALUE);
    EXPECT_NE(g_pImage, nullptr);
    EXPECT_NE(g_hWorker, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SimWaitReceived(2 + 64, kLimitMs));
    EXPECT_EQ(SimReceived(), StartCommandAnd(std::vector<unsigned char>(image.begin(), image.begin() + 64)));

    DismissBox(box);
    ASSERT_TRUE(PumpUntil(NoWorker));
    ExpectEndedAndReleased(watch);
    EXPECT_EQ(Text(IDC_STATUS), "Bad checksum!");
    ExpectIdle();
}

// ---- Stopping.

void ExpectAborted()
{
    EXPECT_EQ(Text(IDC_STATUS), "Aborted!");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_FALSE(Shown(IDC_PROGRESS));
    EXPECT_EQ(GetFocus(), Control(IDC_UPLOAD));
    ExpectIdle();
}

TEST_F(WorkerTest, StopWhileWaitingForTheBoardThenUploadAgain)
{
    std::vector<unsigned char> image = MakeImage(150, 6);
    UseImage(image);
    WorkerWatch watch = StartAndWaitForBoard();

    PressUpload();
    ExpectAborted();
    ExpectEndedAndReleased(watch);
    EXPECT_TRUE(SimReceived().empty());

    ASSERT_NO_FATAL_FAILURE(UploadToDone(image));
}

TEST_F(WorkerTest, StopRightAfterUploadWhileLoading)
{
    UseImage(MakeImage(150, 7));
    // No message runs in between: the worker's field reads and the prompt happen inside the stop's wait.
    PressUpload();
    WorkerWatch watch = Watch();
    PressUpload();
    ExpectAborted();
    ExpectEndedAndReleased(watch);
    EXPECT_TRUE(SimReceived().empty());
}

struct SlowBoard {
    const char* name;
    const char* command;
    size_t length;
};

void PrintTo(const SlowBoard& c, std::ostream* os) { *os << c.name; }

class StopDuringTransfer : public WorkerTest, public ::testing::WithParamInterface<SlowBoard> {};

TEST_P(StopDuringTransfer, EndsAfterTheBlockBeingWritten)
{
    const SlowBoard& c = GetParam();
    std::vector<unsigned char> image = MakeImage(c.length, 8);
    UseImage(image);
    SimCommand(c.command);
    WorkerWatch watch = StartAndWaitForBoard();
    SimCommand("reset");
    ASSERT_TRUE(PumpUntil([] { return Shown(IDC_PROGRESS) && ProgressPos() >= 2 * 64; }));

    PressUpload();
    ExpectAborted();
    ExpectEndedAndReleased(watch);
    // The bar stopped where the last block written was counted.
    int sent = ProgressPos();
    EXPECT_EQ(sent % 64, 0);
    EXPECT_GE(sent, 2 * 64);
    EXPECT_LT(sent, static_cast<int>(image.size()));
    EXPECT_TRUE(SimWaitReceived(2 + sent, kLimitMs));
    EXPECT_EQ(SimReceived(), StartCommandAnd(std::vector<unsigned char>(image.begin(), image.begin() + sent)));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, StopDuringTransfer,
    ::testing::Values(SlowBoard{"SlowAnswers", "delay 20", 64 * 256}, SlowBoard{"LineRate", "line-rate", 64 * 1024}),
    [](const ::testing::TestParamInfo<SlowBoard>& info) { return std::string(info.param.name); });

// ---- A press that meets the natural end: the worker has read its last byte and is held in one of its
// final dialog operations, sent to this thread, when Stop is handled.

struct PressPoint {
    const char* name;
    int control;
    UINT message;
};

WNDPROC s_original = nullptr;
PressPoint s_point = {};
bool s_armed = false;
bool s_pressed = false;
bool s_workerHeld = false;
size_t s_padded = 0;

bool IsPressPoint(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!s_armed || GetDlgCtrlID(hwnd) != s_point.control || message != s_point.message)
        return false;
    if (message == PBM_SETPOS)
        return wParam == s_padded;
    return message == WM_SETTEXT && lstrcmpA(reinterpret_cast<const char*>(lParam), "Done.") == 0;
}

void PrintTo(const PressPoint& c, std::ostream* os) { *os << c.name; }

// At the press point: let the worker go on, wait until its next operation is pending here, press.
LRESULT CALLBACK PressAtPointProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsPressPoint(hwnd, message, wParam, lParam))
        return CallWindowProcA(s_original, hwnd, message, wParam, lParam);
    s_armed = false;
    LRESULT result = CallWindowProcA(s_original, hwnd, message, wParam, lParam);
    ReplyMessage(result);
    DWORD start = GetTickCount();
    while (!(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) && GetTickCount() - start < kLimitMs)
        Sleep(1);
    s_workerHeld = (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
    PressUpload();
    s_pressed = true;
    return result;
}

class PressAtNaturalEnd : public WorkerTest, public ::testing::WithParamInterface<PressPoint> {};

TEST_P(PressAtNaturalEnd, KeepsDone)
{
    std::vector<unsigned char> image = MakeImage(100, 9);
    s_padded = Padded(image).size();
    s_point = GetParam();
    s_armed = true;
    s_pressed = false;
    s_workerHeld = false;
    HWND hooked = Control(s_point.control);
    s_original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hooked, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PressAtPointProc)));

    UseImage(image);
    WorkerWatch watch = StartAndWaitForBoard();
    SimCommand("reset");
    ASSERT_TRUE(PumpUntil([] { return s_pressed; }));
    EXPECT_TRUE(s_workerHeld) << "the worker's next operation never came";
    EXPECT_TRUE(NoWorker());
    ExpectEndedAndReleased(watch);
    EXPECT_EQ(Text(IDC_STATUS), "Done.");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_FALSE(Shown(IDC_PROGRESS));
    EXPECT_EQ(GetFocus(), Control(IDC_UPLOAD));
    ExpectIdle();
    EXPECT_TRUE(SimWaitReceived(2 + s_padded, kLimitMs));
    EXPECT_EQ(SimReceived(), StartCommandAnd(Padded(image)));
    SetWindowLongPtrA(hooked, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(s_original));
}

INSTANTIATE_TEST_SUITE_P(
    Points, PressAtNaturalEnd,
    ::testing::Values(
        // Last checksum read, about to hide the bar and show "Done."
        PressPoint{"BeforeFinalStatus", IDC_PROGRESS, PBM_SETPOS},
        // "Done." shown, about to hand the end over with WM_UPLOAD_ENDED.
        PressPoint{"BeforeUploadEnded", IDC_STATUS, WM_SETTEXT}),
    [](const ::testing::TestParamInfo<PressPoint>& info) { return std::string(info.param.name); });

// ---- The fatal path: a worker held in its error box cannot end; the stop gives up and ends the process.
// Run in a child copy of this program, since it ends the process it runs in.

const char* const kFatalReportVar = "KAVO_WORKER_FATAL_REPORT";

DWORD WINAPI ReportAndDismissOops(LPVOID)
{
    HWND box = nullptr;
    while ((box = FindBox(kOopsCaption)) == nullptr)
        Sleep(10);
    char path[MAX_PATH] = "";
    GetEnvironmentVariableA(kFatalReportVar, path, sizeof path);
    if (FILE* report = std::fopen(path, "w")) {
        std::fputs(BoxText(box).c_str(), report);
        std::fclose(report);
    }
    DismissBox(box);
    return 0;
}

TEST(FatalStopChild, DISABLED_Run)
{
    ASSERT_NE(CreateTestDialog(), nullptr);
    PressUpload();  // empty file name: the worker stops in its error box
    ASSERT_TRUE(PumpUntil([] { return FindBox("KAVO - Error") != nullptr; }));
    CreateThread(nullptr, 0, ReportAndDismissOops, nullptr, 0, nullptr);
    // The press that was already queued when the box came up.
    StopUpload();
    ADD_FAILURE() << "StopUpload returned although the worker could not end";
}

TEST(FatalStop, ShowsOopsThenExitsWithZero)
{
    std::string report = TempPath("fatal.txt");
    DeleteFileA(report.c_str());
    SetEnvironmentVariableA(kFatalReportVar, report.c_str());
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string command =
        std::string("\"") + exe + "\" --gtest_filter=FatalStopChild.DISABLED_Run --gtest_also_run_disabled_tests";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &child));
    CloseHandle(child.hThread);
    DWORD waited = WaitForSingleObject(child.hProcess, 60000);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(child.hProcess, 2);
    DWORD code = 99;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the child did not end";
    EXPECT_EQ(code, 0u);

    std::string shown;
    if (FILE* file = std::fopen(report.c_str(), "r")) {
        char text[300] = "";
        if (std::fgets(text, sizeof text, file) != nullptr)
            shown = text;
        std::fclose(file);
    }
    DeleteFileA(report.c_str());
    EXPECT_EQ(shown, kOopsText);
}

} // namespace
