#include "record/SqliteConnection.h"

#include "record/SqliteStatement.h"

#include <sqlite3.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <utility>

namespace pontivo {
namespace {

// A file's SQL is never trusted: nothing in it runs (no trigger, no view), and no statement can damage it.
bool Distrusting(sqlite3* db)
{
    const std::pair<int, int> settings[] = {{SQLITE_DBCONFIG_DEFENSIVE, 1}, {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
                                            {SQLITE_DBCONFIG_ENABLE_TRIGGER, 0}, {SQLITE_DBCONFIG_ENABLE_VIEW, 0}};
    for (const auto& [option, value] : settings) {
        if (sqlite3_db_config(db, option, value, nullptr) != SQLITE_OK)
            return false;
    }
    return true;
}

// A new file is its owner's alone; SQLite would create it readable by all. Its log files take its mode.
void CreatePrivate(const std::string& path)
{
#ifndef _WIN32
    const int made = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made >= 0)
        ::close(made);
#else
    (void)path;
#endif
}

// The file itself must not be a link (a dangling one would make a file elsewhere); the folders on its path
// may be: a dynamic user's state folder is one.
bool IsLink(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

} // namespace

SqliteConnection::SqliteConnection(const std::string& path, bool writable)
{
    if (IsLink(path)) {
        m_openError = "it is a symbolic link; give the file itself";
        return;
    }
    if (writable && path != ":memory:")
        CreatePrivate(path);
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (opened == SQLITE_OK && Distrusting(db)) {
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
