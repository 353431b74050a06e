// Stands in for the control board's resident loader on a pseudo-terminal, so uploads can be tested without hardware.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// 10 bits per byte on a 115200 baud 8N1 line.
constexpr Nanos BYTE_TIME{86806};
constexpr int BLOCK_BYTES = 64;

enum class Phase { NotReset, WaitH, WaitOne, Blocks };

struct Faults {
    std::vector<unsigned char> announce{0x54, 0x31};
    long badBlock = -1;
    bool swap = false;
    long silentBlock = -1;
    long hangupBlock = -1;
    long delayMs = 0;
    bool lineRate = false;
};

struct Answer {
    Clock::time_point due;
    unsigned char bytes[2];
};

// Line and files.
static int g_master = -1;
static int g_slave = -1;
static std::string g_link;
static std::string g_recordPath;
static int g_record = -1;
static std::string g_controlPath;
static int g_control = -1;
static bool g_stdinOpen = true;
static long g_controlLines = 0;
static bool g_quiet = false;
static bool g_quit = false;

// Board state.
static Faults g_faults;
static Phase g_phase = Phase::NotReset;
static long g_block = 0;
static unsigned char g_blockBuf[BLOCK_BYTES];
static int g_blockFill = 0;
static std::optional<Clock::time_point> g_resetAt;
static Clock::time_point g_lastArrival{};
static std::deque<Answer> g_answers;
static std::vector<unsigned char> g_out;

static volatile sig_atomic_t g_sigReset = 0;
static volatile sig_atomic_t g_sigQuit = 0;

static void Event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void Event(const char* fmt, ...)
{
    if (g_quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
}

// Errors are always shown: a test that sent a bad command needs to see why. Before the
// loop runs they are start-up errors and go where the usage text goes.
static bool g_running = false;
static void ReportError(const std::string& text)
{
    if (g_running)
        printf("error %s\n", text.c_str());
    else
        fprintf(stderr, "kavo-board-sim: %s\n", text.c_str());
}

static void Usage(FILE* to)
{
    fputs(
        "usage: kavo-board-sim --link PATH [options]\n"
        "Plays the board's resident loader on a pseudo-terminal whose slave is reached through PATH.\n"
        "\n"
        "  --link PATH          where the symlink to the pty slave goes (replaces an old one)\n"
        "  --record PATH        append every byte from the host to PATH (truncated at start)\n"
        "  --control PATH       FIFO read for command lines (created if missing); each processed\n"
        "                       line bumps the count in PATH.ack\n"
        "  --announce HEX       bytes sent on reset, hex pairs, spaces optional (default \"54 31\")\n"
        "  --no-announce        send nothing on reset\n"
        "  --reset-after MS     press reset MS milliseconds from now\n"
        "  --bad-checksum N     answer block N (from 0) with the checksum + 1\n"
        "  --swap-checksum      send every checksum high byte first\n"
        "  --silent-block N     never answer block N\n"
        "  --hangup-block N     hang up after half of block N, then offer a fresh pty at PATH\n"
        "  --delay MS           wait MS before every checksum answer\n"
        "  --line-rate          answer no sooner than a 115200 8N1 line would allow\n"
        "  --quiet              no event lines on stdout\n"
        "  --help               this text\n"
        "\n"
        "Control lines (FIFO or stdin) take the same words, \"--\" optional, plus the actions\n"
        "reset, defaults (faults, announcement, timers, queues, record and state back to the\n"
        "start) and quit. SIGUSR1 presses reset; SIGTERM, SIGINT and quit remove the link and exit.\n"
        "\n"
        "Native use:   kavo-board-sim --link /tmp/board --reset-after 500 &\n"
        "              kavo-upload --port /tmp/board firmware.bin\n"
        "Under Wine:   Wine rewrites dosdevices/com1 itself, so map the port in the registry:\n"
        "              wine reg add 'HKLM\\Software\\Wine\\Ports' /v COM1 /d /tmp/board /f\n"
        "              then run the Windows program with port COM1.\n",
        to);
}

static bool OpenPty(int* master, int* slave)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0)
        return false;
    const char* name = nullptr;
    int s = -1;
    if (grantpt(m) == 0 && unlockpt(m) == 0 && (name = ptsname(m)) != nullptr)
        s = open(name, O_RDWR | O_NOCTTY);
    if (s < 0) {
        close(m);
        return false;
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(s, TCSANOW, &t);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    *master = m;
    *slave = s;
    return true;
}

