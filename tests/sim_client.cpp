// Test-side half of the simulator's control channel: command lines into its FIFO, progress read back from files.
#include "tests/sim_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Lines this program has sent, counted on from the simulator's count at first use.
long g_simLinesSent = -1;

const char* SimEnv(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) {
        std::fprintf(stderr, "%s is not set: run this test through tests/with-sim.sh\n", name);
        std::fflush(stderr);
        std::abort();
    }
    return value;
}

// The simulator's count of processed control lines; -1 while the file cannot be read.
long ReadAck()
{
    std::string path = std::string(SimEnv("KAVO_SIM_CONTROL")) + ".ack";
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    long count = -1;
    if (std::fscanf(f, "%ld", &count) != 1)
        count = -1;
    std::fclose(f);
    return count;
}

long FileSize(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return -1;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        size = std::ftell(f);
    std::fclose(f);
    return size;
}

} // namespace

const char* SimPort()
{
    return SimEnv("KAVO_SIM_PORT");
}

void SimCommand(const char* line)
{
    const char* control = SimEnv("KAVO_SIM_CONTROL");
    if (g_simLinesSent < 0)
        g_simLinesSent = std::max(0L, ReadAck());
    std::string text = std::string(line) + "\n";
    FILE* f = std::fopen(control, "ab");
    if (!f) {
        ADD_FAILURE() << "cannot open the simulator's control FIFO " << control;
        return;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    written = std::fclose(f) == 0 && written;
    if (!written) {
        ADD_FAILURE() << "cannot write to the simulator's control FIFO " << control;
        return;
    }
    long want = ++g_simLinesSent;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    long seen = ReadAck();
    while (seen < want) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the simulator did not process \"" << line << "\" within 20 s (ack " << seen
                          << ", expected " << want << ")";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen = ReadAck();
    }
}

void SimDefaults()
{
    SimCommand("defaults");
}

std::vector<unsigned char> SimReceived()
{
    std::vector<unsigned char> bytes;
    FILE* f = std::fopen(SimEnv("KAVO_SIM_RECORD"), "rb");
    if (!f)
        return bytes;
    unsigned char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

bool SimWaitReceived(size_t count, unsigned timeoutMs)
{
    const char* record = SimEnv("KAVO_SIM_RECORD");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        long size = FileSize(record);
        if (size >= 0 && static_cast<size_t>(size) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
