#include "server/ui/TfrmDelDept.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include "server/ui/ServerTexts.h"

namespace oskel::server::ui {

TfrmDelDept::TfrmDelDept(DirectoryAdmin& admin, const Directory& directory, const Department& department,
                         QWidget* parent)
    : QDialog(parent), admin_(admin), department_(department.ID)
{
    setObjectName("TfrmDelDept");
    setWindowTitle("Delete Department");
    std::size_t members = 0;
    for (const auto& u : directory.users()) {
        const Department* d = directory.departmentOf(u);
        members += d && d->ID == department.ID;
    }
    auto* intro = new QLabel(QString("The department \"%1\" has %2 user(s). What shall happen to them?")
                                 .arg(QString::fromStdString(department.GroupName))
                                 .arg(members));
    intro->setWordWrap(true);
    rbDelete_ = new QRadioButton("Delete");
    rbDelete_->setObjectName("rbDelete");
    rbDelete_->setChecked(true);
    rbMove_ = new QRadioButton("Move to another department");
    rbMove_->setObjectName("rbMove");
    cbDept_ = new QComboBox;
    cbDept_->setObjectName("cbDept");
    for (const auto& d : directory.departments())
        if (d.ID != department.ID)
            cbDept_->addItem(QString::fromStdString(d.GroupName), QVariant::fromValue<qlonglong>(d.ID));
    cbDept_->setCurrentIndex(-1);
    cbDept_->setEnabled(false);
    connect(rbMove_, &QRadioButton::toggled, cbDept_, &QWidget::setEnabled);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmDelDept::run);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(rbDelete_);
    layout->addWidget(rbMove_);
    layout->addWidget(cbDept_);
    layout->addStretch();
    layout->addWidget(buttons);
    resize(360, 220);
}

void TfrmDelDept::run()
{
    try {
        if (rbMove_->isChecked()) {
            if (cbDept_->currentIndex() < 0) {
                QMessageBox::warning(this, kMessageCaption, serverText("s_seldept"));
                return;
            }
            admin_.deleteDepartment(department_, DirectoryAdmin::MoveUsersTo{cbDept_->currentData().toLongLong()});
        } else {
            admin_.deleteDepartment(department_, DirectoryAdmin::DeleteUsers{});
        }
    } catch (const std::exception& e) {
        // Rolled back: the department and its users stay as they were.
        QMessageBox::warning(this, kMessageCaption, QString::fromStdString(e.what()));
    }
    accept();
}

} // namespace oskel::server::ui
