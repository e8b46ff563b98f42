#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace oskel::sendtool {

// oskel-send: signs in as a user, sends one message to one user ("chat") or to several
// as a group ("multchat"), prints what arrives meanwhile (stored messages come at
// sign-in), the directory and the online list on request, and exits.
// Exit status 0 done, 1 refused or unreachable, 2 wrong usage.
int runSendTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

std::string sendToolUsage();

} // namespace oskel::sendtool
