// Whether dpkg installed a file: read from its file lists, as they are laid
// out under /var/lib/dpkg/info.
#include "platform/desktop/SystemPackage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace pallorwind::platform {
namespace {

TEST(SystemPackage, OnlyAFileThatThePackageListsCounts) {
    char pattern[] = "/tmp/pwtest-dpkg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string info = pattern;
    std::ofstream(info + "/pallorwind.list") << "/.\n/usr\n/usr/bin\n/usr/bin/pallorwind-win\n"
                                                "/usr/bin/pallorwind\n";
    std::ofstream(info + "/other.list") << "/usr/local/bin/pallorwind-win\n";

    EXPECT_TRUE(InstalledByPackage("/usr/bin/pallorwind-win", "pallorwind", info));
    // A copy built and installed by hand, a path that only begins like one,
    // another package, no dpkg at all.
    EXPECT_FALSE(InstalledByPackage("/usr/local/bin/pallorwind-win", "pallorwind", info));
    EXPECT_FALSE(InstalledByPackage("/usr/bin/pallorwind-w", "pallorwind", info));
    EXPECT_FALSE(InstalledByPackage("/usr/bin/pallorwind-win", "other", info));
    EXPECT_FALSE(InstalledByPackage("/usr/bin/pallorwind-win", "pallorwind", info + "/none"));
    std::filesystem::remove_all(info);
}

} // namespace
} // namespace pallorwind::platform
