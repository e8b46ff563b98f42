// The server window driven through its real widgets under the offscreen platform: the
// buttons are pressed, the dialogs and message boxes answered as a user would.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <functional>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"
#include "server/IniFile.h"
#include "server/ui/ActiveUsersModel.h"
#include "server/ui/RightsTree.h"
#include "server/ui/ServerWindowProgram.h"
#include "server/ui/TfrmDelDept.h"
#include "server/ui/TfrmGroup.h"
#include "server/ui/TfrmMain.h"
#include "server/ui/TfrmUser.h"

using namespace oskel;
using namespace oskel::server;
using namespace oskel::server::ui;
using namespace std::chrono_literals;

namespace {

// Answers the next modal dialog of type W while the code that opened it waits in exec().
// A dialog of another type, or none within the time, fails the test (and is closed).
template <class W> class WhenModal {
public:
    explicit WhenModal(std::function<void(W*)> act, int timeoutMs = 5000)
    {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this, act, timeoutMs] {
            QWidget* modal = QApplication::activeModalWidget();
            if (W* w = qobject_cast<W*>(modal)) {
                timer_.stop();
                answered_ = true;
                act(w);
            } else if (clock_.elapsed() > timeoutMs) {
                timer_.stop();
                ADD_FAILURE() << "no " << W::staticMetaObject.className() << " appeared"
                              << (modal ? std::string(", but a ") + modal->metaObject()->className() : std::string());
                if (modal)
                    modal->close();
            }
        });
        timer_.start(10);
    }
    bool answered() const { return answered_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    bool answered_ = false;
};

// Clicks `button` of the message box and remembers its text.
struct BoxAnswer {
    QString text;
    std::unique_ptr<WhenModal<QMessageBox>> when;
    explicit BoxAnswer(QMessageBox::StandardButton button)
        : when(std::make_unique<WhenModal<QMessageBox>>([this, button](QMessageBox* box) {
              text = box->text();
              box->button(button)->click();
          }))
    {
    }
    bool answered() const { return when->answered(); }
};

void clickOk(QDialog* dialog)
{
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout.count())
            return false;
        QTest::qWait(10);
    }
    return true;
}

// A listening socket on 127.0.0.1 that keeps a port busy.
class BusyPort {
public:
    BusyPort()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~BusyPort() { release(); }
    void release()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class ServerWindow : public ::testing::Test {
protected:
    void writeConfig(const std::string& extra = {})
    {
        std::ofstream f(config_);
        f << "[Server Info]\ntcpServer=" << oskel::test::freePort(SOCK_STREAM) << "\nftpServer=" << oskel::test::freePort(SOCK_STREAM)
          << "\nudpServer=" << oskel::test::freePort(SOCK_DGRAM) << "\nBindAddress=127.0.0.1\n"
          << extra;
    }
    void open()
    {
        program_ = std::make_unique<ServerWindowProgram>(config_.string());
        window().show();
        window().startServer();
    }
    TfrmMain& window() { return program_->window(); }
    ServerCore& core() { return program_->core(); }
    DirectoryAdmin& admin() { return program_->admin(); }

    template <class T> T* find(const char* name)
    {
        T* w = window().findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* button) { QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton); }
    void selectRow(const char* grid, int row)
    {
        auto* view = find<QTableView>(grid);
        view->setCurrentIndex(view->model()->index(row, 0));
        view->selectRow(row);
    }

    std::int64_t addUser(const std::string& id, const std::string& dept, const std::string& rights,
                         const std::string& password = "pw")
    {
        DirectoryAdmin::UserEdit e;
        e.user.UserLog = id;
        e.user.FirstName = id;
        if (!dept.empty()) {
            const auto dir = admin().directory();
            e.user.DeptID = std::to_string(dir->findDepartment(dept)->ID);
        }
        e.user.Rights = rights;
        e.password = e.passwordAgain = password;
        const auto rowId = admin().saveUser(e);
        window().reloadDirectory();
        return rowId;
    }
    DirectoryUser user(const std::string& id)
    {
        const auto dir = admin().directory();
        const DirectoryUser* u = dir->findUser(id);
        return u ? *u : DirectoryUser{};
    }
    std::optional<Department> department(const std::string& name)
    {
        const auto dir = admin().directory();
        const Department* d = dir->findDepartment(name);
        return d ? std::optional<Department>(*d) : std::nullopt;
    }
    std::string iniValue(const char* key)
    {
        return IniFile::load(config_.string())->value("Server Info", key).value_or("");
    }
    void restartServices()
    {
        BoxAnswer yes(QMessageBox::Yes);
        click("btnStop");
        EXPECT_TRUE(yes.answered());
        EXPECT_FALSE(core().running());
        click("btnStart");
        EXPECT_TRUE(core().running());
    }

