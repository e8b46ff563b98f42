#include "server/ui/TfrmUser.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "server/ui/RightsTree.h"
#include "server/ui/ServerTexts.h"

namespace oskel::server::ui {

TfrmUser::TfrmUser(DirectoryAdmin& admin, DirectoryPtr directory, const DirectoryUser& user, QWidget* parent)
    : QDialog(parent), admin_(admin), directory_(std::move(directory)), user_(user)
{
    setObjectName("TfrmUser");
    setWindowTitle("User");
    auto* tabs = new QTabWidget(this);

    auto* general = new QWidget;
    auto* form = new QFormLayout(general);
    form->addRow("Username:", addField("edtUserLog", user.UserLog, 20));
    form->addRow("First Name:", addField("edtFirstName", user.FirstName));
    form->addRow("Last Name:", addField("edtLastName", user.LastName));

    cbDept_ = new QComboBox;
    cbDept_->setObjectName("cbDept");
    cbDept_->setPlaceholderText("Choose a department");
    int current = -1;
    const Department* own = directory_->departmentOf(user);
    for (const auto& d : directory_->departments()) {
        if (own && own->ID == d.ID)
            current = cbDept_->count();
        cbDept_->addItem(QString::fromStdString(d.GroupName), QVariant::fromValue<qlonglong>(d.ID));
    }
    cbDept_->setCurrentIndex(current);
    connect(cbDept_, &QComboBox::activated, this, &TfrmUser::departmentChosen);
    form->addRow("Department:", cbDept_);

    for (const char* name : {"edtPassword", "edtPasswordAgain"}) {
        QLineEdit* pw = addField(name, {}, 20);
        pw->setEchoMode(QLineEdit::Password);
        const bool again = std::string_view(name) == "edtPasswordAgain";
        if (user.ID != 0)
            pw->setPlaceholderText(again ? "unchanged unless typed in both" : "unchanged");
        else if (again)
            pw->setPlaceholderText("the same again");
        form->addRow("Password:", pw);
    }

    cbGender_ = new QComboBox;
    cbGender_->setObjectName("cbGender");
    cbGender_->addItems({"Male", "Female"});
    cbGender_->setCurrentIndex(cbGender_->findText(QString::fromStdString(user.Gender)));
    form->addRow("Gender:", cbGender_);
    form->addRow("Job Title:", addField("edtJobTitle", user.JobTitle));
    form->addRow("Remark:", addField("edtRemark", user.Remark));
    chkDisable_ = new QCheckBox("Account Disable");
    chkDisable_->setObjectName("chkDisable");
    chkDisable_->setChecked(user.Disable);
    form->addRow(QString(), chkDisable_);
    tabs->addTab(general, "General");

    auto* details = new QWidget;
    auto* detailForm = new QFormLayout(details);
    detailForm->addRow("State:", addField("edtState", user.State));
    detailForm->addRow("Postcode:", addField("edtPostCode", user.PostCode));
    detailForm->addRow("Cellular:", addField("edtHandSet", user.HandSet));
    detailForm->addRow("City:", addField("edtCity", user.City));
    detailForm->addRow("Address:", addField("edtAddress", user.Address));
    detailForm->addRow("Phone:", addField("edtPhone", user.Phone));
    detailForm->addRow("Fax:", addField("edtFax", user.Fax));
    detailForm->addRow("E-mail:", addField("edtEMail", user.EMail));
    QLineEdit* birthday = addField("edtBirthday", user.Birthday, 10);
    birthday->setPlaceholderText("yyyy-MM-dd");
    detailForm->addRow("Birthday:", birthday);
    tabs->addTab(details, "User Details");

    rights_ = new RightsTree;
    rights_->setRights(user.Rights);
    tabs->addTab(rights_, "Rights");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmUser::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    resize(420, 460);
}

QLineEdit* TfrmUser::addField(const char* objectName, const std::string& value, int maxLength)
{
    auto* e = new QLineEdit(QString::fromStdString(value), this);
    e->setObjectName(objectName);
    if (maxLength > 0)
        e->setMaxLength(maxLength);
    return e;
}

QLineEdit* TfrmUser::field(const char* objectName) const
{
    return findChild<QLineEdit*>(objectName);
}

void TfrmUser::departmentChosen(int index)
{
    const qlonglong id = cbDept_->itemData(index).toLongLong();
    for (const auto& d : directory_->departments())
        if (d.ID == id)
            rights_->setRights(d.Rights);
}

void TfrmUser::save()
{
    const auto text = [this](const char* name) { return field(name)->text().toStdString(); };
    DirectoryAdmin::UserEdit e;
    e.user = user_;
    e.user.UserLog = field("edtUserLog")->text().trimmed().toStdString();
    e.user.FirstName = text("edtFirstName");
    e.user.LastName = text("edtLastName");
    e.user.DeptID = cbDept_->currentIndex() >= 0 ? std::to_string(cbDept_->currentData().toLongLong()) : "";
    e.user.Gender = cbGender_->currentIndex() >= 0 ? cbGender_->currentText().toStdString() : user_.Gender;
    e.user.JobTitle = text("edtJobTitle");
    e.user.Remark = text("edtRemark");
    e.user.Disable = chkDisable_->isChecked();
    e.user.State = text("edtState");
    e.user.PostCode = text("edtPostCode");
    e.user.HandSet = text("edtHandSet");
    e.user.City = text("edtCity");
    e.user.Address = text("edtAddress");
    e.user.Phone = text("edtPhone");
    e.user.Fax = text("edtFax");
    e.user.EMail = text("edtEMail");
    e.user.Birthday = text("edtBirthday");
    e.user.Rights = rights_->rights();
    e.password = text("edtPassword");
    e.passwordAgain = text("edtPasswordAgain");
    try {
        admin_.saveUser(e);
        accept();
    } catch (const std::exception& ex) {
        QMessageBox::warning(this, kMessageCaption, QString::fromStdString(ex.what()));
    }
}

} // namespace oskel::server::ui
