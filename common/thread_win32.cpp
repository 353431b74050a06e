// Windows threads for StartThread/WaitThread.
#include "common/thread.h"

#include <cstdlib>

namespace {

struct Start {
    ThreadBody body;
    void* arg;
};

DWORD WINAPI Trampoline(LPVOID param)
{
    // Freed before the body runs: the body may end the thread without returning here.
    Start start = *static_cast<Start*>(param);
    std::free(param);
    start.body(start.arg);
    return 0;
}

} // namespace

bool StartThread(ThreadBody body, void* arg, ThreadRef* thread)
{
    Start* start = static_cast<Start*>(std::malloc(sizeof(Start)));
    if (start == nullptr)
        return false;
    start->body = body;
    start->arg = arg;
    HANDLE handle = CreateThread(nullptr, 0, Trampoline, start, 0, nullptr);
    if (handle == nullptr) {
        std::free(start);
        return false;
    }
    *thread = handle;
    return true;
}

bool WaitThread(ThreadRef thread, unsigned timeoutMs)
{
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0)
        return false;
    CloseHandle(thread);
    return true;
}
