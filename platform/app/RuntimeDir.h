// The user's runtime folder ($XDG_RUNTIME_DIR), where the single-instance
// socket lives and where Qt looks at start.
#pragma once

#include <string>

namespace pallorwind::platform {

struct RuntimeDir {
    std::string path;    // empty when there is none
    std::string problem; // then: why not
};

// Decided once, at the first call; make it before the QCoreApplication
// exists. Where XDG_RUNTIME_DIR is not set (a root shell, cron, some ssh
// sessions), PrivateFolder(<temporary folder>/runtime-<user>) stands in and
// the variable is set to it for this process, so Qt uses the same folder and
// has nothing to warn about. A variable that is set is taken as it is.
const RuntimeDir& UserRuntimeDir();

// `path` as a folder only this user can enter: made with mode 0700, or taken
// when it is already a folder (not a link) of this user's that nobody else
// may read, write or enter.
RuntimeDir PrivateFolder(const std::string& path);

} // namespace pallorwind::platform
