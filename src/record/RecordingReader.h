#pragma once

#include "record/SqliteConnection.h"
#include "record/SqliteStatement.h"
#include "store/HistorySource.h"
#include "store/VariableStore.h"

#include <functional>
#include <memory>
#include <string>

namespace pontivo {

// A read-only connection to the recording, beside its writer: history for pages and the values to
// restore. Used on one thread.
class RecordingReader : public HistorySource {
public:
    // Invalid (and `error` set) when the file is no readable recording.
    RecordingReader(const std::string& path, std::string& error);
    bool Valid() const { return m_db.Valid(); }

    bool Begin(const HistoryQuery& query, HistoryCursor& cursor, std::string& error) const override;
    bool Next(const HistoryQuery& query, HistoryCursor& cursor, std::size_t count, std::vector<HistoryPoint>& points,
              std::string& error) const override;
    bool RecordedNames(std::vector<std::string>& names, std::string& error) const override;
    // The last value of each name recorded as present, in the order the names were first written
    // since they were last removed.
    bool LastValues(const std::function<void(const Variable&)>& visit, std::string& error) const;

private:
    SqliteConnection m_db; // first: the statements are finalized before it closes
    std::unique_ptr<SqliteStatement> m_first;
    std::unique_ptr<SqliteStatement> m_history;
    std::unique_ptr<SqliteStatement> m_names;
    std::unique_ptr<SqliteStatement> m_lastValues;
};

} // namespace pontivo
