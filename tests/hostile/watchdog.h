// watchdog.h -- a hang guard: a thread that ends the process, after saying
// what was running, when one piece of work takes longer than its limit.
// A hang in the add-on never returns to the test, so only another thread can
// report it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class Watchdog {
public:
    // `onHang` runs on the watchdog's thread with the label of the work that
    // hung, just before the process ends with exit code 3.
    explicit Watchdog(DWORD limitMilliseconds,
                      std::function<void(const std::string&)> onHang = nullptr);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Starts timing a piece of work; Disarm ends it.
    void Arm(const std::string& label);
    void Disarm();

private:
    static DWORD WINAPI Watch(void* self);

    DWORD limit_;
    std::function<void(const std::string&)> onHang_;
    CRITICAL_SECTION lock_;
    std::string label_;
    DWORD started_ = 0;
    bool armed_ = false;
    volatile LONG stop_ = 0;
    HANDLE thread_ = nullptr;
};
