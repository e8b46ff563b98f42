#include "server/Database.h"

#include <soci/odbc/soci-odbc.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace oskel::server {

namespace {
std::string quoteConnValue(const std::string& v)
{
    std::string out = "'";
    for (char c : v) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

// SOCI's ":name" placeholders as the "?" of ODBC; quoted text is left alone.
std::string odbcPlaceholders(const std::string& query)
{
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < query.size(); ++i) {
        const char c = query[i];
        if (c == '\'')
            quoted = !quoted;
        if (!quoted && c == ':' && i + 1 < query.size() &&
            (std::isalpha(static_cast<unsigned char>(query[i + 1])) || query[i + 1] == '_')) {
            while (i + 1 < query.size() &&
                   (std::isalnum(static_cast<unsigned char>(query[i + 1])) || query[i + 1] == '_'))
                ++i;
            out += '?';
            continue;
        }
        out += c;
    }
    return out;
}

std::string odbcError(SQLSMALLINT type, SQLHANDLE handle, const std::string& what)
{
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length)))
        return what + ": " + reinterpret_cast<const char*>(message);
    return what;
}

struct OdbcStatement {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    ~OdbcStatement()
    {
        if (handle != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, handle);
    }
};

const char* const kUserColumns =
    "ID INTEGER PRIMARY KEY AUTOINCREMENT, UserLog TEXT, FirstName TEXT, LastName TEXT, PassWd TEXT, DeptID TEXT, "
    "Rights TEXT, Gender TEXT, JobTitle TEXT, EMail TEXT, Address TEXT, PostCode TEXT, HandSet TEXT, Phone TEXT, "
    "State TEXT, City TEXT, Disable INTEGER DEFAULT 0, Fax TEXT, Birthday TEXT, Remark TEXT";
const char* const kUserColumnsPg =
    "ID BIGSERIAL PRIMARY KEY, UserLog TEXT, FirstName TEXT, LastName TEXT, PassWd TEXT, DeptID TEXT, "
    "Rights TEXT, Gender TEXT, JobTitle TEXT, EMail TEXT, Address TEXT, PostCode TEXT, HandSet TEXT, Phone TEXT, "
    "State TEXT, City TEXT, Disable INTEGER DEFAULT 0, Fax TEXT, Birthday DATE, Remark TEXT";
const char* const kMessageColumns =
    "SENDERID TEXT, SENDERNAME TEXT, RECEIVERID TEXT, RECEIVERNAME TEXT, MSGTYPE TEXT, SENDTIME TEXT, MSG TEXT, "
    "FILENAME TEXT, REGFILENAME TEXT, MultiChatID TEXT, MEMBERS TEXT";
} // namespace

Database::Database(std::unique_ptr<soci::session> sql, DatabaseBackend backend)
    : sql_(std::move(sql)), backend_(backend)
{
}

Database::~Database() = default;

std::unique_ptr<Database> Database::open(const ServerSettings& settings)
{
    const DatabaseSettings& d = settings.database;
    try {
        std::unique_ptr<soci::session> sql;
        DatabaseBackend backend;
        if (d.Driver == "sqlite3") {
            backend = DatabaseBackend::SQLite;
            sql = std::make_unique<soci::session>(*soci::factory_sqlite3(),
                                                  "db=\"" + settings.databaseName() + "\" timeout=10");
            *sql << "PRAGMA journal_mode=WAL";
            *sql << "PRAGMA synchronous=FULL";
        } else if (d.Driver == "postgresql") {
            backend = DatabaseBackend::PostgreSQL;
            std::string conn = "dbname=" + quoteConnValue(settings.databaseName());
            if (!d.Host.empty())
                conn += " host=" + quoteConnValue(d.Host);
            if (!d.Port.empty())
                conn += " port=" + quoteConnValue(d.Port);
            if (!d.User.empty())
                conn += " user=" + quoteConnValue(d.User);
            if (!d.Password.empty())
                conn += " password=" + quoteConnValue(d.Password);
            sql = std::make_unique<soci::session>(*soci::factory_postgresql(), conn);
            *sql << "SET client_min_messages TO WARNING";
        } else if (d.Driver == "odbc") {
            backend = DatabaseBackend::ODBC;
            std::string conn = "DSN=" + d.DataSource + ";";
            if (!d.User.empty())
                conn += "UID=" + d.User + ";";
            if (!d.Password.empty())
                conn += "PWD=" + d.Password + ";";
            sql = std::make_unique<soci::session>(*soci::factory_odbc(), conn);
        } else {
            throw DatabaseError("unknown database driver \"" + d.Driver + "\" (sqlite3, postgresql or odbc)");
        }
        std::unique_ptr<Database> db(new Database(std::move(sql), backend));
        db->ensureSchema();
        return db;
    } catch (const DatabaseError&) {
        throw;
    } catch (const std::exception& e) {
        throw DatabaseError(e.what());
    }
}

