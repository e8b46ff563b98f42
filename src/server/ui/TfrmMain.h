#pragma once

#include <string>

#include <QMainWindow>

#include "server/DirectoryAdmin.h"
#include "server/ServerCore.h"
#include "server/ServerSettings.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;

namespace oskel::server::ui {

class ActiveUsersModel;
class DepartmentModel;
class ServerEvents;
class UserModel;

// "Oskel Server Manager": starts and stops the services, keeps their settings, shows the
// connected users and the service log, and edits departments and users. It turns user
// actions into calls on the core and the administration; the core's events arrive
// through ServerEvents on this window's thread.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    TfrmMain(ServerCore& core, ServerEvents& events, Database& adminDb, DirectoryAdmin& admin,
             ServerSettings settings, std::string configPath, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Takes the settings from the "Server configuration" tab, starts the services and,
    // once they run, saves the settings. False when they did not start.
    bool startServer();
    // Asks first when `ask`.
    void stopServer(bool ask);
    void reloadDirectory();
    void appendLog(const QString& line);
    bool hasTray() const { return tray_ != nullptr; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildServerPage();
    QWidget* buildConfigurationTab();
    QWidget* buildLogTab();
    QWidget* buildActiveUsersPage();
    QWidget* buildDepartmentPage();
    QWidget* buildUsersPage();
    void buildMenus();
    void buildTray();
    void loadSettingsIntoControls();
    void showState(bool running);
    void takeEvents();
    void updateOnlineCount();
    void disconnectUser();
    void addDepartment();
    void editDepartment();
    void deleteDepartment();
    void addUser();
    void editUser();
    void deleteUser();
    void openHelp();
    void toggleVisible();
    void exitFromTray();
    void hideToTray();
    bool ask(const QString& question);
    int currentRow(QTableView* view) const;

    ServerCore& core_;
    ServerEvents& events_;
    Database& adminDb_;
    DirectoryAdmin& admin_;
    ServerSettings settings_;
    std::string configPath_;
    DirectoryPtr directory_;
    bool quitting_ = false;

    QTabWidget* pcMain_ = nullptr;
    QWidget* serverPage_ = nullptr;
    QWidget* activePage_ = nullptr;
    QWidget* deptPage_ = nullptr;
    QWidget* usersPage_ = nullptr;
    QTabWidget* serverTabs_ = nullptr;
    QPushButton* btnStart_ = nullptr;
    QPushButton* btnStop_ = nullptr;
    QLabel* lblAddress_ = nullptr;
    QLineEdit* edtTcp_ = nullptr;
    QLineEdit* edtFtp_ = nullptr;
    QLineEdit* edtUdp_ = nullptr;
    QLineEdit* edtTempDic_ = nullptr;
    QCheckBox* chkLimit_ = nullptr;
    QSpinBox* spnLimit_ = nullptr;
    QCheckBox* chkEncrypt_ = nullptr;
    QLineEdit* edtBind_ = nullptr;
    QLineEdit* edtOrganisation_ = nullptr;
    QSpinBox* spnSignIn_ = nullptr;
    QSpinBox* spnPasvMin_ = nullptr;
    QSpinBox* spnPasvMax_ = nullptr;
    QSpinBox* spnFtpIdle_ = nullptr;
    QSpinBox* spnRetention_ = nullptr;
    QPlainTextEdit* memLog_ = nullptr;
    ActiveUsersModel* activeModel_ = nullptr;
    QSortFilterProxyModel* activeSorted_ = nullptr;
    QTableView* lvActive_ = nullptr;
    QLabel* lblOnline_ = nullptr;
    DepartmentModel* deptModel_ = nullptr;
    QTableView* dbgDept_ = nullptr;
    UserModel* userModel_ = nullptr;
    QTableView* dbgUser_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QLabel* lblReason_ = nullptr;
    QAction* actStart_ = nullptr;
    QAction* actStop_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
};

} // namespace oskel::server::ui
