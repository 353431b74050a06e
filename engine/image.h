// Loading the firmware file into g_pImage, zero-padded to whole blocks.
#pragma once

#include <cstdint>

#include "engine/outcome.h"

struct FirmwareImage {
    int32_t fileLength;
    int32_t paddedLength;
};

// Padded length for a file of fileLength bytes; false when it cannot be held in a signed 32-bit length.
bool PaddedLengthFor(int64_t fileLength, int32_t* paddedLength);

// Loads path into g_pImage (which must be null on entry). On failure returns false with
// *failure one of NoFileName, FileNotReadable, OutOfMemory; a buffer already allocated then
// stays in g_pImage for the caller's clean-up.
bool LoadFirmwareImage(const char* path, FirmwareImage* image, UploadOutcome* failure);

// Frees g_pImage and sets it to null; harmless when nothing is held.
void ReleaseFirmwareImage();
