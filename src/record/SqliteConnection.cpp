#include "record/SqliteConnection.h"

#include "record/SqliteStatement.h"

#include <sqlite3.h>

#include <utility>

namespace pontivo {

SqliteConnection::SqliteConnection(const std::string& path, bool writable)
{
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
        m_db = db;
        sqlite3_extended_result_codes(m_db, 1);
        return;
    }
    m_openError = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
}

SqliteConnection::~SqliteConnection()
{
    Close();
}

SqliteConnection::SqliteConnection(SqliteConnection&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr))
    , m_openError(std::move(other.m_openError))
{
}

SqliteConnection& SqliteConnection::operator=(SqliteConnection&& other) noexcept
{
    if (this != &other) {
        Close();
        m_db = std::exchange(other.m_db, nullptr);
        m_openError = std::move(other.m_openError);
    }
    return *this;
}

void SqliteConnection::Close()
{
    // Every statement is finalized by its owner first, so this closes for good.
    sqlite3_close(m_db);
    m_db = nullptr;
}

bool SqliteConnection::Exec(const char* sql) const
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

long long SqliteConnection::Integer(const char* sql) const
{
    SqliteStatement statement(*this, sql);
    return statement.Step() == SQLITE_ROW ? statement.Int(0) : -1;
}

std::string SqliteConnection::Error() const
{
    return m_db ? sqlite3_errmsg(m_db) : m_openError;
}

int SqliteConnection::Code() const
{
    return m_db ? sqlite3_extended_errcode(m_db) : SQLITE_CANTOPEN;
}

int SqliteConnection::SystemError() const
{
    return m_db ? sqlite3_system_errno(m_db) : 0;
}

} // namespace pontivo
