// The options every program answers alike: --help (or -h) prints the usage
// on standard output, --version "NAME VERSION", and an argument the program
// does not know gets one line on standard error and exit code 2.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace pallorwind::platform {

// The exit code (0) when `arg` is --help, -h or --version, once answered;
// -1 for any other argument.
inline int AnswerHelpOrVersion(const char* arg, const char* name, const char* usage,
                               const std::string& version) {
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("%s %s\n", name, version.c_str());
        return 0;
    }
    return -1;
}

// Says that `arg` is not known; returns the exit code for it.
inline int UnknownArgument(const char* name, const char* arg) {
    std::fprintf(stderr, "%s: unknown argument \"%s\" (see --help)\n", name, arg);
    return 2;
}

} // namespace pallorwind::platform
