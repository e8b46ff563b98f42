#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/ServerSettings.h"

namespace soci {
class session;
class row;
} // namespace soci

namespace oskel::server {

class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class DatabaseBackend { SQLite, PostgreSQL, ODBC };

// One connection to the server's database through SOCI, with the schema: T_USER,
// T_GROUP, T_UNDELIVEMSG and T_META (schema version, state of the stored texts, change
// counter). Tables that exist are kept as they are; the only change made to a table we
// did not create is an ID for T_UNDELIVEMSG (SQLite uses its rowid instead). Not
// thread-safe: one thread owns a Database.
class Database {
public:
    static constexpr int kSchemaVersion = 2;

    // Opens and brings the schema up to date. Throws DatabaseError.
    static std::unique_ptr<Database> open(const ServerSettings& settings);
    ~Database();

    soci::session& sql() { return *sql_; }
    DatabaseBackend backend() const { return backend_; }

    // The key column of T_UNDELIVEMSG: "ID", or "rowid" on a foreign SQLite table.
    const std::string& undeliveredKey() const { return undeliveredKey_; }

    std::string meta(const std::string& name, const std::string& fallback = {});
    void setMeta(const std::string& name, const std::string& value);

    // True when another connection may have changed T_USER or T_GROUP since the last
    // call: SQLite's data_version, PostgreSQL's trigger-kept counter, and for ODBC at
    // most once per second. Our own writes call markDirectoryChanged().
    bool directoryMayHaveChanged();
    void markDirectoryChanged() { ownChange_ = true; }
    // Our own change that the in-memory directory may learn late (a plain-text password
    // replaced by its hash: the old value still verifies): reported at most once a
    // second, so that a directory of plain-text passwords does not cost a reload per
    // first sign-in.
    void markDirectoryStale() { stale_ = true; }

    // Runs a query with text parameters (":name" placeholders, in order) and calls `each`
    // with every row, its columns as text() gives them. Over ODBC the values are read
    // with SQLGetData in pieces instead of through SOCI: its ODBC backend binds a buffer
    // of 100 MiB for each text column the driver reports as 0 or at least 8000 bytes
    // long (the SQLite driver reports TEXT as 65,536 and zero-fills the whole buffer),
    // and that driver reports expressions such as CAST(x AS VARCHAR(n)) as 255 bytes
    // and cuts their values there.
    using TextRow = std::vector<std::string>;
    void forEachRow(const std::string& query, const std::vector<std::string>& params,
                    const std::function<void(const TextRow&)>& each);

    // A text column or NULL as text; integers, dates and doubles in their text form.
    static std::string text(const soci::row& row, std::size_t column);
    static long long integer(const soci::row& row, std::size_t column, long long fallback = 0);
    static long long integer(const std::string& text, long long fallback = 0);

private:
    Database(std::unique_ptr<soci::session> sql, DatabaseBackend backend);
    void ensureSchema();
    bool tableExists(const std::string& table);
    bool columnExists(const std::string& table, const std::string& column);
    void createTables();
    void upgrade(int from);
    long long changeMarker();
    void forEachOdbcRow(const std::string& query, const std::vector<std::string>& params,
                        const std::function<void(const TextRow&)>& each);

    std::unique_ptr<soci::session> sql_;
    DatabaseBackend backend_;
    std::string undeliveredKey_ = "ID";
    long long lastMarker_ = -1;
    std::chrono::steady_clock::time_point lastOdbcCheck_{};
    bool ownChange_ = true;
    bool stale_ = false;
    std::chrono::steady_clock::time_point lastStaleReport_{};
};

// A transaction that checks and then writes (a uniqueness check before an insert, say):
// it takes the write lock at its start, so that another program on the same database
// cannot slip the same change in between. SQLite: BEGIN IMMEDIATE; PostgreSQL: the
// directory tables locked against other writers; ODBC: a plain transaction. Rolls back
// unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(Database& db);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void commit();

private:
    Database& db_;
    bool open_ = true;
};

} // namespace oskel::server
