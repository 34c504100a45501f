#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3_stmt;

namespace pontivo {

class SqliteConnection;

// One prepared statement. Bytes are bound as TEXT when they are valid UTF-8 without NUL (what SQL tools
// show as text), else as a BLOB; read back, both give the same bytes.
class SqliteStatement {
public:
    SqliteStatement(const SqliteConnection& connection, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool Valid() const { return m_statement != nullptr; }
    // Parameters count from 1.
    SqliteStatement& Bind(int index, std::int64_t number);
    SqliteStatement& Bind(int index, std::string_view bytes);
    SqliteStatement& BindNull(int index);
    // Whether Bind() stores these bytes as TEXT.
    static bool IsText(std::string_view bytes);
    // SQLITE_ROW, SQLITE_DONE or the failure's code.
    int Step();
    // Runs to the end, then readies the statement for new parameters: true when it went through.
    bool Run();
    void Reset();

    std::int64_t Int(int column) const;
    std::string Bytes(int column) const;
    // The same bytes in place: valid until the statement steps or resets.
    std::string_view View(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3_stmt* m_statement = nullptr;
};

} // namespace pontivo
