// The tray program's settings store over settings in memory.
#pragma once

#include "tests/support/MemorySettings.h"
#include "win/app/SettingsStore.h"

namespace pallorwind::win {

// The memory comes first, so that it exists before the store over it.
class MemorySettingsStore final : public test::MemorySettings, public SettingsStore {
public:
    MemorySettingsStore() : SettingsStore(static_cast<test::MemorySettings&>(*this)) {}
};

} // namespace pallorwind::win
