// Loading the firmware file: padding, the three failures, and files that cannot be held or read whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/state.h"
#include "engine/image.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string TempDir()
{
#ifdef _WIN32
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return dir;
#else
    return "/tmp/";
#endif
}

std::string WriteFile(const std::string& name, const std::vector<unsigned char>& bytes)
{
    std::string path = TempDir() + "kavo-image-" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f != nullptr) {
        if (!bytes.empty())
            std::fwrite(bytes.data(), bytes.size(), 1, f);
        std::fclose(f);
    }
    return path;
}

class Image : public ::testing::Test {
protected:
    FirmwareImage image{};
    UploadOutcome failure = Completed;

    void TearDown() override { ReleaseFirmwareImage(); }
};

struct PadCase {
    size_t fileLength;
    int32_t padded;
};

class Padding : public Image, public ::testing::WithParamInterface<PadCase> {};

TEST_P(Padding, FileBytesThenZerosToWholeBlocks)
{
    std::vector<unsigned char> bytes(GetParam().fileLength);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(0xA5 ^ i);
    std::string path = WriteFile("pad" + std::to_string(bytes.size()), bytes);
    ASSERT_TRUE(LoadFirmwareImage(path.c_str(), &image, &failure));
    ASSERT_NE(g_pImage, nullptr);
    EXPECT_EQ(image.fileLength, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(image.paddedLength, GetParam().padded);
    std::vector<unsigned char> expected(bytes);
    expected.resize(static_cast<size_t>(GetParam().padded), 0);
    EXPECT_EQ(std::vector<unsigned char>(g_pImage, g_pImage + image.paddedLength), expected);
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Lengths, Padding,
    ::testing::Values(PadCase{0, 0}, PadCase{1, 64}, PadCase{63, 64}, PadCase{64, 64}, PadCase{65, 128},
                      PadCase{128, 128}, PadCase{1000, 1024}));

TEST_F(Image, FailuresSayWhatWentWrong)
{
    EXPECT_FALSE(LoadFirmwareImage("", &image, &failure));
    EXPECT_EQ(failure, NoFileName);

    std::string missing = TempDir() + "kavo-image-no-such-file.bin";
    EXPECT_FALSE(LoadFirmwareImage(missing.c_str(), &image, &failure));
    EXPECT_EQ(failure, FileNotReadable);

    EXPECT_FALSE(LoadFirmwareImage(TempDir().c_str(), &image, &failure)) << "a directory";
    EXPECT_EQ(failure, FileNotReadable);
    EXPECT_EQ(g_pImage, nullptr);
}

TEST(PaddedLength, FitsOnlyWhatASigned32BitLengthHolds)
{
    struct {
        int64_t file;
        bool fits;
        int32_t padded;
    } cases[] = {
        {0, true, 0},
        {1, true, 64},
        {INT32_MAX - 63 - 63, true, INT32_MAX - 63},
        {INT32_MAX - 63, true, INT32_MAX - 63},
        {INT32_MAX - 62, false, 0}, // 2 GiB - 63: padding would wrap
        {INT64_C(3) << 30, false, 0},
        {-1, false, 0},              // the length could not be taken
    };
    for (const auto& c : cases) {
        int32_t padded = -7;
        EXPECT_EQ(PaddedLengthFor(c.file, &padded), c.fits) << c.file;
        if (c.fits) {
            EXPECT_EQ(padded, c.padded) << c.file;
        }
    }
}

TEST_F(Image, AFileTooLargeForA32BitLengthIsRefusedBeforeAnyAllocation)
{
    // Sparse, so it costs no disk: 3 GiB would once have wrapped into an empty image and "Done.".
    std::string path = TempDir() + "kavo-image-huge.bin";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
#ifdef _WIN32
    ASSERT_EQ(_fseeki64(f, (INT64_C(3) << 30) - 1, SEEK_SET), 0);
#else
    ASSERT_EQ(fseeko(f, (INT64_C(3) << 30) - 1, SEEK_SET), 0);
#endif
    std::fputc(0, f);
    std::fclose(f);
    EXPECT_FALSE(LoadFirmwareImage(path.c_str(), &image, &failure));
    EXPECT_EQ(failure, OutOfMemory);
    EXPECT_EQ(g_pImage, nullptr);
    std::remove(path.c_str());
}

#ifndef _WIN32
TEST_F(Image, AShortReadIsNotUploadedAsZeros)
{
    // sysfs files claim a page of length but deliver only their text.
    const char* path = "/sys/kernel/address_bits";
    if (access(path, R_OK) != 0)
        GTEST_SKIP() << path << " is not here";
    EXPECT_FALSE(LoadFirmwareImage(path, &image, &failure));
    EXPECT_EQ(failure, FileNotReadable);
}
#endif

} // namespace
