#include "server/ui/SingleInstance.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace oskel::server::ui {

SingleInstance::SingleInstance(const QString& name)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    lock_ = std::make_unique<QLockFile>(folder + "/" + name + ".lock");
    // A lock left by a program that died is taken over (QLockFile checks its process).
    acquired_ = lock_->tryLock(0);
}

SingleInstance::~SingleInstance() = default;

} // namespace oskel::server::ui
