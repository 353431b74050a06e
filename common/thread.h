// Threads that ReadPortByte may end: started and awaited the same way on Windows and POSIX.
#pragma once

#ifdef _WIN32
#include <windows.h>
typedef HANDLE ThreadRef;
#else
#include <pthread.h>
typedef pthread_t ThreadRef;
#endif

typedef void (*ThreadBody)(void* arg);

// False when the thread could not be created.
bool StartThread(ThreadBody body, void* arg, ThreadRef* thread);

// Waits up to timeoutMs for the thread to end; true when it has ended (it is then released).
// On false the thread is still running and still owned by the caller.
bool WaitThread(ThreadRef thread, unsigned timeoutMs);
