#include "platform/userfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
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

LockState lockFile(const std::string& path, int& descriptor, std::string& why)
{
    descriptor = -1;
    // Not inherited: a child started later must not keep the session's lock.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        why = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return LockState::Failed;
    }
    int result;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0) {
        descriptor = fd;
        return LockState::Held;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return LockState::Busy;
    why = std::string("cannot lock ") + path + ": " + std::strerror(error);
    return LockState::Failed;
}

void unlockFile(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}

} // namespace Platform
