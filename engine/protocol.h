// The board loader's conversation: sync on 'T' '1', start command, 64-byte blocks each confirmed by a checksum.
#pragma once

#include <cstdint>

#include "engine/outcome.h"

constexpr int32_t BLOCK_SIZE = 64;

// Called once after the start command, with the padded length.
typedef void (*TransferStartedHook)(int32_t paddedLength);
// Called after each block's bytes are written and before its checksum is read, with the bytes sent so far.
typedef void (*BlockSentHook)(int32_t offset);

// Sum of the block's 32 little-endian 16-bit words, modulo 65536.
uint16_t BlockChecksum(const unsigned char* block);

// Sends g_pImage (paddedLength bytes, a multiple of BLOCK_SIZE) over the open port.
// Returns Completed or ChecksumMismatch; waits for the board without limit and, when the
// upload is stopped, does not return (ReadPortByte ends the thread). Hooks may be null.
UploadOutcome RunTransfer(int32_t paddedLength, TransferStartedHook started, BlockSentHook blockSent);