    oskel::test::TempDir dir_;
    std::filesystem::path config_ = dir_.path() / "config.ini";
    std::unique_ptr<ServerWindowProgram> program_;
};

TEST_F(ServerWindow, adding_and_editing_a_department_copies_its_rights_to_its_users)
{
    writeConfig();
    open();
    {
        WhenModal<TfrmGroup> fill([](TfrmGroup* d) {
            EXPECT_EQ(d->rightsTree()->rights(), "11111111"); // a new department has every right
            d->nameEdit()->setText("Sales");
            clickOk(d);
        });
        click("btnDeptAdd");
        ASSERT_TRUE(fill.answered());
    }
    ASSERT_TRUE(department("Sales"));
    EXPECT_EQ(department("Sales")->Rights, "11111111"); // eight positions after the first save
    addUser("alice", "Sales", "11111111");
    addUser("bob", "Sales", "01010101");
    addUser("carol", "", "11111111");

    auto* users = find<QTableView>("dbgUser");
    EXPECT_EQ(users->model()->index(0, 3).data().toString(), "Sales"); // the name, not the ID

    selectRow("dbgDept", 0);
    {
        WhenModal<TfrmGroup> edit([](TfrmGroup* d) {
            EXPECT_EQ(d->nameEdit()->text(), "Sales");
            auto* tree = d->rightsTree();
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                tree->topLevelItem(i)->setCheckState(0, i == 0 || i == 2 ? Qt::Checked : Qt::Unchecked);
            clickOk(d);
        });
        click("btnDeptEdit");
        ASSERT_TRUE(edit.answered());
    }
    EXPECT_EQ(department("Sales")->Rights, "10100000");
    EXPECT_EQ(user("alice").Rights, "10100000");
    EXPECT_EQ(user("bob").Rights, "10100000");
    EXPECT_EQ(user("carol").Rights, "11111111");
}

TEST_F(ServerWindow, deleting_departments_with_and_without_users)
{
    writeConfig();
    open();
    admin().saveDepartment(0, "Empty", "11111111");
    admin().saveDepartment(0, "Old", "11111111");
    admin().saveDepartment(0, "New", "00000000");
    window().reloadDirectory();
    addUser("alice", "Old", "10100000");

    // Without users: only the question, then it is gone.
    selectRow("dbgDept", 0);
    {
        BoxAnswer yes(QMessageBox::Yes);
        click("btnDeptDelete");
        ASSERT_TRUE(yes.answered());
        EXPECT_EQ(yes.text, "Are you sure to delete this record?");
    }
    EXPECT_FALSE(department("Empty"));
    EXPECT_EQ(find<QTableView>("dbgDept")->model()->rowCount(), 2);

    // With users: the dialog; "Move" without a department first, then with one.
    selectRow("dbgDept", 0);
    ASSERT_EQ(find<QTableView>("dbgDept")->model()->index(0, 0).data().toString(), "Old");
    QString refusal;
    bool stayedOpen = false;
    {
        BoxAnswer yes(QMessageBox::Yes);
        WhenModal<TfrmDelDept> choose([&](TfrmDelDept* d) {
            EXPECT_TRUE(d->deleteOption()->isChecked());
            EXPECT_FALSE(d->departmentList()->isEnabled());
            d->moveOption()->setChecked(true);
            EXPECT_TRUE(d->departmentList()->isEnabled());
            {
                BoxAnswer ok(QMessageBox::Ok);
                clickOk(d);
                refusal = ok.text;
            }
            stayedOpen = d->isVisible();
            d->departmentList()->setCurrentIndex(d->departmentList()->findText("New"));
            clickOk(d);
        });
        click("btnDeptDelete");
        ASSERT_TRUE(yes.answered());
        ASSERT_TRUE(choose.answered());
    }
    EXPECT_EQ(refusal, "   is not a valid department name");
    EXPECT_TRUE(stayedOpen);
    EXPECT_FALSE(department("Old"));
    EXPECT_EQ(user("alice").DeptID, std::to_string(department("New")->ID));
    EXPECT_EQ(user("alice").Rights, "10100000"); // moved users keep their rights
}

