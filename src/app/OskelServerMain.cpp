// OskelServer: the command line, the headless services and (later) the window.
#include <iostream>

#include "server/CommandLine.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return oskel::server::runServerCommandLine(args, std::cin, std::cout, std::cerr, nullptr);
}
