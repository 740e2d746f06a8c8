// protocol.h -- the messages between the REXX runner and the Windows side.
// Both sides include this file: the runner is a Linux program, the Windows
// side a 32-bit Windows program under Wine, and they talk over the Windows
// side's standard input and output.
//
// A message is a frame: its body length as 4 bytes (little-endian), then the
// body: one byte naming the message, then its fields. A number is 4 bytes,
// little-endian; a text is its length as a number, then its bytes (any bytes:
// values of every byte value and of any size cross unchanged).
//
// A call goes like this:
//
//   runner                          Windows side
//   CALL name dir args   ------->
//                        <-------   SET name value       (no answer)
//                        <-------   FETCH name
//   VALUE status text    ------->
//                        <-------   DONE outcome
//
// The Windows side sends SETs without waiting; the runner applies them in the
// order they come, before it answers the FETCH or takes the DONE that follows,
// so every read sees every earlier assignment. The runner ends the Windows side
// by closing its input.
#pragma once

#include <stdint.h>

#include <string>

namespace bridge {

enum Message : uint8_t {
    // Windows side to runner.
    MESSAGE_READY = 'R',  // status (READY_LOADED or READY_FAILED), text: what failed
    MESSAGE_SET = 'S',    // name, value: assign a variable
    MESSAGE_FETCH = 'F',  // name: answer with VALUE
    MESSAGE_DONE = 'D',   // kind, raw, handler called, has value, value, condition name:
                          // the call ended
    // Runner to Windows side.
    MESSAGE_CALL = 'C',   // function name, directory (empty: unchanged), count, then
                          // for each argument: present (0 or 1), text
    MESSAGE_VALUE = 'V',  // status (a VALUE_... number), value
};

// The status of a VALUE.
const uint32_t VALUE_UNSET = 0;   // the variable has no value
const uint32_t VALUE_SET = 1;
const uint32_t VALUE_FAILED = 2;  // the lookup failed

// The kind of a DONE.
const uint32_t DONE_RETURNED = 0;    // the function returned its value (has value 0: none)
const uint32_t DONE_CONDITION = 1;   // the add-on raised the named condition; value: its description
const uint32_t DONE_HOST_ERROR = 2;  // a host error number (raw), e.g. 40 + 256 x position + 65536 x detail

const uint32_t READY_LOADED = 0;
const uint32_t READY_FAILED = 1;

// The largest value that crosses: a variable's value, a VALUE, or all of a
// CALL's arguments together. The Windows side makes no larger value for the
// add-on (it answers as a host out of memory does: the add-on reports 2), and
// the runner refuses a call whose arguments are larger.
const uint32_t VALUE_LIMIT = 1u << 30;
// A frame's body may not be larger: such a value with its name and fields.
// It bounds what a broken peer can make the other side allocate.
const uint32_t FRAME_LIMIT = VALUE_LIMIT + (1u << 16);

// The host error number of a call that found no memory for its arguments or
// its outcome on the Windows side (REXX error 5, "System resources exhausted").
const uint32_t HOST_ERROR_RESOURCES = 5;

// Builds one frame: fields are appended to the body, frame() gives the bytes to send.
class FrameWriter {
public:
    explicit FrameWriter(Message message) : bytes_(4, '\0') { byte(message); }
    FrameWriter& byte(uint8_t value)
    {
        bytes_ += static_cast<char>(value);
        return *this;
    }
    FrameWriter& number(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            bytes_ += static_cast<char>((value >> shift) & 0xFF);
        return *this;
    }
    // Bytes as they are, with no length: the rest of a text whose length was
    // written as a number.
    FrameWriter& bytes(const char* data, size_t length)
    {
        bytes_.append(data, length);
        return *this;
    }
    FrameWriter& text(const char* data, size_t length)
    {
        number(static_cast<uint32_t>(length));
        return bytes(data, length);
    }
    FrameWriter& text(const std::string& value) { return text(value.data(), value.size()); }
    // Whether `more` bytes beyond the body so far still fit a frame.
    bool fits(uint64_t more) const { return bytes_.size() - 4 + more <= FRAME_LIMIT; }
    // The whole frame, its length filled in; `tail` bytes that the caller
    // sends right behind it count as the end of its body.
    const std::string& frame(size_t tail = 0)
    {
        const uint32_t body = static_cast<uint32_t>(bytes_.size() - 4 + tail);
        for (int i = 0; i < 4; i++)
            bytes_[i] = static_cast<char>((body >> (8 * i)) & 0xFF);
        return bytes_;
    }

private:
    std::string bytes_;
};

// Reads the fields of one frame's body. A field that runs past the end sets
// failed() and reads as 0 or empty; the caller checks failed() once at the end.
class FrameReader {
public:
    FrameReader(const char* body, size_t length) : at_(body), left_(length) {}
    Message message() { return static_cast<Message>(byte()); }
    uint8_t byte()
    {
        if (left_ < 1)
            return fail(), 0;
        left_--;
        return static_cast<uint8_t>(*at_++);
    }
    uint32_t number()
    {
        if (left_ < 4)
            return fail(), 0;
        uint32_t value = 0;
        for (int i = 0; i < 4; i++)
            value |= static_cast<uint32_t>(static_cast<uint8_t>(at_[i])) << (8 * i);
        at_ += 4;
        left_ -= 4;
        return value;
    }
    // The text's bytes stay in the frame's buffer; *length gets their count.
    const char* text(uint32_t* length)
    {
        *length = number();
        if (*length > left_) {
            *length = 0;
            return fail(), "";
        }
        const char* start = at_;
        at_ += *length;
        left_ -= *length;
        return start;
    }
    std::string text()
    {
        uint32_t length = 0;
        const char* data = text(&length);
        return std::string(data, length);
    }
    bool failed() const { return failed_; }

private:
    void fail()
    {
        failed_ = true;
        left_ = 0;
    }
    const char* at_;
    size_t left_;
    bool failed_ = false;
};

// The 4-byte length that starts a frame.
inline uint32_t FrameLength(const unsigned char header[4])
{
    return static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
           static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
}

}  // namespace bridge
