// The loader's dialog template as compiled into kavo-loader.exe, and the dialog procedure run in-process.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/state.h"
#include "ui/loader_dialog.h"
#include "ui/resources/resource.h"

namespace {

std::string g_loaderPath;

// ---- Reading a classic dialog template ----

struct TemplateText {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::string text;
};

struct TemplateItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    TemplateText windowClass;
    TemplateText title;
    WORD extraBytes = 0;
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    TemplateText menu;
    TemplateText windowClass;
    std::string title;
    WORD pointSize = 0;
    std::string fontName;
    std::vector<TemplateItem> items;
    size_t bytesRead = 0;
};

struct Reader {
    const unsigned char* data;
    size_t size;
    size_t at = 0;
    bool failed = false;

    WORD Word()
    {
        if (at + 2 > size) {
            failed = true;
            return 0;
        }
        WORD value = static_cast<WORD>(data[at] | data[at + 1] << 8);
        at += 2;
        return value;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | static_cast<DWORD>(Word()) << 16;
    }
    short Short() { return static_cast<short>(Word()); }
    // UTF-16 up to its NUL; the texts here are all ASCII.
    std::string String()
    {
        std::string text;
        for (WORD c = Word(); c != 0 && !failed; c = Word())
            text += c < 0x80 ? static_cast<char>(c) : '?';
        return text;
    }
    TemplateText StringOrOrdinal()
    {
        TemplateText result;
        if (at + 2 <= size && data[at] == 0xFF && data[at + 1] == 0xFF) {
            Word();
            result.isOrdinal = true;
            result.ordinal = Word();
        } else {
            result.text = String();
        }
        return result;
    }
    void AlignToDword() { at = (at + 3) & ~static_cast<size_t>(3); }
};

DialogTemplate ReadTemplate(const void* data, size_t size)
{
    Reader r{static_cast<const unsigned char*>(data), size};
    DialogTemplate t;
    t.style = r.Dword();
    t.exStyle = r.Dword();
    WORD count = r.Word();
    t.x = r.Short();
    t.y = r.Short();
    t.cx = r.Short();
    t.cy = r.Short();
    t.menu = r.StringOrOrdinal();
    t.windowClass = r.StringOrOrdinal();
    t.title = r.String();
    if (t.style & DS_SETFONT) {
        t.pointSize = r.Word();
        t.fontName = r.String();
    }
    for (WORD i = 0; i < count && !r.failed; ++i) {
        r.AlignToDword();
        TemplateItem item;
        item.style = r.Dword();
        item.exStyle = r.Dword();
        item.x = r.Short();
        item.y = r.Short();
        item.cx = r.Short();
        item.cy = r.Short();
        item.id = r.Word();
        item.windowClass = r.StringOrOrdinal();
        item.title = r.StringOrOrdinal();
        item.extraBytes = r.Word();
        r.at += item.extraBytes;
        t.items.push_back(item);
    }
    t.bytesRead = r.failed ? 0 : r.at;
    return t;
}

// Styles read best in hex when they differ.
std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// ---- The template as the program is known by ----

constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kNoClass = 0;

struct ExpectedItem {
    WORD id;
    WORD classOrdinal; // kNoClass: named by className
    const char* className;
    const char* text;
    short x, y, cx, cy;
    DWORD style;
};

const ExpectedItem kExpectedItems[] = {
    {IDC_FILENAME, kEdit, "", "", 40, 10, 160, 14, 0x50810080},
    {IDC_BROWSE, kButton, "", "Browse...", 205, 10, 50, 14, 0x50010000},
    {IDC_UPLOAD, kButton, "", "Upload", 270, 10, 50, 14, 0x50010001},
    {0xFFFF, kStatic, "", "Filename:", 5, 10, 31, 13, 0x50020200},
    {IDC_STATUS, kStatic, "", "", 5, 55, 315, 15, 0x40020200},
    {IDC_PROGRESS, kNoClass, "msctls_progress32", "Progress1", 5, 56, 315, 14, 0x40800000},
    {0xFFFF, kStatic, "", "Serial port:", 5, 35, 34, 10, 0x50020200},
    {IDC_PORT, kEdit, "", "", 40, 33, 40, 14, 0x50810080},
};

