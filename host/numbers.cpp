// numbers.cpp -- whole numbers in REXX's notation, and the two number slots.
// A whole number is an optional sign and decimal digits, with blanks allowed
// around the number and between the sign and the digits, as REXX allows.
// The host works in 32-bit words: -2147483648 to 4294967295 fit, the negative
// ones as their two's complement.
#include <string>

#include "host.h"

namespace mhost {

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool ParseWholeNumber(const char* text, size_t length, uint32_t* number)
{
    size_t at = 0;
    while (at < length && IsBlank(text[at]))
        at++;
    bool negative = false;
    if (at < length && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        at++;
        while (at < length && IsBlank(text[at]))
            at++;
    }
    size_t firstDigit = at;
    uint64_t magnitude = 0;
    while (at < length && text[at] >= '0' && text[at] <= '9') {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[at] - '0');
        if (magnitude > 0xFFFFFFFFull)
            return false;  // past every 32-bit word; leading zeros never get here
        at++;
    }
    if (at == firstDigit)
        return false;
    while (at < length && IsBlank(text[at]))
        at++;
    if (at != length)
        return false;
    if (negative) {
        if (magnitude > 0x80000000ull)
            return false;
        *number = static_cast<uint32_t>(0 - magnitude);
    } else {
        *number = static_cast<uint32_t>(magnitude);
    }
    return true;
}

std::string UnsignedText(uint32_t number)
{
    return std::to_string(number);
}

std::string SignedText(int32_t number)
{
    return std::to_string(number);
}

// Slot 19. A text that is no whole number gives 0, which no caller takes for
// a number it accepts (ZIPERR accepts 1 to 200).
uint32_t HOSTCALL TextToNumber(const char* text, uint32_t length, uint32_t zero, uint32_t flags)
{
    if (zero != 0 || flags != TEXTTONUMBER_WHOLE)
        RecordViolation("TextToNumber: third argument " + UnsignedText(zero) + ", flags " +
                        UnsignedText(flags) + " (expected 0 and 0x80000000)");
    uint32_t number = 0;
    if (text == nullptr || !ParseWholeNumber(text, length, &number))
        return 0;
    return number;
}

// Slot 20: the digits of an unsigned number, without a NUL.
uint32_t HOSTCALL NumberToText(uint32_t number, char* buffer, uint32_t zero)
{
    if (zero != 0)
        RecordViolation("NumberToText: third argument " + UnsignedText(zero) + " (expected 0)");
    std::string digits = UnsignedText(number);
    digits.copy(buffer, digits.size());
    return static_cast<uint32_t>(digits.size());
}

}  // namespace mhost
