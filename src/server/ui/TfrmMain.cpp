#include "server/ui/TfrmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "protocol/TimeStamp.h"
#include "server/ui/ActiveUsersModel.h"
#include "server/ui/DirectoryModels.h"
#include "server/ui/Pictures.h"
#include "server/ui/ServerEvents.h"
#include "server/ui/ServerTexts.h"
#include "server/ui/TfrmDelDept.h"
#include "server/ui/TfrmGroup.h"
#include "server/ui/TfrmUser.h"

namespace oskel::server::ui {

namespace {
QTableView* gridView(const char* objectName)
{
    auto* v = new QTableView;
    v->setObjectName(objectName);
    v->setSelectionBehavior(QAbstractItemView::SelectRows);
    v->setSelectionMode(QAbstractItemView::SingleSelection);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setAlternatingRowColors(true);
    v->verticalHeader()->hide();
    v->verticalHeader()->setDefaultSectionSize(v->fontMetrics().height() + 8);
    v->horizontalHeader()->setHighlightSections(false);
    return v;
}

QPushButton* button(const char* objectName, const QString& text)
{
    auto* b = new QPushButton(text);
    b->setObjectName(objectName);
    return b;
}

QSpinBox* spinBox(const char* objectName, int min, int max)
{
    auto* s = new QSpinBox;
    s->setObjectName(objectName);
    s->setRange(min, max);
    return s;
}

QString now()
{
    return QString::fromStdString(protocol::formatTimeStamp(protocol::DateTime::now()));
}
} // namespace

TfrmMain::TfrmMain(ServerCore& core, ServerEvents& events, Database& adminDb, DirectoryAdmin& admin,
                   ServerSettings settings, std::string configPath, QWidget* parent)
    : QMainWindow(parent), core_(core), events_(events), adminDb_(adminDb), admin_(admin),
      settings_(std::move(settings)), configPath_(std::move(configPath))
{
    setObjectName("TfrmMain");
    setWindowTitle("Oskel Server Manager");
    setWindowIcon(serverIcon(false));

    pcMain_ = new QTabWidget;
    pcMain_->setObjectName("pcMain");
    pcMain_->addTab(serverPage_ = buildServerPage(), "Server");
    pcMain_->addTab(activePage_ = buildActiveUsersPage(), "Active Users");
    pcMain_->addTab(deptPage_ = buildDepartmentPage(), "Department");
    pcMain_->addTab(usersPage_ = buildUsersPage(), "Users");
    setCentralWidget(pcMain_);

    lblStatus_ = new QLabel("Server status:");
    lblStatus_->setObjectName("lblStatus");
    lblReason_ = new QLabel;
    lblReason_->setObjectName("lblReason");
    statusBar()->addWidget(lblStatus_);
    statusBar()->addWidget(lblReason_, 1);

    buildMenus();
    buildTray();
    loadSettingsIntoControls();
    showState(false);
    lblStatus_->setText("Server status:");
    updateOnlineCount();
    reloadDirectory();

    connect(&events_, &ServerEvents::arrived, this, &TfrmMain::takeEvents);
    // Other tools (the command line, a second window) may change the directory.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] {
        try {
            if (adminDb_.directoryMayHaveChanged())
                reloadDirectory();
        } catch (const std::exception&) {
            // The database is busy or away; the next tick tries again.
        }
    });
    poll->start(2000);
    resize(820, 560);
}

TfrmMain::~TfrmMain() = default;

QWidget* TfrmMain::buildServerPage()
{
    auto* page = new QWidget;
    btnStart_ = button("btnStart", "Start");
    btnStart_->setIcon(startIcon());
    btnStop_ = button("btnStop", "Stop");
    btnStop_->setIcon(stopIcon());
    for (auto* b : {btnStart_, btnStop_}) {
        b->setIconSize(QSize(24, 24));
        b->setMinimumWidth(96);
    }
    connect(btnStart_, &QPushButton::clicked, this, [this] { startServer(); });
    connect(btnStop_, &QPushButton::clicked, this, [this] { stopServer(true); });

    lblAddress_ = new QLabel;
    lblAddress_->setObjectName("lblAddress");
    lblAddress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* addressCaption = new QLabel("Server address:");
    addressCaption->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    lblAddress_->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* top = new QHBoxLayout;
    top->addWidget(btnStart_, 0, Qt::AlignTop);
    top->addWidget(btnStop_, 0, Qt::AlignTop);
    top->addSpacing(24);
    top->addWidget(addressCaption);
    top->addWidget(lblAddress_, 1);

    serverTabs_ = new QTabWidget;
    serverTabs_->setObjectName("pcServer");
    serverTabs_->addTab(buildConfigurationTab(), "Server configuration");
    serverTabs_->addTab(buildLogTab(), "Service logs");

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(top);
    layout->addWidget(serverTabs_, 1);
    return page;
}

