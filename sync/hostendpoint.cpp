#include "sync/hostendpoint.h"

#include "platform/userfiles.h"

#include <cstdlib>

namespace
{

bool isAbsolute(const char* path)
{
    return path != nullptr && path[0] == '/';
}

} // namespace

HostEndpointPath hostEndpointPath(const std::string& nameOrPath)
{
    std::string name = nameOrPath;
    if (name.empty()) {
        const char* fromEnvironment = std::getenv(kHostEndpointEnvironment);
        const bool set = fromEnvironment != nullptr && *fromEnvironment != '\0';
        name = set ? fromEnvironment : kHostEndpointName;
    }
    if (name[0] == '/')
        return HostEndpointPath { name, std::string() };

    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string why;
    if (isAbsolute(runtime) && Platform::isPrivateFolder(runtime, why))
        return HostEndpointPath { std::string(runtime) + '/' + name, std::string() };

    const char* temp = std::getenv("TMPDIR");
    const std::string folder = std::string(isAbsolute(temp) ? temp : "/tmp") + "/prismara-nanoleaf-"
        + std::to_string(Platform::effectiveUserId());
    return HostEndpointPath { folder + '/' + name, folder };
}
