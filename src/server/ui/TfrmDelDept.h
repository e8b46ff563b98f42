#pragma once

#include <QDialog>

#include "server/DirectoryAdmin.h"

class QComboBox;
class QRadioButton;

namespace oskel::server::ui {

// Deleting a department that still has users: delete them with it, or move them to
// another department (they keep their rights). Either runs in one transaction.
class TfrmDelDept : public QDialog {
    Q_OBJECT
public:
    TfrmDelDept(DirectoryAdmin& admin, const Directory& directory, const Department& department,
                QWidget* parent = nullptr);

    QRadioButton* deleteOption() const { return rbDelete_; }
    QRadioButton* moveOption() const { return rbMove_; }
    QComboBox* departmentList() const { return cbDept_; }

private:
    void run();

    DirectoryAdmin& admin_;
    std::int64_t department_;
    QRadioButton* rbDelete_;
    QRadioButton* rbMove_;
    QComboBox* cbDept_;
};

} // namespace oskel::server::ui