bool Database::tableExists(const std::string& table)
{
    try {
        int n = 0;
        *sql_ << "SELECT COUNT(*) FROM " + table + " WHERE 1=0", soci::into(n);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Database::columnExists(const std::string& table, const std::string& column)
{
    try {
        soci::rowset<soci::row> rs = (sql_->prepare << "SELECT " + column + " FROM " + table + " WHERE 1=0");
        for (auto it = rs.begin(); it != rs.end(); ++it) {
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void Database::createTables()
{
    const bool pg = backend_ == DatabaseBackend::PostgreSQL;
    const std::string key = pg ? "ID BIGSERIAL PRIMARY KEY" : "ID INTEGER PRIMARY KEY AUTOINCREMENT";
    if (!tableExists("T_GROUP"))
        *sql_ << "CREATE TABLE T_GROUP (" + key + ", GroupName TEXT, Rights TEXT)";
    if (!tableExists("T_USER"))
        *sql_ << std::string("CREATE TABLE T_USER (") + (pg ? kUserColumnsPg : kUserColumns) + ")";
    if (!tableExists("T_UNDELIVEMSG"))
        *sql_ << "CREATE TABLE T_UNDELIVEMSG (" + key + ", " + kMessageColumns + ")";
    if (!tableExists("T_META"))
        *sql_ << "CREATE TABLE T_META (NAME VARCHAR(64) PRIMARY KEY, VALUE TEXT)";
}

void Database::ensureSchema()
{
    createTables();
    if (!columnExists("T_UNDELIVEMSG", "ID")) {
        if (backend_ == DatabaseBackend::PostgreSQL)
            *sql_ << "ALTER TABLE T_UNDELIVEMSG ADD COLUMN ID BIGSERIAL";
        else
            undeliveredKey_ = "rowid";
    }
    const std::string versionText = meta("schema_version", "0");
    int version = 0;
    std::sscanf(versionText.c_str(), "%d", &version);
    if (version > kSchemaVersion)
        throw DatabaseError("the database has schema version " + versionText + ", newer than this server's " +
                            std::to_string(kSchemaVersion));
    if (version < kSchemaVersion)
        upgrade(version);
    lastMarker_ = changeMarker();
}

void Database::upgrade(int from)
{
    soci::transaction tr(*sql_);
    if (from < 1) {
        // Version 1: T_META with the schema version (a database made by other tools
        // starts at 0).
    }
    if (from < 2) {
        // Version 2: stored messages are looked up by the folded receiver id; PostgreSQL
        // counts directory changes for the in-memory directory.
        try {
            *sql_ << "CREATE INDEX IX_UNDELIVEMSG_RECEIVER ON T_UNDELIVEMSG (UPPER(RECEIVERID))";
        } catch (const std::exception&) {
            if (backend_ == DatabaseBackend::PostgreSQL)
                throw; // ODBC drivers may not know expression indexes; the lookup works without
        }
        if (backend_ == DatabaseBackend::PostgreSQL) {
            *sql_ << "INSERT INTO T_META (NAME, VALUE) VALUES ('change_counter', '0')";
            *sql_ << "CREATE OR REPLACE FUNCTION oskel_directory_changed() RETURNS trigger AS $$ BEGIN "
                     "UPDATE T_META SET VALUE = (VALUE::bigint + 1)::text WHERE NAME = 'change_counter'; "
                     "RETURN NULL; END $$ LANGUAGE plpgsql";
            for (const char* table : {"T_USER", "T_GROUP"})
                *sql_ << std::string("CREATE TRIGGER ") + table +
                             "_CHANGED AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON " + table +
                             " FOR EACH STATEMENT EXECUTE FUNCTION oskel_directory_changed()";
        }
    }
    setMeta("schema_version", std::to_string(kSchemaVersion));
    tr.commit();
}

std::string Database::meta(const std::string& name, const std::string& fallback)
{
    std::string value = fallback;
    forEachRow("SELECT VALUE FROM T_META WHERE NAME = :n AND VALUE IS NOT NULL", {name},
               [&value](const TextRow& row) { value = row[0]; });
    return value;
}

void Database::forEachRow(const std::string& query, const std::vector<std::string>& params,
                          const std::function<void(const TextRow&)>& each)
{
    if (backend_ == DatabaseBackend::ODBC) {
        forEachOdbcRow(query, params, each);
        return;
    }
    soci::details::prepare_temp_type prepared = (sql_->prepare << query);
    for (const auto& p : params)
        prepared, soci::use(p);
    soci::rowset<soci::row> rs(prepared);
    TextRow values;
    for (const auto& r : rs) {
        values.clear();
        for (std::size_t i = 0; i < r.size(); ++i)
            values.push_back(text(r, i));
        each(values);
    }
}

void Database::forEachOdbcRow(const std::string& query, const std::vector<std::string>& params,
                              const std::function<void(const TextRow&)>& each)
{
    // A static_cast: SOCI exports no typeinfo, and open() made this session with the ODBC factory.
    auto* backend = static_cast<soci::odbc_session_backend*>(sql_->get_backend());
    OdbcStatement st;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, backend->hdbc_, &st.handle)))
        throw DatabaseError(odbcError(SQL_HANDLE_DBC, backend->hdbc_, "allocating a statement"));
    std::vector<SQLLEN> lengths(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        lengths[i] = static_cast<SQLLEN>(params[i].size());
        const SQLRETURN rc = SQLBindParameter(st.handle, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                              SQL_VARCHAR, std::max<SQLULEN>(params[i].size(), 1), 0,
                                              const_cast<char*>(params[i].data()), lengths[i], &lengths[i]);
        if (!SQL_SUCCEEDED(rc))
            throw DatabaseError(odbcError(SQL_HANDLE_STMT, st.handle, "binding a parameter"));
    }
    std::string statement = odbcPlaceholders(query);
    if (!SQL_SUCCEEDED(SQLExecDirect(st.handle, reinterpret_cast<SQLCHAR*>(statement.data()), SQL_NTS)))
        throw DatabaseError(odbcError(SQL_HANDLE_STMT, st.handle, query));
    SQLSMALLINT columns = 0;
    SQLNumResultCols(st.handle, &columns);
    TextRow values(static_cast<std::size_t>(columns));
    char buffer[4096];
    for (;;) {
        SQLRETURN rc = SQLFetch(st.handle);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            throw DatabaseError(odbcError(SQL_HANDLE_STMT, st.handle, query));
        for (SQLSMALLINT c = 0; c < columns; ++c) {
            std::string& value = values[static_cast<std::size_t>(c)];
            value.clear();
            // Each call hands over the next piece; SQL_SUCCESS comes with the last one.
            for (;;) {
                SQLLEN length = 0;
                rc =
                    SQLGetData(st.handle, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR, buffer, sizeof buffer, &length);
                if (rc == SQL_NO_DATA || length == SQL_NULL_DATA)
                    break;
                if (!SQL_SUCCEEDED(rc))
                    throw DatabaseError(odbcError(SQL_HANDLE_STMT, st.handle, query));
                // A cut piece fills the buffer but for its NUL.
                const bool cut = length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(sizeof buffer);
                value.append(buffer, cut ? sizeof buffer - 1 : static_cast<std::size_t>(length));
                if (rc == SQL_SUCCESS)
                    break;
            }
        }
        each(values);
    }
}

void Database::setMeta(const std::string& name, const std::string& value)
{
    int n = 0;
    *sql_ << "SELECT COUNT(*) FROM T_META WHERE NAME = :n", soci::use(name), soci::into(n);
    if (n > 0)
        *sql_ << "UPDATE T_META SET VALUE = :v WHERE NAME = :n", soci::use(value), soci::use(name);
    else
        *sql_ << "INSERT INTO T_META (NAME, VALUE) VALUES (:n, :v)", soci::use(name), soci::use(value);
}

long long Database::changeMarker()
{
    switch (backend_) {
    case DatabaseBackend::SQLite: {
        long long v = 0;
        *sql_ << "PRAGMA data_version", soci::into(v);
        return v;
    }
    case DatabaseBackend::PostgreSQL: {
        const std::string v = meta("change_counter", "0");
        return std::atoll(v.c_str());
    }
    case DatabaseBackend::ODBC:
        return 0;
    }
    return 0;
}

bool Database::directoryMayHaveChanged()
{
    bool changed = ownChange_;
    ownChange_ = false;
    if (stale_) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastStaleReport_ >= std::chrono::seconds(1)) {
            lastStaleReport_ = now;
            stale_ = false;
            changed = true;
        }
    }
    if (backend_ == DatabaseBackend::ODBC) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastOdbcCheck_ >= std::chrono::seconds(1)) {
            lastOdbcCheck_ = now;
            changed = true;
        }
        return changed;
    }
    const long long marker = changeMarker();
    if (marker != lastMarker_) {
        lastMarker_ = marker;
        changed = true;
    }
    return changed;
}

