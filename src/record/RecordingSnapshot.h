#pragma once

#include "record/SqliteConnection.h"

namespace pontivo {

// One read transaction: the statements run within it see the file as one commit left it, though the
// writer sorts batches into chunks meanwhile.
class RecordingSnapshot {
public:
    explicit RecordingSnapshot(const SqliteConnection& db) : m_db(db), m_began(db.Exec("BEGIN")) {}
    ~RecordingSnapshot()
    {
        if (m_began)
            m_db.Exec("COMMIT");
    }
    RecordingSnapshot(const RecordingSnapshot&) = delete;
    RecordingSnapshot& operator=(const RecordingSnapshot&) = delete;

private:
    const SqliteConnection& m_db;
    const bool m_began;
};

} // namespace pontivo
