// faults.cpp -- failures that a test makes the host report on purpose.
// A countdown per slot makes exactly the nth call from now fail, so a test can
// fail each step of an operation in turn.
#include <set>
#include <string>

#include "host.h"
#include "morvalin_exports.h"

namespace mhost {

static uint32_t countdown[4];  // by Fault; 0: no failure planned
static std::set<std::string> failingNames;

bool FaultFires(Fault fault)
{
    uint32_t& left = countdown[static_cast<int>(fault)];
    if (left == 0)
        return false;
    return --left == 0;
}

bool SetVariableFails(const std::string& upperName)
{
    if (failingNames.count(upperName) != 0)
        return true;
    // "S." names every tail of the stem S.
    size_t dot = upperName.find('.');
    return dot != std::string::npos && failingNames.count(upperName.substr(0, dot + 1)) != 0;
}

void ClearFaults()
{
    for (uint32_t& left : countdown)
        left = 0;
    failingNames.clear();
}

}  // namespace mhost

using namespace mhost;

extern "C" void MorvalinFailGetVariable(uint32_t nth)
{
    countdown[static_cast<int>(Fault::GetVariable)] = nth;
}

extern "C" void MorvalinFailMakeValue(uint32_t nth)
{
    countdown[static_cast<int>(Fault::MakeValue)] = nth;
}

extern "C" void MorvalinFailGetArgumentText(uint32_t nth)
{
    countdown[static_cast<int>(Fault::GetArgumentText)] = nth;
}

extern "C" void MorvalinFailRegisterFunctions(uint32_t nth)
{
    countdown[static_cast<int>(Fault::RegisterFunctions)] = nth;
}

extern "C" void MorvalinFailSetVariable(const char* name)
{
    if (name != nullptr)
        failingNames.insert(UpperName(name, std::char_traits<char>::length(name)));
}

extern "C" void MorvalinClearFaults(void)
{
    ClearFaults();
}
