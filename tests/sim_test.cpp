// Checks the board simulator from the host's side of its pty, so other tests can trust what it answers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim_client.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr int ANSWER_MS = 5000;  // how long a byte that should come may take on a loaded machine
constexpr int SILENCE_MS = 400;  // how long we listen to be sure nothing comes
constexpr auto BYTE_TIME = std::chrono::nanoseconds(86806);

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Block(unsigned char seed)
{
    Bytes b(64);
    for (int i = 0; i < 64; ++i)
        b[i] = static_cast<unsigned char>(seed * 37 + i * 11);
    return b;
}

unsigned Checksum(const Bytes& block)
{
    unsigned sum = 0;
    for (size_t k = 0; k < block.size(); k += 2)
        sum += block[k] | (block[k + 1] << 8);
    return sum & 0xFFFF;
}

Bytes LowFirst(unsigned sum)
{
    return {static_cast<unsigned char>(sum & 0xFF), static_cast<unsigned char>(sum >> 8)};
}

int OpenHost()
{
    int fd = open(SimPort(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void WriteAll(int fd, const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            ASSERT_TRUE(n < 0 && errno == EAGAIN) << "write to the sim failed: " << strerror(errno);
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

// Up to count bytes, as many as arrive within timeoutMs.
Bytes ReadBytes(int fd, size_t count, int timeoutMs)
{
    Bytes got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        unsigned char buf[256];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimDefaults();
        host = OpenHost();
        ASSERT_GE(host, 0) << "cannot open " << SimPort() << ": " << strerror(errno);
    }
    void TearDown() override
    {
        if (host >= 0)
            close(host);
    }
    // Reset, the default announcement, then the start command: the board now takes blocks.
    void Start()
    {
        SimCommand("reset");
        ASSERT_EQ(ReadBytes(host, 2, ANSWER_MS), Text("T1"));
        WriteAll(host, {'H', 0x01});
    }
    int host = -1;
};

struct AnnounceCase {
    const char* command;
    bool bySignal;
    const char* expected;
};

void PrintTo(const AnnounceCase& c, std::ostream* os)
{
    *os << '"' << c.command << (c.bySignal ? "\" + SIGUSR1" : "\"");
}

class Announce : public SimTest, public ::testing::WithParamInterface<AnnounceCase> {};

// Whatever the announcement, the board must take the start command right after it: the zero block's
// answer coming next shows nothing else was sent.
TEST_P(Announce, IsSentOnResetAndThenTheBoardTakesBlocks)
{
    const AnnounceCase& c = GetParam();
    SimCommand(c.command);
    if (c.bySignal) {
        const char* pid = std::getenv("KAVO_SIM_PID");
        ASSERT_NE(pid, nullptr) << "KAVO_SIM_PID is not set";
        ASSERT_EQ(kill(std::atoi(pid), SIGUSR1), 0);
    }
    Bytes expected = Text(c.expected);
    EXPECT_EQ(ReadBytes(host, expected.size(), ANSWER_MS), expected);
    Bytes start = {'H', 0x01};
    Bytes zeros(64, 0);
    start.insert(start.end(), zeros.begin(), zeros.end());
    WriteAll(host, start);
    EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), Bytes({0x00, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Sim, Announce,
    ::testing::Values(AnnounceCase{"reset", false, "T1"},
                      AnnounceCase{"announce 78 54 54 31 reset", false, "xTT1"},
                      AnnounceCase{"--announce 7854 5431 --reset", false, "xTT1"},
                      AnnounceCase{"no-announce reset", false, ""},
                      AnnounceCase{"reset-after 100", false, "T1"},
                      AnnounceCase{"announce 41 42", true, "AB"}));

TEST_F(SimTest, AnswersTheWorkedChecksumsAndRecordsEveryByte)
{
    struct {
        Bytes block;
        Bytes answer;
    } cases[] = {
        {Bytes(64, 0x00), {0x00, 0x00}},
        {{}, {0xE0, 0x03}},
        {Bytes(64, 0xFF), {0xE0, 0xFF}},
        {Text("abc"), {0xC4, 0x62}},
    };
    for (int i = 0; i < 64; ++i)
        cases[1].block.push_back(static_cast<unsigned char>(i));
    cases[3].block.resize(64, 0);

    // Bytes before the reset and noise before the start command are recorded too.
    Bytes sent = Text("zz");
    WriteAll(host, sent);
    ASSERT_TRUE(SimWaitReceived(2, ANSWER_MS));
    SimCommand("reset");
    ASSERT_EQ(ReadBytes(host, 2, ANSWER_MS), Text("T1"));
    Bytes start = {'x', 'H', 0x02, 'H', 0x01};
    WriteAll(host, start);
    sent.insert(sent.end(), start.begin(), start.end());
    for (const auto& c : cases) {
        WriteAll(host, c.block);
        sent.insert(sent.end(), c.block.begin(), c.block.end());
        EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), c.answer);
    }
    EXPECT_TRUE(SimWaitReceived(sent.size(), ANSWER_MS));
    EXPECT_EQ(SimReceived(), sent);
}

enum class Answer { Right, PlusOne, Swapped, None };

struct FaultCase {
    const char* command;
    Answer block[3];
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << '"' << c.command << '"';
}

class Fault : public SimTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, ChangesOnlyTheAnswersItIsFor)
{
    const FaultCase& c = GetParam();
    SimCommand(c.command);
    Start();
    for (int n = 0; n < 3; ++n) {
        Bytes block = Block(static_cast<unsigned char>(n));
        unsigned sum = Checksum(block);
        WriteAll(host, block);
        switch (c.block[n]) {
        case Answer::Right:
            EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst(sum)) << "block " << n;
            break;
        case Answer::PlusOne:
            EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst((sum + 1) & 0xFFFF)) << "block " << n;
            break;
        case Answer::Swapped: {
            Bytes swapped = LowFirst(sum);
            std::swap(swapped[0], swapped[1]);
            EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), swapped) << "block " << n;
            break;
        }
        case Answer::None:
            EXPECT_EQ(ReadBytes(host, 2, SILENCE_MS), Bytes()) << "block " << n;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, Fault,
    ::testing::Values(FaultCase{"bad-checksum 1", {Answer::Right, Answer::PlusOne, Answer::Right}},
                      FaultCase{"swap-checksum", {Answer::Swapped, Answer::Swapped, Answer::Swapped}},
                      FaultCase{"silent-block 1", {Answer::Right, Answer::None, Answer::Right}},
                      FaultCase{"--silent-block 0 --bad-checksum 2", {Answer::None, Answer::Right, Answer::PlusOne}}));

