// morvalin.h -- the stand-in host as tests and tools use it from C++.
// Header-only on purpose: std::string and friends never cross into
// morvalin.dll, which only sees the plain C functions of morvalin_exports.h.
//
//   morvalin::Host host;
//   host.loadAddon("tarvune.dll");
//   morvalin::Outcome out = host.call("UNZIPOPEN", {"h", "a.zip"});
//   auto h = host.variable("h");
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "morvalin_exports.h"

namespace morvalin {

// An argument the script left out, as in UNZIPOPEN(v, a, , 'pw').
struct Omitted {};
inline constexpr Omitted omitted{};

// One argument of a call: a text (which may hold NUL bytes) or omitted.
class Arg {
public:
    Arg(const char* text) : text_(std::string(text)) {}
    Arg(std::string text) : text_(std::move(text)) {}
    Arg(Omitted) {}
    const std::optional<std::string>& text() const { return text_; }

private:
    std::optional<std::string> text_;
};

enum class Kind { Returned = MORVALIN_RETURNED, Condition = MORVALIN_CONDITION, HostError = MORVALIN_HOST_ERROR };

// How a call ended, as the script sees it.
struct Outcome {
    uint32_t raw = 0;               // the handler's return, or the REXX error the host raised itself
    Kind kind = Kind::Returned;
    bool handlerCalled = false;
    std::optional<std::string> value;  // the function's value, or the condition's description
    int32_t condition = MORVALIN_CONDITION_SYNTAX;  // FunctionResult.condition after the call
    bool heading = false;           // a condition whose report has a heading (ZIPHEADING set)

    // A host error number: REXX error, argument position and detail, a byte each.
    uint32_t rexxError() const { return raw & 0xFF; }
    uint32_t position() const { return (raw >> 8) & 0xFF; }
    uint32_t detail() const { return (raw >> 16) & 0xFF; }
    std::string description() const { return value.value_or(std::string()); }
};

struct AddonLoad {
    int32_t status = MORVALIN_LOAD_FAILED;  // MORVALIN_LOADED, _LOAD_FAILED, _NO_FEEDBACK, _ALREADY_LOADED
    uint32_t feedbackResult = 0;            // what RexxFeedback(1, argument) returned
    uint32_t lastError = 0;                 // GetLastError when loading failed
    bool loaded() const { return status == MORVALIN_LOADED; }
};

namespace detail {
// Copies a text out of the DLL under its protocol: ask for the length, then fetch.
template <typename Fetch>
std::string CopyText(Fetch fetch)
{
    std::string text(fetch(nullptr, 0), '\0');
    if (!text.empty())
        fetch(&text[0], static_cast<uint32_t>(text.size()));
    return text;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}
}  // namespace detail

// The host's state is process-wide; any number of Host objects see the same host.
class Host {
public:
    // Calls a function by its REXX name, e.g. "UNZIPOPEN"; the argument count is args.size().
    Outcome call(const std::string& name, const std::vector<Arg>& args) const
    {
        std::vector<const char*> texts;
        std::vector<uint32_t> lengths;
        for (const Arg& arg : args) {
            texts.push_back(arg.text() ? arg.text()->data() : nullptr);
            lengths.push_back(arg.text() ? static_cast<uint32_t>(arg.text()->size()) : 0);
        }
        MorvalinOutcome raw{};
        MorvalinCall(name.c_str(), static_cast<uint32_t>(args.size()), texts.data(), lengths.data(),
                     &raw);
        Outcome outcome;
        outcome.raw = raw.raw;
        outcome.kind = static_cast<Kind>(raw.kind);
        outcome.handlerCalled = raw.handlerCalled != 0;
        outcome.condition = raw.condition;
        outcome.heading = raw.heading != 0;
        if (raw.hasValue)
            outcome.value = detail::CopyText(MorvalinOutcomeValue);
        return outcome;
    }

    // Registered functions: their minimum and maximum counts, and all names.
    std::optional<std::pair<uint32_t, uint32_t>> functionCounts(const std::string& name) const
    {
        uint32_t minimum = 0, maximum = 0;
        if (!MorvalinFunctionInfo(name.c_str(), &minimum, &maximum))
            return std::nullopt;
        return std::make_pair(minimum, maximum);
    }
    std::vector<std::string> functionNames() const
    {
        return detail::Lines(detail::CopyText(MorvalinFunctionNames));
    }

    // Add-ons: LoadLibraryA + RexxFeedback(1, argument); later RexxFeedback(op, argument).
    AddonLoad loadAddon(const std::string& path, uint32_t argument = 0) const
    {
        AddonLoad load;
        load.status = MorvalinLoadAddon(path.c_str(), argument, &load.feedbackResult, &load.lastError);
        return load;
    }
    std::optional<uint32_t> feedback(uint32_t op, uint32_t argument = 0) const
    {
        uint32_t result = 0;
        if (!MorvalinFeedback(op, argument, &result))
            return std::nullopt;
        return result;
    }
    void unloadAddon() const { MorvalinUnloadAddon(); }

    uint32_t bindCount() const { return MorvalinBindCount(nullptr, nullptr); }
    std::pair<uint32_t, uint32_t> lastBinding() const  // size and version
    {
        uint32_t size = 0, version = 0;
        MorvalinBindCount(&size, &version);
        return {size, version};
    }

    // Variables: names ignore case; a stem's tails are "STEM.n".
    void setVariable(const std::string& name, const std::string& value) const
    {
        MorvalinSetVariable(name.c_str(), value.data(), static_cast<uint32_t>(value.size()));
    }
    std::optional<std::string> variable(const std::string& name) const
    {
        uint32_t length = 0;
        if (!MorvalinGetVariable(name.c_str(), nullptr, 0, &length))
            return std::nullopt;
        std::string value(length, '\0');
        if (length != 0)
            MorvalinGetVariable(name.c_str(), &value[0], length, &length);
        return value;
    }
    void dropVariable(const std::string& name) const { MorvalinDropVariable(name.c_str()); }
    void dropVariables() const { MorvalinDropVariables(); }

    // Injected failures: the nth call from now (1: the next one) fails.
    void failGetVariable(uint32_t nth = 1) const { MorvalinFailGetVariable(nth); }
    void failMakeValue(uint32_t nth = 1) const { MorvalinFailMakeValue(nth); }
    void failGetArgumentText(uint32_t nth = 1) const { MorvalinFailGetArgumentText(nth); }
    void failRegisterFunctions(uint32_t nth = 1) const { MorvalinFailRegisterFunctions(nth); }
    void failSetVariable(const std::string& name) const { MorvalinFailSetVariable(name.c_str()); }
    void clearFaults() const { MorvalinClearFaults(); }

    // The ownership ledger and the protocol violations.
    uint32_t liveValues() const { return MorvalinLiveValues(); }
    std::vector<std::string> liveValueReport() const
    {
        return detail::Lines(detail::CopyText(MorvalinLiveValueReport));
    }
    uint32_t forgetLiveValues() const { return MorvalinForgetLiveValues(); }
    std::vector<std::string> violations() const
    {
        std::vector<std::string> list;
        for (uint32_t i = 0, n = MorvalinViolationCount(); i < n; i++)
            list.push_back(detail::CopyText(
                [i](char* buffer, uint32_t capacity) { return MorvalinViolation(i, buffer, capacity); }));
        return list;
    }
    void clearViolations() const { MorvalinClearViolations(); }

    // Variables, injected failures and violations back to nothing.
    void reset() const { MorvalinReset(); }
};

}  // namespace morvalin
