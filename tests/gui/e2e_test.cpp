// The real kavo-loader.exe worked from outside against the simulated board on COM1: what a person sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/gui/gui_driver.h"
#include "tests/sim_client.h"
#include "tests/transfer_support.h"
#include "ui/resources/resource.h"

namespace {

const char kResetPrompt[] = "Reset the board...";

// Pseudo-random bytes, so that a shifted or repeated block does not pass for the right one.
std::vector<unsigned char> TestImage(size_t length, unsigned seed)
{
    std::vector<unsigned char> bytes(length);
    unsigned state = seed;
    for (unsigned char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

int PaddedLength(size_t length)
{
    return static_cast<int>((length + 63) / 64 * 64);
}

// The file name field of an open-file chooser: edt1 in the old style, the edit inside cmb13 in the
// explorer style (which Wine shows for either).
HWND ChooserNameField(HWND chooser)
{
    HWND field = GetDlgItem(chooser, 0x480);
    if (field != nullptr)
        return field;
    HWND combo = GetDlgItem(chooser, 0x47C);
    if (combo == nullptr)
        return nullptr;
    HWND inner = FindWindowExA(combo, nullptr, "ComboBox", nullptr);
    return FindWindowExA(inner != nullptr ? inner : combo, nullptr, "Edit", nullptr);
}

class LoaderE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimDefaults();
        ASSERT_TRUE(StartLoader(&run));
        dlg = run.dialog;
    }

    void TearDown() override
    {
        EndLoader(&run);
        for (const std::string& path : files)
            DeleteFileA(path.c_str());
    }

    std::string ImageFile(const char* name, const std::vector<unsigned char>& bytes)
    {
        files.push_back(WriteTempFile(name, bytes));
        return files.back();
    }

    bool StatusShows(const char* text) { return ItemShown(dlg, IDC_STATUS) && ItemText(dlg, IDC_STATUS) == text; }

    // Upload pressed and the worker asking for the board's reset.
    void WaitForResetPrompt()
    {
        ASSERT_TRUE(WaitUntil([&] { return StatusShows(kResetPrompt); }))
            << "status: \"" << ItemText(dlg, IDC_STATUS) << "\"";
        EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Stop");
        EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
    }

    void WaitForDone(int padded)
    {
        ASSERT_TRUE(WaitUntil([&] { return StatusShows("Done."); }))
            << "status: \"" << ItemText(dlg, IDC_STATUS) << "\"";
        EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
        EXPECT_EQ(ProgressPosition(dlg), padded);
        EXPECT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_UPLOAD) == "Upload"; }));
    }

    void ExpectReceived(const std::vector<unsigned char>& image)
    {
        std::vector<unsigned char> wire = WireBytes(image);
        EXPECT_TRUE(SimWaitReceived(wire.size(), kWaitLimitMs));
        EXPECT_EQ(SimReceived(), wire);
    }

    LoaderRun run;
    HWND dlg = nullptr;
    std::vector<std::string> files;
};

TEST_F(LoaderE2E, StartsReadyForAFileName)
{
    EXPECT_EQ(WindowText(dlg), "KAVO Control Board Loader");
    RECT rect;
    ASSERT_TRUE(GetWindowRect(dlg, &rect));
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(ItemText(dlg, IDC_PORT), "COM1");
    EXPECT_EQ(ItemText(dlg, IDC_FILENAME), "");
    EXPECT_EQ(FocusedWindow(dlg), GetDlgItem(dlg, IDC_FILENAME));
    EXPECT_FALSE(ItemShown(dlg, IDC_STATUS));
    EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
    EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Upload");
    EXPECT_EQ(ItemText(dlg, IDC_BROWSE), "Browse...");
}

TEST_F(LoaderE2E, UploadsAnImageAndThenAnother)
{
    // Not a whole number of blocks, so the padding goes on the wire too.
    std::vector<unsigned char> image = TestImage(1000, 1);
    int padded = PaddedLength(image.size());
    // Slow answers keep the progress bar on screen long enough to be looked at.
    SimCommand("delay 100");
    SetItemText(dlg, IDC_FILENAME, ImageFile("good.bin", image).c_str());
    Click(dlg, IDC_UPLOAD);
    WaitForResetPrompt();
    Screenshot(dlg, "waiting");

    SimCommand("reset");
    ASSERT_TRUE(WaitUntil([&] { return ItemShown(dlg, IDC_PROGRESS) && ProgressPosition(dlg) > 0; }));
    EXPECT_FALSE(ItemShown(dlg, IDC_STATUS));
    EXPECT_EQ(ProgressLow(dlg), 0);
    EXPECT_EQ(ProgressHigh(dlg), padded);
    EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Stop");
    WaitForDone(padded);
    ExpectReceived(image);
    Screenshot(dlg, "done");

    // The second upload starts from "Done." and goes the same way.
    SimDefaults();
    std::vector<unsigned char> second = TestImage(130, 2);
    SetItemText(dlg, IDC_FILENAME, ImageFile("second.bin", second).c_str());
    Click(dlg, IDC_UPLOAD);
    WaitForResetPrompt();
    SimCommand("reset");
    WaitForDone(PaddedLength(second.size()));
    ExpectReceived(second);
}