struct SlowCase {
    const char* command;
    std::chrono::nanoseconds atLeast;
};

void PrintTo(const SlowCase& c, std::ostream* os)
{
    *os << '"' << c.command << '"';
}

class Slow : public SimTest, public ::testing::WithParamInterface<SlowCase> {};

// Lower bounds only: a loaded machine may always be slower.
TEST_P(Slow, AnswerComesNoSoonerThanAllowed)
{
    const SlowCase& c = GetParam();
    SimCommand(c.command);
    Start();
    for (int n = 0; n < 2; ++n) {
        Bytes block = Block(static_cast<unsigned char>(n));
        auto t0 = Clock::now();
        WriteAll(host, block);
        Bytes answer = ReadBytes(host, 2, ANSWER_MS + 1000);
        auto elapsed = Clock::now() - t0;
        EXPECT_EQ(answer, LowFirst(Checksum(block))) << "block " << n;
        EXPECT_GE(elapsed, c.atLeast) << "block " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, Slow,
    ::testing::Values(SlowCase{"delay 300", std::chrono::milliseconds(300)},
                      SlowCase{"line-rate", 66 * BYTE_TIME},
                      SlowCase{"line-rate delay 50", std::chrono::milliseconds(50)}));

TEST_F(SimTest, HangupClosesTheLineAndTheLinkThenLeadsToAWorkingOne)
{
    SimCommand("hangup-block 1");
    Start();
    Bytes first = Block(0), second = Block(1);
    WriteAll(host, first);
    ASSERT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst(Checksum(first)));
    WriteAll(host, second);

    // The host sees the hang-up as end of file, an error or POLLHUP.
    bool hungUp = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(ANSWER_MS);
    while (!hungUp && Clock::now() < deadline) {
        pollfd p{host, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            unsigned char b;
            hungUp = (p.revents & (POLLHUP | POLLERR)) || read(host, &b, 1) <= 0;
        }
    }
    ASSERT_TRUE(hungUp);
    Bytes expected = {'H', 0x01};
    expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.begin() + 32);
    EXPECT_EQ(SimReceived(), expected);

    close(host);
    host = OpenHost();
    ASSERT_GE(host, 0) << "the link does not lead to a fresh pty: " << strerror(errno);
    Start();
    WriteAll(host, first);
    EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst(Checksum(first)));
}

TEST_F(SimTest, DefaultsClearFaultsTimersQueuesAndTheRecord)
{
    // Leave an unread announcement in the queue and a reset pending.
    SimCommand("announce 41 42 bad-checksum 0 swap-checksum delay 4000 reset");
    WriteAll(host, Text("junk"));
    ASSERT_TRUE(SimWaitReceived(4, ANSWER_MS));
    SimCommand("reset-after 200");
    SimDefaults();
    EXPECT_TRUE(SimReceived().empty());
    EXPECT_EQ(ReadBytes(host, 1, SILENCE_MS + 200), Bytes());

    // The board is back to "not reset": a start command now goes unanswered...
    Bytes block = Block(5);
    Bytes start = {'H', 0x01};
    start.insert(start.end(), block.begin(), block.end());
    WriteAll(host, start);
    EXPECT_EQ(ReadBytes(host, 2, SILENCE_MS), Bytes());

    // ...and after a reset the default announcement and a right, prompt answer come.
    Start();
    auto t0 = Clock::now();
    WriteAll(host, block);
    EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst(Checksum(block)));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(4000));
}

TEST_F(SimTest, BadCommandIsReportedAndTheSimKeepsGoing)
{
    SimCommand("no-such-command 12");
    SimCommand("bad-checksum x");
    Start();
    Bytes block = Block(7);
    WriteAll(host, block);
    EXPECT_EQ(ReadBytes(host, 2, ANSWER_MS), LowFirst(Checksum(block)));
}

} // namespace
