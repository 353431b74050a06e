// kavo-upload: loads a firmware image into the board from a shell or a script, with the dialog's protocol and texts.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/host.h"
#include "common/state.h"
#include "common/thread.h"
#include "engine/image.h"
#include "engine/outcome.h"
#include "engine/protocol.h"
#include "serial/serial_port.h"

#ifndef KAVO_VERSION
#define KAVO_VERSION "unknown"
#endif

namespace {

// The documented exit status of each way an upload can end.
enum ExitStatus {
    ExitSuccess = 0,
    ExitUsage = 1,
    ExitFile = 2,
    ExitPort = 3,
    ExitChecksum = 4,
    ExitSyncTimeout = 5,
    ExitInterrupted = 130,
};

// How long a stop waits for the transfer thread, as the dialog's Stop does.
constexpr unsigned STOP_WAIT_MS = 1000;
// The main thread's polling period: well under the time a user notices after Ctrl-C.
constexpr auto POLL_PERIOD = std::chrono::milliseconds(10);
constexpr int BAR_WIDTH = 20;
constexpr long long REDRAW_US = 100000;

struct Options {
    const char* port = nullptr;
    const char* file = nullptr;
    double syncTimeout = 0; // seconds; 0 waits without limit
    bool quiet = false;
};

// Written by the transfer thread (its hooks and its end), read by the main thread.
std::atomic<int32_t> g_nTransferLength{-1}; // -1 until the board has answered and the start command is out
std::atomic<int32_t> g_nBytesSent{0};
std::atomic<long long> g_nStartUs{0};
std::atomic<int> g_nOutcome{Completed};
std::atomic<int> g_bTransferEnded{0};
int32_t g_nPaddedLength = 0;

// The progress display on the main thread.
struct Progress {
    bool terminal = false;
    bool quiet = false;
    bool lineOpen = false;   // a bar is on screen without its newline
    size_t lineWidth = 0;    // for blanking a longer previous bar
    long long lastDrawUs = -REDRAW_US;
    int lastTenth = -1;
    int32_t lastSent = -1;
};

long long NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
}

void OnTransferStarted(int32_t paddedLength)
{
    g_nStartUs = NowUs();
    g_nTransferLength = paddedLength;
}

void OnBlockSent(int32_t offset)
{
    g_nBytesSent = offset;
}

void TransferBody(void*)
{
    UploadOutcome outcome = RunTransfer(g_nPaddedLength, OnTransferStarted, OnBlockSent);
    g_nOutcome = outcome;
    g_bTransferEnded = 1;
}

void PrintUsageHint(const char* problem)
{
    std::fprintf(stderr, "kavo-upload: %s\n", problem);
    std::fprintf(stderr, "Usage: kavo-upload --port NAME [--sync-timeout SECONDS] [--quiet] FILE\n");
    std::fprintf(stderr, "Try 'kavo-upload --help' for more information.\n");
}

void PrintHelp()
{
#ifdef _WIN32
    const char* portExample = "COM1, COM2, ... (from COM10 on: \\\\.\\COM10)";
#else
    const char* portExample = "/dev/ttyUSB0, /dev/ttyS0, ...";
#endif
    std::printf(
        "Usage: kavo-upload --port NAME [--sync-timeout SECONDS] [--quiet] FILE\n"
        "       kavo-upload --list-ports | --help | --version\n"
        "\n"
        "Loads FILE into a KAVO control board through the board's resident loader. The whole\n"
        "file is sent as raw bytes, padded with zeros to whole 64-byte blocks, at 115200 baud\n"
        "8N1 without flow control. After \"Reset the board...\" reset the board: the upload\n"
        "starts when its loader answers, and every block is checked against the checksum the\n"
        "board sends back.\n"
        "\n"
        "  --port NAME             the serial port: %s\n"
        "  --sync-timeout SECONDS  give up when the board has not answered within SECONDS\n"
        "                          after the prompt (default: wait until interrupted)\n"
        "  --quiet                 print nothing on stdout; errors still go to stderr\n"
        "  --list-ports            print the serial ports of this machine, one per line\n"
        "  --help                  print this help\n"
        "  --version               print the version\n"
        "\n"
        "Ctrl-C stops an upload at once (the block being written is finished first).\n"
        "\n"
        "Exit status:\n"
        "    0  the image was uploaded and every block confirmed\n"
        "    1  usage error\n"
        "    2  the file can't be read, or there is no memory for it\n"
        "    3  the serial port can't be opened\n"
        "    4  the board's checksum of a block disagreed\n"
        "    5  the board did not answer within --sync-timeout\n"
        "  130  interrupted (Ctrl-C or SIGTERM)\n",
        portExample);
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; null when this argument is not that option.
const char* OptionValue(int argc, char** argv, int* index, const char* name, bool* missing)
{
    const char* arg = argv[*index];
    size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0)
        return nullptr;
    if (arg[length] == '=')
        return arg + length + 1;
    if (arg[length] != '\0')
        return nullptr;
    if (*index + 1 >= argc) {
        *missing = true;
        return nullptr;
    }
    *index += 1;
    return argv[*index];
}

