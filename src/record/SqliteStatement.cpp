#include "record/SqliteStatement.h"

#include "record/SqliteConnection.h"
#include "store/Utf8.h"

#include <sqlite3.h>

namespace pontivo {

SqliteStatement::SqliteStatement(const SqliteConnection& connection, const std::string& sql)
{
    if (sqlite3_prepare_v3(connection.Get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr) != SQLITE_OK)
        m_statement = nullptr;
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

// A statement that failed to prepare does nothing and reads as empty: its owner refuses the file, and until
// then no call may reach SQLite with a null statement.
SqliteStatement& SqliteStatement::Bind(int index, std::int64_t number)
{
    if (m_statement)
        sqlite3_bind_int64(m_statement, index, number);
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view bytes)
{
    // Never a null pointer: that would bind NULL, not the empty text.
    const char* const data = bytes.empty() ? "" : bytes.data();
    if (!m_statement)
        return *this;
    if (IsText(bytes))
        sqlite3_bind_text64(m_statement, index, data, bytes.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    else
        sqlite3_bind_blob64(m_statement, index, data, bytes.size(), SQLITE_TRANSIENT);
    return *this;
}

bool SqliteStatement::IsText(std::string_view bytes)
{
    return bytes.find('\0') == std::string_view::npos && IsValidUtf8(bytes);
}

SqliteStatement& SqliteStatement::BindNull(int index)
{
    if (m_statement)
        sqlite3_bind_null(m_statement, index);
    return *this;
}

int SqliteStatement::Step()
{
    return m_statement ? sqlite3_step(m_statement) : SQLITE_MISUSE;
}

bool SqliteStatement::Run()
{
    int code = SQLITE_ROW;
    while (code == SQLITE_ROW)
        code = Step();
    Reset();
    return code == SQLITE_DONE;
}

void SqliteStatement::Reset()
{
    if (!m_statement)
        return;
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

std::int64_t SqliteStatement::Int(int column) const
{
    return m_statement ? sqlite3_column_int64(m_statement, column) : 0;
}

std::string SqliteStatement::Bytes(int column) const
{
    return std::string(View(column));
}

std::string_view SqliteStatement::View(int column) const
{
    if (!m_statement)
        return {};
    const void* const data = sqlite3_column_blob(m_statement, column);
    const int size = sqlite3_column_bytes(m_statement, column);
    return data ? std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string_view();
}

bool SqliteStatement::IsNull(int column) const
{
    return !m_statement || sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

} // namespace pontivo
