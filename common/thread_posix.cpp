// POSIX threads for StartThread/WaitThread.
#include "common/thread.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

struct Start {
    ThreadBody body;
    void* arg;
};

void* Trampoline(void* param)
{
    // Freed before the body runs: the body may end the thread without returning here.
    Start start = *static_cast<Start*>(param);
    std::free(param);
    start.body(start.arg);
    return nullptr;
}

} // namespace

bool StartThread(ThreadBody body, void* arg, ThreadRef* thread)
{
    Start* start = static_cast<Start*>(std::malloc(sizeof(Start)));
    if (start == nullptr)
        return false;
    start->body = body;
    start->arg = arg;
    if (pthread_create(thread, nullptr, Trampoline, start) != 0) {
        std::free(start);
        return false;
    }
    return true;
}

bool WaitThread(ThreadRef thread, unsigned timeoutMs)
{
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}
