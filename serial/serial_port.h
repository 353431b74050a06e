// The six operations on the one serial port; serial_win32.cpp and serial_posix.cpp implement them.
#pragma once

// Opens and configures the port (115200 8N1, raw, no flow control, 10 ms read slice).
// 1 on success (also when a port is already open), 0 on failure with the port left closed.
int OpenSerialPort(const char* name);

void CloseSerialPort();
void RaiseDtr();
void DropDtr();

// Returns the next byte from the line. When g_bAbort is set, ends the calling thread
// (exit code 0) instead; so only call it on a thread started for that purpose.
unsigned char ReadPortByte();

// One byte, one write call. Returns the platform call's success; callers may ignore it.
bool WritePortByte(unsigned char value);
