#pragma once

#include <QDialog>

#include "server/DirectoryAdmin.h"

class QLineEdit;

namespace oskel::server::ui {

class RightsTree;

// The department dialog: its name and its rights. "OK" saves through the administration
// (which copies the rights to the department's users); a refusal keeps the dialog open.
class TfrmGroup : public QDialog {
    Q_OBJECT
public:
    // `department.ID` 0: a new department.
    TfrmGroup(DirectoryAdmin& admin, const Department& department, QWidget* parent = nullptr);

    QLineEdit* nameEdit() const { return edtName_; }
    RightsTree* rightsTree() const { return rights_; }

private:
    void save();

    DirectoryAdmin& admin_;
    Department department_;
    QLineEdit* edtName_;
    RightsTree* rights_;
};

} // namespace oskel::server::ui
