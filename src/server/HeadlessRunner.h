#pragma once

#include <iosfwd>
#include <string>

namespace oskel::server {

// Runs the services without a window until SIGINT or SIGTERM, writing the service log
// to `out`. Reads the settings file and never rewrites it.
int runHeadless(const std::string& configPath, std::ostream& out, std::ostream& err);

} // namespace oskel::server
