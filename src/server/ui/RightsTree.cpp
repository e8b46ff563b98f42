#include "server/ui/RightsTree.h"

#include <QHeaderView>

#include "protocol/Rights.h"
#include "server/ui/ServerTexts.h"

namespace oskel::server::ui {

RightsTree::RightsTree(QWidget* parent) : QTreeWidget(parent)
{
    static const char* const keys[protocol::kRightCount] = {"s_voice",  "s_file",      "s_video",  "s_screeshot",
                                                            "s_invite", "s_invisible", "s_detail", "s_broad"};
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setObjectName("tvRights");
    for (const char* key : keys) {
        auto* item = new QTreeWidgetItem(this, {serverText(key)});
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
    }
}

void RightsTree::setRights(const std::string& rights)
{
    for (int i = 0; i < topLevelItemCount(); ++i)
        topLevelItem(i)->setCheckState(0, protocol::hasRight(rights, static_cast<std::size_t>(i)) ? Qt::Checked
                                                                                                  : Qt::Unchecked);
}

std::string RightsTree::rights() const
{
    std::array<bool, protocol::kRightCount> allowed{};
    for (int i = 0; i < topLevelItemCount() && i < static_cast<int>(allowed.size()); ++i)
        allowed[static_cast<std::size_t>(i)] = topLevelItem(i)->checkState(0) == Qt::Checked;
    return protocol::rightsString(allowed);
}

} // namespace oskel::server::ui
