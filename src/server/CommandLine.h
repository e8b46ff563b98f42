#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace oskel::server {

// OskelServer's command line:
//   OskelServer [--config FILE] --headless
//   OskelServer [--config FILE] dept ...|user ...
// Exit status 0 done, 1 refused (one line on standard error), 2 wrong usage.
// `runWindow` runs the window program when no subcommand is given (nullptr: none built).
int runServerCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                         const std::function<int(const std::string& configPath)>& runWindow);

std::string serverUsage();

// "config.ini" beside the running program.
std::string defaultConfigPath();

} // namespace oskel::server
