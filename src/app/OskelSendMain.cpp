// oskel-send: sign in, send one message, print what arrives, exit.
#include <iostream>

#include "sendtool/SendTool.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return oskel::sendtool::runSendTool(args, std::cin, std::cout, std::cerr);
}
