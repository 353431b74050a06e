// The transfer itself: byte for byte what the board's resident loader expects, one call per byte.
#include "engine/protocol.h"

#include "common/state.h"
#include "serial/serial_port.h"

namespace {

// 'T' then '1'. A failed second byte is not itself taken as a new 'T', so 'T' 'T' '1' does not sync.
void WaitForSyncPair()
{
    for (;;) {
        if (ReadPortByte() != 'T')
            continue;
        if (ReadPortByte() == '1')
            return;
    }
}

} // namespace

uint16_t BlockChecksum(const unsigned char* block)
{
    uint16_t sum = 0;
    for (int32_t i = 0; i < BLOCK_SIZE; i += 2)
        sum = static_cast<uint16_t>(sum + block[i] + 256 * block[i + 1]);
    return sum;
}

UploadOutcome RunTransfer(int32_t paddedLength, TransferStartedHook started, BlockSentHook blockSent)
{
    WaitForSyncPair();

    WritePortByte(0x48);
    WritePortByte(0x01);
    if (started != nullptr)
        started(paddedLength);

    int32_t offset = 0;
    while (offset < paddedLength) {
        const unsigned char* block = g_pImage + offset;
        for (int32_t i = 0; i < BLOCK_SIZE; ++i)
            WritePortByte(block[i]);
        offset += BLOCK_SIZE;
        if (blockSent != nullptr)
            blockSent(offset);

        unsigned board = ReadPortByte();
        board |= static_cast<unsigned>(ReadPortByte()) << 8;
        if (board != BlockChecksum(block))
            return ChecksumMismatch;
    }
    return Completed;
}
