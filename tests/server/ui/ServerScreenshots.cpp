// Writes PNGs of every page and dialog of the server window with a small sample
// organisation, for docs/screenshots/. Run by scripts/screenshots.sh under Xvfb.
//   server_screenshots OUTPUT_FOLDER

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "ServerHarness.h"
#include "server/ui/ServerTexts.h"
#include "server/ui/ServerWindowProgram.h"
#include "server/ui/TfrmDelDept.h"
#include "server/ui/TfrmGroup.h"
#include "server/ui/TfrmMain.h"
#include "server/ui/TfrmUser.h"

using namespace oskel::server;
using namespace oskel::server::ui;

namespace {
struct Person {
    const char* id;
    const char* first;
    const char* last;
    const char* dept;
    const char* gender;
    const char* job;
    const char* city;
};
constexpr Person kPeople[] = {
    {"mlinde", "Maria", "Linde", "Management", "Female", "Managing Director", "Hamburg"},
    {"tokafor", "Tobi", "Okafor", "Management", "Male", "Head of Finance", "Hamburg"},
    {"schen", "Sofia", "Chen", "Sales", "Female", "Account Manager", "Bremen"},
    {"jberg", "Jonas", "Berg", "Sales", "Male", "Sales Assistant", "Bremen"},
    {"anovak", "Ana", "Novak", "Engineering", "Female", "Software Engineer", "Hamburg"},
    {"pmoreau", "Pierre", "Moreau", "Engineering", "Male", "Test Engineer", "Kiel"},
    {"lsingh", "Leena", "Singh", "Engineering", "Female", "Team Lead", "Hamburg"},
    {"rkowalski", "Robert", "Kowalski", "Support", "Male", "Support Engineer", "Kiel"},
    {"emiller", "Emma", "Miller", "Support", "Female", "Help Desk", "Kiel"},
};

void settle(int ms = 150)
{
    QTest::qWait(ms);
}

bool save(QWidget* w, const QString& folder, const char* name)
{
    w->raise();
    settle();
    const QString path = folder + "/" + name + ".png";
    const bool ok = w->grab().save(path);
    std::cout << (ok ? "wrote " : "FAILED ") << path.toStdString() << "\n";
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: server_screenshots OUTPUT_FOLDER\n";
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    oskel::test::TempDir dir;
    const auto config = dir.path() / "config.ini";
    std::ofstream(config) << "[Server Info]\ntcpServer=" << oskel::test::freePort(SOCK_STREAM)
                          << "\nftpServer=" << oskel::test::freePort(SOCK_STREAM) << "\nudpServer=" << oskel::test::freePort(SOCK_DGRAM)
                          << "\nBindAddress=127.0.0.1\nOrganisation=Example Works\nEncryptMsg=0\n";
    ServerWindowProgram program(config.string());
    DirectoryAdmin& admin = program.admin();
    admin.saveDepartment(0, "Management", "11111111");
    admin.saveDepartment(0, "Sales", "11011011");
    admin.saveDepartment(0, "Engineering", "11111110");
    admin.saveDepartment(0, "Support", "11010110");
    for (const auto& p : kPeople) {
        const auto directory = admin.directory();
        const Department* d = directory->findDepartment(p.dept);
        DirectoryAdmin::UserEdit e;
        e.user.UserLog = p.id;
        e.user.FirstName = p.first;
        e.user.LastName = p.last;
        e.user.DeptID = std::to_string(d->ID);
        e.user.Rights = d->Rights;
        e.user.Gender = p.gender;
        e.user.JobTitle = p.job;
        e.user.City = p.city;
        e.user.EMail = std::string(p.id) + "@example.org";
        e.user.Phone = "+49 40 5550 1" + std::to_string(std::string(p.id).size());
        e.password = e.passwordAgain = "sample";
        admin.saveUser(e);
    }

    TfrmMain& window = program.window();
    window.resize(900, 600);
    window.show();
    window.startServer();
    window.reloadDirectory();

    std::vector<std::unique_ptr<oskel::test::TestClient>> online;
    for (const char* id : {"mlinde", "schen", "anovak", "lsingh", "emiller"}) {
        online.push_back(std::make_unique<oskel::test::TestClient>(program.core().tcpPort()));
        online.back()->login(id, "sample");
    }
    auto* active = window.findChild<QTableView*>("lvActive");
    QElapsedTimer clock;
    clock.start();
    while (active->model()->rowCount() < 5 && clock.elapsed() < 5000)
        settle(20);

    auto* pages = window.findChild<QTabWidget*>("pcMain");
    auto* serverTabs = window.findChild<QTabWidget*>("pcServer");
    bool ok = true;
    pages->setCurrentIndex(0);
    serverTabs->setCurrentIndex(0);
    ok &= save(&window, out, "server-configuration");
    serverTabs->setCurrentIndex(1);
    ok &= save(&window, out, "service-logs");
    pages->setCurrentIndex(1);
    active->selectRow(1);
    ok &= save(&window, out, "active-users");
    pages->setCurrentIndex(2);
    ok &= save(&window, out, "departments");
    pages->setCurrentIndex(3);
    ok &= save(&window, out, "users");

    const auto directory = admin.directory();
    {
        TfrmGroup group(admin, *directory->findDepartment("Sales"), &window);
        group.show();
        ok &= save(&group, out, "department-dialog");
        group.findChild<QTabWidget*>()->setCurrentIndex(1);
        ok &= save(&group, out, "department-dialog-rights");
    }
    {
        TfrmUser user(admin, directory, *directory->findUser("schen"), &window);
        user.show();
        ok &= save(&user, out, "user-dialog");
        auto* tabs = user.findChild<QTabWidget*>();
        tabs->setCurrentIndex(1);
        user.field("edtBirthday")->setText("1988-06-14");
        ok &= save(&user, out, "user-dialog-details");
        tabs->setCurrentIndex(2);
        ok &= save(&user, out, "user-dialog-rights");
    }
    {
        TfrmDelDept del(admin, *directory, *directory->findDepartment("Support"), &window);
        del.show();
        del.moveOption()->setChecked(true);
        del.departmentList()->setCurrentIndex(del.departmentList()->findText("Engineering"));
        ok &= save(&del, out, "delete-department-dialog");
    }
    {
        QMessageBox box(QMessageBox::Question, kMessageCaption, serverText("s_suredis"),
                        QMessageBox::Yes | QMessageBox::No, &window);
        box.show();
        ok &= save(&box, out, "disconnect-question");
    }
    online.clear();
    window.stopServer(false);
    pages->setCurrentIndex(0);
    serverTabs->setCurrentIndex(1);
    ok &= save(&window, out, "server-stopped");
    return ok ? 0 : 1;
}
