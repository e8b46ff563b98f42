#include "server/ui/ActiveUsersModel.h"

namespace oskel::server::ui {

namespace {
// Beyond this many events at once (a storm of sign-ins), one reset is cheaper for the
// views than a notification per row.
constexpr std::size_t kResetAbove = 64;
} // namespace

void ActiveUsersModel::apply(const std::vector<ServerEvents::UserEvent>& events)
{
    if (events.size() > kResetAbove) {
        beginResetModel();
        for (const auto& e : events)
            applyOne(e, false);
        endResetModel();
        return;
    }
    for (const auto& e : events)
        applyOne(e, true);
}

void ActiveUsersModel::applyOne(const ServerEvents::UserEvent& e, bool notify)
{
    if (const auto* a = std::get_if<ServerEvents::Added>(&e)) {
        if (bySession_.count(a->row.session))
            return;
        const int row = static_cast<int>(rows_.size());
        if (notify)
            beginInsertRows({}, row, row);
        bySession_[a->row.session] = rows_.size();
        rows_.push_back(a->row);
        if (notify)
            endInsertRows();
    } else if (const auto* u = std::get_if<ServerEvents::Updated>(&e)) {
        const auto it = bySession_.find(u->row.session);
        if (it == bySession_.end())
            return;
        rows_[it->second] = u->row;
        if (notify)
            emit dataChanged(index(static_cast<int>(it->second), 0),
                             index(static_cast<int>(it->second), columnCount() - 1));
    } else if (const auto* r = std::get_if<ServerEvents::Removed>(&e)) {
        const auto it = bySession_.find(r->session);
        if (it == bySession_.end())
            return; // the list was emptied by a stop
        const std::size_t at = it->second;
        const std::size_t last = rows_.size() - 1;
        bySession_.erase(it);
        // The last row takes the place of the removed one; the sorted view does not care.
        if (at != last) {
            rows_[at] = rows_[last];
            bySession_[rows_[at].session] = at;
            if (notify)
                emit dataChanged(index(static_cast<int>(at), 0), index(static_cast<int>(at), columnCount() - 1));
        }
        if (notify)
            beginRemoveRows({}, static_cast<int>(last), static_cast<int>(last));
        rows_.pop_back();
        if (notify)
            endRemoveRows();
    }
}

void ActiveUsersModel::clear()
{
    beginResetModel();
    rows_.clear();
    bySession_.clear();
    endResetModel();
}

std::uint64_t ActiveUsersModel::sessionAt(int row) const
{
    return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)].session : 0;
}

int ActiveUsersModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ActiveUsersModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 5;
}

QVariant ActiveUsersModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= static_cast<int>(rows_.size()))
        return {};
    const ActiveUser& r = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return QString::fromStdString(r.UserID);
    case 1:
        return QString::fromStdString(r.DeptName);
    case 2:
        return QString::fromStdString(r.PeerIP);
    case 3:
        return r.PeerPort;
    case 4:
        return QString::fromStdString(r.SignInTime);
    }
    return {};
}

QVariant ActiveUsersModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char* const captions[] = {"Username", "Department", "Client IP", "Client Port", "Logged On"};
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section >= 0 && section < 5)
        return QString::fromLatin1(captions[section]);
    return {};
}

} // namespace oskel::server::ui
