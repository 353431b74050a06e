// Runs transfers and port reads on a thread that ReadPortByte may end, against the simulated board.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/thread.h"
#include "engine/outcome.h"

// One RunTransfer on its own thread, over whatever image is in g_pImage.
struct TransferRun {
    int32_t paddedLength = 0;
    std::atomic<bool> returned{false};
    UploadOutcome outcome = Stopped;
    ThreadRef thread{};
    bool running = false;
};

// What the two hooks saw during the last transfer.
extern std::vector<int32_t> g_blockOffsets;
extern std::atomic<int32_t> g_startedWith;

// Copies bytes into a fresh g_pImage padded with zeros to whole blocks; returns the padded length.
int32_t SetImage(const std::vector<unsigned char>& bytes);

std::vector<unsigned char> Padded(const std::vector<unsigned char>& bytes);

void StartTransfer(TransferRun* run);

// Waits for the transfer to return by itself; false after timeoutMs.
bool FinishTransfer(TransferRun* run, unsigned timeoutMs);

// Sets the abort flag and waits for the thread to end; false when it did not within timeoutMs.
bool StopTransfer(TransferRun* run, unsigned timeoutMs);

// The bytes a good upload of image puts on the wire: the start command, then the padded image.
std::vector<unsigned char> WireBytes(const std::vector<unsigned char>& image);

// Every byte value, then the control characters a cooked line would eat or change.
std::vector<unsigned char> AllByteValues();
