#pragma once

// The few file-system questions the local host endpoint asks before it listens:
// what sits at a path, and whether a folder is the user's own and closed to
// everyone else. POSIX only; no system header leaks out of here.

#include <cstddef>
#include <string>

namespace Platform
{

enum class PathKind {
    Missing,
    Socket,
    Other // anything else, a symbolic link included (it is never followed)
};

// What is at path itself.
PathKind pathKind(const std::string& path);

// Removes the directory entry at path. False with the reason in why.
bool removePath(const std::string& path, std::string& why);

// The effective user id of this process.
unsigned long effectiveUserId();

// True when path is a directory (not a symbolic link to one) owned by the
// effective user with mode 0700, so that no one else can reach what is inside.
// Otherwise false, with the reason in why.
bool isPrivateFolder(const std::string& path, std::string& why);

// Creates path with mode 0700 when it does not exist, then checks it with
// isPrivateFolder. An existing folder is never changed.
bool makePrivateFolder(const std::string& path, std::string& why);

} // namespace Platform
