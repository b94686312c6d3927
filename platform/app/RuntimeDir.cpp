#include "platform/app/RuntimeDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pallorwind::platform {
namespace {

// The name Qt gives the folder it would fall back to, so both agree.
std::string FallbackFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp && *tmp ? tmp : "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const uid_t uid = ::geteuid();
    const passwd* user = ::getpwuid(uid);
    return folder + "/runtime-" + (user && user->pw_name ? user->pw_name : std::to_string(uid));
}

RuntimeDir Decide() {
    if (const char* set = std::getenv("XDG_RUNTIME_DIR"); set && *set)
        return {set, {}};
    RuntimeDir dir = PrivateFolder(FallbackFolder());
    if (!dir.path.empty())
        ::setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
    else
        dir.problem = "XDG_RUNTIME_DIR is not set, and " + dir.problem;
    return dir;
}

} // namespace

RuntimeDir PrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0)
        return {path, {}};
    if (errno != EEXIST)
        return {{}, "cannot make " + path + ": " + std::strerror(errno)};
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {{}, "cannot look at " + path + ": " + std::strerror(errno)};
    if (!S_ISDIR(st.st_mode))
        return {{}, path + " is not a folder"};
    if (st.st_uid != ::geteuid())
        return {{}, path + " belongs to another user"};
    if ((st.st_mode & 077) != 0)
        return {{}, path + " is open to other users (chmod 700 it)"};
    return {path, {}};
}

const RuntimeDir& UserRuntimeDir() {
    static const RuntimeDir dir = Decide();
    return dir;
}

} // namespace pallorwind::platform