std::string Database::text(const soci::row& row, std::size_t column)
{
    if (row.get_indicator(column) == soci::i_null)
        return {};
    switch (row.get_properties(column).get_data_type()) {
    case soci::dt_string:
    case soci::dt_xml:
        return row.get<std::string>(column);
    case soci::dt_integer:
        return std::to_string(row.get<int>(column));
    case soci::dt_long_long:
        return std::to_string(row.get<long long>(column));
    case soci::dt_unsigned_long_long:
        return std::to_string(row.get<unsigned long long>(column));
    case soci::dt_double: {
        const double v = row.get<double>(column);
        if (v == static_cast<double>(static_cast<long long>(v)))
            return std::to_string(static_cast<long long>(v));
        return std::to_string(v);
    }
    case soci::dt_date: {
        const std::tm t = row.get<std::tm>(column);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        return buf;
    }
    case soci::dt_blob:
        return {};
    }
    return {};
}

long long Database::integer(const soci::row& row, std::size_t column, long long fallback)
{
    return integer(text(row, column), fallback);
}

long long Database::integer(const std::string& t, long long fallback)
{
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    return (end && end != t.c_str()) ? v : fallback;
}

} // namespace oskel::server

namespace oskel::server {

WriteTransaction::WriteTransaction(Database& db) : db_(db)
{
    switch (db_.backend()) {
    case DatabaseBackend::SQLite:
        db_.sql() << "BEGIN IMMEDIATE";
        break;
    case DatabaseBackend::PostgreSQL:
        db_.sql().begin();
        db_.sql() << "LOCK TABLE T_GROUP, T_USER IN SHARE ROW EXCLUSIVE MODE";
        break;
    case DatabaseBackend::ODBC:
        db_.sql().begin();
        break;
    }
}

WriteTransaction::~WriteTransaction()
{
    if (!open_)
        return;
    try {
        if (db_.backend() == DatabaseBackend::SQLite)
            db_.sql() << "ROLLBACK";
        else
            db_.sql().rollback();
    } catch (const std::exception&) {
        // The connection is gone; the database dropped the transaction with it.
    }
}

void WriteTransaction::commit()
{
    if (db_.backend() == DatabaseBackend::SQLite)
        db_.sql() << "COMMIT";
    else
        db_.sql().commit();
    open_ = false;
}

} // namespace oskel::server