struct EarlyFailure {
    const char* what;
    bool nameGiven;
    bool fileExists;
    const char* port;
    const char* message;
};

TEST_F(LoaderE2E, ReportsProblemsFoundBeforeTheTransfer)
{
    const EarlyFailure cases[] = {
        {"no file name", false, false, "COM1", "You must select a file to upload first."},
        {"a missing file", true, false, "COM1", "Can't read from the specified file."},
        {"a port that does not exist", true, true, "COM9", "Can't open the serial port."},
    };
    std::string present = ImageFile("present.bin", TestImage(100, 3));
    std::string missing = TempPath("missing.bin");
    for (const EarlyFailure& c : cases) {
        SCOPED_TRACE(c.what);
        SetItemText(dlg, IDC_FILENAME, !c.nameGiven ? "" : c.fileExists ? present.c_str() : missing.c_str());
        SetItemText(dlg, IDC_PORT, c.port);
        Click(dlg, IDC_UPLOAD);
        HWND box = WaitForBox(run, "KAVO - Error");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(BoxText(box), c.message);
        EXPECT_EQ(GetWindow(box, GW_OWNER), dlg);
        EXPECT_FALSE(IsWindowEnabled(dlg));
        EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Stop");
        // Nothing on the status line or the bar: the upload never got that far.
        EXPECT_FALSE(ItemShown(dlg, IDC_STATUS));
        EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
        ASSERT_TRUE(DismissBox(box));
        EXPECT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_UPLOAD) == "Upload" && IsWindowEnabled(dlg); }));
        EXPECT_FALSE(ItemShown(dlg, IDC_STATUS));
    }
    EXPECT_TRUE(SimReceived().empty());
}

TEST_F(LoaderE2E, ReportsABadChecksum)
{
    std::vector<unsigned char> image = TestImage(200, 4);
    SimCommand("bad-checksum 0");
    SetItemText(dlg, IDC_FILENAME, ImageFile("bad.bin", image).c_str());
    Click(dlg, IDC_UPLOAD);
    WaitForResetPrompt();
    SimCommand("reset");
    HWND box = WaitForBox(run, "KAVO Uploader - Error");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxText(box), "Checksum failed - try again");
    EXPECT_TRUE(StatusShows("Bad checksum!"));
    EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
    // The start command and the first block, and nothing after the wrong answer.
    std::vector<unsigned char> wire = WireBytes(image);
    wire.resize(2 + 64);
    EXPECT_TRUE(SimWaitReceived(wire.size(), kWaitLimitMs));
    EXPECT_EQ(SimReceived(), wire);
    ASSERT_TRUE(DismissBox(box));
    EXPECT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_UPLOAD) == "Upload"; }));
    EXPECT_TRUE(StatusShows("Bad checksum!"));
}

// Enter in the port field starts an upload, Enter again stops it, and Enter on the focused button
// starts the next one.
TEST_F(LoaderE2E, KeyboardStartsStopsAndStartsAgain)
{
    std::vector<unsigned char> image = TestImage(300, 5);
    SetItemText(dlg, IDC_FILENAME, ImageFile("keys.bin", image).c_str());
    HWND port = GetDlgItem(dlg, IDC_PORT);
    // Tab order: file name, Browse, Upload, port.
    for (int i = 0; i < 3; ++i)
        PostKey(FocusedWindow(dlg), VK_TAB);
    ASSERT_TRUE(WaitUntil([&] { return FocusedWindow(dlg) == port; }));

    PostKey(port, VK_RETURN);
    WaitForResetPrompt();
    PostKey(port, VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return StatusShows("Aborted!"); }))
        << "status: \"" << ItemText(dlg, IDC_STATUS) << "\"";
    EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Upload");
    EXPECT_TRUE(ItemEnabled(dlg, IDC_UPLOAD));
    EXPECT_EQ(FocusedWindow(dlg), GetDlgItem(dlg, IDC_UPLOAD));
    EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
    EXPECT_TRUE(SimReceived().empty());

    PostKey(GetDlgItem(dlg, IDC_UPLOAD), VK_RETURN);
    WaitForResetPrompt();
    SimCommand("reset");
    WaitForDone(PaddedLength(image.size()));
    ExpectReceived(image);
}

