#include "platform/userfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform
{

PathKind pathKind(const std::string& path)
{
    struct stat st = {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? PathKind::Missing : PathKind::Other;
    return S_ISSOCK(st.st_mode) ? PathKind::Socket : PathKind::Other;
}

bool removePath(const std::string& path, std::string& why)
{
    if (::unlink(path.c_str()) == 0)
        return true;
    why = std::strerror(errno);
    return false;
}

unsigned long effectiveUserId()
{
    return static_cast<unsigned long>(::geteuid());
}

bool isPrivateFolder(const std::string& path, std::string& why)
{
    struct stat st = {};
    if (::lstat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        why = "it is a symbolic link";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "it is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        why = "it belongs to another user";
        return false;
    }
    const unsigned mode = static_cast<unsigned>(st.st_mode) & 07777u;
    if (mode != 0700u) {
        char text[64];
        std::snprintf(text, sizeof text, "its mode is %04o, not 0700", mode);
        why = text;
        return false;
    }
    return true;
}

bool makePrivateFolder(const std::string& path, std::string& why)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = std::string("cannot create it: ") + std::strerror(errno);
        return false;
    }
    return isPrivateFolder(path, why);
}

} // namespace Platform
