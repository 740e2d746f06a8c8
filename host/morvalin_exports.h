// morvalin_exports.h -- the plain C functions that morvalin.dll exports for tests and tools.
// Only C types cross the boundary (each module links its own C++ runtime):
// texts go in as pointer and length, and come out through a caller's buffer.
// Every function that copies a text out returns the text's full length and
// copies at most `capacity` bytes, so a caller asks once for the length and
// again with a buffer that fits. morvalin.h wraps all of this for C++.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef MORVALIN_BUILDING
#define MORVALIN_API __declspec(dllexport)
#else
#define MORVALIN_API __declspec(dllimport)
#endif

// The condition number the host presets in FunctionResult before each call;
// it stands for SYNTAX. No outcome the add-on builds produces it (-1, 0, 1, 5
// and 7 to 206), so a condition left as preset is told apart at once.
#define MORVALIN_CONDITION_SYNTAX 3

// What a call came to.
#define MORVALIN_RETURNED 0    // the function returned, with or without a value
#define MORVALIN_CONDITION 1   // a condition was raised
#define MORVALIN_HOST_ERROR 2  // a REXX error was raised: by the handler's number, or by the host itself

// REXX errors that the host raises itself, without calling a handler; the
// outcome's `raw` is then the error number alone.
#define MORVALIN_ERROR_CALL 40       // too few or too many arguments
#define MORVALIN_ERROR_NOT_FOUND 43  // no function of that name
#define MORVALIN_ERROR_RESOURCES 5   // no memory for the call's arguments

// The word GetArgument leaves when a given argument is not a whole number.
#define MORVALIN_NOT_A_NUMBER 41

// What RegisterFunctions answers when a test makes it fail.
#define MORVALIN_REGISTER_FAILED 0xFA11

// Exit code of the process when the add-on calls a slot that the host does not offer.
#define MORVALIN_UNUSED_SLOT_EXIT 86

// Answers of MorvalinLoadAddon.
#define MORVALIN_LOADED 0
#define MORVALIN_LOAD_FAILED 1        // LoadLibraryA failed; lastError says why
#define MORVALIN_NO_FEEDBACK 2        // the library has no RexxFeedback export (it is unloaded again)
#define MORVALIN_ALREADY_LOADED 3     // one add-on at a time

typedef struct MorvalinOutcome {
    uint32_t raw;           // what the handler returned; the REXX error number when the host raised one
    int32_t kind;           // MORVALIN_RETURNED, MORVALIN_CONDITION or MORVALIN_HOST_ERROR
    int32_t handlerCalled;  // 0 when the host refused the call before reaching the handler
    int32_t hasValue;       // FunctionResult.value was set: the value or the description
    uint32_t valueLength;
    int32_t condition;      // FunctionResult.condition after the call
    int32_t heading;        // a condition with an outcome number 0x28...: ZIPHEADING had a value
} MorvalinOutcome;

// Calls -------------------------------------------------------------------

// Calls a registered function by its REXX name (any case). texts[i] null means
// argument i+1 is omitted; lengths may be null when every text is NUL-terminated.
// Returns outcome->raw. The value text is kept until the next call.
MORVALIN_API uint32_t MorvalinCall(const char* name, uint32_t count, const char* const* texts,
                                   const uint32_t* lengths, MorvalinOutcome* outcome);
MORVALIN_API uint32_t MorvalinOutcomeValue(char* buffer, uint32_t capacity);

// 1 when a function of that name is registered, with its argument counts.
MORVALIN_API int32_t MorvalinFunctionInfo(const char* name, uint32_t* minimum, uint32_t* maximum);
// Every registered name, each followed by a newline, in alphabetical order.
MORVALIN_API uint32_t MorvalinFunctionNames(char* buffer, uint32_t capacity);

// Add-ons -----------------------------------------------------------------

// LoadLibraryA, then RexxFeedback(1, argument), whose result lands in *feedbackResult.
MORVALIN_API int32_t MorvalinLoadAddon(const char* path, uint32_t argument,
                                       uint32_t* feedbackResult, uint32_t* lastError);
