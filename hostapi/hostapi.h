// hostapi.h -- the interpreter host's callback table, the records that cross it
// and the outcome numbers of a call. The add-on, the stand-in host and the
// bridge all compile against this one definition.
// The host (morvalin.dll) fills the 21 slots through RexxGetMorvalinFuncs;
// every slot is stdcall. Only the slots named here are ever called.
#pragma once

#include <stdint.h>

// A host value: the first character of a string that the host owns.
typedef char* HostValue;

// The third argument of every function handler. The host presets `condition`
// and reads the whole record back when the handler returns an outcome number.
struct FunctionResult {
    HostValue value;      // the function's value or a condition's description; null on entry
    uint32_t reserved;    // left alone
    int32_t condition;    // -1: none; 0 ERROR; 1 FAILURE; 5; n + 6: user condition n
};

// FunctionResult.condition as the add-on sets it.
const int32_t CONDITION_NONE = -1;       // the function returns `value`
const int32_t CONDITION_ERROR = 0;
const int32_t CONDITION_FAILURE = 1;
const int32_t CONDITION_BAD_ZIPERR = 5;  // ZIPERR holds a value it does not accept
const int32_t CONDITION_USER_BASE = 6;   // + n: user condition n (1 to 200)

// Outcome numbers: a handler returns one of these when the host is to take
// the call's outcome from FunctionResult. The top byte 0x28 asks for a
// heading with a raised condition; the low 24 bits are cleared when ZIPERR is
// not understood.
const uint32_t OUTCOME_WITH_HEADING = 0x280000C7;
const uint32_t OUTCOME_WITHOUT_HEADING = 0x310000C7;
const uint32_t OUTCOME_LOW_BITS = 0x00FFFFFF;
const uint32_t OUTCOME_FETCH_FAILED = 5;  // reading ZIPERR or ZIPHEADING failed in the host
const uint32_t OUTCOME_HEADING_BYTE = 0x28;

// The (pointer, length) pair that a "%_" in a MakeValue template stands for.
struct TextSpan {
    const char* text;
    uint32_t length;
};

typedef void* CallContext;    // opaque, handed back unchanged
typedef void* ArgumentBlock;  // opaque, handed back unchanged

#define HOSTCALL __stdcall

// Flags of the slots, as the host understands them.
const uint32_t GETVARIABLE_TEXT = 0x90000000;
const uint32_t GETVARIABLE_FAILED = 5;          // status word of a failed lookup

const uint32_t SETVARIABLE_VALUE = 0;           // a host value
const uint32_t SETVARIABLE_NUMBER = 0x4000000;  // a 32-bit number
const uint32_t SETVARIABLE_TAIL = 0x8000000;    // + n: a host value into tail n of a stem
const uint32_t SETVARIABLE_TAIL_NUMBER = 0xC000000;  // + n (1 to 3): a number into tail n

const uint32_t MAKEVALUE_LENGTH = 0;            // a = b = length; the caller writes the characters
const uint32_t MAKEVALUE_TEXT = 0x10000000;     // a = NUL-terminated text, b = -1
const uint32_t MAKEVALUE_TEMPLATE = 0x20000000; // a = template, b = null or a TextSpan* for "%_"
const uint32_t MAKEVALUE_NUMBER = 0x80000000;   // a = 0, b = the number

const uint32_t ARGUMENT_NUMBER = 0x80000000;    // + position: the argument as a 32-bit integer
const uint32_t KEYWORD_ARGUMENT_3 = 0x50000003; // GetKeywordArgument: argument 3
const uint32_t TEXTTONUMBER_WHOLE = 0x80000000;

// Slot types. Argument positions count from 1.
typedef const char* (HOSTCALL* GetVariableFn)(CallContext, const uint8_t* name, uint32_t zero,
                                              uint32_t* word, uint32_t flags);
typedef uint32_t (HOSTCALL* SetVariableFn)(CallContext, const char* name, uint32_t zero,
                                           uintptr_t value, uint32_t flags);
typedef HostValue (HOSTCALL* MakeValueFn)(CallContext, uintptr_t a, uintptr_t b, uint32_t flags);
typedef void (HOSTCALL* FreeValueFn)(void* value);
typedef uint32_t (HOSTCALL* RegisterFunctionsFn)(uint32_t zero, const char* library,
                                                 const uint8_t* names, const void* handlers,
                                                 uint32_t argument);
typedef char* (HOSTCALL* GetArgumentTextFn)(CallContext, ArgumentBlock, uint32_t position);
typedef HostValue (HOSTCALL* GetKeywordArgumentFn)(CallContext, ArgumentBlock, uint32_t which,
                                                   const uint8_t* keywords, uint32_t zero,
                                                   uint32_t* choice, uint32_t zero2);
typedef const char* (HOSTCALL* GetArgumentFn)(CallContext, ArgumentBlock, uint32_t position,
                                              uint32_t* word);
typedef uint32_t (HOSTCALL* ArgumentPresentFn)(ArgumentBlock, uint32_t position);
typedef uint32_t (HOSTCALL* TextToNumberFn)(const char* text, uint32_t length, uint32_t zero,
                                            uint32_t flags);
typedef uint32_t (HOSTCALL* NumberToTextFn)(uint32_t number, char* buffer, uint32_t zero);

typedef void (HOSTCALL* UnusedSlotFn)(void);

// The table, 21 pointer-sized slots (84 bytes in a 32-bit process): slots 0
// to 20 in order.
struct HostApi {
    GetVariableFn GetVariable;                // 0
    SetVariableFn SetVariable;                // 1
    UnusedSlotFn unused2, unused3, unused4;   // 2-4
    MakeValueFn MakeValue;                    // 5
    FreeValueFn FreeValue;                    // 6
    RegisterFunctionsFn RegisterFunctions;    // 7
    UnusedSlotFn unused8, unused9, unused10, unused11, unused12, unused13, unused14;  // 8-14
    GetArgumentTextFn GetArgumentText;        // 15
    GetKeywordArgumentFn GetKeywordArgument;  // 16
    GetArgumentFn GetArgument;                // 17
    ArgumentPresentFn ArgumentPresent;        // 18
    TextToNumberFn TextToNumber;              // 19
    NumberToTextFn NumberToText;              // 20
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(HostApi) == 84, "HostApi is 21 32-bit slots");
#else
static_assert(sizeof(HostApi) == 21 * sizeof(void*), "HostApi is 21 pointer-sized slots");
#endif

const uint32_t HOSTAPI_SIZE = sizeof(HostApi);
const uint32_t HOSTAPI_VERSION = 271;

// The host's entry, exported undecorated from morvalin.dll.
typedef uint32_t (HOSTCALL* RexxGetMorvalinFuncsFn)(HostApi* table, uint32_t size, uint32_t version);

// A function handler: (call context, argument block, result) -> 0, a host
// error number (above 0xFFFF) or an outcome number of ReportResultCode.
typedef uint32_t (HOSTCALL* FunctionHandler)(CallContext, ArgumentBlock, FunctionResult*);

// One entry of the handler table: 4 bytes, the handler's address, 2 bytes
// (10 in a 32-bit process), packed, no terminator.
#pragma pack(push, 1)
struct FunctionEntry {
    uint32_t reserved;
    FunctionHandler handler;
    uint8_t minimum;
    uint8_t maximum;
};
#pragma pack(pop)
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(FunctionEntry) == 10, "FunctionEntry is packed to 10 bytes");
#else
static_assert(sizeof(FunctionEntry) == 4 + sizeof(void*) + 2, "FunctionEntry is packed");
#endif
