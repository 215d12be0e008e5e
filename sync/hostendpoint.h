#pragma once

#include <string>

// Where the local host endpoint lives. Whoever can connect to it can drive the
// lights, and whoever listens there first receives the host's frames, so by
// default it sits in a folder no one else may enter: $XDG_RUNTIME_DIR when that
// is a folder of ours with mode 0700, otherwise prismara-nanoleaf-<uid> in
// $TMPDIR (or /tmp), a folder the endpoint creates with mode 0700 and refuses
// to use when it is anything else.

constexpr const char* kHostEndpointName = "prismara-nanoleaf-host";
constexpr const char* kHostEndpointEnvironment = "PRISMARA_HOST_SOCKET";

struct HostEndpointPath {
    std::string path; // of the socket file, absolute
    std::string ownFolder; // when not empty: the folder of ours that holds it,
                           // to be made and checked before listening
};

// nameOrPath if given, else $PRISMARA_HOST_SOCKET if set and not empty, else
// kHostEndpointName. An absolute path is taken as it is; a name is placed in the
// default folder.
HostEndpointPath hostEndpointPath(const std::string& nameOrPath = std::string());
