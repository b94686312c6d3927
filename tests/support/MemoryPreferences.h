// pallorwind's preferences over settings in memory.
#pragma once

#include "osx/Preferences.h"
#include "tests/support/MemorySettings.h"

namespace pallorwind::osx {

// The memory comes first, so that it exists before the preferences over it.
class MemoryPreferences final : public test::MemorySettings, public Preferences {
public:
    MemoryPreferences() : Preferences(static_cast<test::MemorySettings&>(*this)) {}
    using Preferences::SetValue;
    using Preferences::Value;
};

} // namespace pallorwind::osx
