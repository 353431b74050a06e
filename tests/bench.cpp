// Prints what an upload costs: throughput on a free-running line and on a modelled 115200 baud line.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/state.h"
#include "engine/image.h"
#include "serial/serial_port.h"
#include "tests/sim_client.h"
#include "tests/transfer_support.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

// One whole upload of length bytes; returns the seconds it took, or a negative number on failure.
double TimedUpload(int32_t length, const char* board)
{
    SimDefaults();
    if (board[0] != '\0')
        SimCommand(board);
    std::vector<unsigned char> image(static_cast<size_t>(length));
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 31 + (i >> 8));
    if (OpenSerialPort(SimPort()) != 1)
        return -1;
    TransferRun run;
    run.paddedLength = SetImage(image);
    StartTransfer(&run);
    auto start = std::chrono::steady_clock::now();
    SimCommand("reset");
    bool ok = FinishTransfer(&run, 600000) && run.outcome == Completed;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CloseSerialPort();
    ReleaseFirmwareImage();
    return ok ? seconds : -1;
}

void Report(const char* what, int32_t length, double seconds, double lineLimit)
{
    if (seconds < 0) {
        std::printf("%-34s failed\n", what);
        return;
    }
    double rate = length / seconds;
    std::printf("%-34s %8d bytes in %7.3f s = %9.0f B/s  %7.0f blocks/s", what, length, seconds, rate,
                rate / 64);
    if (lineLimit > 0)
        std::printf("  (%.1f%% of what the line allows)", 100.0 * rate / lineLimit);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv); // the simulator client reports through gtest
    // 64 data bytes and 2 answer bytes per block, 10 bits a byte at 115200 baud.
    const double lineLimit = 115200.0 / 10 * 64 / 66;
    const int32_t big = 1 << 20, small = 64 << 10;
    Report("free-running pty", big, TimedUpload(big, ""), 0);
    Report("115200 8N1 line (modelled)", small, TimedUpload(small, "line-rate"), lineLimit);
    Report("board answering after 1 ms", small / 4, TimedUpload(small / 4, "delay 1"), 0);
#ifndef _WIN32
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory %ld KiB for a %d KiB image\n", usage.ru_maxrss, big >> 10);
#endif
    return ::testing::Test::HasFailure() ? 1 : 0;
}
