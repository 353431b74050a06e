// The board conversation against the simulated board: sync, start command, blocks and checksums.
#include <gtest/gtest.h>

#include <string>

#include "common/state.h"
#include "engine/image.h"
#include "engine/protocol.h"
#include "serial/serial_port.h"
#include "tests/sim_client.h"
#include "tests/transfer_support.h"

namespace {

constexpr unsigned LONG_WAIT_MS = 20000;

class Transfer : public ::testing::Test {
protected:
    TransferRun run;

    void SetUp() override
    {
        SimDefaults();
        ASSERT_EQ(OpenSerialPort(SimPort()), 1);
    }

    void TearDown() override
    {
        EXPECT_TRUE(StopTransfer(&run, LONG_WAIT_MS));
        CloseSerialPort();
        ReleaseFirmwareImage();
    }

    // Uploads image to a board reset with the given simulator commands; returns the outcome.
    UploadOutcome Upload(const std::vector<unsigned char>& image, const std::string& board = "")
    {
        if (!board.empty())
            SimCommand(board.c_str());
        run.paddedLength = SetImage(image);
        StartTransfer(&run);
        SimCommand("reset");
        EXPECT_TRUE(FinishTransfer(&run, LONG_WAIT_MS)) << "the transfer did not end";
        return run.outcome;
    }
};

std::vector<unsigned char> Counting(size_t length)
{
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

TEST(BlockChecksum, WorkedValues)
{
    std::vector<unsigned char> zeros(64, 0), ramp(64), ones(64, 0xFF);
    for (int i = 0; i < 64; ++i)
        ramp[i] = static_cast<unsigned char>(i);
    std::vector<unsigned char> abc = Padded({'a', 'b', 'c'});
    EXPECT_EQ(BlockChecksum(zeros.data()), 0x0000);
    EXPECT_EQ(BlockChecksum(ramp.data()), 0x03E0);
    EXPECT_EQ(BlockChecksum(ones.data()), 0xFFE0);
    EXPECT_EQ(BlockChecksum(abc.data()), 0x62C4);
}

// Each announcement is followed by one block, whose checksum the board answers: a host that
// synchronised on the wrong pair would read the rest of the announcement as that checksum.
struct SyncCase {
    const char* announcement;
    UploadOutcome expected;
};

void PrintTo(const SyncCase& c, std::ostream* os)
{
    *os << "announcement " << c.announcement;
}

class Sync : public Transfer, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(Sync, OnlyOnTheFirstTOneThatFollowsAFreshByte)
{
    std::string board = std::string("announce ") + GetParam().announcement;
    EXPECT_EQ(Upload(Counting(64), board), GetParam().expected);
    EXPECT_EQ(SimReceived(), WireBytes(Counting(64)));
}

INSTANTIATE_TEST_SUITE_P(Announcements, Sync,
    ::testing::Values(SyncCase{"54 31", Completed},
                      SyncCase{"78 78 54 31", Completed},
                      SyncCase{"54 78 54 31", Completed},
                      SyncCase{"54 32 54 31", Completed},
                      // 'T' 'T' '1' is not a pair: the host must wait for the 'T' '1' after it.
                      SyncCase{"54 54 31 54 31", Completed},
                      SyncCase{"00 FF 54 54 54 31", Completed}));

TEST_F(Transfer, TheWireCarriesEveryByteValueUnchanged)
{
    std::vector<unsigned char> image = AllByteValues();
    EXPECT_EQ(Upload(image), Completed);
    EXPECT_EQ(SimReceived(), WireBytes(image));
    EXPECT_EQ(g_startedWith, static_cast<int32_t>(Padded(image).size()));
}

TEST_F(Transfer, EmptyImageSendsOnlyTheStartCommand)
{
    EXPECT_EQ(Upload({}), Completed);
    EXPECT_EQ(SimReceived(), (std::vector<unsigned char>{0x48, 0x01}));
    EXPECT_EQ(g_startedWith, 0);
    EXPECT_TRUE(g_blockOffsets.empty());
}

TEST_F(Transfer, SixtyFiveBytesGoAsTwoBlocks)
{
    std::vector<unsigned char> image = Counting(65);
    EXPECT_EQ(Upload(image), Completed);
    std::vector<unsigned char> received = SimReceived();
    ASSERT_EQ(received.size(), 2u + 128u);
    EXPECT_EQ(received[2 + 64], image[64]);
    EXPECT_EQ(std::vector<unsigned char>(received.begin() + 2 + 65, received.end()),
              std::vector<unsigned char>(63, 0));
    EXPECT_EQ(g_startedWith, 128);
    EXPECT_EQ(g_blockOffsets, (std::vector<int32_t>{64, 128}));
}

TEST_F(Transfer, MismatchOnBlockNStopsAfterExactlyNPlusOneBlocks)
{
    for (int n : {0, 2}) {
        SimDefaults();
        std::vector<unsigned char> image = Counting(5 * 64);
        EXPECT_EQ(Upload(image, "bad-checksum " + std::to_string(n)), ChecksumMismatch) << "block " << n;
        std::vector<unsigned char> expected = WireBytes(image);
        expected.resize(2 + 64 * (n + 1));
        EXPECT_EQ(SimReceived(), expected) << "block " << n;
        EXPECT_EQ(g_blockOffsets.size(), static_cast<size_t>(n + 1));
    }
}

TEST_F(Transfer, SwappedChecksumBytesAreAMismatchUnlessBothBytesAreEqual)
{
    // 64 zero bytes sum to 0x0000, whose two bytes read the same either way round.
    EXPECT_EQ(Upload(std::vector<unsigned char>(64, 0), "swap-checksum"), Completed);
    SimDefaults();
    EXPECT_EQ(Upload(Counting(64), "swap-checksum"), ChecksumMismatch);
}

TEST_F(Transfer, StopWhileWaitingForTheBoardEndsTheThread)
{
    run.paddedLength = SetImage(Counting(64));
    StartTransfer(&run);
    EXPECT_TRUE(StopTransfer(&run, 1000));
    EXPECT_FALSE(run.returned);
    EXPECT_TRUE(SimReceived().empty());
}

TEST_F(Transfer, StopWhileTheBoardIsSilentEndsAtTheChecksumRead)
{
    run.paddedLength = SetImage(Counting(3 * 64));
    SimCommand("silent-block 1");
    StartTransfer(&run);
    SimCommand("reset");
    ASSERT_TRUE(SimWaitReceived(2 + 128, LONG_WAIT_MS));
    EXPECT_TRUE(StopTransfer(&run, 1000));
    EXPECT_FALSE(run.returned);
    EXPECT_EQ(SimReceived().size(), 2u + 128u) << "nothing may follow the unanswered block";
}

} // namespace
