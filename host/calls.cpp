// calls.cpp -- registered functions, and calling them the way an interpreter would.
// A call checks the registered argument counts, builds the call frame (whose
// address is the call context), runs the handler, takes back the value it left
// in FunctionResult, and decodes what the handler's return number means.
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

struct Registered {
    FunctionHandler handler;
    uint8_t minimum;
    uint8_t maximum;
};

// REXX names (prefix + name), upper case.
static std::map<std::string, Registered> functions;

static CallFrame* current;

// The word of FunctionResult that the handler must leave alone.
static const uint32_t RESERVED_WORD = 0x4D4F5256;

// Outcome numbers of the add-on's error report: the host then takes the
// outcome from FunctionResult.
static const uint32_t OUTCOMES[] = {OUTCOME_WITH_HEADING, OUTCOME_WITHOUT_HEADING,
                                    OUTCOME_WITH_HEADING & ~OUTCOME_LOW_BITS,
                                    OUTCOME_WITHOUT_HEADING & ~OUTCOME_LOW_BITS,
                                    OUTCOME_FETCH_FAILED};

// Argument texts are not the add-on's to keep: after a call they are
// overwritten with this marker and held a while before being released, so
// that an add-on reading them late reads the marker, not the old text.
static const char STALE_ARGUMENT_BYTE = static_cast<char>(0xDD);
static const size_t STALE_CALLS = 8;
static const size_t STALE_BYTES = 64u << 20;
static std::deque<std::vector<Argument>> staleArguments;
static size_t staleBytes;

static std::string lastValue;

static size_t ArgumentBytes(const std::vector<Argument>& arguments)
{
    size_t bytes = 0;
    for (const Argument& argument : arguments)
        bytes += argument.text.size();
    return bytes;
}

static void RetireArguments(std::vector<Argument>&& arguments)
{
    for (Argument& argument : arguments)
        std::memset(&argument.text[0], STALE_ARGUMENT_BYTE, argument.text.size());
    staleBytes += ArgumentBytes(arguments);
    staleArguments.push_back(std::move(arguments));
    while (staleArguments.size() > STALE_CALLS || staleBytes > STALE_BYTES) {
        staleBytes -= ArgumentBytes(staleArguments.front());
        staleArguments.pop_front();
    }
}

CallFrame* CheckContext(const char* slot, CallContext context)
{
    if (current == nullptr || context != current) {
        RecordViolation(std::string(slot) + ": " +
                        (current == nullptr ? "called outside a call" : "a foreign call context"));
        return nullptr;
    }
    return current;
}

CallFrame* CheckArguments(const char* slot, ArgumentBlock arguments)
{
    if (current == nullptr || arguments != &current->arguments) {
        RecordViolation(std::string(slot) + ": " +
                        (current == nullptr ? "called outside a call" : "a foreign argument block"));
        return nullptr;
    }
    return current;
}

// Slot 7. The names are length-prefixed: the prefix, then one name per
// FunctionEntry, then a zero length.
uint32_t HOSTCALL RegisterFunctions(uint32_t zero, const char* library, const uint8_t* names,
                                    const void* handlers, uint32_t argument)
{
    (void)argument;
    if (zero != 0 || library == nullptr || names == nullptr || handlers == nullptr ||
        names[0] == 0) {
        RecordViolation("RegisterFunctions: malformed call");
        return 1;
    }
    if (FaultFires(Fault::RegisterFunctions))
        return MORVALIN_REGISTER_FAILED;
    const std::string prefix = UpperName(reinterpret_cast<const char*>(names) + 1, names[0]);
    const uint8_t* name = names + 1 + names[0];
    const uint8_t* entryBytes = static_cast<const uint8_t*>(handlers);
    for (; *name != 0; name += 1 + *name, entryBytes += sizeof(FunctionEntry)) {
        FunctionEntry entry;
        std::memcpy(&entry, entryBytes, sizeof entry);
        std::string rexxName = prefix + UpperName(reinterpret_cast<const char*>(name) + 1, *name);
        if (entry.reserved != 0 || entry.handler == nullptr || entry.minimum > entry.maximum) {
            RecordViolation("RegisterFunctions: a malformed entry for " + rexxName);
            continue;
        }
        functions[rexxName] = Registered{entry.handler, entry.minimum, entry.maximum};
    }
    return 0;
}

