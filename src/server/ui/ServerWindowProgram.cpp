#include "server/ui/ServerWindowProgram.h"

#include <QApplication>
#include <QMessageBox>

#include "server/ui/Pictures.h"
#include "server/ui/ServerTexts.h"
#include "server/ui/SingleInstance.h"
#include "server/ui/TfrmMain.h"

namespace oskel::server::ui {

ServerWindowProgram::ServerWindowProgram(const std::string& configPath)
{
    std::vector<std::string> problems;
    const ServerSettings settings = ServerSettings::load(configPath, &problems);
    core_ = std::make_unique<ServerCore>(settings, events_);
    adminDb_ = Database::open(settings);
    admin_ = std::make_unique<DirectoryAdmin>(*adminDb_, hasher_);
    window_ = std::make_unique<TfrmMain>(*core_, events_, *adminDb_, *admin_, settings, configPath);
    for (const auto& p : problems)
        window_->appendLog(QString::fromStdString(configPath + ": " + p));
}

ServerWindowProgram::~ServerWindowProgram()
{
    window_.reset();
    core_.reset(); // stops the services while the event queue still exists
}

int runServerWindow(int& argc, char** argv, const std::string& configPath)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Oskel");
    QApplication::setApplicationName("OskelServer");
    QApplication::setWindowIcon(serverIcon(false));
    // The tray keeps the program alive while the window is hidden; it ends by its menus.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance("OskelServer");
    if (!instance.acquired())
        return 0;

    std::unique_ptr<ServerWindowProgram> program;
    try {
        program = std::make_unique<ServerWindowProgram>(configPath);
    } catch (const DatabaseError& e) {
        QMessageBox::critical(nullptr, kMessageCaption, serverText("s_critical"));
        return 1;
    }
    program->window().show();
    program->window().startServer();
    return QApplication::exec();
}

} // namespace oskel::server::ui
