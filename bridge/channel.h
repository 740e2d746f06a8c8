// channel.h -- frames between the Windows side and the runner, over the
// process's standard input and the output handle it was started with.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "protocol.h"

namespace bridge {

// What receive() came to.
enum Received {
    FRAME_RECEIVED,  // the body is in place
    FRAME_SKIPPED,   // no memory for the body: its bytes were read past, the channel goes on
    CHANNEL_ENDED,   // the end of input, or a broken frame
};

class Channel {
public:
    // Takes the standard output handle for the frames; the process's own
    // standard output (and the C runtime's) then go to standard error, so that
    // nothing else ever writes into the frames.
    Channel();
    // Queues a frame; it leaves with the next send(). Throws std::bad_alloc
    // when the queue cannot grow.
    void queue(FrameWriter& frame);
    // Sends the queued frames and this one; false when the runner is gone.
    bool send(FrameWriter& frame);
    // The same, with `length` bytes sent from `tail` as they lie, as the end
    // of the frame's body: a large value leaves without a copy of its own.
    bool send(FrameWriter& frame, const char* tail, size_t length);
    Received receive(std::vector<char>* body);
    bool broken() const { return broken_; }

private:
    bool write(const char* bytes, size_t length);
    bool readExactly(char* buffer, size_t length);
    bool skip(size_t length);
    HANDLE input_;
    HANDLE output_;
    std::string pending_;
    std::vector<char> readBuffer_;
    size_t readStart_ = 0;
    size_t readEnd_ = 0;
    bool broken_ = false;
};

}  // namespace bridge
