// Lets a test program steer the board simulator that tests/with-sim.sh started for it, on both builds.
#pragma once

#include <cstddef>
#include <vector>

// The port name of the simulated board (KAVO_SIM_PORT); ends the program if it is not set.
const char* SimPort();

// Sends one command line to the simulator and waits (up to 20 s) until it has been processed;
// a time-out is reported as a test failure.
void SimCommand(const char* line);

// Faults, announcement, timers, queues, record and board state back to the start.
void SimDefaults();

// Every byte the simulator has received from the host so far.
std::vector<unsigned char> SimReceived();

// Waits until the simulator has received at least count bytes; false after timeoutMs.
bool SimWaitReceived(size_t count, unsigned timeoutMs);
