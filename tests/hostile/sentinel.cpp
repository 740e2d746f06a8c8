// sentinel.cpp -- builds the sentinel tree around an extraction root and
// walks it afterwards for anything that appeared or changed outside the root.
#include "sentinel.h"

#include <windows.h>

#include <algorithm>

#include "support/winfiles.h"

static bool Under(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '\\';
}

SentinelTree::SentinelTree()
{
    if (!base_.ok())
        return;
    const std::string base = base_.path();
    for (const char* folder : {"\\in", "\\in\\root", "\\in\\cwd", "\\in\\zz", "\\out"}) {
        if (!CreateDirectoryA((base + folder).c_str(), nullptr))
            return;
        folders_.push_back(base + folder);
    }
    for (const char* file : {"\\before.txt", "\\in\\beside.txt", "\\in\\zz\\after.txt", "\\out\\far.txt"}) {
        std::string path = base + file;
        std::string contents = std::string("sentinel ") + file;
        if (!WriteWholeFile(path, contents))
            return;
        sentinels_.push_back({path, contents});
    }
    root_ = base + "\\in\\root";
    cwd_ = base + "\\in\\cwd";
    ok_ = true;
}

std::vector<std::string> SentinelTree::Intruders() const
{
    std::vector<std::string> intruders;
    std::vector<std::string> files, folders;
    ListTree(base_.path(), &files, &folders, root_);
    for (const std::string& folder : folders)
        if (folder != root_ && !Under(folder, root_) &&
            std::find(folders_.begin(), folders_.end(), folder) == folders_.end())
            intruders.push_back("new folder " + folder);
    for (const std::string& file : files) {
        if (Under(file, root_))
            continue;
        auto sentinel = std::find_if(sentinels_.begin(), sentinels_.end(),
                                     [&](const auto& s) { return s.first == file; });
        if (sentinel == sentinels_.end())
            intruders.push_back("new file " + file);
    }
    for (const auto& sentinel : sentinels_) {
        std::string now;
        if (!ReadWholeFile(sentinel.first, now))
            intruders.push_back("sentinel gone: " + sentinel.first);
        else if (now != sentinel.second)
            intruders.push_back("sentinel changed: " + sentinel.first);
    }
    for (const std::string& folder : folders_)
        if (!DirectoryExists(folder))
            intruders.push_back("folder gone: " + folder);
    return intruders;
}

bool SentinelTree::ClearRoot() const
{
    return RemoveTree(root_) && CreateDirectoryA(root_.c_str(), nullptr);
}

std::vector<std::string> FarEscapes()
{
    std::vector<std::string> places = {"C:", "Z:", "Z:\\tmp", BinPath()};
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n > 0 && n < MAX_PATH) {
        std::string folder(temp, n);
        if (folder.back() == '\\')
            folder.pop_back();
        places.push_back(folder);
    }
    std::vector<std::string> found;
    for (const std::string& place : places) {
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA((place + "\\*" + ESCAPE_MARKER + "*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do
            found.push_back(place + "\\" + data.cFileName);
        while (FindNextFileA(search, &data));
        FindClose(search);
    }
    return found;
}

CurrentDirectory::CurrentDirectory(const std::string& path)
{
    char buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer);
    if (n > 0 && n < MAX_PATH)
        previous_.assign(buffer, n);
    SetCurrentDirectoryA(path.c_str());
}

CurrentDirectory::~CurrentDirectory()
{
    if (!previous_.empty())
        SetCurrentDirectoryA(previous_.c_str());
}
