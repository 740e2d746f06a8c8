// variables.cpp -- the script's variables: the pool, and the slots that read and set it.
// Names are stored upper case, so lookups ignore case; a compound name is the
// stem (with its dot) followed by the tail, e.g. "ITEM.3". Values are byte
// strings and may hold NUL bytes. A store put in place of the pool
// (MorvalinUseVariableStore) answers the two slots instead; names reach it
// exactly as they would reach the pool.
#include <map>
#include <new>
#include <string>
#include <utility>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

static std::map<std::string, std::string> variables;
static const MorvalinVariableStore* store;
// What the store answered, by name: GetVariable's text must stay valid until
// the variable changes, longer than the store keeps it.
static std::map<std::string, std::string> fetched;

std::string UpperName(const char* name, size_t length)
{
    std::string upper(name, length);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// A name a script could assign to: letters, digits and . ! ? _, not starting
// with a digit or a dot. Tails are taken literally (no substitution).
static bool IsVariableName(const std::string& name)
{
    if (name.empty() || (name[0] >= '0' && name[0] <= '9') || name[0] == '.')
        return false;
    for (char c : name) {
        bool letter = c >= 'A' && c <= 'Z';
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.' && c != '!' && c != '?' && c != '_')
            return false;
    }
    return true;
}

void DropVariables()
{
    variables.clear();
}

// Slot 0: the variable's text and its length in *word; null when it has no
// value (word 0), or when the lookup failed (word 5). The text stays valid
// until the variable changes.
const char* HOSTCALL GetVariable(CallContext context, const uint8_t* name, uint32_t zero,
                                 uint32_t* word, uint32_t flags)
{
    CheckContext("GetVariable", context);
    if (zero != 0 || flags != GETVARIABLE_TEXT)
        RecordViolation("GetVariable: third argument " + UnsignedText(zero) + ", flags " +
                        UnsignedText(flags) + " (expected 0 and 0x90000000)");
    if (word == nullptr || name == nullptr) {
        RecordViolation("GetVariable: null name or status word");
        return nullptr;
    }
    if (FaultFires(Fault::GetVariable)) {
        *word = GETVARIABLE_FAILED;
        return nullptr;
    }
    const std::string upper = UpperName(reinterpret_cast<const char*>(name) + 1, name[0]);
    if (store != nullptr) {
        const char* value = nullptr;
        uint32_t length = 0;
        switch (store->fetch(store->self, upper.data(), static_cast<uint32_t>(upper.size()), &value,
                             &length)) {
        case MORVALIN_FETCH_SET:
            try {
                std::string& kept = fetched[upper];
                kept.assign(value, length);
                *word = length;
                return kept.c_str();
            } catch (const std::bad_alloc&) {
                fetched.erase(upper);
                *word = GETVARIABLE_FAILED;  // a value too large to keep: the lookup failed
                return nullptr;
            }
        case MORVALIN_FETCH_UNSET:
            *word = 0;
            return nullptr;
        default:
            *word = GETVARIABLE_FAILED;
            return nullptr;
        }
    }
    auto it = variables.find(upper);
    if (it == variables.end()) {
        *word = 0;
        return nullptr;
    }
    *word = static_cast<uint32_t>(it->second.size());
    return it->second.c_str();
}

// The value SetVariable was handed, for as long as the slot runs: its bytes
// are read where they lie, and the block ends when the slot returns.
struct HandedText {
    const void* value = nullptr;
    const char* bytes = nullptr;
    uint32_t length = 0;
    ~HandedText()
    {
        if (value != nullptr)
            RetireHanded(value, "SetVariable");
    }
};

static uint32_t Assign(const std::string& upper, const char* bytes, uint32_t length)
{
    if (store != nullptr) {
        fetched.erase(upper);
        return store->assign(store->self, upper.data(), static_cast<uint32_t>(upper.size()), bytes,
                             length) == 0 ? 0 : 1;
    }
    variables[upper].assign(bytes, length);
    return 0;
}

// Slot 1. The host takes the value whatever the outcome; nonzero means the
// variable was not set.
uint32_t HOSTCALL SetVariable(CallContext context, const char* name, uint32_t zero,
                              uintptr_t value, uint32_t flags)
{
    CheckContext("SetVariable", context);
    if (zero != 0)
        RecordViolation("SetVariable: third argument " + UnsignedText(zero) + " (expected 0)");

    // Flags: 0x8000000 a tail, 0x4000000 a number instead of a value; the low
    // bits are the tail's number.
    const uint32_t tailNumber = flags & (SETVARIABLE_NUMBER - 1);
    const bool isTail = (flags & SETVARIABLE_TAIL) != 0;
    const bool isNumber = (flags & SETVARIABLE_NUMBER) != 0;

    std::string number;
    HandedText text;
    if (isNumber) {
        if (value > 0xFFFFFFFFu) {  // a 64-bit caller's address, say: the slot takes 32 bits
            RecordViolation("SetVariable: a number wider than 32 bits");
            return 1;
        }
        number = UnsignedText(static_cast<uint32_t>(value));
        text.bytes = number.data();
        text.length = static_cast<uint32_t>(number.size());
    } else if (value == 0) {
        RecordViolation("SetVariable: a null value");
        return 1;
    } else {
        text.bytes = HandedValue(reinterpret_cast<const void*>(value), "SetVariable", &text.length);
        if (text.bytes == nullptr)
            return 1;
        text.value = reinterpret_cast<const void*>(value);
    }
    if ((flags & ~(SETVARIABLE_TAIL | SETVARIABLE_NUMBER | (SETVARIABLE_NUMBER - 1))) != 0 ||
        (!isTail && tailNumber != 0)) {
        RecordViolation("SetVariable: unknown flags " + UnsignedText(flags));
        return 1;
    }
    if (name == nullptr) {
        RecordViolation("SetVariable: a null name");
        return 1;
    }

    std::string upper = UpperName(name, std::char_traits<char>::length(name));
    if (isTail) {
        if (upper.empty() || upper.back() != '.')
            upper += '.';
        upper += UnsignedText(tailNumber);
    }
    if (!IsVariableName(upper) || SetVariableFails(upper))
        return 1;
    return Assign(upper, text.bytes, text.length);
}

uint32_t StoreValueLimit()
{
    return store != nullptr ? store->valueLimit : 0;
}

}  // namespace mhost

using namespace mhost;

extern "C" void MorvalinSetVariable(const char* name, const char* value, uint32_t length)
{
    variables[UpperName(name, std::char_traits<char>::length(name))].assign(value, length);
}

extern "C" int32_t MorvalinGetVariable(const char* name, char* buffer, uint32_t capacity,
                                       uint32_t* length)
{
    auto it = variables.find(UpperName(name, std::char_traits<char>::length(name)));
    if (it == variables.end())
        return 0;
    uint32_t full = CopyOut(it->second, buffer, capacity);
    if (length != nullptr)
        *length = full;
    return 1;
}

extern "C" void MorvalinDropVariable(const char* name)
{
    std::string upper = UpperName(name, std::char_traits<char>::length(name));
    if (upper.empty() || upper.back() != '.') {
        variables.erase(upper);
        return;
    }
    // The stem itself and every compound name under it.
    auto it = variables.lower_bound(upper);
    while (it != variables.end() && it->first.compare(0, upper.size(), upper) == 0)
        it = variables.erase(it);
}

extern "C" void MorvalinDropVariables(void)
{
    variables.clear();
}

extern "C" void MorvalinUseVariableStore(const MorvalinVariableStore* newStore)
{
    store = newStore;
    fetched.clear();
}
