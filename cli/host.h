// What kavo-upload needs from the operating system beyond the serial link: stop requests, the terminal, port names.
#pragma once

#include <string>
#include <vector>

// Ctrl-C (and SIGTERM, or a console close on Windows) only sets a flag; the main thread acts on it.
void InstallStopHandler();
bool StopRequested();

// Keeps stop signals away from threads started while held, so that they always reach the main
// thread and never interrupt a port write. A no-op where signals are not used.
void HoldStopSignals(bool hold);

// True when stdout is an interactive terminal (the progress bar is redrawn in place there).
bool StdoutIsTerminal();

// The names of this machine's serial ports as OpenSerialPort takes them, in natural order.
std::vector<std::string> ListSerialPorts();
