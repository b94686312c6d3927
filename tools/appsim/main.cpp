// pallorwind-appsim: plays the phone app's part against a running bridge.
#include "tools/appsim/AppSim.h"

#include <iostream>

int main(int argc, char** argv) {
    return pallorwind::appsim::AppSimMain(std::vector<std::string>(argv + 1, argv + argc),
                                          std::cout, std::cerr);
}
