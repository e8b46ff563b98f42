#pragma once

#include <unordered_map>
#include <vector>

#include <QAbstractTableModel>

#include "server/ui/ServerEvents.h"

namespace oskel::server::ui {

// The "Active Users" list: one row per connection, keyed by its session.
class ActiveUsersModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    void apply(const std::vector<ServerEvents::UserEvent>& events);
    void clear();
    // 0 when the row is out of range.
    std::uint64_t sessionAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void applyOne(const ServerEvents::UserEvent& e, bool notify);

    std::vector<ActiveUser> rows_;
    std::unordered_map<std::uint64_t, std::size_t> bySession_;
};

} // namespace oskel::server::ui
