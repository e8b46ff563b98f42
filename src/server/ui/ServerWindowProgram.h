#pragma once

#include <memory>
#include <string>

#include "server/DirectoryAdmin.h"
#include "server/PasswordHasher.h"
#include "server/ServerCore.h"
#include "server/ui/ServerEvents.h"

namespace oskel::server::ui {

class TfrmMain;

// What the window program is made of: the core, the queue that carries its events to
// the window, a database connection of the window's own for the administration, and
// the main window. Tests create it as main() does.
class ServerWindowProgram {
public:
    // Opens the database twice (the services' connection and the window's); throws
    // DatabaseError when it cannot be opened.
    explicit ServerWindowProgram(const std::string& configPath);
    ~ServerWindowProgram();

    TfrmMain& window() { return *window_; }
    ServerCore& core() { return *core_; }
    DirectoryAdmin& admin() { return *admin_; }

private:
    ServerEvents events_;
    std::unique_ptr<ServerCore> core_;
    std::unique_ptr<Database> adminDb_;
    PasswordHasher hasher_;
    std::unique_ptr<DirectoryAdmin> admin_;
    std::unique_ptr<TfrmMain> window_;
};

// The window program: one per user session (a second copy ends at once, silently),
// services started by themselves. Returns the exit status.
int runServerWindow(int& argc, char** argv, const std::string& configPath);

} // namespace oskel::server::ui
