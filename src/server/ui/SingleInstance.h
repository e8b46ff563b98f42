#pragma once

#include <memory>

#include <QString>

class QLockFile;

namespace oskel::server::ui {

// One server window per user session: a lock file in the session's runtime folder
// ($XDG_RUNTIME_DIR), released when the program ends, even by a crash.
class SingleInstance {
public:
    explicit SingleInstance(const QString& name);
    ~SingleInstance();
    // False when another running program holds the lock.
    bool acquired() const { return acquired_; }

private:
    std::unique_ptr<QLockFile> lock_;
    bool acquired_ = false;
};

} // namespace oskel::server::ui
