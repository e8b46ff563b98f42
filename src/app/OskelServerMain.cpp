// OskelServer: the server window, the headless services and the administration commands.
#include <iostream>

#include "server/CommandLine.h"
#include "server/ui/ServerWindowProgram.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return oskel::server::runServerCommandLine(args, std::cin, std::cout, std::cerr, [&](const std::string& config) {
        return oskel::server::ui::runServerWindow(argc, argv, config);
    });
}
