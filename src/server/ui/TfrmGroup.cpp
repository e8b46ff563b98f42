#include "server/ui/TfrmGroup.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "server/ui/RightsTree.h"
#include "server/ui/ServerTexts.h"

namespace oskel::server::ui {

TfrmGroup::TfrmGroup(DirectoryAdmin& admin, const Department& department, QWidget* parent)
    : QDialog(parent), admin_(admin), department_(department)
{
    setObjectName("TfrmGroup");
    setWindowTitle("Department");
    auto* tabs = new QTabWidget(this);

    auto* general = new QWidget;
    auto* form = new QFormLayout(general);
    edtName_ = new QLineEdit(QString::fromStdString(department.GroupName));
    edtName_->setObjectName("edtName");
    edtName_->setMaxLength(50);
    form->addRow("Name:", edtName_);
    tabs->addTab(general, "General");

    rights_ = new RightsTree;
    rights_->setRights(department.Rights);
    tabs->addTab(rights_, "Rights");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmGroup::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    resize(360, 320);
}

void TfrmGroup::save()
{
    try {
        admin_.saveDepartment(department_.ID, edtName_->text().trimmed().toStdString(), rights_->rights());
        accept();
    } catch (const std::exception& e) {
        QMessageBox::warning(this, kMessageCaption, QString::fromStdString(e.what()));
    }
}

} // namespace oskel::server::ui