// Returns an exit status when the command line is all there is to do (help, version, list, a
// usage error), or -1 when an upload should follow.
int ParseArguments(int argc, char** argv, Options* options)
{
    bool optionsEnded = false;
    for (int index = 1; index < argc; ++index) {
        const char* arg = argv[index];
        bool missing = false;
        const char* value = nullptr;
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            if (options->file != nullptr) {
                PrintUsageHint("only one FILE can be uploaded at a time");
                return ExitUsage;
            }
            options->file = arg;
        } else if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintHelp();
            return ExitSuccess;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("kavo-upload %s\n", KAVO_VERSION);
            return ExitSuccess;
        } else if (std::strcmp(arg, "--list-ports") == 0) {
            for (const std::string& name : ListSerialPorts())
                std::printf("%s\n", name.c_str());
            return ExitSuccess;
        } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
            options->quiet = true;
        } else if ((value = OptionValue(argc, argv, &index, "--port", &missing)) != nullptr) {
            if (value[0] == '\0') {
                PrintUsageHint("the port name is empty");
                return ExitUsage;
            }
            options->port = value;
        } else if ((value = OptionValue(argc, argv, &index, "--sync-timeout", &missing)) != nullptr) {
            char* end = nullptr;
            double seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(seconds > 0) || seconds > 1e6) {
                PrintUsageHint("--sync-timeout takes a number of seconds greater than 0");
                return ExitUsage;
            }
            options->syncTimeout = seconds;
        } else {
            std::string problem = missing ? std::string(arg) + " needs a value" : std::string("unknown option ") + arg;
            PrintUsageHint(problem.c_str());
            return ExitUsage;
        }
    }
    if (options->port == nullptr) {
        PrintUsageHint("no serial port given (--port NAME)");
        return ExitUsage;
    }
    if (options->file == nullptr || options->file[0] == '\0') {
        PrintUsageHint("no FILE to upload given");
        return ExitUsage;
    }
    return -1;
}

void FormatRate(char* text, size_t size, double bytesPerSecond)
{
    if (bytesPerSecond >= 1024.0)
        std::snprintf(text, size, "%.1f KiB/s", bytesPerSecond / 1024.0);
    else
        std::snprintf(text, size, "%.0f B/s", bytesPerSecond);
}

// Ends a bar that is on screen, so that the next text starts on a line of its own.
void CloseProgressLine(Progress* progress)
{
    if (progress->lineOpen) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
        progress->lineOpen = false;
    }
}