BOOL CALLBACK CollectType(HMODULE, LPSTR type, LONG_PTR list)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR list)
{
    auto* names = reinterpret_cast<std::vector<std::string>*>(list);
    names->push_back(IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)) : name);
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

class LoaderResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        program = LoadLibraryExA(g_loaderPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(program, nullptr) << "cannot load " << g_loaderPath << " (error " << GetLastError() << ")";
    }
    void TearDown() override
    {
        if (program != nullptr)
            FreeLibrary(program);
    }
    HMODULE program = nullptr;
};

TEST_F(LoaderResources, TheDialogTemplateIsTheOnlyResource)
{
    std::vector<ULONG_PTR> types;
    EnumResourceTypesA(program, CollectType, reinterpret_cast<LONG_PTR>(&types));
    EXPECT_EQ(types, std::vector<ULONG_PTR>{5}) << "resource types other than RT_DIALOG";
    std::vector<std::string> names;
    EnumResourceNamesA(program, RT_DIALOG, CollectName, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<std::string>{"MAIN"});
    std::vector<WORD> languages;
    EnumResourceLanguagesA(program, RT_DIALOG, "MAIN", CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)});
}

TEST_F(LoaderResources, TheTemplateIsTheLoaderDialog)
{
    // Looked up as WinMain names it: resource names match without regard to case.
    HRSRC found = FindResourceA(program, "Main", RT_DIALOG);
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(program, found);
    ASSERT_NE(loaded, nullptr);
    const void* bytes = LockResource(loaded);
    size_t size = SizeofResource(program, found);
    ASSERT_GE(size, 4u);
    // A classic template, not DLGTEMPLATEEX (which starts with 1, 0xFFFF).
    ASSERT_NE(*static_cast<const DWORD*>(bytes), 0xFFFF0001u);

    DialogTemplate t = ReadTemplate(bytes, size);
    ASSERT_EQ(t.bytesRead, size) << "the template does not end where its last item does";
    EXPECT_EQ(Hex(t.style), "0x90CA00C0");
    EXPECT_EQ(t.style, static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                          DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 327);
    EXPECT_EQ(t.cy, 76);
    EXPECT_FALSE(t.menu.isOrdinal);
    EXPECT_EQ(t.menu.text, "");
    EXPECT_FALSE(t.windowClass.isOrdinal);
    EXPECT_EQ(t.windowClass.text, "");
    EXPECT_EQ(t.title, "KAVO Control Board Loader");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.fontName, "MS Sans Serif");

    ASSERT_EQ(t.items.size(), std::size(kExpectedItems));
    for (size_t i = 0; i < t.items.size(); ++i) {
        const TemplateItem& got = t.items[i];
        const ExpectedItem& want = kExpectedItems[i];
        SCOPED_TRACE("control " + std::to_string(i + 1) + " \"" + want.text + "\"");
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.windowClass.isOrdinal, want.classOrdinal != kNoClass);
        EXPECT_EQ(got.windowClass.ordinal, want.classOrdinal);
        EXPECT_EQ(got.windowClass.text, want.className);
        EXPECT_FALSE(got.title.isOrdinal);
        EXPECT_EQ(got.title.text, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(Hex(got.style), Hex(want.style));
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.extraBytes, 0);
    }
}

// ---- The dialog procedure in this process, on a dialog made from the same template ----

// Every CreateThread call of this program goes through its import slot, which is defined here
// (so the import library's own is not linked) and can be told to refuse.
typedef HANDLE(WINAPI* CreateThreadCall)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                          LPDWORD);
std::atomic<bool> g_refuseThreads{false};
std::atomic<int> g_threadsRefused{0};

HANDLE WINAPI CreateThreadOrRefuse(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                   LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (g_refuseThreads) {
        ++g_threadsRefused;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    static CreateThreadCall real = reinterpret_cast<CreateThreadCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread")));
    return real(security, stack, start, parameter, flags, id);
}

} // namespace

#if defined(__x86_64__)
extern "C" CreateThreadCall kavoCreateThreadSlot __asm__("__imp_CreateThread");
#else
extern "C" CreateThreadCall kavoCreateThreadSlot __asm__("__imp__CreateThread@24");
#endif
CreateThreadCall kavoCreateThreadSlot = CreateThreadOrRefuse;

