#include "platform/desktop/SystemPackage.h"

#include <fstream>

namespace pallorwind::platform {

bool InstalledByPackage(const std::string& file, const std::string& package,
                        const std::string& infoDir) {
    std::ifstream list(infoDir + "/" + package + ".list");
    for (std::string line; std::getline(list, line);)
        if (line == file)
            return true;
    return false;
}

} // namespace pallorwind::platform