// RexxFeedback(op, argument) of the loaded add-on; returns 0 when none is loaded.
MORVALIN_API int32_t MorvalinFeedback(uint32_t op, uint32_t argument, uint32_t* result);
// Forgets the functions the add-on registered and frees the library.
MORVALIN_API void MorvalinUnloadAddon(void);

// How often RexxGetMorvalinFuncs was called, and with which size and version last.
MORVALIN_API uint32_t MorvalinBindCount(uint32_t* lastSize, uint32_t* lastVersion);

// Variables ---------------------------------------------------------------

// Names are case-insensitive; values are byte strings.
MORVALIN_API void MorvalinSetVariable(const char* name, const char* value, uint32_t length);
// 1 and the value (its length in *length) when the variable is set; 0 when not.
MORVALIN_API int32_t MorvalinGetVariable(const char* name, char* buffer, uint32_t capacity,
                                         uint32_t* length);
// A name ending in "." drops the stem with all its tails.
MORVALIN_API void MorvalinDropVariable(const char* name);
MORVALIN_API void MorvalinDropVariables(void);

// A variable store in place of the host's own pool: the add-on's GetVariable
// and SetVariable are then answered by it (the bridge answers them from a real
// interpreter's pool). Names arrive upper case, a tail after the stem's dot
// ("ITEM.3"); values are bytes with their length.
#define MORVALIN_FETCH_UNSET 0   // the variable has no value
#define MORVALIN_FETCH_SET 1     // *value and *length hold it, valid until the store's next call
#define MORVALIN_FETCH_FAILED 2  // the lookup itself failed
typedef struct MorvalinVariableStore {
    int32_t (*fetch)(void* self, const char* name, uint32_t nameLength, const char** value,
                     uint32_t* length);
    // 0 when the variable was set. The value is the add-on's own block, lent
    // for the call: the store copies what it keeps.
    int32_t (*assign)(void* self, const char* name, uint32_t nameLength, const char* value,
                      uint32_t length);
    void* self;
    // The largest value the store takes, in bytes (0: no bound). While the
    // store is in use, the host makes no larger value for the add-on: it
    // answers null, as a host out of memory does, and the add-on reports 2.
    uint32_t valueLimit;
} MorvalinVariableStore;
// Null: the host's own pool again. The store must outlive its use.
MORVALIN_API void MorvalinUseVariableStore(const MorvalinVariableStore* store);

// Injected failures -------------------------------------------------------

// The nth call from now (1: the next) fails; 0 cancels.
MORVALIN_API void MorvalinFailGetVariable(uint32_t nth);      // null with status word 5
MORVALIN_API void MorvalinFailMakeValue(uint32_t nth);        // null
MORVALIN_API void MorvalinFailGetArgumentText(uint32_t nth);  // null
MORVALIN_API void MorvalinFailRegisterFunctions(uint32_t nth); // MORVALIN_REGISTER_FAILED, nothing registered
// SetVariable of this name returns nonzero (a name ending in "." covers every
// tail of the stem); the host still takes the value. Names add up.
MORVALIN_API void MorvalinFailSetVariable(const char* name);
MORVALIN_API void MorvalinClearFaults(void);

// Ownership ledger and violations -----------------------------------------

// Values that the add-on holds: made or copied out for it and not yet freed or handed back.
MORVALIN_API uint32_t MorvalinLiveValues(void);
// One line per live value: where it came from, its serial number and length.
MORVALIN_API uint32_t MorvalinLiveValueReport(char* buffer, uint32_t capacity);
// Releases every live value as if the add-on had freed it; returns how many there were.
MORVALIN_API uint32_t MorvalinForgetLiveValues(void);

// Breaches of the callback protocol (double or unknown frees, wrong arguments, unused slots).
MORVALIN_API uint32_t MorvalinViolationCount(void);
MORVALIN_API uint32_t MorvalinViolation(uint32_t index, char* buffer, uint32_t capacity);
MORVALIN_API void MorvalinClearViolations(void);

// Drops every variable, clears the injected failures and the violations.
// Live values, registered functions and the add-on stay.
MORVALIN_API void MorvalinReset(void);

#ifdef __cplusplus
}
#endif
