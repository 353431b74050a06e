// The serial link on Linux and other POSIX systems: termios, raw 115200 8N1, exclusive open.
#include "serial/serial_port.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/state.h"

namespace {

constexpr int READ_SLICE_MS = 10;

// Whether this process put the open port into exclusive mode (and so must take it out again).
bool s_bExclusive = false;

bool TakeExclusive(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0)
        return false;
    s_bExclusive = true;
    return true;
}

bool Configure(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false; // not a terminal: an ordinary file, a pipe
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void PauseOneSlice()
{
    timespec pause{0, READ_SLICE_MS * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

} // namespace

int OpenSerialPort(const char* name)
{
    if (g_hPort != NO_PORT)
        return 1;
    // Non-blocking only for the open itself, so a port that waits for carrier cannot hold us.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    g_hPort = fd;
    // TIOCEXCL keeps other programs out, but not root; the lock also stops a second copy of us
    // running as root. Both come before any setting changes, so a refused open leaves the port alone.
    if (!TakeExclusive(fd) || !Configure(fd)
        || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        CloseSerialPort();
        return 0;
    }
    // Opening a tty raises DTR and RTS; the board sees neither until DTR is asked for.
    int bits = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &bits);
    return 1;
}

void CloseSerialPort()
{
    if (g_hPort == NO_PORT)
        return;
    // Exclusive mode outlives us while another process holds the tty open; give it back.
    if (s_bExclusive)
        ioctl(g_hPort, TIOCNXCL);
    s_bExclusive = false;
    close(g_hPort);
    g_hPort = NO_PORT;
}

void RaiseDtr()
{
    if (g_hPort == NO_PORT)
        return;
    int bits = TIOCM_DTR;
    ioctl(g_hPort, TIOCMBIS, &bits);
}

void DropDtr()
{
    if (g_hPort == NO_PORT)
        return;
    int bits = TIOCM_DTR;
    ioctl(g_hPort, TIOCMBIC, &bits);
}

unsigned char ReadPortByte()
{
    for (;;) {
        if (g_bAbort.load() != 0)
            pthread_exit(nullptr);
        pollfd p{g_hPort, POLLIN, 0};
        int ready = poll(&p, 1, READ_SLICE_MS);
        if (ready == 0)
            continue; // quiet line: look at the flag again
        if (ready > 0 && (p.revents & POLLIN) != 0) {
            unsigned char byte = 0;
            ssize_t count = read(g_hPort, &byte, 1);
            if (count == 1)
                return byte;
            if (count < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        } else if (ready < 0 && errno == EINTR) {
            continue;
        }
        // A failing port (unplugged adapter, hang-up) fails at once every time: without the pause
        // the loop would spin a core until the user stops it.
        PauseOneSlice();
    }
}

bool WritePortByte(unsigned char value)
{
    ssize_t written;
    do {
        written = write(g_hPort, &value, 1);
    } while (written < 0 && errno == EINTR);
    return written == 1;
}
