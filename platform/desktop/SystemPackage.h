// Whether a file was put in place by the system's package manager (dpkg),
// which then also updates it.
#pragma once

#include <string>

namespace pallorwind::platform {

// True when the package `package` lists `file` (an absolute path) among the
// files it installed, going by dpkg's own lists in `infoDir`.
bool InstalledByPackage(const std::string& file, const std::string& package,
                        const std::string& infoDir = "/var/lib/dpkg/info");

} // namespace pallorwind::platform
