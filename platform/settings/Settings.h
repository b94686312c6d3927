// A program's per-user settings: text values under keys. Each read and each
// write goes to the store at once and nothing is cached, so two objects over
// the same store see each other's writes at once.
//
// A store that cannot be read or is damaged reads as empty, so the program
// runs on its defaults, and is never written: the file stays as the user left
// it, to be mended or removed by them, and no value of it is lost to a
// rewrite. Which program's store it is comes in as parameters (QtSettings.h);
// nothing here belongs to one program.
//
// Threads: the settings belong to the main thread; an object is used from
// one thread at a time.
#pragma once

#include <optional>
#include <string>

namespace pallorwind::platform {

// What became of a write.
enum class SettingsWrite {
    Stored,
    Damaged, // the store cannot be read or is damaged: nothing was written
    Failed,  // the store could not be written
};

class Settings {
public:
    virtual ~Settings() = default;
    // The value under `key`; nothing when it is missing, or when the store
    // cannot be read or is damaged.
    virtual std::optional<std::string> Value(const std::string& key) = 0;
    // Stores `value` under `key`, at once.
    virtual SettingsWrite SetValue(const std::string& key, const std::string& value) = 0;
    // Where the values are kept (a file's path), for messages.
    virtual std::string Where() const = 0;
};

} // namespace pallorwind::platform
