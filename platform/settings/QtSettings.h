// Settings over QSettings: the per-user native store of one application of an
// organisation (on Linux the INI file
// $XDG_CONFIG_HOME/<organisation>/<application>.conf). Values of the
// organisation as a whole, or of the system, are not mixed in: another
// program of the same organisation keeps its values apart.
#pragma once

#include "platform/settings/Settings.h"

namespace pallorwind::platform {

class QtSettings final : public Settings {
public:
    QtSettings(std::string organisation, std::string application);

    // A value written by hand as a list ("a, b") reads back as one text, its
    // items joined by commas.
    std::optional<std::string> Value(const std::string& key) override;
    SettingsWrite SetValue(const std::string& key, const std::string& value) override;
    std::string Where() const override;

private:
    std::string m_organisation;
    std::string m_application;
};

} // namespace pallorwind::platform
