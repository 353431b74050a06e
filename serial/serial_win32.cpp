// The serial link on Windows: the communications calls of KERNEL32, synchronous, one byte at a time.
#include "serial/serial_port.h"

#include "common/state.h"

namespace {

constexpr DWORD READ_SLICE_MS = 10;

bool Configure(HANDLE port)
{
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = READ_SLICE_MS;
    timeouts.WriteTotalTimeoutMultiplier = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = MAXDWORD;
    if (!SetCommTimeouts(port, &timeouts))
        return false; // not a serial device

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return false;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Every other flag (fParity, fTXContinueOnXoff, fErrorChar, fNull, fAbortOnError) and the
    // XON/XOFF limits and characters stay as the port had them.
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(port, &dcb) != 0;
}

} // namespace

int OpenSerialPort(const char* name)
{
    if (g_hPort != INVALID_HANDLE_VALUE)
        return 1;
    g_hPort = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_hPort == INVALID_HANDLE_VALUE)
        return 0;
    if (!Configure(g_hPort)) {
        CloseSerialPort();
        return 0;
    }
    return 1;
}

void CloseSerialPort()
{
    if (g_hPort == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(g_hPort);
    g_hPort = INVALID_HANDLE_VALUE;
}

void RaiseDtr()
{
    if (g_hPort != INVALID_HANDLE_VALUE)
        EscapeCommFunction(g_hPort, SETDTR);
}

void DropDtr()
{
    if (g_hPort != INVALID_HANDLE_VALUE)
        EscapeCommFunction(g_hPort, CLRDTR);
}

unsigned char ReadPortByte()
{
    for (;;) {
        if (g_bAbort.load() != 0)
            ExitThread(0);
        unsigned char byte = 0;
        DWORD count = 0;
        BOOL ok = ReadFile(g_hPort, &byte, 1, &count, nullptr);
        if (ok && count == 1)
            return byte;
        // A failing port (a removed adapter) fails at once every time: without the pause the loop
        // would spin a core until the user stops it. An empty read has already waited its slice.
        if (!ok)
            Sleep(READ_SLICE_MS);
    }
}

bool WritePortByte(unsigned char value)
{
    DWORD written = 0;
    return WriteFile(g_hPort, &value, 1, &written, nullptr) != 0;
}
