// Runs the real kavo-upload program against the simulated board and checks its bytes on the wire, texts and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim_client.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#ifndef KAVO_VERSION
#define KAVO_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The program under test, from the command line.
std::string g_uploader;

// Generous for a slow, loaded 2-core machine (and Wine's start-up).
constexpr unsigned CHILD_LIMIT_MS = 60000;

// ---- The uploader as a child process, its stdout and stderr read through pipes. ----

struct Child {
#ifdef _WIN32
    HANDLE process = nullptr;
    HANDLE outPipe = nullptr;
    HANDLE errPipe = nullptr;
#else
    pid_t pid = -1;
    int outPipe = -1;
    int errPipe = -1;
#endif
    bool running = false;
    int status = -1; // exit code; 128 + signal when killed by one
    std::string out;
    std::string err;
};

#ifdef _WIN32

std::string QuoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

bool StartChild(const std::vector<std::string>& args, Child* child)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    if (!CreatePipe(&child->outPipe, &outWrite, &inherit, 0) || !CreatePipe(&child->errPipe, &errWrite, &inherit, 0))
        return false;
    SetHandleInformation(child->outPipe, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child->errPipe, HANDLE_FLAG_INHERIT, 0);
    std::string commandLine = QuoteArgument(g_uploader);
    for (const std::string& arg : args)
        commandLine += " " + QuoteArgument(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    BOOL created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!created)
        return false;
    CloseHandle(info.hThread);
    child->process = info.hProcess;
    child->running = true;
    return true;
}

void Drain(HANDLE pipe, std::string* text)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD count = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &count, nullptr)
            || count == 0)
            return;
        text->append(buffer, count);
    }
}

// Reads what has arrived and notices the end of the child; never blocks.
void PumpChild(Child* child)
{
    if (!child->running)
        return;
    bool ended = WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0;
    Drain(child->outPipe, &child->out);
    Drain(child->errPipe, &child->err);
    if (!ended)
        return;
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    child->status = static_cast<int>(code);
    child->running = false;
}

void EndChild(Child* child)
{
    if (child->running) {
        TerminateProcess(child->process, 1);
        WaitForSingleObject(child->process, 10000);
        child->running = false;
    }
    for (HANDLE* handle : {&child->process, &child->outPipe, &child->errPipe}) {
        if (*handle != nullptr)
            CloseHandle(*handle);
        *handle = nullptr;
    }
}

#else

bool StartChild(const std::vector<std::string>& args, Child* child)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // A test run in the background inherits SIGINT ignored; the uploader must see it as a terminal user would.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(g_uploader.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int spawned = posix_spawn(&child->pid, g_uploader.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    child->outPipe = out[0];
    child->errPipe = err[0];
    child->running = true;
    return true;
}

void Drain(int fd, std::string* text)
{
    char buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0)
        text->append(buffer, static_cast<size_t>(count));
}

// Reads what has arrived and notices the end of the child; never blocks.
void PumpChild(Child* child)
{
    if (!child->running)
        return;
    int wstatus = 0;
    bool ended = waitpid(child->pid, &wstatus, WNOHANG) == child->pid;
    // After the end the write sides are closed, so this reads everything that is left.
    Drain(child->outPipe, &child->out);
    Drain(child->errPipe, &child->err);
    if (!ended)
        return;
    child->status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    child->running = false;
}