TEST_F(ServerWindow, user_dialog_refuses_different_passwords_and_keeps_a_password_left_empty)
{
    writeConfig();
    open();
    admin().saveDepartment(0, "Sales", "10100000");
    window().reloadDirectory();

    QString refusal;
    bool stayedOpen = false;
    {
        WhenModal<TfrmUser> fill([&](TfrmUser* d) {
            d->field("edtUserLog")->setText("carol");
            d->field("edtFirstName")->setText("Carol");
            d->departmentList()->setCurrentIndex(0);
            emit d->departmentList()->activated(0); // as a user's choice does
            EXPECT_EQ(d->rightsTree()->rights(), "10100000");
            d->field("edtPassword")->setText("one");
            d->field("edtPasswordAgain")->setText("two");
            {
                BoxAnswer ok(QMessageBox::Ok);
                clickOk(d);
                refusal = ok.text;
            }
            stayedOpen = d->isVisible();
            d->reject();
        });
        click("btnUserAdd");
        ASSERT_TRUE(fill.answered());
    }
    EXPECT_EQ(refusal, "Password does not match. Please check.");
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(user("carol").ID, 0); // nothing stored

    addUser("alice", "Sales", "10100000", "secret");
    const std::string hash = user("alice").PassWd;
    selectRow("dbgUser", 0);
    {
        WhenModal<TfrmUser> edit([](TfrmUser* d) {
            EXPECT_EQ(d->field("edtUserLog")->text(), "alice");
            EXPECT_TRUE(d->field("edtPassword")->text().isEmpty()); // the stored password is not shown
            d->field("edtFirstName")->setText("Alice");
            d->field("edtBirthday")->setText("1990-04-01");
            clickOk(d);
        });
        click("btnUserEdit");
        ASSERT_TRUE(edit.answered());
    }
    EXPECT_EQ(user("alice").FirstName, "Alice");
    EXPECT_EQ(user("alice").Birthday, "1990-04-01");
    EXPECT_EQ(user("alice").PassWd, hash);
}

TEST_F(ServerWindow, a_busy_port_leaves_it_stopped_until_start_after_the_port_is_free)
{
    BusyPort busy;
    writeConfig();
    {
        IniFile ini = *IniFile::load(config_.string());
        ini.set("Server Info", "tcpServer", std::to_string(busy.port()));
        ini.save(config_.string());
    }
    open();
    EXPECT_FALSE(core().running());
    EXPECT_TRUE(find<QPushButton>("btnStart")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("btnStop")->isEnabled());
    EXPECT_EQ(find<QLabel>("lblStatus")->text(), "Server status : Stopped");
    EXPECT_TRUE(find<QLabel>("lblAddress")->text().isEmpty());

    busy.release();
    click("btnStart");
    EXPECT_TRUE(core().running());
    EXPECT_EQ(core().tcpPort(), busy.port());
    EXPECT_FALSE(find<QPushButton>("btnStart")->isEnabled());
    EXPECT_EQ(find<QLabel>("lblStatus")->text(), "Server status : Running");
    EXPECT_EQ(find<QLabel>("lblAddress")->text(), "127.0.0.1");
    EXPECT_EQ(iniValue("tcpServer"), std::to_string(busy.port())); // saved at the start

    {
        BoxAnswer no(QMessageBox::No);
        click("btnStop");
        EXPECT_EQ(no.text, "Are you sure to stop Oskel Server?");
    }
    EXPECT_TRUE(core().running());
    {
        BoxAnswer yes(QMessageBox::Yes);
        click("btnStop");
    }
    EXPECT_FALSE(core().running());
    EXPECT_TRUE(find<QPushButton>("btnStart")->isEnabled());
    EXPECT_EQ(find<QLabel>("lblStatus")->text(), "Server status : Stopped");

    // A port that is not a number stops the start with the conversion error.
    find<QLineEdit>("edtUdpPort")->setText("udp");
    {
        BoxAnswer ok(QMessageBox::Ok);
        click("btnStart");
        EXPECT_EQ(ok.text, "'udp' is not a valid integer value");
    }
    EXPECT_FALSE(core().running());
}

