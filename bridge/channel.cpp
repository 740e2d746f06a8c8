// channel.cpp -- frames over the Windows side's standard handles.
#include "channel.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>

namespace bridge {

static const size_t READ_CHUNK = 64 * 1024;

Channel::Channel() : readBuffer_(READ_CHUNK)
{
    input_ = GetStdHandle(STD_INPUT_HANDLE);
    // A private copy of the output handle carries the frames: the C runtime's
    // descriptor 1 is then pointed at standard error, which closes the original.
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &output_, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        output_ = INVALID_HANDLE_VALUE;
    _setmode(1, _O_BINARY);
    _dup2(2, 1);
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
}

void Channel::queue(FrameWriter& frame)
{
    pending_ += frame.frame();
}

bool Channel::send(FrameWriter& frame)
{
    queue(frame);
    const char* at = pending_.data();
    size_t left = pending_.size();
    while (left > 0 && !broken_) {
        DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(output_, at, chunk, &written, nullptr) || written == 0)
            broken_ = true;
        at += written;
        left -= written;
    }
    pending_.clear();
    return !broken_;
}

bool Channel::readExactly(char* buffer, size_t length)
{
    while (length > 0) {
        if (readStart_ == readEnd_) {
            // Large bodies are read straight into place, small ones through the buffer.
            DWORD got = 0;
            if (length >= READ_CHUNK) {
                DWORD want = length > (1u << 20) ? (1u << 20) : static_cast<DWORD>(length);
                if (!ReadFile(input_, buffer, want, &got, nullptr) || got == 0)
                    return false;
                buffer += got;
                length -= got;
                continue;
            }
            if (!ReadFile(input_, readBuffer_.data(), static_cast<DWORD>(readBuffer_.size()), &got,
                          nullptr) ||
                got == 0)
                return false;
            readStart_ = 0;
            readEnd_ = got;
        }
        size_t take = readEnd_ - readStart_ < length ? readEnd_ - readStart_ : length;
        std::memcpy(buffer, readBuffer_.data() + readStart_, take);
        readStart_ += take;
        buffer += take;
        length -= take;
    }
    return true;
}

bool Channel::receive(std::vector<char>* body)
{
    unsigned char header[4];
    if (broken_ || !readExactly(reinterpret_cast<char*>(header), sizeof header)) {
        broken_ = true;
        return false;
    }
    const uint32_t length = FrameLength(header);
    if (length == 0 || length > FRAME_LIMIT) {
        broken_ = true;
        return false;
    }
    body->resize(length);
    if (!readExactly(body->data(), length)) {
        broken_ = true;
        return false;
    }
    return true;
}

}  // namespace bridge
