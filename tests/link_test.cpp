// The serial link's own guarantees: refusing what is not a free serial port, and reads that a stop can end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/state.h"
#include "common/thread.h"
#include "serial/serial_port.h"
#include "tests/sim_client.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::string TempFilePath()
{
#ifdef _WIN32
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "kvo", 0, path);
    return path;
#else
    char path[] = "/tmp/kavo-link-XXXXXX";
    close(mkstemp(path));
    return path;
#endif
}

// A port name that names no device on this machine.
const char* MissingPort()
{
#ifdef _WIN32
    return "COM9";
#else
    return "/dev/kavo-no-such-port";
#endif
}

TEST(Link, RefusesWhatIsNotAFreeSerialPort)
{
    EXPECT_EQ(OpenSerialPort(MissingPort()), 0);
    EXPECT_EQ(g_hPort, NO_PORT);

    std::string file = TempFilePath();
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a port", f);
    std::fclose(f);
    EXPECT_EQ(OpenSerialPort(file.c_str()), 0) << "an ordinary file is not a serial port";
    EXPECT_EQ(g_hPort, NO_PORT);
    std::remove(file.c_str());

    // With nothing open these do nothing, and say nothing.
    RaiseDtr();
    DropDtr();
    CloseSerialPort();
    EXPECT_EQ(g_hPort, NO_PORT);
}

TEST(Link, OpenWhileOpenKeepsThePort)
{
    SimDefaults();
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    PortHandle first = g_hPort;
    EXPECT_EQ(OpenSerialPort(SimPort()), 1);
    EXPECT_EQ(g_hPort, first);
    CloseSerialPort();
    EXPECT_EQ(g_hPort, NO_PORT);
    // Closing gave the port back: it opens again.
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    CloseSerialPort();
}

TEST(Link, ASecondOpenerOfTheSamePortIsRefused)
{
    SimDefaults();
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
#ifdef _WIN32
    // Wine does not enforce a serial device's share mode; Windows does.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        CloseSerialPort();
        GTEST_SKIP() << "Wine lets a second handle open a port in use";
    }
    HANDLE second = CreateFileA(SimPort(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE)
        CloseHandle(second);
#else
    // Another process, as root like this one may be: the exclusive mode alone would let it in.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        g_hPort = NO_PORT; // the parent's descriptor, inherited: not this process's own open
        _exit(OpenSerialPort(SimPort()) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second opener got the port";
#endif
    CloseSerialPort();
}

struct Reader {
    std::atomic<int> bytes{0};
};

void ReadForever(void* arg)
{
    Reader* reader = static_cast<Reader*>(arg);
    for (;;) {
        ReadPortByte();
        ++reader->bytes;
    }
}

// Presses reset on the board and starts a reader, which gets the board's two announcement bytes.
void ReaderGetsTheAnnouncement(Reader* reader, ThreadRef* thread)
{
    ASSERT_TRUE(StartThread(ReadForever, reader, thread));
    SimCommand("reset");
    for (auto deadline = Clock::now() + std::chrono::seconds(20); reader->bytes < 2 && Clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(reader->bytes, 2);
}

TEST(Link, AStopEndsAWaitingReadWithinAboutASlice)
{
    SimDefaults();
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    // Bytes that arrive are delivered; then the line is quiet.
    Reader reader;
    ThreadRef thread;
    ReaderGetsTheAnnouncement(&reader, &thread);

    auto asked = Clock::now();
    g_bAbort = 1;
    bool ended = WaitThread(thread, 1000);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    g_bAbort = 0;
    ASSERT_TRUE(ended) << "the reading thread did not end within 1000 ms";
    std::printf("stop seen after %lld ms\n", static_cast<long long>(took));
    CloseSerialPort();
}

double ThreadCpuSeconds(ThreadRef thread)
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(thread, &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
#else
    clockid_t clock;
    timespec used{};
    pthread_getcpuclockid(thread, &clock);
    clock_gettime(clock, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
#endif
}

// Runs a reader on a port whose every read fails, and reports the share of a core it used.
double CpuShareOfFailingReads(Reader* reader, ThreadRef thread)
{
    double before = ThreadCpuSeconds(thread);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // the window over which CPU is measured
    double cpu = ThreadCpuSeconds(thread) - before;
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(reader->bytes, 0);
    return cpu / wall;
}

void StopReader(ThreadRef thread)
{
    g_bAbort = 1;
    bool ended = WaitThread(thread, 1000);
    g_bAbort = 0;
    EXPECT_TRUE(ended) << "the reader did not stop within 1000 ms";
}

TEST(Link, FailedReadsDoNotSpinAndStillStop)
{
    SimDefaults();
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    // A handle that fails every read at once, as a removed adapter's does.
    PortHandle real = g_hPort;
#ifdef _WIN32
    g_hPort = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7FFFFFF0));
#else
    g_hPort = 1000;
#endif
    Reader reader;
    ThreadRef thread;
    ASSERT_TRUE(StartThread(ReadForever, &reader, &thread));
    double share = CpuShareOfFailingReads(&reader, thread);
    std::printf("reader used %.1f%% of a core on a failing port\n", 100.0 * share);
    EXPECT_LT(share, 0.2) << "failed reads are retried without a pause";
    StopReader(thread);
    g_hPort = real;
    CloseSerialPort();
}

#ifndef _WIN32
// Wine turns a hung-up line into empty reads that spin inside ReadFile itself, so this one is native.
TEST(Link, AHungUpLineDoesNotSpinAndStillStops)
{
    SimDefaults();
    SimCommand("hangup-block 0");
    ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    Reader reader;
    ThreadRef thread;
    ReaderGetsTheAnnouncement(&reader, &thread);
    reader.bytes = 0;
    // Half a block reaches the board before it hangs up; the rest goes nowhere.
    for (int i = 0; i < 2 + 64; ++i)
        WritePortByte(static_cast<unsigned char>(i == 0 ? 'H' : i == 1 ? 1 : 0));
    ASSERT_TRUE(SimWaitReceived(2 + 32, 20000));
    double share = CpuShareOfFailingReads(&reader, thread);
    std::printf("reader used %.1f%% of a core on a hung-up line\n", 100.0 * share);
    EXPECT_LT(share, 0.2) << "failed reads are retried without a pause";
    StopReader(thread);
    CloseSerialPort();
}
#endif

} // namespace
