// Reads the firmware file whole into g_pImage and pads it with zeros to whole blocks.
#include "engine/image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/state.h"
#include "engine/protocol.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

#ifdef _WIN32
int Seek64(FILE* file, int64_t offset, int origin) { return _fseeki64(file, offset, origin); }
int64_t Tell64(FILE* file) { return _ftelli64(file); }
#else
int Seek64(FILE* file, int64_t offset, int origin) { return fseeko(file, offset, origin); }
int64_t Tell64(FILE* file) { return ftello(file); }
#endif

// The file's length from its end position, or -1 when it cannot be taken. 64-bit, so that a file
// past 2 GiB is seen as too large rather than wrapping into a small or negative length.
int64_t FileLength(FILE* file)
{
#ifndef _WIN32
    // A directory opens here, and its end position is not a length.
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))
        return -1;
#endif
    if (Seek64(file, 0, SEEK_END) != 0)
        return -1;
    int64_t length = Tell64(file);
    if (Seek64(file, 0, SEEK_SET) != 0)
        return -1;
    return length;
}

} // namespace

bool PaddedLengthFor(int64_t fileLength, int32_t* paddedLength)
{
    if (fileLength < 0 || fileLength > INT32_MAX - (BLOCK_SIZE - 1))
        return false;
    *paddedLength = static_cast<int32_t>((fileLength + BLOCK_SIZE - 1) & ~int64_t{BLOCK_SIZE - 1});
    return true;
}

bool LoadFirmwareImage(const char* path, FirmwareImage* image, UploadOutcome* failure)
{
    if (path[0] == '\0') {
        *failure = NoFileName;
        return false;
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *failure = FileNotReadable;
        return false;
    }

    bool ok = false;
    int64_t length = FileLength(file);
    int32_t padded = 0;
    if (length < 0) {
        *failure = FileNotReadable;
    } else if (!PaddedLengthFor(length, &padded)) {
        // No 32-bit loader can hold such an image; saying so beats sending a wrapped length.
        *failure = OutOfMemory;
    } else {
        // One byte more than needed, so an empty file still gets a real buffer.
        g_pImage = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(padded) + 1));
        if (g_pImage == nullptr) {
            *failure = OutOfMemory;
        } else {
            std::memset(g_pImage, 0, static_cast<size_t>(padded));
            // A short read would send zeros in place of firmware and still end in "Done.".
            if (length > 0 && std::fread(g_pImage, static_cast<size_t>(length), 1, file) != 1) {
                *failure = FileNotReadable;
            } else {
                image->fileLength = static_cast<int32_t>(length);
                image->paddedLength = padded;
                ok = true;
            }
        }
    }
    std::fclose(file);
    return ok;
}

void ReleaseFirmwareImage()
{
    std::free(g_pImage);
    g_pImage = nullptr;
}
