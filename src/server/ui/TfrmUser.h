#pragma once

#include <QDialog>

#include "server/DirectoryAdmin.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace oskel::server::ui {

class RightsTree;

// The user dialog. The stored password is never shown: both password fields empty keep
// it, both filled alike set a new one. Choosing a department loads its rights into the
// tree. "OK" saves through the administration; a refusal keeps the dialog open with
// everything as typed.
class TfrmUser : public QDialog {
    Q_OBJECT
public:
    // `user.ID` 0: a new user.
    TfrmUser(DirectoryAdmin& admin, DirectoryPtr directory, const DirectoryUser& user, QWidget* parent = nullptr);

    QLineEdit* field(const char* objectName) const;
    QComboBox* departmentList() const { return cbDept_; }
    QComboBox* genderList() const { return cbGender_; }
    QCheckBox* disableBox() const { return chkDisable_; }
    RightsTree* rightsTree() const { return rights_; }

private:
    QLineEdit* addField(const char* objectName, const std::string& value, int maxLength = 0);
    void departmentChosen(int index);
    void save();

    DirectoryAdmin& admin_;
    DirectoryPtr directory_;
    DirectoryUser user_;
    QComboBox* cbDept_;
    QComboBox* cbGender_;
    QCheckBox* chkDisable_;
    RightsTree* rights_;
};

} // namespace oskel::server::ui
