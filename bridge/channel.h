// channel.h -- frames between the Windows side and the runner, over the
// process's standard input and the output handle it was started with.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "protocol.h"

namespace bridge {

class Channel {
public:
    // Takes the standard output handle for the frames; the process's own
    // standard output (and the C runtime's) then go to standard error, so that
    // nothing else ever writes into the frames.
    Channel();
    // Queues a frame; it leaves with the next send().
    void queue(FrameWriter& frame);
    // Sends the queued frames and this one; false when the runner is gone.
    bool send(FrameWriter& frame);
    // The next frame's body; false at the end of input or on a broken frame.
    bool receive(std::vector<char>* body);
    bool broken() const { return broken_; }

private:
    bool readExactly(char* buffer, size_t length);
    HANDLE input_;
    HANDLE output_;
    std::string pending_;
    std::vector<char> readBuffer_;
    size_t readStart_ = 0;
    size_t readEnd_ = 0;
    bool broken_ = false;
};

}  // namespace bridge