QWidget* TfrmMain::buildConfigurationTab()
{
    auto* tab = new QWidget;
    const auto portEdit = [](const char* name) {
        auto* e = new QLineEdit;
        e->setObjectName(name);
        e->setMaximumWidth(90);
        return e;
    };
    edtTcp_ = portEdit("edtTcpPort");
    edtFtp_ = portEdit("edtFtpPort");
    edtUdp_ = portEdit("edtUdpPort");

    edtTempDic_ = new QLineEdit;
    edtTempDic_->setObjectName("edtTempDic");
    auto* browse = button("btnTempDic", "Browse...");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, "Select folder", edtTempDic_->text());
        if (!folder.isEmpty())
            edtTempDic_->setText(folder);
    });
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(edtTempDic_, 1);
    folderRow->addWidget(browse);

    chkLimit_ = new QCheckBox("File size limit:");
    chkLimit_->setObjectName("chkLimitFileTrans");
    spnLimit_ = spinBox("spnLimitFileSize", 1, 1000);
    connect(chkLimit_, &QCheckBox::toggled, spnLimit_, &QWidget::setEnabled);
    auto* limitRow = new QHBoxLayout;
    limitRow->addWidget(chkLimit_);
    limitRow->addWidget(spnLimit_);
    limitRow->addWidget(new QLabel("MB upload"));
    limitRow->addStretch();

    chkEncrypt_ = new QCheckBox("Encrypt message");
    chkEncrypt_->setObjectName("chkEncryptMsg");

    auto* services = new QGroupBox("Services");
    auto* form = new QFormLayout(services);
    form->addRow("TCP server port:", edtTcp_);
    form->addRow("FTP server port:", edtFtp_);
    form->addRow("UDP server port:", edtUdp_);
    form->addRow(new QLabel("File upload from clients will be temporarily put in this folder:"));
    form->addRow(folderRow);
    form->addRow(limitRow);
    form->addRow(chkEncrypt_);

    edtBind_ = new QLineEdit;
    edtBind_->setObjectName("edtBindAddress");
    edtBind_->setPlaceholderText("all addresses");
    edtOrganisation_ = new QLineEdit;
    edtOrganisation_->setObjectName("edtOrganisation");
    spnSignIn_ = spinBox("spnSignInTimeout", 1, 3600);
    spnSignIn_->setSuffix(" s");
    spnPasvMin_ = spinBox("spnPasvPortMin", 1024, 65535);
    spnPasvMax_ = spinBox("spnPasvPortMax", 1024, 65535);
    spnFtpIdle_ = spinBox("spnFtpIdleTimeout", 10, 86400);
    spnFtpIdle_->setSuffix(" s");
    spnRetention_ = spinBox("spnFileRetentionDays", 0, 3650);
    spnRetention_->setSpecialValueText("forever");
    spnRetention_->setSuffix(" days");
    auto* pasvRow = new QHBoxLayout;
    pasvRow->addWidget(spnPasvMin_);
    pasvRow->addWidget(new QLabel("to"));
    pasvRow->addWidget(spnPasvMax_);
    pasvRow->addStretch();

    auto* more = new QGroupBox("Network and files");
    auto* moreForm = new QFormLayout(more);
    moreForm->addRow("Listen on address:", edtBind_);
    moreForm->addRow("Organisation:", edtOrganisation_);
    moreForm->addRow("Sign-in timeout:", spnSignIn_);
    moreForm->addRow("Passive FTP ports:", pasvRow);
    moreForm->addRow("FTP idle timeout:", spnFtpIdle_);
    moreForm->addRow("Keep uploaded files:", spnRetention_);
    const QString db = QString::fromStdString(settings_.database.Driver) + ", " +
                       QString::fromStdString(settings_.databaseName());
    auto* dbLabel = new QLabel(db);
    dbLabel->setObjectName("lblDatabase");
    dbLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    dbLabel->setToolTip("Set in the [Database] section of config.ini; read when the program starts.");
    moreForm->addRow("Database:", dbLabel);

    auto* columns = new QHBoxLayout;
    columns->addWidget(services, 1);
    columns->addWidget(more, 1);
    auto* note = new QLabel("You must stop and restart server before the new settings will take effect.");
    note->setWordWrap(true);
    auto* layout = new QVBoxLayout(tab);
    layout->addLayout(columns);
    layout->addWidget(note);
    layout->addStretch();
    return tab;
}

