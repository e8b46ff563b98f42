#pragma once

#include <QAbstractTableModel>

#include "server/Directory.h"

namespace oskel::server::ui {

// The grid of the "Department" page: one column, the department's name.
class DepartmentModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setDirectory(DirectoryPtr directory);
    const Department* departmentAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    DirectoryPtr directory_;
};

// The grid of the "Users" page, with the department's name in place of its ID.
class UserModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        const char* caption;
        int width;
    };
    static const std::vector<Column>& columns();

    using QAbstractTableModel::QAbstractTableModel;
    void setDirectory(DirectoryPtr directory);
    const DirectoryUser* userAt(int row) const;
    int rowOf(std::int64_t userId) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    DirectoryPtr directory_;
};

} // namespace oskel::server::ui
