// values.cpp -- the values the host hands the add-on, and who owns each one.
// Every value from MakeValue, GetArgumentText or GetKeywordArgument belongs to
// the add-on until it frees it (FreeValue) or hands it back (SetVariable,
// FunctionResult.value). The ledger follows each one, so a test can see
// leaks, double frees, frees of foreign pointers and writes past a value's end.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

// A value's block: the bytes, a NUL, then a guard that must stay intact.
static const size_t GUARD_SIZE = 8;
static const unsigned char GUARD_BYTE = 0xA5;
static const unsigned char UNWRITTEN_BYTE = 0xCD;  // a new value before the add-on writes it
static const unsigned char RETIRED_BYTE = 0xDD;    // a value after it was freed or handed back

// Retired blocks are kept (filled with RETIRED_BYTE) so that a second free is
// told from a free of a foreign pointer, and a late read sees the marker.
// Beyond these bounds the oldest are really released and forgotten.
static const size_t QUARANTINE_COUNT = 4096;
static const size_t QUARANTINE_BYTES = 64u << 20;

enum class Owner { AddOn, Freed, Host };

struct ValueRecord {
    uint32_t length;
    uint32_t serial;
    const char* origin;
    Owner owner;
};

static std::map<const char*, ValueRecord> ledger;
static std::deque<const char*> quarantine;
static size_t quarantineBytes;
static uint32_t liveCount;
static uint32_t nextSerial = 1;

static std::string Describe(const char* value, const ValueRecord& record)
{
    // Eight hex digits, more where a 64-bit address needs them.
    uint64_t bits = reinterpret_cast<uintptr_t>(value);
    char address[20];
    if (bits >> 32)
        wsprintfA(address, "%X%08X", static_cast<unsigned>(bits >> 32), static_cast<unsigned>(bits));
    else
        wsprintfA(address, "%08X", static_cast<unsigned>(bits));
    return std::string(record.origin) + " #" + UnsignedText(record.serial) + " (" +
           UnsignedText(record.length) + " bytes at " + address + ")";
}

static bool GuardIntact(const char* value, const ValueRecord& record)
{
    const unsigned char* guard = reinterpret_cast<const unsigned char*>(value) + record.length + 1;
    for (size_t i = 0; i < GUARD_SIZE; i++)
        if (guard[i] != GUARD_BYTE)
            return false;
    return true;
}

static void Retire(std::map<const char*, ValueRecord>::iterator it, Owner owner, const char* where)
{
    if (!GuardIntact(it->first, it->second))
        RecordViolation(std::string(where) + ": " + Describe(it->first, it->second) +
                        " was written past its end");
    it->second.owner = owner;
    liveCount--;
    std::memset(const_cast<char*>(it->first), RETIRED_BYTE, it->second.length);
    quarantine.push_back(it->first);
    quarantineBytes += it->second.length;
    while (quarantine.size() > QUARANTINE_COUNT || quarantineBytes > QUARANTINE_BYTES) {
        auto oldest = ledger.find(quarantine.front());
        quarantineBytes -= oldest->second.length;
        std::free(const_cast<char*>(oldest->first));
        ledger.erase(oldest);
        quarantine.pop_front();
    }
}

char* NewValue(uint32_t length, const char* origin)
{
    const uint32_t limit = StoreValueLimit();
    if (length > 0x7FFFFFFFu - GUARD_SIZE - 1 || (limit != 0 && length > limit))
        return nullptr;
    char* block = static_cast<char*>(std::malloc(length + 1 + GUARD_SIZE));
    if (block == nullptr)
        return nullptr;
    std::memset(block, UNWRITTEN_BYTE, length);
    block[length] = '\0';
    std::memset(block + length + 1, GUARD_BYTE, GUARD_SIZE);
    ledger[block] = ValueRecord{length, nextSerial++, origin, Owner::AddOn};
    liveCount++;
    return block;
}

char* NewValueFrom(const std::string& bytes, const char* origin)
{
    char* value = NewValue(static_cast<uint32_t>(bytes.size()), origin);
    if (value != nullptr)
        std::memcpy(value, bytes.data(), bytes.size());
    return value;
}

