// items_support.cpp -- outcome texts, independent time texts, child processes
// and folder listings for the item-function tests.
#include "items/items_support.h"

#include "support/winfiles.h"

#include <stdio.h>

std::string Result(const morvalin::Outcome& outcome)
{
    switch (outcome.kind) {
    case morvalin::Kind::Returned:
        return outcome.value ? *outcome.value : "ok";
    case morvalin::Kind::HostError:
        return "host error " + std::to_string(outcome.raw);
    case morvalin::Kind::Condition:
        return "condition " + std::to_string(outcome.condition) + ": " + outcome.description();
    }
    return "?";
}

static std::string TimeText(int year, int month, int day, int hour, int minute, int second)
{
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
    return text;
}

std::string UnixTimeText(int64_t seconds)
{
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    // Days since 1970-01-01 to a civil date (proleptic Gregorian), counted in
    // 400-year eras that start on 0000-03-01.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int day = (int)(dayOfYear - (153 * mp + 2) / 5 + 1);
    int month = (int)(mp < 10 ? mp + 3 : mp - 9);
    int year = (int)(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return TimeText(year, month, day, (int)(rest / 3600), (int)(rest / 60 % 60), (int)(rest % 60));
}

std::string LocalStampAsUtcText(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME local = {};
    local.wYear = (WORD)year;
    local.wMonth = (WORD)month;
    local.wDay = (WORD)day;
    local.wHour = (WORD)hour;
    local.wMinute = (WORD)minute;
    local.wSecond = (WORD)second;
    FILETIME localTime, utcTime;
    SYSTEMTIME utc;
    if (!SystemTimeToFileTime(&local, &localTime) || !LocalFileTimeToFileTime(&localTime, &utcTime) ||
        !FileTimeToSystemTime(&utcTime, &utc))
        return "(no time)";
    return TimeText(utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
}

ProcessRun RunProcess(const std::string& commandLine)
{
    ProcessRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    run.started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process) != 0;
    // Only the child holds the write end now, so the reads below end when it exits.
    CloseHandle(writeEnd);
    if (run.started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
            run.output.append(buffer, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return run;
}

std::vector<std::string> FilesUnder(const std::string& folder)
{
    std::vector<std::string> files;
    ListTree(folder, &files, nullptr);
    return files;
}

std::vector<std::string> FoldersUnder(const std::string& folder)
{
    std::vector<std::string> folders;
    ListTree(folder, nullptr, &folders);
    return folders;
}
