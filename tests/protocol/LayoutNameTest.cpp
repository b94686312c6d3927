#include "protocol/LayoutName.h"

#include <gtest/gtest.h>

#include <string>

namespace pallorwind::protocol {
namespace {

using namespace std::string_literals;

TEST(LayoutName, AReceivedNameNeverLeavesTheFolderNorHidesNorRunsLong) {
    // Ordinary names, UTF-8 included, are kept as sent.
    EXPECT_EQ(SafeLayoutFileName("Drums"), "Drums.plw");
    EXPECT_EQ(SafeLayoutFileName("Mixer \xC3\xA9t\xC3\xA9 2.0"), "Mixer \xC3\xA9t\xC3\xA9 2.0.plw");
    // No way out of the folder, no hidden file.
    EXPECT_EQ(SafeLayoutFileName("../../.bashrc"), "_.._.bashrc.plw");
    EXPECT_EQ(SafeLayoutFileName("/etc/passwd"), "_etc_passwd.plw");
    EXPECT_EQ(SafeLayoutFileName("..\\win"), "_win.plw");
    EXPECT_EQ(SafeLayoutFileName(".hidden"), "hidden.plw");
    EXPECT_EQ(SafeLayoutFileName(" . name "), "name.plw");
    // Control characters, C1 controls and broken UTF-8 become '_'.
    EXPECT_EQ(SafeLayoutFileName("a\nb\0c\x7F"s), "a_b_c_.plw");
    EXPECT_EQ(SafeLayoutFileName("x\xC2\x85y\xFFz\xC0\xAF"), "x_y_z__.plw");
    EXPECT_EQ(SafeLayoutFileName("cut\xE2\x82"), "cut__.plw");
    // Nothing usable left.
    EXPECT_EQ(SafeLayoutFileName(""), "Layout.plw");
    EXPECT_EQ(SafeLayoutFileName(".."), "Layout.plw");
    EXPECT_EQ(SafeLayoutFileName(" ... "), "Layout.plw");
    // Bounded, and never cut inside a character.
    std::string accents;
    for (int i = 0; i < 150; ++i)
        accents += "\xC3\xA9";
    EXPECT_EQ(SafeLayoutFileName("a" + accents), "a" + accents.substr(0, 198) + ".plw");
    EXPECT_EQ(SafeLayoutFileName(std::string(500, '/')), std::string(kMaxLayoutStem, '_') + ".plw");
}

} // namespace
} // namespace pallorwind::protocol