QWidget* TfrmMain::buildLogTab()
{
    auto* tab = new QWidget;
    memLog_ = new QPlainTextEdit;
    memLog_->setObjectName("memLog");
    memLog_->setReadOnly(true);
    memLog_->setMaximumBlockCount(20000);
    auto* clear = button("btnClear", "Clear");
    connect(clear, &QPushButton::clicked, memLog_, &QPlainTextEdit::clear);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(clear);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(memLog_, 1);
    layout->addLayout(row);
    return tab;
}

QWidget* TfrmMain::buildActiveUsersPage()
{
    auto* page = new QWidget;
    activeModel_ = new ActiveUsersModel(this);
    activeSorted_ = new QSortFilterProxyModel(this);
    activeSorted_->setSourceModel(activeModel_);
    activeSorted_->setSortCaseSensitivity(Qt::CaseInsensitive);
    activeSorted_->setDynamicSortFilter(true);
    activeSorted_->sort(0, Qt::AscendingOrder);
    lvActive_ = gridView("lvActive");
    lvActive_->setModel(activeSorted_);
    lvActive_->horizontalHeader()->setStretchLastSection(true);
    for (int c = 0; c < 4; ++c)
        lvActive_->setColumnWidth(c, 130);

    auto* disconnectButton = button("btnDisconnect", "Disconnect");
    connect(disconnectButton, &QPushButton::clicked, this, &TfrmMain::disconnectUser);
    lblOnline_ = new QLabel;
    lblOnline_->setObjectName("lblOnline");
    auto* row = new QHBoxLayout;
    row->addWidget(lblOnline_);
    row->addStretch();
    row->addWidget(disconnectButton);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(lvActive_, 1);
    layout->addLayout(row);
    return page;
}

QWidget* TfrmMain::buildDepartmentPage()
{
    auto* page = new QWidget;
    deptModel_ = new DepartmentModel(this);
    dbgDept_ = gridView("dbgDept");
    dbgDept_->setModel(deptModel_);
    dbgDept_->horizontalHeader()->setStretchLastSection(true);
    connect(dbgDept_, &QTableView::doubleClicked, this, &TfrmMain::editDepartment);
    auto* add = button("btnDeptAdd", "Add");
    auto* edit = button("btnDeptEdit", "Edit");
    auto* del = button("btnDeptDelete", "Delete");
    connect(add, &QPushButton::clicked, this, &TfrmMain::addDepartment);
    connect(edit, &QPushButton::clicked, this, &TfrmMain::editDepartment);
    connect(del, &QPushButton::clicked, this, &TfrmMain::deleteDepartment);
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (auto* b : {add, edit, del})
        row->addWidget(b);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(dbgDept_, 1);
    layout->addLayout(row);
    return page;
}

