// arguments.cpp -- the slots through which a handler reads its arguments.
// Positions count from 1; a position past the last argument reads as omitted.
#include <string>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

// The argument at `position`, or null when it is omitted or absent.
static const Argument* Given(CallFrame* frame, const char* slot, uint32_t position)
{
    if (position == 0) {
        RecordViolation(std::string(slot) + ": argument position 0");
        return nullptr;
    }
    if (frame == nullptr || position > frame->arguments.size())
        return nullptr;
    const Argument& argument = frame->arguments[position - 1];
    return argument.present ? &argument : nullptr;
}

// Slot 15: a copy of the argument for the add-on to free; "" when omitted.
char* HOSTCALL GetArgumentText(CallContext context, ArgumentBlock arguments, uint32_t position)
{
    CheckContext("GetArgumentText", context);
    CallFrame* frame = CheckArguments("GetArgumentText", arguments);
    if (FaultFires(Fault::GetArgumentText))
        return nullptr;
    const Argument* argument = Given(frame, "GetArgumentText", position);
    return NewValueFrom(argument != nullptr ? argument->text : std::string(), "GetArgumentText");
}

// Slot 16. `which` is 0x50000000 + the argument's position. The keywords are
// length-prefixed, ended by a zero length; a match ignores case and needs the
// exact length. Anything else is answered with an error text for the add-on.
HostValue HOSTCALL GetKeywordArgument(CallContext context, ArgumentBlock arguments, uint32_t which,
                                      const uint8_t* keywords, uint32_t zero, uint32_t* choice,
                                      uint32_t zero2)
{
    CheckContext("GetKeywordArgument", context);
    CallFrame* frame = CheckArguments("GetKeywordArgument", arguments);
    const uint32_t position = which & 0xFFFF;
    if ((which & 0xFFFF0000u) != (KEYWORD_ARGUMENT_3 & 0xFFFF0000u) || position == 0 ||
        keywords == nullptr || choice == nullptr || zero != 0 || zero2 != 0) {
        RecordViolation("GetKeywordArgument: malformed call (which " + UnsignedText(which) + ")");
        return NewValueFrom("Incorrect call to routine", "GetKeywordArgument");
    }
    const Argument* argument = Given(frame, "GetKeywordArgument", position);
    if (argument == nullptr)
        return nullptr;

    const std::string wanted = UpperName(argument->text.data(), argument->text.size());
    std::string list;
    uint32_t index = 0;
    for (const uint8_t* keyword = keywords; *keyword != 0; keyword += 1 + *keyword, index++) {
        std::string name = UpperName(reinterpret_cast<const char*>(keyword) + 1, *keyword);
        if (name == wanted && index < 32) {
            *choice = 1u << index;
            return nullptr;
        }
        list += (list.empty() ? "" : ", ") + name;
    }
    return NewValueFrom("Incorrect call to routine: argument " + UnsignedText(position) +
                            " must be one of " + list + "; found \"" + argument->text + "\"",
                        "GetKeywordArgument");
}

// Slot 17. Plain: the argument's own text (NUL-terminated, valid for the
// call) and its length in *word; omitted gives null and 0. With 0x80000000
// added to the position: the argument as a 32-bit word in *word and a nonzero
// result; on failure null, with *word 0 when omitted and MORVALIN_NOT_A_NUMBER
// when it is given but no whole number in range.
const char* HOSTCALL GetArgument(CallContext context, ArgumentBlock arguments, uint32_t position,
                                 uint32_t* word)
{
    CheckContext("GetArgument", context);
    CallFrame* frame = CheckArguments("GetArgument", arguments);
    if (word == nullptr) {
        RecordViolation("GetArgument: null word");
        return nullptr;
    }
    const bool asNumber = (position & ARGUMENT_NUMBER) != 0;
    const Argument* argument = Given(frame, "GetArgument", position & ~ARGUMENT_NUMBER);
    *word = 0;
    if (argument == nullptr)
        return nullptr;
    if (!asNumber) {
        *word = static_cast<uint32_t>(argument->text.size());
        return argument->text.c_str();
    }
    uint32_t number = 0;
    if (!ParseWholeNumber(argument->text.data(), argument->text.size(), &number)) {
        *word = MORVALIN_NOT_A_NUMBER;
        return nullptr;
    }
    *word = number;
    return argument->text.c_str();
}

// Slot 18.
uint32_t HOSTCALL ArgumentPresent(ArgumentBlock arguments, uint32_t position)
{
    CallFrame* frame = CheckArguments("ArgumentPresent", arguments);
    return Given(frame, "ArgumentPresent", position) != nullptr ? 1 : 0;
}

}  // namespace mhost
