// addon.h -- what the add-on's files share: the host's table, the handlers,
// result reporting and the host error numbers of bad arguments.
#pragma once

#include <windows.h>

#include "hostapi.h"
#include "archive.h"

// Filled by the host at process attach.
extern HostApi hostApi;
// The add-on's own module, for its string table.
extern HINSTANCE addonInstance;

// Host error numbers: 40 (incorrect call to a routine) + 256 x argument
// position + 65536 x detail.
const uint32_t HOSTERR_ARG1_NOT_NUMBER = 917800;     // 0xE0128
const uint32_t HOSTERR_ARG2_NOT_NUMBER = 918056;     // 0xE0228
const uint32_t HOSTERR_ARG3_NOT_NUMBER = 918312;     // 0xE0328
const uint32_t HOSTERR_ARG1_NOT_HANDLE = 2359592;    // 0x240128
const uint32_t HOSTERR_ARG3_NOT_KEYWORD = 1835816;   // 0x1C0328

// Turns a result code into the function's value or a condition, as the
// script's ZIPERR and ZIPHEADING choose; returns the outcome number.
uint32_t ReportResultCode(CallContext context, FunctionResult* result, uint32_t code);
// 0 when `text` equals the upper-case `keyword` of `length` characters,
// ignoring case; else the difference of the first unequal characters.
int CompareNoCase(const char* text, const char* keyword, uint32_t length);
// Loads string `id` of the add-on's table; false when there is none.
bool LoadAddonString(uint32_t id, char* buffer, int size);

// The archive whose handle is argument 1, or a host error number.
uint32_t LookupArchive(CallContext context, ArgumentBlock arguments, Archive** archive);

// A Windows handle that crossed the host as a 32-bit number. A 64-bit
// process's handles have 32 significant bits, sign-extended (so that -1 stays
// INVALID_HANDLE_VALUE); in a 32-bit process this is the number itself.
inline HANDLE HandleFromNumber(uint32_t number)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(number)));
}

// The seven REXX functions.
uint32_t HOSTCALL CloseFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL ErrMsgFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL FindItemFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL GetItemFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL OpenFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL SetCurrentItemFunction(CallContext, ArgumentBlock, FunctionResult*);
uint32_t HOSTCALL SetRootDirFunction(CallContext, ArgumentBlock, FunctionResult*);