QWidget* TfrmMain::buildUsersPage()
{
    auto* page = new QWidget;
    userModel_ = new UserModel(this);
    dbgUser_ = gridView("dbgUser");
    dbgUser_->setModel(userModel_);
    const auto& columns = UserModel::columns();
    for (std::size_t c = 0; c < columns.size(); ++c)
        dbgUser_->setColumnWidth(static_cast<int>(c), columns[c].width);
    connect(dbgUser_, &QTableView::doubleClicked, this, &TfrmMain::editUser);
    auto* add = button("btnUserAdd", "Add");
    auto* edit = button("btnUserEdit", "Edit");
    auto* del = button("btnUserDelete", "Delete");
    connect(add, &QPushButton::clicked, this, &TfrmMain::addUser);
    connect(edit, &QPushButton::clicked, this, &TfrmMain::editUser);
    connect(del, &QPushButton::clicked, this, &TfrmMain::deleteUser);
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (auto* b : {add, edit, del})
        row->addWidget(b);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(dbgUser_, 1);
    layout->addLayout(row);
    return page;
}

void TfrmMain::buildMenus()
{
    QMenu* file = menuBar()->addMenu("&File");
    actStart_ = file->addAction(startIcon(), "Start Server", this, [this] { startServer(); });
    actStart_->setObjectName("actStart");
    actStop_ = file->addAction(stopIcon(), "Stop Server", this, [this] { stopServer(true); });
    actStop_->setObjectName("actStop");
    file->addSeparator();
    file->addAction("Exit", this, &QWidget::close)->setObjectName("actExit");

    QMenu* view = menuBar()->addMenu("&View");
    view->addAction("Server configuration", this, [this] {
        pcMain_->setCurrentWidget(serverPage_);
        serverTabs_->setCurrentIndex(0);
    });
    view->addAction("Department", this, [this] { pcMain_->setCurrentWidget(deptPage_); });
    view->addAction("Users", this, [this] { pcMain_->setCurrentWidget(usersPage_); });
    view->addAction("Active Connections", this, [this] { pcMain_->setCurrentWidget(activePage_); });
    view->addAction("Service logs", this, [this] {
        pcMain_->setCurrentWidget(serverPage_);
        serverTabs_->setCurrentIndex(1);
    });

    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction("Content", this, &TfrmMain::openHelp)->setObjectName("actHelp");
}

void TfrmMain::buildTray()
{
    // Without a tray the window is never hidden: closing or minimising leaves it reachable.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = new QSystemTrayIcon(serverIcon(false), this);
    tray_->setToolTip("Oskel Server");
    auto* menu = new QMenu(this);
    menu->addAction("Show/Hide", this, &TfrmMain::toggleVisible);
    menu->addAction("Exit", this, &TfrmMain::exitFromTray);
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
            showNormal();
            activateWindow();
        }
    });
    tray_->show();
}

void TfrmMain::loadSettingsIntoControls()
{
    const ServerSettings& s = settings_;
    const auto port = [](int p) { return p < 0 ? QString() : QString::number(p); };
    edtTcp_->setText(port(s.tcpServer));
    edtFtp_->setText(port(s.ftpServer));
    edtUdp_->setText(port(s.udpServer));
    edtTempDic_->setText(QString::fromStdString(s.tempDic.empty() ? s.uploadFolder().string() : s.tempDic));
    chkLimit_->setChecked(s.LimitFileTrans);
    spnLimit_->setValue(s.LimitFileSize);
    spnLimit_->setEnabled(s.LimitFileTrans);
    chkEncrypt_->setChecked(s.EncryptMsg);
    edtBind_->setText(QString::fromStdString(s.BindAddress));
    edtOrganisation_->setText(QString::fromStdString(s.Organisation));
    spnSignIn_->setValue(s.SignInTimeout);
    spnPasvMin_->setValue(s.PasvPortMin);
    spnPasvMax_->setValue(s.PasvPortMax);
    spnFtpIdle_->setValue(s.FtpIdleTimeout);
    spnRetention_->setValue(s.FileRetentionDays);
}

