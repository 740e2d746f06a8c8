// watchdog.cpp -- the hang guard's thread: it looks at the armed work ten
// times a second and ends the process once the work is past its limit.
#include "watchdog.h"

#include <stdio.h>

const DWORD HANG_EXIT_CODE = 3;

Watchdog::Watchdog(DWORD limitMilliseconds, std::function<void(const std::string&)> onHang)
    : limit_(limitMilliseconds), onHang_(std::move(onHang))
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

Watchdog::~Watchdog()
{
    InterlockedExchange(&stop_, 1);
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    DeleteCriticalSection(&lock_);
}

void Watchdog::Arm(const std::string& label)
{
    EnterCriticalSection(&lock_);
    label_ = label;
    started_ = GetTickCount();
    armed_ = true;
    LeaveCriticalSection(&lock_);
}

void Watchdog::Disarm()
{
    EnterCriticalSection(&lock_);
    armed_ = false;
    LeaveCriticalSection(&lock_);
}

DWORD WINAPI Watchdog::Watch(void* self)
{
    Watchdog* dog = static_cast<Watchdog*>(self);
    while (!dog->stop_) {
        Sleep(100);
        EnterCriticalSection(&dog->lock_);
        bool hung = dog->armed_ && GetTickCount() - dog->started_ > dog->limit_;
        std::string label = dog->label_;
        LeaveCriticalSection(&dog->lock_);
        if (!hung)
            continue;
        fprintf(stderr, "HANG: \"%s\" ran for more than %lu ms\n", label.c_str(),
                (unsigned long)dog->limit_);
        fflush(stderr);
        if (dog->onHang_)
            dog->onHang_(label);
        fflush(stdout);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), HANG_EXIT_CODE);
    }
    return 0;
}
