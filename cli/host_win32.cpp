// Windows side of cli/host.h: the console control handler, console detection, and COM ports from the DOS device names.
#include "cli/host.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> s_bStop{0};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        s_bStop = 1;
        return TRUE;
    default:
        return FALSE;
    }
}

bool IsComName(const char* name)
{
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') || (name[2] != 'M' && name[2] != 'm'))
        return false;
    if (name[3] == '\0')
        return false;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
    }
    return true;
}

} // namespace

void InstallStopHandler()
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested()
{
    return s_bStop != 0;
}

void HoldStopSignals(bool)
{
}

bool StdoutIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::vector<std::string> ListSerialPorts()
{
    std::vector<std::string> names;
    std::vector<char> buffer(16384);
    for (;;) {
        DWORD length = QueryDosDeviceA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length != 0)
            break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= (1u << 24))
            return names;
        buffer.resize(buffer.size() * 2);
    }
    // A list of NUL-terminated names ended by an empty one.
    for (const char* name = buffer.data(); *name != '\0'; name += std::strlen(name) + 1) {
        if (IsComName(name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::atoi(a.c_str() + 3) < std::atoi(b.c_str() + 3);
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    // Ports from COM10 on open only through the device namespace.
    for (std::string& name : names) {
        if (name.size() > 4)
            name = "\\\\.\\" + name;
    }
    return names;
}
