// sentinel.h -- an extraction root with sentinel files all around it, and the
// check that nothing outside the root was created, changed or removed.
//
//   base\before.txt          base\in\beside.txt        base\in\root\  (the root)
//   base\in\cwd\  (the current directory while a script runs)
//   base\in\zz\after.txt     base\out\far.txt
//
// A name that climbed one or two levels out of the root, or that was written
// relative to the current directory, lands in this tree and is found.
#pragma once

#include <string>
#include <vector>

#include "support/winfiles.h"

class SentinelTree {
public:
    SentinelTree();
    bool ok() const { return ok_; }
    const std::string& root() const { return root_; }   // no trailing backslash
    const std::string& cwd() const { return cwd_; }

    // Everything outside the root that is not as it was made: new files or
    // folders, sentinels changed or gone. Empty when nothing escaped.
    std::vector<std::string> Intruders() const;
    // Empties the root, so that a long run does not fill it.
    bool ClearRoot() const;

private:
    TempDir base_;
    bool ok_ = false;
    std::string root_, cwd_;
    std::vector<std::pair<std::string, std::string>> sentinels_;  // path, contents
    std::vector<std::string> folders_;
};

// The marker that hostile names carry ("tvescape"), looked for where an
// absolute or drive path would have put it: the roots of C: and Z:, Z:\tmp,
// the temp folder and the program's folder. Returns what it found.
const char* const ESCAPE_MARKER = "tvescape";
std::vector<std::string> FarEscapes();

// Changes the current directory for the life of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& path);
    ~CurrentDirectory();

private:
    std::string previous_;
};
