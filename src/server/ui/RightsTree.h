#pragma once

#include <string>

#include <QTreeWidget>

namespace oskel::server::ui {

// The check tree of the eight rights, in the order of the rights string.
class RightsTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit RightsTree(QWidget* parent = nullptr);
    // Node i is checked exactly when character i is "1"; missing characters are "0".
    void setRights(const std::string& rights);
    // "1" for each checked node, "0" otherwise, in node order.
    std::string rights() const;
};

} // namespace oskel::server::ui
