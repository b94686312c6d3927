#include "win/app/UserInterface.h"

#include <cstdio>

namespace pallorwind::app {

std::string OneLine(const std::string& caption, const std::string& text) {
    std::string line = caption + ": ";
    for (char c : text)
        line += (c == '\n' || c == '\r') ? ' ' : c;
    return line;
}

void StderrUserInterface::MessageBox(const std::string& text, const std::string& caption) {
    const std::string line = OneLine(caption, text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

} // namespace pallorwind::app
