// channel.cpp -- frames over the Windows side's standard handles.
#include "channel.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <new>

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

bool Channel::write(const char* at, size_t left)
{
    while (left > 0 && !broken_) {
        DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(output_, at, chunk, &written, nullptr) || written == 0)
            broken_ = true;
        at += written;
        left -= written;
    }
    return !broken_;
}

bool Channel::send(FrameWriter& frame)
{
    return send(frame, nullptr, 0);
}

bool Channel::send(FrameWriter& frame, const char* tail, size_t length)
{
    write(pending_.data(), pending_.size());
    std::string().swap(pending_);  // a large queue gives its memory back
    const std::string& head = frame.frame(length);
    write(head.data(), head.size());
    return write(tail, length);
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

// Reads past a body that there was no room for.
bool Channel::skip(size_t length)
{
    char scratch[4096];
    while (length > 0) {
        size_t take = length < sizeof scratch ? length : sizeof scratch;
        if (!readExactly(scratch, take))
            return false;
        length -= take;
    }
    return true;
}

Received Channel::receive(std::vector<char>* body)
{
    unsigned char header[4];
    if (broken_ || !readExactly(reinterpret_cast<char*>(header), sizeof header)) {
        broken_ = true;
        return CHANNEL_ENDED;
    }
    const uint32_t length = FrameLength(header);
    if (length == 0 || length > FRAME_LIMIT) {
        broken_ = true;
        return CHANNEL_ENDED;
    }
    try {
        if (length > body->capacity())
            std::vector<char>().swap(*body);  // the old bytes are not kept: free them first
        body->resize(length);
    } catch (const std::bad_alloc&) {
        if (skip(length))
            return FRAME_SKIPPED;
        broken_ = true;
        return CHANNEL_ENDED;
    }
    if (!readExactly(body->data(), length)) {
        broken_ = true;
        return CHANNEL_ENDED;
    }
    return FRAME_RECEIVED;
}

}  // namespace bridge