const char* HandedValue(const void* value, const char* where, uint32_t* length)
{
    auto it = ledger.find(static_cast<const char*>(value));
    if (it == ledger.end()) {
        RecordViolation(std::string(where) + ": handed the host a pointer that is not a value it made");
        return nullptr;
    }
    if (it->second.owner != Owner::AddOn) {
        RecordViolation(std::string(where) + ": " + Describe(it->first, it->second) +
                        (it->second.owner == Owner::Freed ? " was already freed"
                                                          : " was already handed to the host"));
        return nullptr;
    }
    *length = it->second.length;
    return it->first;
}

void RetireHanded(const void* value, const char* where)
{
    Retire(ledger.find(static_cast<const char*>(value)), Owner::Host, where);
}

bool TakeValue(const void* value, const char* where, std::string* bytes)
{
    uint32_t length = 0;
    const char* handed = HandedValue(value, where, &length);
    if (handed == nullptr)
        return false;
    bytes->assign(handed, length);
    RetireHanded(value, where);
    return true;
}

// Slot 5.
HostValue HOSTCALL MakeValue(CallContext context, uintptr_t a, uintptr_t b, uint32_t flags)
{
    CheckContext("MakeValue", context);
    if (FaultFires(Fault::MakeValue))
        return nullptr;
    switch (flags) {
    case MAKEVALUE_TEXT:
        if (b != static_cast<uintptr_t>(-1))
            RecordViolation("MakeValue: text copy with b = " + UnsignedText(b) + " (expected -1)");
        if (a == 0) {
            RecordViolation("MakeValue: text copy of a null pointer");
            return nullptr;
        }
        return NewValueFrom(reinterpret_cast<const char*>(a), "MakeValue");
    case MAKEVALUE_LENGTH:
        if (a != b)
            RecordViolation("MakeValue: length form with a = " + UnsignedText(a) + ", b = " +
                            UnsignedText(b) + " (expected equal)");
        return NewValue(static_cast<uint32_t>(a), "MakeValue");
    case MAKEVALUE_NUMBER:
        if (a != 0)
            RecordViolation("MakeValue: number form with a = " + UnsignedText(a) + " (expected 0)");
        return NewValueFrom(SignedText(static_cast<int32_t>(b)), "MakeValue");
    case MAKEVALUE_TEMPLATE: {
        if (a == 0) {
            RecordViolation("MakeValue: template is a null pointer");
            return nullptr;
        }
        std::string text = reinterpret_cast<const char*>(a);
        std::string substitute;
        if (b != 0) {
            const TextSpan* span = reinterpret_cast<const TextSpan*>(b);
            substitute.assign(span->text, span->length);
        }
        for (size_t at = text.find("%_"); at != std::string::npos;
             at = text.find("%_", at + substitute.size()))
            text.replace(at, 2, substitute);
        return NewValueFrom(text, "MakeValue");
    }
    default:
        RecordViolation("MakeValue: unknown flags " + UnsignedText(flags));
        return nullptr;
    }
}

// Slot 6. Freeing null does nothing, as free() does.
void HOSTCALL FreeValue(void* value)
{
    if (value == nullptr)
        return;
    auto it = ledger.find(static_cast<const char*>(value));
    if (it == ledger.end()) {
        RecordViolation("FreeValue: a pointer the host never handed out");
        return;
    }
    if (it->second.owner != Owner::AddOn) {
        RecordViolation("FreeValue: " + Describe(it->first, it->second) +
                        (it->second.owner == Owner::Freed ? " was already freed"
                                                          : " was already handed to the host"));
        return;
    }
    Retire(it, Owner::Freed, "FreeValue");
}

}  // namespace mhost

using namespace mhost;

extern "C" uint32_t MorvalinLiveValues(void)
{
    return liveCount;
}

extern "C" uint32_t MorvalinLiveValueReport(char* buffer, uint32_t capacity)
{
    std::string report;
    for (const auto& entry : ledger)
        if (entry.second.owner == Owner::AddOn)
            report += Describe(entry.first, entry.second) + "\n";
    return CopyOut(report, buffer, capacity);
}

extern "C" uint32_t MorvalinForgetLiveValues(void)
{
    // Retiring may release quarantined blocks, so collect the live ones first.
    std::vector<const char*> live;
    for (const auto& entry : ledger)
        if (entry.second.owner == Owner::AddOn)
            live.push_back(entry.first);
    for (const char* value : live)
        Retire(ledger.find(value), Owner::Freed, "MorvalinForgetLiveValues");
    return static_cast<uint32_t>(live.size());
}