// Symlink to a temporary name and rename over the link, so a host never finds it missing.
static bool PointLink(const std::string& link, int slave)
{
    const char* target = ttyname(slave);
    if (!target)
        return false;
    std::string tmp = link + ".new";
    unlink(tmp.c_str());
    if (symlink(target, tmp.c_str()) != 0)
        return false;
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

static void WriteAck()
{
    if (g_controlPath.empty())
        return;
    std::string ack = g_controlPath + ".ack";
    std::string tmp = ack + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    std::string text = std::to_string(g_controlLines) + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    if (n == static_cast<ssize_t>(text.size()))
        rename(tmp.c_str(), ack.c_str());
}

static bool OpenRecord(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    if (g_record >= 0)
        close(g_record);
    g_record = fd;
    g_recordPath = path;
    return true;
}

static void Record(const unsigned char* data, size_t n)
{
    while (g_record >= 0 && n > 0) {
        ssize_t w = write(g_record, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        data += w;
        n -= static_cast<size_t>(w);
    }
}

static void PressReset()
{
    g_answers.clear();
    g_out.clear();
    g_blockFill = 0;
    g_block = 0;
    g_phase = Phase::WaitH;
    Event("reset");
    g_out.insert(g_out.end(), g_faults.announce.begin(), g_faults.announce.end());
}

// The old pair is closed only after the link leads to the new one, so a host that sees the
// hang-up and reopens the link reaches the fresh pty straight away.
static void HangUp()
{
    int m = -1, s = -1;
    bool fresh = OpenPty(&m, &s) && PointLink(g_link, s);
    close(g_master);
    close(g_slave);
    g_master = m;
    g_slave = s;
    g_answers.clear();
    g_out.clear();
    g_blockFill = 0;
    g_phase = Phase::NotReset;
    Event("hangup");
    if (!fresh) {
        ReportError("cannot make a fresh pty");
        g_quit = true;
    }
}

static void BlockDone(Clock::time_point now)
{
    long n = g_block++;
    if (n == g_faults.silentBlock) {
        Event("block %ld silent", n);
        return;
    }
    unsigned sum = 0;
    for (int k = 0; k < BLOCK_BYTES; k += 2)
        sum += g_blockBuf[k] | (g_blockBuf[k + 1] << 8);
    bool bad = n == g_faults.badBlock;
    if (bad)
        sum += 1;
    sum &= 0xFFFF;
    Answer a;
    a.due = now + std::chrono::milliseconds(g_faults.delayMs);
    if (g_faults.lineRate && g_lastArrival + 2 * BYTE_TIME > a.due)
        a.due = g_lastArrival + 2 * BYTE_TIME;
    unsigned char lo = sum & 0xFF, hi = sum >> 8;
    a.bytes[0] = g_faults.swap ? hi : lo;
    a.bytes[1] = g_faults.swap ? lo : hi;
    g_answers.push_back(a);
    Event("block %ld %s", n, bad ? "bad" : "ok");
}

// Feeds one byte from the host to the loader; false when the line is to be hung up now.
static bool TakeByte(unsigned char b, Clock::time_point now)
{
    // A byte occupies the line for one byte time, from when it was sent or the line became free.
    // Only modelled while asked for: bytes that came faster than the line would leave a backlog
    // that a later timed upload would wait out.
    g_lastArrival = g_faults.lineRate ? std::max(now, g_lastArrival) + BYTE_TIME : now;
    switch (g_phase) {
    case Phase::NotReset:
        break;
    case Phase::WaitH:
        if (b == 0x48)
            g_phase = Phase::WaitOne;
        break;
    case Phase::WaitOne:
        if (b == 0x01) {
            g_phase = Phase::Blocks;
            g_block = 0;
            g_blockFill = 0;
            Event("start");
        } else {
            g_phase = Phase::WaitH;
        }
        break;
    case Phase::Blocks:
        g_blockBuf[g_blockFill++] = b;
        if (g_blockFill == BLOCK_BYTES / 2 && g_block == g_faults.hangupBlock)
            return false;
        if (g_blockFill == BLOCK_BYTES) {
            g_blockFill = 0;
            BlockDone(now);
        }
        break;
    }
    return true;
}

static void ReadHost()
{
    unsigned char buf[4096];
    for (;;) {
        ssize_t n = read(g_master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        Clock::time_point now = Clock::now();
        ssize_t used = 0;
        bool open = true;
        while (used < n && open)
            open = TakeByte(buf[used++], now);
        // Recorded before the host can see the hang-up or an answer to these bytes.
        Record(buf, static_cast<size_t>(used));
        if (!open) {
            HangUp();
            return;
        }
    }
}

static void Defaults()
{
    g_faults = Faults{};
    g_resetAt.reset();
    g_answers.clear();
    g_out.clear();
    tcflush(g_master, TCIOFLUSH);
    tcflush(g_slave, TCIOFLUSH);
    if (g_record >= 0)
        ftruncate(g_record, 0);
    g_phase = Phase::NotReset;
    g_block = 0;
    g_blockFill = 0;
}

static bool ParseNumber(const std::string& word, long min, long* out)
{
    if (word.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min)
        return false;
    *out = v;
    return true;
}

static bool IsHex(const std::string& word)
{
    if (word.empty())
        return false;
    for (char c : word)
        if (!isxdigit(static_cast<unsigned char>(c)) && c != ' ')
            return false;
    return true;
}

static bool ParseHex(const std::string& text, std::vector<unsigned char>* out)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

// Applies option and action words in order. At start-up (startup == true) the file options
// are taken as given; while running, bad words are reported and the rest of the line skipped.
static bool ApplyWords(const std::vector<std::string>& words, bool startup)
{
    for (size_t i = 0; i < words.size(); ++i) {
        std::string w = words[i];
        if (w.rfind("--", 0) == 0)
            w = w.substr(2);
        auto arg = [&](std::string* value) {
            if (i + 1 >= words.size()) {
                ReportError("missing value for " + w);
                return false;
            }
            *value = words[++i];
            return true;
        };
        auto number = [&](long min, long* out) {
            std::string v;
            if (!arg(&v))
                return false;
            if (!ParseNumber(v, min, out)) {
                ReportError("bad number for " + w + ": " + v);
                return false;
            }
            return true;
        };
        std::string v;
        long n = 0;
        if (w == "link") {
            if (!arg(&v))
                return false;
            if (!startup) {
                if (!PointLink(v, g_slave)) {
                    ReportError("cannot make link " + v);
                    return false;
                }
                if (v != g_link)
                    unlink(g_link.c_str());
            }
            g_link = v;
        } else if (w == "record") {
            if (!arg(&v))
                return false;
            if (!OpenRecord(v)) {
                ReportError("cannot open record " + v);
                return false;
            }
        } else if (w == "control") {
            if (!arg(&v))
                return false;
            if (!startup) {
                ReportError("the control FIFO is fixed while running");
                return false;
            }
            g_controlPath = v;
        } else if (w == "announce") {
            if (!arg(&v))
                return false;
            // On a control line the pairs arrive as separate words.
            while (i + 1 < words.size() && IsHex(words[i + 1]))
                v += words[++i];
            if (!ParseHex(v, &g_faults.announce)) {
                ReportError("bad announcement: " + v);
                return false;
            }
        } else if (w == "no-announce") {
            g_faults.announce.clear();
        } else if (w == "reset-after") {
            if (!number(0, &n))
                return false;
            g_resetAt = Clock::now() + std::chrono::milliseconds(n);
        } else if (w == "bad-checksum") {
            if (!number(-1, &g_faults.badBlock))
                return false;
        } else if (w == "swap-checksum") {
            g_faults.swap = true;
        } else if (w == "silent-block") {
            if (!number(-1, &g_faults.silentBlock))
                return false;
        } else if (w == "hangup-block") {
            if (!number(-1, &g_faults.hangupBlock))
                return false;
        } else if (w == "delay") {
            if (!number(0, &g_faults.delayMs))
                return false;
        } else if (w == "line-rate") {
            g_faults.lineRate = true;
        } else if (w == "quiet") {
            g_quiet = true;
        } else if (w == "help") {
            Usage(stdout);
            if (startup)
                exit(0);
        } else if (w == "reset" && !startup) {
            PressReset();
        } else if (w == "defaults" && !startup) {
            Defaults();
        } else if (w == "quit" && !startup) {
            g_quit = true;
        } else {
            ReportError("unknown command: " + words[i]);
            return false;
        }
    }
    return true;
}

static void RunLine(const std::string& line)
{
    std::vector<std::string> words;
    size_t p = 0;
    while (p < line.size()) {
        size_t s = line.find_first_not_of(" \t\r", p);
        if (s == std::string::npos)
            break;
        size_t e = line.find_first_of(" \t\r", s);
        if (e == std::string::npos)
            e = line.size();
        words.push_back(line.substr(s, e - s));
        p = e;
    }
    ApplyWords(words, false);
}

// Reads what is there and runs every complete line; false at end of file.
static bool ReadLines(int fd, std::string* pending, bool acked)
{
    char buf[1024];
    if (fcntl(fd, F_GETFD) < 0)
        return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    pending->append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending->find('\n')) != std::string::npos) {
        std::string line = pending->substr(0, nl);
        pending->erase(0, nl + 1);
        RunLine(line);
        if (acked) {
            ++g_controlLines;
            WriteAck();
        }
    }
    return true;
}

static void OnSignal(int sig)
{
    if (sig == SIGUSR1)
        g_sigReset = 1;
    else
        g_sigQuit = 1;
}

// Moves answers that are due into the output, and returns how long until the next timer.
static std::optional<Nanos> RunTimers()
{
    Clock::time_point now = Clock::now();
    if (g_resetAt && *g_resetAt <= now) {
        g_resetAt.reset();
        PressReset();
    }
    while (!g_answers.empty() && g_answers.front().due <= now) {
        g_out.push_back(g_answers.front().bytes[0]);
        g_out.push_back(g_answers.front().bytes[1]);
        g_answers.pop_front();
    }
    std::optional<Nanos> wait;
    if (g_resetAt)
        wait = *g_resetAt - now;
    if (!g_answers.empty() && (!wait || g_answers.front().due - now < *wait))
        wait = g_answers.front().due - now;
    return wait;
}

static void WriteHost()
{
    while (!g_out.empty()) {
        ssize_t n = write(g_master, g_out.data(), g_out.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        g_out.erase(g_out.begin(), g_out.begin() + n);
    }
}

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!ApplyWords(args, true)) {
        Usage(stderr);
        return 2;
    }
    if (g_link.empty()) {
        fputs("kavo-board-sim: --link PATH is required\n", stderr);
        Usage(stderr);
        return 2;
    }

    sigset_t block, waitMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &waitMask);
    sigdelset(&waitMask, SIGUSR1);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    if (!g_controlPath.empty()) {
        struct stat st {};
        if (stat(g_controlPath.c_str(), &st) != 0 && mkfifo(g_controlPath.c_str(), 0644) != 0) {
            perror(("kavo-board-sim: mkfifo " + g_controlPath).c_str());
            return 1;
        }
        g_control = open(g_controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (g_control < 0) {
            perror(("kavo-board-sim: " + g_controlPath).c_str());
            return 1;
        }
        WriteAck();
    }
    if (!OpenPty(&g_master, &g_slave)) {
        perror("kavo-board-sim: pty");
        return 1;
    }
    if (!PointLink(g_link, g_slave)) {
        perror(("kavo-board-sim: link " + g_link).c_str());
        return 1;
    }
    printf("ready %s\n", g_link.c_str());
    g_running = true;

    std::string stdinLine, controlLine;
    while (!g_quit) {
        if (g_sigQuit)
            break;
        if (g_sigReset) {
            g_sigReset = 0;
            PressReset();
        }
        std::optional<Nanos> wait = RunTimers();
        WriteHost();

        pollfd fds[3];
        int nfds = 0;
        fds[nfds++] = {g_master, static_cast<short>(POLLIN | (g_out.empty() ? 0 : POLLOUT)), 0};
        int stdinAt = -1, controlAt = -1;
        if (g_stdinOpen) {
            stdinAt = nfds;
            fds[nfds++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (g_control >= 0) {
            controlAt = nfds;
            fds[nfds++] = {g_control, POLLIN, 0};
        }
        timespec ts{}, *tsp = nullptr;
        if (wait) {
            long long ns = std::max<long long>(0, wait->count());
            ts.tv_sec = ns / 1000000000;
            ts.tv_nsec = ns % 1000000000;
            tsp = &ts;
        }
        int r = ppoll(fds, nfds, tsp, &waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            perror("kavo-board-sim: poll");
            break;
        }
        if (fds[0].revents & POLLIN)
            ReadHost();
        if (stdinAt >= 0 && (fds[stdinAt].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            g_stdinOpen = ReadLines(STDIN_FILENO, &stdinLine, false);
        if (controlAt >= 0 && (fds[controlAt].revents & POLLIN))
            ReadLines(g_control, &controlLine, true);
    }

    unlink(g_link.c_str());
    close(g_master);
    close(g_slave);
    if (g_control >= 0)
        close(g_control);
    if (g_record >= 0)
        close(g_record);
    return 0;
}
