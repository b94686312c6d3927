#include "platform/midi/DeviceNames.h"

#include <gtest/gtest.h>

namespace pallorwind::midi {
namespace {

TEST(DeviceNamesTest, AlsaClientAndPortNumbersAreCutOffAndNothingElse) {
    EXPECT_EQ(StripAlsaAddress("USB Keys:USB Keys MIDI 1 20:0"), "USB Keys:USB Keys MIDI 1");
    EXPECT_EQ(StripAlsaAddress("Synth:out 128:12"), "Synth:out");
    EXPECT_EQ(StripAlsaAddress("Synth:out 1:2:3"), "Synth:out 1:2:3");
    EXPECT_EQ(StripAlsaAddress("Synth:out 20:"), "Synth:out 20:");
    EXPECT_EQ(StripAlsaAddress("Synth:Track 20"), "Synth:Track 20");
    EXPECT_EQ(StripAlsaAddress("pwpeer:in"), "pwpeer:in");
}

TEST(DeviceNamesTest, OurOwnClientsPortsAreRecognised) {
    EXPECT_TRUE(IsOwnPort("pallorwind-win:in", "pallorwind-win"));
    EXPECT_TRUE(IsOwnPort("pallorwind-win-01:out", "pallorwind-win"));
    EXPECT_TRUE(IsOwnPort("pallorwind-win:out 130:0", "pallorwind-win"));
    EXPECT_FALSE(IsOwnPort("pallorwind-winter:in", "pallorwind-win"));
    EXPECT_FALSE(IsOwnPort("pallorwind-win-x:in", "pallorwind-win"));
    EXPECT_FALSE(IsOwnPort("my pallorwind-win:in", "pallorwind-win"));
    EXPECT_FALSE(IsOwnPort("pallorwind-win:in", "other"));
    EXPECT_FALSE(IsOwnPort(":in", ""));
}

} // namespace
} // namespace pallorwind::midi
