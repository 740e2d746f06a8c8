// violations.cpp -- the record of the add-on's breaches of the callback protocol.
// The host keeps going after a breach where it can; the tests read the list.
#include <windows.h>

#include <string>
#include <vector>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

static std::vector<std::string> violations;

void RecordViolation(const std::string& text)
{
    violations.push_back(text);
}

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t capacity)
{
    if (buffer != nullptr)
        CopyMemory(buffer, text.data(), text.size() < capacity ? text.size() : capacity);
    return static_cast<uint32_t>(text.size());
}

}  // namespace mhost

using namespace mhost;

extern "C" uint32_t MorvalinViolationCount(void)
{
    return static_cast<uint32_t>(violations.size());
}

extern "C" uint32_t MorvalinViolation(uint32_t index, char* buffer, uint32_t capacity)
{
    return index < violations.size() ? CopyOut(violations[index], buffer, capacity) : 0;
}

extern "C" void MorvalinClearViolations(void)
{
    violations.clear();
}

extern "C" void MorvalinReset(void)
{
    DropVariables();
    ClearFaults();
    violations.clear();
}
