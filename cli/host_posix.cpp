// Linux side of cli/host.h: signal flags, isatty, and serial ports found through sysfs.
#include "cli/host.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t s_bStop = 0;

void OnStopSignal(int)
{
    s_bStop = 1;
}

bool PathExists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// A serial-core port (ttyS*, ttyAMA*, ...) publishes its UART type; 0 is PORT_UNKNOWN, a slot
// with no UART behind it. Drivers outside the serial core (ttyUSB*, ttyACM*) publish none.
bool HasUnknownUartType(const std::string& sysDir)
{
    FILE* file = std::fopen((sysDir + "/type").c_str(), "r");
    if (file == nullptr)
        return false;
    int type = -1;
    bool unknown = std::fscanf(file, "%d", &type) == 1 && type == 0;
    std::fclose(file);
    return unknown;
}

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t stemA = a.find_last_not_of("0123456789") + 1;
    size_t stemB = b.find_last_not_of("0123456789") + 1;
    int order = a.compare(0, stemA, b, 0, stemB);
    if (order != 0)
        return order < 0;
    return std::atol(a.c_str() + stemA) < std::atol(b.c_str() + stemB);
}

} // namespace

void InstallStopHandler()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: nothing here waits in a call that must be resumed.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of our output that goes away must not kill us with DTR still raised.
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested()
{
    return s_bStop != 0;
}

void HoldStopSignals(bool hold)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

std::vector<std::string> ListSerialPorts()
{
    // sysfs tells which ttys are backed by a device without opening them: opening a tty raises
    // DTR and RTS, which resets many boards.
    std::vector<std::string> names;
    DIR* dir = opendir("/sys/class/tty");
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        std::string sysDir = "/sys/class/tty/" + name;
        // Virtual consoles, ptys and the console alias have no device behind them.
        if (!PathExists(sysDir + "/device"))
            continue;
        if (HasUnknownUartType(sysDir))
            continue;
        if (PathExists("/dev/" + name))
            names.push_back("/dev/" + name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}