void ForgetFunctionsIn(uintptr_t begin, uintptr_t end)
{
    for (auto it = functions.begin(); it != functions.end();) {
        uintptr_t address = reinterpret_cast<uintptr_t>(it->second.handler);
        if (address >= begin && address < end)
            it = functions.erase(it);
        else
            ++it;
    }
}

static bool IsOutcomeNumber(uint32_t raw)
{
    for (uint32_t outcome : OUTCOMES)
        if (raw == outcome)
            return true;
    return false;
}

static void Decode(uint32_t raw, const FunctionResult& result, MorvalinOutcome* outcome)
{
    outcome->condition = result.condition;
    if (raw == 0) {
        outcome->kind = MORVALIN_RETURNED;
    } else if (IsOutcomeNumber(raw)) {
        if (result.condition == -1) {
            outcome->kind = MORVALIN_RETURNED;
        } else {
            outcome->kind = MORVALIN_CONDITION;
            outcome->heading = (raw >> 24) == OUTCOME_HEADING_BYTE;
        }
    } else {
        if (raw <= 0xFFFF)
            RecordViolation("handler returned " + UnsignedText(raw) +
                            ": neither an outcome number nor a host error number");
        outcome->kind = MORVALIN_HOST_ERROR;
    }
}

}  // namespace mhost

using namespace mhost;

extern "C" uint32_t MorvalinCall(const char* name, uint32_t count, const char* const* texts,
                                 const uint32_t* lengths, MorvalinOutcome* outcome)
{
    *outcome = MorvalinOutcome{};
    outcome->condition = MORVALIN_CONDITION_SYNTAX;
    lastValue.clear();

    auto it = functions.find(UpperName(name, std::strlen(name)));
    if (it == functions.end()) {
        outcome->kind = MORVALIN_HOST_ERROR;
        outcome->raw = MORVALIN_ERROR_NOT_FOUND;
        return outcome->raw;
    }
    const Registered function = it->second;
    if (count < function.minimum || count > function.maximum) {
        outcome->kind = MORVALIN_HOST_ERROR;
        outcome->raw = MORVALIN_ERROR_CALL;
        return outcome->raw;
    }

    std::unique_ptr<CallFrame> frame;
    try {
        frame = std::make_unique<CallFrame>();
        frame->result = FunctionResult{nullptr, RESERVED_WORD, MORVALIN_CONDITION_SYNTAX};
        for (uint32_t i = 0; i < count; i++) {
            if (texts[i] == nullptr)
                frame->arguments.push_back(Argument{false, std::string()});
            else
                frame->arguments.push_back(Argument{
                    true, std::string(texts[i], lengths != nullptr ? lengths[i] : std::strlen(texts[i]))});
        }
    } catch (const std::bad_alloc&) {
        // An interpreter without the memory for the arguments raises error 5.
        outcome->kind = MORVALIN_HOST_ERROR;
        outcome->raw = MORVALIN_ERROR_RESOURCES;
        return outcome->raw;
    }

    CallFrame* outer = current;
    current = frame.get();
    const uint32_t raw = function.handler(frame.get(), &frame->arguments, &frame->result);
    current = outer;

    outcome->raw = raw;
    outcome->handlerCalled = 1;
    if (frame->result.reserved != RESERVED_WORD)
        RecordViolation("handler changed the reserved word of FunctionResult");
    if (frame->result.value != nullptr &&
        TakeValue(frame->result.value, "FunctionResult.value", &lastValue)) {
        outcome->hasValue = 1;
        outcome->valueLength = static_cast<uint32_t>(lastValue.size());
    }
    Decode(raw, frame->result, outcome);
    RetireArguments(std::move(frame->arguments));
    return raw;
}

extern "C" uint32_t MorvalinOutcomeValue(char* buffer, uint32_t capacity)
{
    return CopyOut(lastValue, buffer, capacity);
}

extern "C" int32_t MorvalinFunctionInfo(const char* name, uint32_t* minimum, uint32_t* maximum)
{
    auto it = functions.find(UpperName(name, std::strlen(name)));
    if (it == functions.end())
        return 0;
    *minimum = it->second.minimum;
    *maximum = it->second.maximum;
    return 1;
}

extern "C" uint32_t MorvalinFunctionNames(char* buffer, uint32_t capacity)
{
    std::string names;
    for (const auto& entry : functions)
        names += entry.first + "\n";
    return CopyOut(names, buffer, capacity);
}