TEST_F(ServerWindow, disconnect_kicks_the_selected_user_out)
{
    writeConfig("EncryptMsg=0\n");
    open();
    ASSERT_TRUE(core().running());
    admin().saveDepartment(0, "Sales", "11111111");
    addUser("alice", "Sales", "11111111", "apw");
    oskel::test::TestClient alice(core().tcpPort());
    ASSERT_TRUE(alice.login("alice", "apw"));

    auto* list = find<QTableView>("lvActive");
    ASSERT_TRUE(waitUntil([&] { return list->model()->rowCount() == 1; }));
    EXPECT_EQ(list->model()->index(0, 0).data().toString(), "alice");
    EXPECT_EQ(list->model()->index(0, 1).data().toString(), "Sales");
    EXPECT_EQ(list->model()->index(0, 2).data().toString(), "127.0.0.1");
    EXPECT_EQ(list->model()->index(0, 3).data().toInt(), alice.localPort());
    EXPECT_EQ(find<QLabel>("lblOnline")->text(), "Users online : 1");

    {
        BoxAnswer ok(QMessageBox::Ok);
        click("btnDisconnect");
        EXPECT_EQ(ok.text, "Please select user.");
    }
    EXPECT_TRUE(alice.silent(100ms));

    list->selectRow(0);
    {
        BoxAnswer yes(QMessageBox::Yes);
        click("btnDisconnect");
        EXPECT_EQ(yes.text, "Are you sure to disconnect this user?");
    }
    const auto kick = alice.nextOf(protocol::Command::KikOut);
    ASSERT_TRUE(kick);
    EXPECT_EQ(kick->record<protocol::TKikOutRecord>().Reason, "You are disconnected by server.");
    EXPECT_TRUE(alice.closedByServer());
    EXPECT_TRUE(waitUntil([&] { return list->model()->rowCount() == 0; }));
    EXPECT_EQ(find<QLabel>("lblOnline")->text(), "Users online : 0");
}

TEST_F(ServerWindow, switching_encryption_off_converts_stored_texts_and_the_next_sign_in_carries_it)
{
    writeConfig("EncryptMsg=-1\n");
    open();
    addUser("alice", "", "11111111", "apw");
    addUser("bob", "", "11111111", "bpw");
    {
        oskel::test::TestClient alice(core().tcpPort());
        ASSERT_TRUE(alice.login("alice", "apw"));
        // With "Encrypt message" on, clients send cipher text; bob is offline: stored.
        alice.sendChat("alice", "bob", protocol::encipherText("hello bob"));
    }
    ServerSettings s = ServerSettings::load(config_);
    auto db = Database::open(s);
    const auto storedText = [&] {
        std::string text;
        soci::indicator ind;
        db->sql() << "SELECT MSG FROM T_UNDELIVEMSG", soci::into(text, ind);
        return text;
    };
    ASSERT_TRUE(waitUntil([&] { return !storedText().empty(); }));
    EXPECT_EQ(storedText(), protocol::encipherText("hello bob"));

    find<QCheckBox>("chkEncryptMsg")->setChecked(false);
    restartServices();
    EXPECT_EQ(iniValue("EncryptMsg"), "0");
    EXPECT_EQ(storedText(), "hello bob");
    oskel::test::TestClient bob(core().tcpPort());
    const auto reply = bob.login("bob", "bpw");
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->command, protocol::Command::SucLog);
    EXPECT_FALSE(reply->record<protocol::TLoginReply>().EncryptMsg);
    const auto chat = bob.nextOf(protocol::Command::Chat);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->text1, "hello bob");
}