void ShowProgress(Progress* progress, bool final)
{
    int32_t length = g_nTransferLength;
    if (progress->quiet || length < 0)
        return;
    int32_t sent = g_nBytesSent;
    long long now = NowUs();
    double seconds = static_cast<double>(now - g_nStartUs) / 1e6;
    double rate = seconds > 0 ? sent / seconds : 0;
    int percent = length > 0 ? static_cast<int>(static_cast<long long>(sent) * 100 / length) : 100;
    char rateText[32];
    FormatRate(rateText, sizeof rateText, rate);

    if (!progress->terminal) {
        // Plain lines for logs: the start and each tenth reached.
        int tenth = percent / 10;
        if (progress->lastTenth < 0) {
            std::printf("Sending %d bytes (%d blocks)\n", static_cast<int>(length),
                        static_cast<int>(length / BLOCK_SIZE));
            progress->lastTenth = 0;
        }
        if (tenth > progress->lastTenth) {
            std::printf("%3d%%  %d/%d bytes  %s\n", percent, static_cast<int>(sent), static_cast<int>(length),
                        rateText);
            progress->lastTenth = tenth;
        }
        std::fflush(stdout);
        return;
    }

    if (!final && (sent == progress->lastSent || now - progress->lastDrawUs < REDRAW_US))
        return;
    progress->lastSent = sent;
    progress->lastDrawUs = now;
    char bar[BAR_WIDTH + 1];
    int filled = length > 0 ? static_cast<int>(static_cast<long long>(sent) * BAR_WIDTH / length) : BAR_WIDTH;
    for (int i = 0; i < BAR_WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[BAR_WIDTH] = '\0';
    char left[32] = "";
    if (rate > 0 && sent < length) {
        long secondsLeft = static_cast<long>((length - sent) / rate + 0.5);
        std::snprintf(left, sizeof left, "  %ld:%02ld left", secondsLeft / 60, secondsLeft % 60);
    }
    char line[160];
    int width = std::snprintf(line, sizeof line, "[%s] %d/%d bytes %3d%%  %s%s", bar, static_cast<int>(sent),
                              static_cast<int>(length), percent, rateText, left);
    size_t used = width > 0 ? static_cast<size_t>(width) : 0;
    std::printf("\r%s", line);
    for (size_t i = used; i < progress->lineWidth; ++i)
        std::fputc(' ', stdout);
    progress->lineWidth = used;
    progress->lineOpen = true;
    std::fflush(stdout);
}

void Say(const Options& options, const char* text)
{
    if (!options.quiet) {
        std::printf("%s\n", text);
        std::fflush(stdout);
    }
}

void Complain(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

// Asks the transfer thread to end as the dialog's Stop does. When it does not end in time it is
// stuck in a write: nothing may be released under it, so the process ends and the system takes the port.
void StopTransfer(ThreadRef thread)
{
    g_bAbort = 1;
    if (WaitThread(thread, STOP_WAIT_MS))
        return;
    Complain("The upload did not stop within a second (the port does not take data); quitting without releasing it.");
    std::fflush(stdout);
    std::_Exit(ExitInterrupted);
}

// Runs the transfer on its own thread (ReadPortByte may end that thread) and watches it from here.
int TransferAndWatch(const Options& options)
{
    g_nTransferLength = -1;
    g_nBytesSent = 0;
    g_bTransferEnded = 0;
    ThreadRef thread{};
    HoldStopSignals(true);
    bool started = StartThread(TransferBody, nullptr, &thread);
    HoldStopSignals(false);
    if (!started) {
        Complain("Can't start the upload thread.");
        return ExitPort;
    }

    Progress progress;
    progress.terminal = StdoutIsTerminal();
    progress.quiet = options.quiet;
    long long waitStartUs = NowUs();
    long long syncLimitUs = static_cast<long long>(options.syncTimeout * 1e6);
    for (;;) {
        if (g_bTransferEnded)
            break;
        if (StopRequested()) {
            CloseProgressLine(&progress);
            Complain("Stopping...");
            StopTransfer(thread);
            return ExitInterrupted;
        }
        if (syncLimitUs > 0 && g_nTransferLength < 0 && NowUs() - waitStartUs >= syncLimitUs) {
            StopTransfer(thread);
            char text[96];
            std::snprintf(text, sizeof text, "The board did not answer within %g s.", options.syncTimeout);
            Complain(text);
            return ExitSyncTimeout;
        }
        ShowProgress(&progress, false);
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    // The thread has nothing left to do but return.
    WaitThread(thread, STOP_WAIT_MS);

    if (g_nOutcome == ChecksumMismatch) {
        CloseProgressLine(&progress);
        Complain(OutcomeMessage(ChecksumMismatch));
        return ExitChecksum;
    }
    ShowProgress(&progress, true);
    CloseProgressLine(&progress);
    if (!options.quiet) {
        double seconds = static_cast<double>(NowUs() - g_nStartUs) / 1e6;
        char rateText[32];
        FormatRate(rateText, sizeof rateText, seconds > 0 ? g_nPaddedLength / seconds : 0);
        std::printf("Done. %d bytes in %.2f s, %s\n", static_cast<int>(g_nPaddedLength), seconds, rateText);
        std::fflush(stdout);
    }
    return ExitSuccess;
}

// One upload in the dialog worker's order: image, port, DTR, prompt, transfer; then one clean-up.
int Upload(const Options& options)
{
    InstallStopHandler();
    g_pImage = nullptr;
    FirmwareImage image{};
    UploadOutcome failure = Completed;
    int status;
    if (!LoadFirmwareImage(options.file, &image, &failure)) {
        Complain(OutcomeMessage(failure));
        status = ExitFile;
    } else if (!OpenSerialPort(options.port)) {
        Complain(OutcomeMessage(PortNotOpened));
        status = ExitPort;
    } else if (StopRequested()) {
        Complain("Stopping...");
        status = ExitInterrupted;
    } else {
        g_nPaddedLength = image.paddedLength;
        RaiseDtr();
        Say(options, "Reset the board...");
        status = TransferAndWatch(options);
    }
    DropDtr();
    CloseSerialPort();
    ReleaseFirmwareImage();
    g_bAbort = 0;
    if (status == ExitInterrupted)
        Complain("Aborted!");
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = ParseArguments(argc, argv, &options);
    if (status >= 0)
        return status;
    return Upload(options);
}