namespace {

constexpr unsigned kLimitMs = 20000;

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = kLimitMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

// Handles this thread's messages (the worker's dialog operations among them) until condition holds.
bool PumpUntil(const std::function<bool()>& condition, unsigned timeoutMs = kLimitMs)
{
    return WaitUntil([&] {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return condition();
    }, timeoutMs);
}

std::string Text(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct SeenBox {
    std::string text;
    HWND owner = nullptr;
};

// On another thread: waits for a message box with this caption, notes it and presses its OK button.
std::thread DismissBoxLater(const char* caption, SeenBox* seen)
{
    return std::thread([caption, seen] {
        HWND box = nullptr;
        WaitUntil([&] {
            box = FindWindowA("#32770", caption);
            return box != nullptr && IsWindowVisible(box);
        });
        if (box == nullptr)
            return;
        seen->text = Text(GetDlgItem(box, 0xFFFF));
        seen->owner = GetWindow(box, GW_OWNER);
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    });
}

class LoaderDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_hInst = GetModuleHandleA(nullptr);
        InitCommonControls();
        dlg = CreateDialogParamA(g_hInst, "Main", nullptr, LoaderDlgProc, 0);
        ASSERT_NE(dlg, nullptr);
        button = GetDlgItem(dlg, IDC_UPLOAD);
    }
    void TearDown() override
    {
        g_refuseThreads = false;
        if (dlg != nullptr)
            DestroyWindow(dlg);
    }
    HWND dlg = nullptr;
    HWND button = nullptr;
};

TEST_F(LoaderDialog, AWorkerThatCannotStartIsReportedAndNothingRuns)
{
    EXPECT_EQ(g_hDlg, dlg);
    SeenBox seen;
    std::thread dismisser = DismissBoxLater("KAVO - Error", &seen);
    g_threadsRefused = 0;
    g_refuseThreads = true;
    SendMessageA(button, BM_CLICK, 0, 0);
    g_refuseThreads = false;
    dismisser.join();
    EXPECT_EQ(g_threadsRefused, 1);
    EXPECT_EQ(seen.text, "Can't start the upload.");
    EXPECT_EQ(seen.owner, dlg);
    EXPECT_EQ(Text(button), "Upload");
    EXPECT_EQ(g_hWorker, INVALID_HANDLE_VALUE);

    // So the next press starts an upload instead of trying to stop one: here a real worker, which
    // finds no file name.
    seen = SeenBox{};
    dismisser = DismissBoxLater("KAVO - Error", &seen);
    SendMessageA(button, BM_CLICK, 0, 0);
    EXPECT_NE(g_hWorker, INVALID_HANDLE_VALUE);
    EXPECT_NE(g_hWorker, nullptr);
    EXPECT_EQ(Text(button), "Stop");
    EXPECT_TRUE(PumpUntil([&] { return g_hWorker == INVALID_HANDLE_VALUE; }));
    dismisser.join();
    EXPECT_EQ(seen.text, "You must select a file to upload first.");
    EXPECT_EQ(Text(button), "Upload");
}

struct Handling {
    const char* what;
    UINT message;
    WPARAM wParam;
    INT_PTR result;
    bool stillShown;
};

TEST_F(LoaderDialog, AnswersWhatItHandles)
{
    const Handling cases[] = {
        {"Esc", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), TRUE, true},
        {"Enter without a default", WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), TRUE, true},
        {"a field's notification", WM_COMMAND, MAKEWPARAM(IDC_PORT, EN_CHANGE), TRUE, true},
        {"a message of no interest", WM_USER + 7, 0, FALSE, true},
        {"close", WM_CLOSE, 0, TRUE, false},
    };
    for (const Handling& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(LoaderDlgProc(dlg, c.message, c.wParam, 0), c.result);
        EXPECT_EQ(IsWindowVisible(dlg) != FALSE, c.stillShown);
        EXPECT_EQ(Text(button), "Upload");
        EXPECT_EQ(g_hWorker, INVALID_HANDLE_VALUE);
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kavo-gui-dialog-test [gtest options] KAVO-LOADER.EXE\n");
        return 2;
    }
    g_loaderPath = argv[1];
    if (g_loaderPath[0] == '/')
        g_loaderPath = "Z:" + g_loaderPath;
    return RUN_ALL_TESTS();
}