void EndChild(Child* child)
{
    if (child->running) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, nullptr, 0);
        child->running = false;
    }
    for (int* fd : {&child->outPipe, &child->errPipe}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

#endif

// True once text is in the child's stdout or stderr; false when the child ended or the time ran out first.
bool WaitForText(Child* child, const char* text, unsigned timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        PumpChild(child);
        if (child->out.find(text) != std::string::npos || child->err.find(text) != std::string::npos)
            return true;
        if (!child->running || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitForExit(Child* child, unsigned timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        PumpChild(child);
        if (!child->running)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The lines of a captured stream, without the carriage returns a Windows console program adds.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

bool HasLine(const std::string& text, const std::string& wanted)
{
    for (const std::string& line : Lines(text)) {
        if (line == wanted)
            return true;
    }
    return false;
}

std::string Transcript(const Child& child)
{
    return "\n--- stdout ---\n" + child.out + "--- stderr ---\n" + child.err + "--- exit " +
           std::to_string(child.status) + (child.running ? " (still running)" : "") + " ---";
}

// ---- Images and what the board must receive for them. ----

// Every byte value, the line-control characters a cooked tty would eat or translate (CR, LF,
// XON, XOFF, ^C, ^Z, DEL) in runs and pairs, the sync pair itself, then pseudo-random bytes.
std::vector<unsigned char> MakeImage(size_t length)
{
    std::vector<unsigned char> image;
    for (int value = 0; value < 256; ++value)
        image.push_back(static_cast<unsigned char>(value));
    const unsigned char specials[] = {0x0D, 0x0A, 0x0D, 0x0D, 0x0A, 0x0A, 0x11, 0x13, 0x11, 0x13, 0x03,
                                      0x1A, 0x7F, 0xFF, 0x00, 0x54, 0x31, 0x48, 0x01, 0x1B, 0x04, 0x1C};
    image.insert(image.end(), std::begin(specials), std::end(specials));
    for (int value = 255; value >= 0; --value)
        image.push_back(static_cast<unsigned char>(value));
    unsigned state = 12345;
    while (image.size() < length) {
        state = state * 1103515245u + 12345u;
        image.push_back(static_cast<unsigned char>(state >> 16));
    }
    image.resize(length);
    return image;
}

// 'H' 0x01, then the image padded with zeros to whole 64-byte blocks.
std::vector<unsigned char> WireBytes(const std::vector<unsigned char>& image)
{
    std::vector<unsigned char> wire(2 + (image.size() + 63) / 64 * 64, 0x00);
    wire[0] = 0x48;
    wire[1] = 0x01;
    std::copy(image.begin(), image.end(), wire.begin() + 2);
    return wire;
}

std::string Describe(const std::vector<unsigned char>& bytes)
{
    char text[64];
    std::snprintf(text, sizeof text, "%zu bytes", bytes.size());
    return text;
}

// Index of the first difference, for a readable failure.
size_t FirstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
{
    size_t index = 0;
    while (index < a.size() && index < b.size() && a[index] == b[index])
        ++index;
    return index;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimDefaults();
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name) {
            if (c == '/')
                c = '-';
        }
#ifdef _WIN32
        name += "-" + std::to_string(GetCurrentProcessId());
#else
        name += "-" + std::to_string(getpid());
#endif
        scratch = std::filesystem::temp_directory_path() / ("kavo-cli-" + name);
        std::filesystem::create_directories(scratch);
    }

    void TearDown() override
    {
        EndChild(&child);
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    }

    std::string WriteImage(const std::vector<unsigned char>& bytes)
    {
        std::filesystem::path path = scratch / "image.bin";
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.close();
        return path.string();
    }

    void Start(const std::vector<std::string>& args)
    {
        ASSERT_TRUE(StartChild(args, &child)) << "cannot start " << g_uploader;
    }

    // Presses reset on the board once the uploader asks for it, as a technician would.
    void ResetWhenAsked()
    {
        ASSERT_TRUE(WaitForText(&child, "Reset the board...", CHILD_LIMIT_MS)) << Transcript(child);
        SimCommand("reset");
    }

    void Finish()
    {
        ASSERT_TRUE(WaitForExit(&child, CHILD_LIMIT_MS)) << "kavo-upload did not end" << Transcript(child);
    }

    std::filesystem::path scratch;
    Child child;
};

// ---- Uploads that succeed. ----

struct SuccessCase {
    const char* name;
    size_t length;
    std::vector<std::string> options;
};

class CliUpload : public CliTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(CliUpload, SendsStartCommandAndPaddedImageRawAndSaysDone)
{
    const SuccessCase& param = GetParam();
    std::vector<unsigned char> image = MakeImage(param.length);
    std::vector<std::string> args = param.options;
    args.insert(args.end(), {"--port", SimPort(), WriteImage(image)});
    Start(args);
    ResetWhenAsked();
    Finish();

    EXPECT_EQ(child.status, 0) << Transcript(child);
    std::vector<std::string> out = Lines(child.out);
    ASSERT_FALSE(out.empty()) << Transcript(child);
    EXPECT_EQ(out.front(), "Reset the board...") << Transcript(child);
    EXPECT_EQ(out.back().rfind("Done.", 0), 0u) << Transcript(child);
    // Not a terminal: plain lines, and only a handful of them.
    EXPECT_LE(out.size(), 15u) << Transcript(child);
    EXPECT_EQ(child.out.find('\r' + std::string("[")), std::string::npos) << Transcript(child);
    EXPECT_EQ(child.err, "") << Transcript(child);

    std::vector<unsigned char> wanted = WireBytes(image);
    std::vector<unsigned char> received = SimReceived();
    EXPECT_EQ(received, wanted) << "received " << Describe(received) << ", wanted " << Describe(wanted)
                                << ", first difference at " << FirstDifference(received, wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Images, CliUpload,
    ::testing::Values(SuccessCase{"TwoThousandBytes", 2000, {}},
                      SuccessCase{"WholeBlocksWithSyncTimeout", 1024, {"--sync-timeout", "120"}},
                      SuccessCase{"OneByte", 1, {}}, SuccessCase{"EmptyFile", 0, {}}),
    [](const ::testing::TestParamInfo<SuccessCase>& info) { return std::string(info.param.name); });

// The board's announcement may already be waiting in the port when the uploader opens it; it still counts.
TEST_F(CliTest, QuietUploadPrintsNothingAndSucceeds)
{
    std::vector<unsigned char> image = MakeImage(700);
    SimCommand("reset");
    Start({"--quiet", "--port", SimPort(), WriteImage(image)});
    Finish();

    EXPECT_EQ(child.status, 0) << Transcript(child);
    EXPECT_EQ(child.out, "") << Transcript(child);
    EXPECT_EQ(child.err, "") << Transcript(child);
    EXPECT_EQ(SimReceived(), WireBytes(image));
}

// ---- Refusals before anything is sent. ----

struct RefusalCase {
    const char* name;
    std::vector<std::string> args; // $PORT, $IMAGE, $DIR stand for the sim's port, a good image, a directory
    int status;
    const char* text; // a whole line of stderr, or (when it ends in ':') the start of one
};

class CliRefusal : public CliTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CliRefusal, ExitsWithItsStatusAndSendsNothing)
{
    const RefusalCase& param = GetParam();
    std::string imagePath = WriteImage(MakeImage(300));
    std::vector<std::string> args;
    for (const std::string& arg : param.args) {
        if (arg == "$PORT")
            args.push_back(SimPort());
        else if (arg == "$IMAGE")
            args.push_back(imagePath);
        else if (arg == "$DIR")
            args.push_back(scratch.string());
        else
            args.push_back(arg);
    }
    // A board that is ready at once: whatever the uploader might wrongly send would be recorded.
    SimCommand("reset");
    Start(args);
    Finish();

    EXPECT_EQ(child.status, param.status) << Transcript(child);
    std::string text = param.text;
    bool found = false;
    for (const std::string& line : Lines(child.err))
        found = found || (text.back() == ':' ? line.rfind(text, 0) == 0 : line == text);
    EXPECT_TRUE(found) << "no stderr line \"" << text << "\"" << Transcript(child);
    EXPECT_EQ(child.out.find("Reset the board..."), std::string::npos) << Transcript(child);
    EXPECT_TRUE(SimReceived().empty());
}

#ifdef _WIN32
constexpr const char* MISSING_PORT = "COM9";
constexpr const char* MISSING_FILE = "C:/no/such/dir/image.bin";
#else
constexpr const char* MISSING_PORT = "/dev/kavo-no-such-port";
constexpr const char* MISSING_FILE = "/no/such/dir/image.bin";
#endif

INSTANTIATE_TEST_SUITE_P(
    Cases, CliRefusal,
    ::testing::Values(
        RefusalCase{"NoFile", {"--port", "$PORT"}, 1, "Usage:"},
        RefusalCase{"EmptyFile", {"--port", "$PORT", ""}, 1, "Usage:"},
        RefusalCase{"NoPort", {"$IMAGE"}, 1, "Usage:"},
        RefusalCase{"PortWithoutValue", {"$IMAGE", "--port"}, 1, "kavo-upload: --port needs a value"},
        RefusalCase{"UnknownOption", {"--port", "$PORT", "--fast", "$IMAGE"}, 1, "Usage:"},
        RefusalCase{"TwoFiles", {"--port", "$PORT", "$IMAGE", "$IMAGE"}, 1, "Usage:"},
        RefusalCase{"BadSyncTimeout", {"--sync-timeout", "soon", "--port", "$PORT", "$IMAGE"}, 1, "Usage:"},
        RefusalCase{"ZeroSyncTimeout", {"--sync-timeout", "0", "--port", "$PORT", "$IMAGE"}, 1, "Usage:"},
        RefusalCase{"MissingFile", {"--port", "$PORT", MISSING_FILE}, 2, "Can't read from the specified file."},
        RefusalCase{"DirectoryAsFile", {"--port", "$PORT", "$DIR"}, 2, "Can't read from the specified file."},
        RefusalCase{"MissingPort", {"--port", MISSING_PORT, "$IMAGE"}, 3, "Can't open the serial port."},
        RefusalCase{"OrdinaryFileAsPort", {"--port", "$IMAGE", "$IMAGE"}, 3, "Can't open the serial port."}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// ---- A block the board disagrees with. ----

class CliChecksum : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliChecksum, StopsAfterTheBadBlockWithStatusFour)
{
    const int badBlock = GetParam();
    std::vector<unsigned char> image = MakeImage(2000); // 32 blocks, the last one padded
    SimCommand(("bad-checksum " + std::to_string(badBlock)).c_str());
    Start({"--port", SimPort(), WriteImage(image)});
    ResetWhenAsked();
    Finish();

    EXPECT_EQ(child.status, 4) << Transcript(child);
    EXPECT_TRUE(HasLine(child.err, "Checksum failed - try again")) << Transcript(child);
    EXPECT_EQ(child.out.find("Done."), std::string::npos) << Transcript(child);
    // Exactly the start command and blocks 0 .. badBlock: nothing after the disagreement.
    std::vector<unsigned char> wanted = WireBytes(image);
    wanted.resize(2 + 64 * static_cast<size_t>(badBlock + 1));
    std::vector<unsigned char> received = SimReceived();
    EXPECT_EQ(received, wanted) << "received " << Describe(received) << ", wanted " << Describe(wanted)
                                << ", first difference at " << FirstDifference(received, wanted);
}

INSTANTIATE_TEST_SUITE_P(Blocks, CliChecksum, ::testing::Values(0, 5, 31));

// ---- A board that never gets in step. ----

struct SyncCase {
    const char* name;
    const char* board; // simulator command before the upload, or null
    bool pressReset;
};

class CliSyncTimeout : public CliTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(CliSyncTimeout, GivesUpWithStatusFiveAndSendsNothing)
{
    const SyncCase& param = GetParam();
    if (param.board != nullptr)
        SimCommand(param.board);
    Start({"--sync-timeout", "1.5", "--port", SimPort(), WriteImage(MakeImage(500))});
    ASSERT_TRUE(WaitForText(&child, "Reset the board...", CHILD_LIMIT_MS)) << Transcript(child);
    Clock::time_point prompted = Clock::now();
    if (param.pressReset)
        SimCommand("reset");
    Finish();
    double waited = std::chrono::duration<double>(Clock::now() - prompted).count();

    EXPECT_EQ(child.status, 5) << Transcript(child);
    EXPECT_TRUE(HasLine(child.err, "The board did not answer within 1.5 s.")) << Transcript(child);
    // The limit is a promise not to give up sooner.
    EXPECT_GE(waited, 1.4) << Transcript(child);
    EXPECT_TRUE(SimReceived().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Boards, CliSyncTimeout,
    ::testing::Values(SyncCase{"NeverReset", nullptr, false}, SyncCase{"SilentLoader", "no-announce", true},
                      SyncCase{"DoubledT", "announce 54 54 31", true}),
    [](const ::testing::TestParamInfo<SyncCase>& info) { return std::string(info.param.name); });

// ---- Informational options. ----

TEST_F(CliTest, HelpDocumentsEveryExitStatus)
{
    Start({"--help"});
    Finish();
    EXPECT_EQ(child.status, 0) << Transcript(child);
    for (const char* status : {"    0  ", "    1  ", "    2  ", "    3  ", "    4  ", "    5  ", "  130  "}) {
        bool listed = false;
        for (const std::string& line : Lines(child.out))
            listed = listed || line.rfind(status, 0) == 0;
        EXPECT_TRUE(listed) << "exit status \"" << status << "\" not documented" << Transcript(child);
    }
    EXPECT_NE(child.out.find("--sync-timeout SECONDS"), std::string::npos) << Transcript(child);
}

TEST_F(CliTest, VersionIsTheProjectVersion)
{
    Start({"--version"});
    Finish();
    EXPECT_EQ(child.status, 0) << Transcript(child);
    EXPECT_EQ(Lines(child.out), std::vector<std::string>{"kavo-upload " KAVO_VERSION}) << Transcript(child);
}

TEST_F(CliTest, ListPortsNamesOnlySerialPorts)
{
    Start({"--list-ports"});
    Finish();
    EXPECT_EQ(child.status, 0) << Transcript(child);
    for (const std::string& line : Lines(child.out)) {
#ifdef _WIN32
        EXPECT_TRUE(line.rfind("COM", 0) == 0 || line.rfind("\\\\.\\COM", 0) == 0) << line;
#else
        EXPECT_EQ(line.rfind("/dev/tty", 0), 0u) << line;
        EXPECT_TRUE(std::filesystem::is_character_file(line)) << line;
#endif
    }
#ifdef _WIN32
    // The simulator's board is on COM1.
    EXPECT_TRUE(HasLine(child.out, "COM1")) << Transcript(child);
#else
    // A pseudo-terminal, like the simulator's, is not a serial port.
    EXPECT_FALSE(HasLine(child.out, SimPort())) << Transcript(child);
#endif
}

// ---- Stopping with Ctrl-C or SIGTERM (signals: native only). ----

#ifndef _WIN32

struct StopCase {
    const char* name;
    int signal;
    bool midTransfer;
};

class CliStop : public CliTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CliStop, StopsWithinASecondAndExits130)
{
    const StopCase& param = GetParam();
    std::vector<unsigned char> image = MakeImage(64 * 300);
    std::vector<unsigned char> wire = WireBytes(image);
    if (param.midTransfer)
        SimCommand("delay 20"); // about 6 s for the whole image: plenty of time to stop it halfway
    Start({"--port", SimPort(), WriteImage(image)});
    ASSERT_TRUE(WaitForText(&child, "Reset the board...", CHILD_LIMIT_MS)) << Transcript(child);
    if (param.midTransfer) {
        SimCommand("reset");
        ASSERT_TRUE(SimWaitReceived(2 + 64 * 5, CHILD_LIMIT_MS)) << Transcript(child);
    }
    ASSERT_EQ(kill(child.pid, param.signal), 0);
    Clock::time_point stopped = Clock::now();
    Finish();
    double took = std::chrono::duration<double>(Clock::now() - stopped).count();

    EXPECT_EQ(child.status, 130) << Transcript(child);
    std::vector<std::string> err = Lines(child.err);
    EXPECT_EQ(err, (std::vector<std::string>{"Stopping...", "Aborted!"})) << Transcript(child);
    EXPECT_EQ(child.out.find("Done."), std::string::npos) << Transcript(child);
    // About a second at most; the limit only catches a hang.
    EXPECT_LT(took, 20.0) << Transcript(child);

    std::vector<unsigned char> received = SimReceived();
    if (param.midTransfer) {
        EXPECT_LT(received.size(), wire.size());
        EXPECT_GE(received.size(), 2u + 64 * 5);
        EXPECT_EQ(FirstDifference(received, wire), received.size()) << "not a prefix of the image";
    } else {
        EXPECT_TRUE(received.empty()) << Describe(received);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CliStop,
    ::testing::Values(StopCase{"CtrlCWhileWaitingForTheBoard", SIGINT, false},
                      StopCase{"SigtermWhileWaitingForTheBoard", SIGTERM, false},
                      StopCase{"CtrlCMidTransfer", SIGINT, true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// After a stop the port is free and the board can be loaded again: nothing of the stopped upload lingers.
TEST_F(CliTest, UploadAfterAStopSucceeds)
{
    std::vector<unsigned char> image = MakeImage(900);
    std::string path = WriteImage(image);
    Start({"--port", SimPort(), path});
    ASSERT_TRUE(WaitForText(&child, "Reset the board...", CHILD_LIMIT_MS)) << Transcript(child);
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    Finish();
    ASSERT_EQ(child.status, 130) << Transcript(child);
    EndChild(&child);

    child = Child{};
    Start({"--port", SimPort(), path});
    ResetWhenAsked();
    Finish();
    EXPECT_EQ(child.status, 0) << Transcript(child);
    EXPECT_EQ(SimReceived(), WireBytes(image));
}

#endif

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s [gtest options] PATH-TO-kavo-upload\n", argv[0]);
        return 2;
    }
    g_uploader = argv[1];
    return RUN_ALL_TESTS();
}
