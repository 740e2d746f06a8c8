// winside.h -- the Windows side as the runner sees it: a tvbridge.exe process
// under Wine, started at the first call and ended with the script.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "protocol.h"

namespace rexxrun {

struct WindowsSideConfig {
    std::string bridgeDir;  // the folder of tvbridge.exe and morvalin.dll
    std::string addon;      // tarvune.dll (a Linux path)
    std::string wine;       // the wine program: "wine", or a path
};

class WindowsSide {
public:
    explicit WindowsSide(WindowsSideConfig config) : config_(std::move(config)) {}
    ~WindowsSide() { stop(); }

    // Starts the process in the current directory and waits until the add-on
    // is loaded. False when something is missing or the start failed; failure()
    // then says what, in one line, and every later start fails the same way.
    bool ensureStarted();
    bool send(bridge::FrameWriter& frame);
    // The next frame's body; false when the process ended or broke the protocol.
    bool receive(std::vector<char>* body);
    // The process died or broke the protocol during `during`: it is killed,
    // and the failure kept.
    void fail(const std::string& during);
    // Closes its input and waits for it to release the add-on; kills it if it
    // does not end in time. Idempotent.
    void stop();

    bool failed() const { return !failure_.empty(); }
    const std::string& failure() const { return failure_; }
    pid_t pid() const { return pid_; }

private:
    std::string missing() const;
    std::string howItEnded();
    bool readExactly(char* buffer, size_t length, int timeoutMs);
    void kill();

    WindowsSideConfig config_;
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string failure_;
    std::vector<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
};

}  // namespace rexxrun
