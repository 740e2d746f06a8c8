// host.h -- what the parts of the stand-in host share inside morvalin.dll.
// Not for tests or tools: they use morvalin.h.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "hostapi.h"

namespace mhost {

// Protocol breaches by the add-on, kept for the tests to read (violations.cpp).
void RecordViolation(const std::string& text);

// Injected failures (faults.cpp). Each call of the slot counts down; true
// when this call is the one that fails.
enum class Fault { GetVariable, MakeValue, GetArgumentText, RegisterFunctions };
bool FaultFires(Fault fault);
bool SetVariableFails(const std::string& upperName);
void ClearFaults();

// Values handed to the add-on (values.cpp).
// A new value of `length` bytes plus a NUL, owned by the add-on; null when no
// memory is left. The bytes hold a marker until the add-on writes them.
char* NewValue(uint32_t length, const char* origin);
char* NewValueFrom(const std::string& bytes, const char* origin);
// The add-on hands a value to the host (SetVariable, FunctionResult.value):
// its bytes, and the value is no longer the add-on's. False, with a violation
// recorded, when the pointer is no live value.
bool TakeValue(const void* value, const char* where, std::string* bytes);
// The same in two steps, without a copy: the bytes and length of a value the
// add-on hands over, still in its block (null, with a violation recorded,
// when the pointer is no live value), and then the end of that block.
const char* HandedValue(const void* value, const char* where, uint32_t* length);
void RetireHanded(const void* value, const char* where);
HostValue HOSTCALL MakeValue(CallContext context, uintptr_t a, uintptr_t b, uint32_t flags);
void HOSTCALL FreeValue(void* value);

// Variables (variables.cpp).
std::string UpperName(const char* name, size_t length);
// The largest value the variable store in use takes; 0 when there is no bound.
uint32_t StoreValueLimit();
void DropVariables();
const char* HOSTCALL GetVariable(CallContext context, const uint8_t* name, uint32_t zero,
                                 uint32_t* word, uint32_t flags);
uint32_t HOSTCALL SetVariable(CallContext context, const char* name, uint32_t zero,
                              uintptr_t value, uint32_t flags);

// Whole numbers as REXX writes them (numbers.cpp).
bool ParseWholeNumber(const char* text, size_t length, uint32_t* number);
std::string UnsignedText(uint32_t number);
std::string SignedText(int32_t number);
uint32_t HOSTCALL TextToNumber(const char* text, uint32_t length, uint32_t zero, uint32_t flags);
uint32_t HOSTCALL NumberToText(uint32_t number, char* buffer, uint32_t zero);

// The call in progress (calls.cpp). The call context handed to the add-on is
// the address of the CallFrame, the argument block that of its arguments.
struct Argument {
    bool present;
    std::string text;  // NUL-terminated by std::string; may hold NUL bytes itself
};
struct CallFrame {
    FunctionResult result;
    std::vector<Argument> arguments;
};
// Check that a slot got the current call's context or argument block: the
// current frame, or null with a violation recorded.
CallFrame* CheckContext(const char* slot, CallContext context);
CallFrame* CheckArguments(const char* slot, ArgumentBlock arguments);
uint32_t HOSTCALL RegisterFunctions(uint32_t zero, const char* library, const uint8_t* names,
                                    const void* handlers, uint32_t argument);
// Forgets every function whose handler lies in [begin, end).
void ForgetFunctionsIn(uintptr_t begin, uintptr_t end);

// Argument slots (arguments.cpp).
char* HOSTCALL GetArgumentText(CallContext context, ArgumentBlock arguments, uint32_t position);
HostValue HOSTCALL GetKeywordArgument(CallContext context, ArgumentBlock arguments, uint32_t which,
                                      const uint8_t* keywords, uint32_t zero, uint32_t* choice,
                                      uint32_t zero2);
const char* HOSTCALL GetArgument(CallContext context, ArgumentBlock arguments, uint32_t position,
                                 uint32_t* word);
uint32_t HOSTCALL ArgumentPresent(ArgumentBlock arguments, uint32_t position);

// Copies a text out under the exports' protocol: returns its full length.
uint32_t CopyOut(const std::string& text, char* buffer, uint32_t capacity);

}  // namespace mhost
