#pragma once

#include <string>

struct sqlite3;

namespace pontivo {

// Owns one SQLite connection and closes it once.
class SqliteConnection {
public:
    SqliteConnection() = default;
    // Opens the file read-write (creating it) or read-only; Valid() tells, Error() says why not.
    SqliteConnection(const std::string& path, bool writable);
    ~SqliteConnection();
    SqliteConnection(SqliteConnection&& other) noexcept;
    SqliteConnection& operator=(SqliteConnection&& other) noexcept;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    bool Valid() const { return m_db != nullptr; }
    sqlite3* Get() const { return m_db; }
    // Runs statements that return no rows; false on the first failure.
    bool Exec(const char* sql) const;
    // The single integer a statement such as "PRAGMA user_version" returns; -1 when it fails.
    long long Integer(const char* sql) const;
    std::string Error() const;
    // The extended result code of the last failure and the system's errno behind it.
    int Code() const;
    int SystemError() const;

private:
    void Close();

    sqlite3* m_db = nullptr;
    std::string m_openError;
};

} // namespace pontivo
