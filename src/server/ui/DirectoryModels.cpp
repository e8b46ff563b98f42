#include "server/ui/DirectoryModels.h"

namespace oskel::server::ui {

void DepartmentModel::setDirectory(DirectoryPtr directory)
{
    beginResetModel();
    directory_ = std::move(directory);
    endResetModel();
}

const Department* DepartmentModel::departmentAt(int row) const
{
    if (!directory_ || row < 0 || row >= static_cast<int>(directory_->departments().size()))
        return nullptr;
    return &directory_->departments()[static_cast<std::size_t>(row)];
}

int DepartmentModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !directory_ ? 0 : static_cast<int>(directory_->departments().size());
}

int DepartmentModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant DepartmentModel::data(const QModelIndex& index, int role) const
{
    const Department* d = departmentAt(index.row());
    if (role != Qt::DisplayRole || !d)
        return {};
    return QString::fromStdString(d->GroupName);
}

QVariant DepartmentModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section == 0)
        return QStringLiteral("Department");
    return {};
}

const std::vector<UserModel::Column>& UserModel::columns()
{
    static const std::vector<Column> c = {
        {"Username", 100}, {"First Name", 100}, {"Last Name", 100},       {"Department", 100}, {"Gender", 100},
        {"Job Title", 100}, {"E-Mail", 160},    {"Address", 200},         {"Postcode", 100},   {"Cellular", 200},
        {"Phone", 200},     {"State", 100},     {"City", 100},            {"Account Disable", 100},
        {"Fax", 100},       {"Birthday", 100},  {"Remark", 300},
    };
    return c;
}

void UserModel::setDirectory(DirectoryPtr directory)
{
    beginResetModel();
    directory_ = std::move(directory);
    endResetModel();
}

const DirectoryUser* UserModel::userAt(int row) const
{
    if (!directory_ || row < 0 || row >= static_cast<int>(directory_->users().size()))
        return nullptr;
    return &directory_->users()[static_cast<std::size_t>(row)];
}

int UserModel::rowOf(std::int64_t userId) const
{
    if (!directory_)
        return -1;
    const auto& users = directory_->users();
    for (std::size_t i = 0; i < users.size(); ++i)
        if (users[i].ID == userId)
            return static_cast<int>(i);
    return -1;
}

int UserModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !directory_ ? 0 : static_cast<int>(directory_->users().size());
}

int UserModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(columns().size());
}

QVariant UserModel::data(const QModelIndex& index, int role) const
{
    const DirectoryUser* u = userAt(index.row());
    if (!u)
        return {};
    if (index.column() == 13 && role == Qt::CheckStateRole)
        return u->Disable ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole)
        return {};
    const auto q = [](const std::string& s) { return QString::fromStdString(s); };
    switch (index.column()) {
    case 0: return q(u->UserLog);
    case 1: return q(u->FirstName);
    case 2: return q(u->LastName);
    case 3: {
        const Department* d = directory_->departmentOf(*u);
        return d ? q(d->GroupName) : QString();
    }
    case 4: return q(u->Gender);
    case 5: return q(u->JobTitle);
    case 6: return q(u->EMail);
    case 7: return q(u->Address);
    case 8: return q(u->PostCode);
    case 9: return q(u->HandSet);
    case 10: return q(u->Phone);
    case 11: return q(u->State);
    case 12: return q(u->City);
    case 13: return {}; // shown as a check mark
    case 14: return q(u->Fax);
    case 15: return q(u->Birthday);
    case 16: return q(u->Remark);
    }
    return {};
}

QVariant UserModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section >= 0 &&
        section < static_cast<int>(columns().size()))
        return QString::fromLatin1(columns()[static_cast<std::size_t>(section)].caption);
    return {};
}

} // namespace oskel::server::ui