bool TfrmMain::startServer()
{
    if (core_.running())
        return true;
    ServerSettings s = settings_;
    const std::pair<QLineEdit*, int*> ports[] = {{edtTcp_, &s.tcpServer}, {edtFtp_, &s.ftpServer},
                                                 {edtUdp_, &s.udpServer}};
    for (const auto& [edit, value] : ports) {
        bool ok = false;
        const int v = edit->text().trimmed().toInt(&ok);
        if (!ok) {
            QMessageBox::critical(this, kMessageCaption, QString("'%1' is not a valid integer value").arg(edit->text()));
            edit->setFocus();
            return false;
        }
        *value = v;
    }
    s.tempDic = edtTempDic_->text().trimmed().toStdString();
    s.LimitFileTrans = chkLimit_->isChecked();
    s.LimitFileSize = spnLimit_->value();
    s.EncryptMsg = chkEncrypt_->isChecked();
    s.BindAddress = edtBind_->text().trimmed().toStdString();
    s.Organisation = edtOrganisation_->text().toStdString();
    s.SignInTimeout = spnSignIn_->value();
    s.PasvPortMin = spnPasvMin_->value();
    s.PasvPortMax = std::max(spnPasvMin_->value(), spnPasvMax_->value());
    s.FtpIdleTimeout = spnFtpIdle_->value();
    s.FileRetentionDays = spnRetention_->value();

    core_.setSettings(s);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto result = core_.start();
    QApplication::restoreOverrideCursor();
    if (!result.started) {
        showState(false);
        lblReason_->setText(QString::fromStdString(result.error));
        return false;
    }
    settings_ = s;
    if (!s.save(configPath_))
        memLog_->appendPlainText(now() + " The settings could not be saved to " + QString::fromStdString(configPath_));
    showState(true);
    return true;
}

void TfrmMain::stopServer(bool askFirst)
{
    if (!core_.running())
        return;
    if (askFirst && !ask(serverText("s_stopserver")))
        return;
    activeModel_->clear();
    core_.stop();
    showState(false);
    updateOnlineCount();
}

void TfrmMain::showState(bool running)
{
    btnStart_->setEnabled(!running);
    actStart_->setEnabled(!running);
    btnStop_->setEnabled(running);
    actStop_->setEnabled(running);
    QStringList addresses;
    if (running)
        for (const auto& a : core_.addresses())
            addresses << QString::fromStdString(a);
    lblAddress_->setText(addresses.join('\n'));
    lblStatus_->setText(serverText(running ? "s_serverrun" : "s_serverstop1"));
    if (running)
        lblReason_->clear();
    setWindowIcon(serverIcon(running));
    if (tray_)
        tray_->setIcon(serverIcon(running));
}

void TfrmMain::takeEvents()
{
    ServerEvents::Batch batch = events_.take();
    if (!batch.lines.empty()) {
        QStringList lines;
        for (const auto& l : batch.lines)
            lines << QString::fromStdString(l);
        memLog_->appendPlainText(lines.join('\n'));
    }
    if (!batch.users.empty()) {
        activeModel_->apply(batch.users);
        updateOnlineCount();
    }
}

void TfrmMain::updateOnlineCount()
{
    lblOnline_->setText(QString("Users online : %1").arg(activeModel_->rowCount()));
}

void TfrmMain::disconnectUser()
{
    const QModelIndex current = lvActive_->selectionModel()->currentIndex();
    const auto selected = lvActive_->selectionModel()->selectedRows();
    if (selected.isEmpty() || !current.isValid()) {
        QMessageBox::information(this, kMessageCaption, serverText("s_selusr"));
        return;
    }
    const std::uint64_t session = activeModel_->sessionAt(activeSorted_->mapToSource(selected.front()).row());
    if (!session || !ask(serverText("s_suredis")))
        return;
    core_.disconnect(session, serverText("s_disconnect").toStdString());
}

int TfrmMain::currentRow(QTableView* view) const
{
    if (view->model()->rowCount() == 0)
        return -1;
    const QModelIndex current = view->currentIndex();
    return current.isValid() ? current.row() : 0;
}

void TfrmMain::addDepartment()
{
    Department fresh;
    fresh.Rights = DirectoryAdmin::kNewDepartmentRights;
    TfrmGroup dialog(admin_, fresh, this);
    if (dialog.exec() == QDialog::Accepted)
        reloadDirectory();
}

void TfrmMain::editDepartment()
{
    const Department* d = deptModel_->departmentAt(currentRow(dbgDept_));
    if (!d)
        return;
    TfrmGroup dialog(admin_, *d, this);
    if (dialog.exec() == QDialog::Accepted)
        reloadDirectory();
}

