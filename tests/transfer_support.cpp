// Shared by the protocol and link tests of both builds.
#include "tests/transfer_support.h"

#include <cstdlib>
#include <cstring>

#include "common/state.h"
#include "engine/image.h"
#include "engine/protocol.h"

std::vector<int32_t> g_blockOffsets;
std::atomic<int32_t> g_startedWith{-1};

namespace {

void OnStarted(int32_t paddedLength)
{
    g_startedWith = paddedLength;
}

void OnBlockSent(int32_t offset)
{
    g_blockOffsets.push_back(offset);
}

void TransferBody(void* arg)
{
    TransferRun* run = static_cast<TransferRun*>(arg);
    run->outcome = RunTransfer(run->paddedLength, OnStarted, OnBlockSent);
    run->returned = true;
}

} // namespace

std::vector<unsigned char> Padded(const std::vector<unsigned char>& bytes)
{
    std::vector<unsigned char> padded(bytes);
    padded.resize((bytes.size() + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE, 0);
    return padded;
}

int32_t SetImage(const std::vector<unsigned char>& bytes)
{
    std::vector<unsigned char> padded = Padded(bytes);
    ReleaseFirmwareImage();
    g_pImage = static_cast<unsigned char*>(std::malloc(padded.size() + 1));
    if (!padded.empty())
        std::memcpy(g_pImage, padded.data(), padded.size());
    return static_cast<int32_t>(padded.size());
}

void StartTransfer(TransferRun* run)
{
    g_blockOffsets.clear();
    g_startedWith = -1;
    run->running = StartThread(TransferBody, run, &run->thread);
}

bool FinishTransfer(TransferRun* run, unsigned timeoutMs)
{
    if (!run->running || !WaitThread(run->thread, timeoutMs))
        return false;
    run->running = false;
    return true;
}

bool StopTransfer(TransferRun* run, unsigned timeoutMs)
{
    if (!run->running)
        return true;
    g_bAbort = 1;
    bool ended = WaitThread(run->thread, timeoutMs);
    if (ended)
        run->running = false;
    g_bAbort = 0;
    return ended;
}

std::vector<unsigned char> WireBytes(const std::vector<unsigned char>& image)
{
    std::vector<unsigned char> wire{0x48, 0x01};
    std::vector<unsigned char> padded = Padded(image);
    wire.insert(wire.end(), padded.begin(), padded.end());
    return wire;
}

std::vector<unsigned char> AllByteValues()
{
    std::vector<unsigned char> bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<unsigned char>(value));
    for (unsigned char c : {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x1A, 0x7F, 0xFF, 0x00})
        bytes.push_back(c);
    return bytes;
}