TEST_F(LoaderE2E, StopsDuringATransfer)
{
    // At the line's own pace this takes seconds: time enough to press Stop halfway.
    std::vector<unsigned char> image = TestImage(64 * 1024, 6);
    int padded = PaddedLength(image.size());
    SimCommand("line-rate");
    SetItemText(dlg, IDC_FILENAME, ImageFile("large.bin", image).c_str());
    Click(dlg, IDC_UPLOAD);
    WaitForResetPrompt();
    SimCommand("reset");
    ASSERT_TRUE(WaitUntil([&] { return ItemShown(dlg, IDC_PROGRESS) && ProgressPosition(dlg) >= padded / 8; }));
    Screenshot(dlg, "transfer");
    int before = ProgressPosition(dlg);
    ASSERT_LT(before, padded) << "the transfer ended before Stop could be pressed";

    Click(dlg, IDC_UPLOAD);
    ASSERT_TRUE(WaitUntil([&] { return StatusShows("Aborted!"); }))
        << "status: \"" << ItemText(dlg, IDC_STATUS) << "\"";
    EXPECT_FALSE(ItemShown(dlg, IDC_PROGRESS));
    EXPECT_EQ(ItemText(dlg, IDC_UPLOAD), "Upload");
    EXPECT_LT(ProgressPosition(dlg), padded);
    // The worker finishes the block it is writing and ends at the next checksum read: the board
    // ends up with whole blocks, at least as many as the bar showed before the press, not all.
    std::vector<unsigned char> wire = WireBytes(image);
    std::vector<unsigned char> got;
    EXPECT_TRUE(WaitUntil([&] {
        got = SimReceived();
        return got.size() >= 2 + static_cast<size_t>(before) && (got.size() - 2) % 64 == 0;
    })) << got.size() << " bytes received, " << before << " shown as sent";
    ASSERT_LT(got.size(), wire.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), wire.begin()));
}

TEST_F(LoaderE2E, EscapeLeavesTheDialogOpen)
{
    HWND name = GetDlgItem(dlg, IDC_FILENAME);
    PostKey(name, VK_ESCAPE);
    // Queued behind the Esc: once it shows, the Esc has been handled.
    PostChar(name, 'x');
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_FILENAME) == "x"; }));
    EXPECT_TRUE(IsWindowVisible(dlg));
    EXPECT_EQ(WaitForSingleObject(run.process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(LoaderE2E, ClosingDuringAnUploadEndsTheProgram)
{
    SetItemText(dlg, IDC_FILENAME, ImageFile("close.bin", TestImage(100, 7)).c_str());
    Click(dlg, IDC_UPLOAD);
    WaitForResetPrompt();
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(WaitForExit(&run, &code));
    EXPECT_EQ(code, 0u);
}

TEST_F(LoaderE2E, BrowseFillsTheFieldAndCancelKeepsIt)
{
    std::string chosen = ImageFile("chosen.bin", TestImage(64, 8));
    SetItemText(dlg, IDC_FILENAME, "typed.bin");
    PostClick(dlg, IDC_BROWSE);
    HWND chooser = WaitForBox(run, "Open");
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(GetWindow(chooser, GW_OWNER), dlg);
    PostClick(chooser, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
    EXPECT_EQ(ItemText(dlg, IDC_FILENAME), "typed.bin");

    PostClick(dlg, IDC_BROWSE);
    chooser = WaitForBox(run, "Open");
    ASSERT_NE(chooser, nullptr);
    HWND field = ChooserNameField(chooser);
    ASSERT_NE(field, nullptr);
    SetText(field, chosen.c_str());
    PostClick(chooser, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
    EXPECT_EQ(_stricmp(ItemText(dlg, IDC_FILENAME).c_str(), chosen.c_str()), 0)
        << ItemText(dlg, IDC_FILENAME) << " vs " << chosen;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kavo-gui-e2e [gtest options] KAVO-LOADER.EXE\n");
        return 2;
    }
    SetLoaderPath(argv[1]);
    return RUN_ALL_TESTS();
}