void TfrmMain::deleteDepartment()
{
    const int row = currentRow(dbgDept_);
    const Department* d = deptModel_->departmentAt(row);
    if (!d || !ask(serverText("s_sure")))
        return;
    const DirectoryPtr dir = directory_; // keeps `d` alive through the dialog
    bool hasUsers = false;
    for (const auto& u : dir->users()) {
        const Department* of = dir->departmentOf(u);
        hasUsers = hasUsers || (of && of->ID == d->ID);
    }
    if (hasUsers) {
        TfrmDelDept dialog(admin_, *dir, *d, this);
        dialog.exec();
    } else {
        try {
            admin_.deleteDepartment(d->ID, DirectoryAdmin::DeleteUsers{});
        } catch (const std::exception& e) {
            QMessageBox::warning(this, kMessageCaption, QString::fromStdString(e.what()));
        }
    }
    reloadDirectory();
}

void TfrmMain::addUser()
{
    TfrmUser dialog(admin_, directory_, DirectoryUser{}, this);
    if (dialog.exec() == QDialog::Accepted)
        reloadDirectory();
}

void TfrmMain::editUser()
{
    const DirectoryPtr dir = directory_;
    const DirectoryUser* u = userModel_->userAt(currentRow(dbgUser_));
    if (!u)
        return;
    TfrmUser dialog(admin_, dir, *u, this);
    if (dialog.exec() == QDialog::Accepted)
        reloadDirectory();
}

void TfrmMain::deleteUser()
{
    const DirectoryPtr dir = directory_;
    const DirectoryUser* u = userModel_->userAt(currentRow(dbgUser_));
    if (!u || !ask(serverText("s_sure")))
        return;
    try {
        admin_.deleteUser(u->ID);
    } catch (const std::exception& e) {
        QMessageBox::warning(this, kMessageCaption, QString::fromStdString(e.what()));
    }
    reloadDirectory();
}

void TfrmMain::reloadDirectory()
{
    DirectoryPtr dir;
    try {
        dir = admin_.directory();
    } catch (const std::exception& e) {
        memLog_->appendPlainText(now() + " The directory could not be read: " + QString::fromStdString(e.what()));
        return;
    }
    const int deptRow = dbgDept_->currentIndex().row();
    const int userRow = dbgUser_->currentIndex().row();
    directory_ = dir;
    deptModel_->setDirectory(dir);
    userModel_->setDirectory(dir);
    // Keep the cursor where it was, as far as the rows allow.
    if (const int n = deptModel_->rowCount(); n > 0)
        dbgDept_->selectRow(std::clamp(deptRow, 0, n - 1));
    if (const int n = userModel_->rowCount(); n > 0)
        dbgUser_->selectRow(std::clamp(userRow, 0, n - 1));
}

void TfrmMain::appendLog(const QString& line)
{
    memLog_->appendPlainText(line);
}

void TfrmMain::openHelp()
{
    // The page travels inside the program; the desktop's viewer opens a copy of it.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/help";
    QDir().mkpath(folder);
    const QString path = folder + "/OskelServer.html";
    QFile::remove(path);
    if (!QFile::copy(":/help/OskelServer.html", path) || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        QMessageBox::information(this, kMessageCaption,
                                 "No program to show help pages was found. The help page is " + path + ".");
}

void TfrmMain::toggleVisible()
{
    if (isVisible() && !isMinimized()) {
        hide();
    } else {
        showNormal();
        activateWindow();
    }
}

void TfrmMain::exitFromTray()
{
    if (!ask(serverText("s_stopserver")))
        return;
    stopServer(false);
    quitting_ = true;
    close();
    QApplication::quit();
}

void TfrmMain::hideToTray()
{
    if (tray_ && tray_->isVisible())
        hide();
    else
        showMinimized();
}

bool TfrmMain::ask(const QString& question)
{
    return QMessageBox::question(this, kMessageCaption, question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (quitting_) {
        event->accept();
        return;
    }
    event->ignore();
    if (!ask(serverText("s_Closeserver")))
        return;
    if (core_.running()) {
        hideToTray();
        return;
    }
    quitting_ = true;
    event->accept();
    QApplication::quit();
}

void TfrmMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_ && tray_->isVisible())
        QTimer::singleShot(0, this, &QWidget::hide);
}

} // namespace oskel::server::ui
