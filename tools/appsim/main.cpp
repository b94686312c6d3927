// pallorwind-appsim: plays the phone app's part against a running bridge.
#include "tools/appsim/AppSim.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    // The DNS-SD compatibility library would warn in three lines at its first
    // use, about nothing this tool can change.
    ::setenv("AVAHI_COMPAT_NOWARN", "1", /*overwrite*/ 0);
    return pallorwind::appsim::AppSimMain(std::vector<std::string>(argv + 1, argv + argc),
                                          std::cout, std::cerr);
}