TEST_F(ServerWindow, the_upload_limit_reaches_sign_ins_after_a_restart)
{
    writeConfig();
    open();
    addUser("alice", "", "11111111", "apw");
    const auto limitSeen = [&] {
        oskel::test::TestClient alice(core().tcpPort());
        const auto reply = alice.login("alice", "apw");
        return reply ? reply->record<protocol::TLoginReply>().FileSizeLimit : -1;
    };
    EXPECT_EQ(limitSeen(), 3);
    find<QSpinBox>("spnLimitFileSize")->setValue(10);
    EXPECT_EQ(limitSeen(), 3); // not before the next start
    restartServices();
    EXPECT_EQ(limitSeen(), 10);
    EXPECT_EQ(iniValue("LimitFileSize"), "10");
    find<QCheckBox>("chkLimitFileTrans")->setChecked(false);
    EXPECT_FALSE(find<QSpinBox>("spnLimitFileSize")->isEnabled());
    restartServices();
    EXPECT_EQ(limitSeen(), 0);
    EXPECT_EQ(iniValue("LimitFileTrans"), "0");
}

TEST(ActiveUsersModel, rows_follow_the_events_in_small_and_large_batches)
{
    for (std::size_t users : {std::size_t{6}, std::size_t{200}}) { // one change per row, or one reset
        SCOPED_TRACE(users);
        ActiveUsersModel model;
        QSortFilterProxyModel sorted;
        sorted.setSourceModel(&model);
        sorted.sort(0);
        std::vector<ServerEvents::UserEvent> events;
        for (std::size_t i = 1; i <= users; ++i)
            events.emplace_back(ServerEvents::Added{{i, "user" + std::to_string(1000 + i), "Sales", "127.0.0.1",
                                                     static_cast<int>(i), "2026-12-11 09:00:00"}});
        model.apply(events);
        ASSERT_EQ(model.rowCount(), static_cast<int>(users));
        events.clear();
        events.emplace_back(ServerEvents::Removed{2});          // from the middle
        events.emplace_back(ServerEvents::Removed{users});      // the last
        events.emplace_back(ServerEvents::Removed{99999});      // unknown: already gone
        events.emplace_back(ServerEvents::Updated{{1, "user1001", "Support", "127.0.0.1", 1, "2026-12-11 09:00:00"}});
        events.emplace_back(ServerEvents::Added{{1, "again", "", "", 0, ""}}); // a session is listed once
        for (std::size_t i = 3; i < users && events.size() < 70; ++i)
            events.emplace_back(ServerEvents::Updated{{i, "user" + std::to_string(1000 + i), "Sales", "10.0.0.1",
                                                       static_cast<int>(i), "2026-12-11 09:00:00"}});
        model.apply(events);
        ASSERT_EQ(model.rowCount(), static_cast<int>(users) - 2);
        std::set<std::uint64_t> sessions;
        for (int r = 0; r < model.rowCount(); ++r)
            sessions.insert(model.sessionAt(r));
        EXPECT_EQ(sessions.size(), users - 2);
        EXPECT_FALSE(sessions.count(2));
        EXPECT_FALSE(sessions.count(users));
        // The sorted view shows the rows by user name, the update included.
        EXPECT_EQ(sorted.index(0, 0).data().toString(), "user1001");
        EXPECT_EQ(sorted.index(0, 1).data().toString(), "Support");
        EXPECT_EQ(sorted.index(1, 0).data().toString(), "user1003");
        model.clear();
        EXPECT_EQ(model.rowCount(), 0);
        model.apply({ServerEvents::Removed{1}});
        EXPECT_EQ(model.rowCount(), 0);
    }
}

TEST(ServerWindowHelp, the_help_page_travels_inside_the_program)
{
    QFile page(":/help/OskelServer.html");
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    EXPECT_TRUE(page.readAll().contains("Oskel Server Manager"));
}

TEST_F(ServerWindow, closing_asks_and_keeps_the_services_and_the_window_reachable)
{
    writeConfig();
    open();
    {
        BoxAnswer no(QMessageBox::No);
        window().close();
        EXPECT_EQ(no.text, "Are you sure to close Oskel Server Manager?");
    }
    EXPECT_TRUE(window().isVisible());
    {
        BoxAnswer yes(QMessageBox::Yes);
        window().close();
    }
    EXPECT_TRUE(core().running());
    if (!window().hasTray()) { // no tray to come back from: minimised, never hidden
        EXPECT_TRUE(window().isVisible());
    }
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
