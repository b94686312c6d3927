// Settings in memory, and each program's store over them: what a test sets
// in `values` is what the program reads, and every write lands there.
#pragma once

#include "platform/settings/Settings.h"

#include <map>
#include <optional>
#include <string>

namespace pallorwind::test {

class MemorySettings : public platform::Settings {
public:
    std::optional<std::string> Value(const std::string& key) override {
        const auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    }
    platform::SettingsWrite SetValue(const std::string& key, const std::string& value) override {
        values[key] = value;
        ++writes;
        return platform::SettingsWrite::Stored;
    }
    std::string Where() const override { return "(memory)"; }

    std::map<std::string, std::string> values;
    int writes = 0;
};

} // namespace pallorwind::test
