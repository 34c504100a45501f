// A recording file of any bytes, opened as a restore, a history answer, a replay and the writer open it:
// refused in one line or read, never a crash, a hang or a time outside years 0-9999.
#include "FuzzCheck.h"
#include "record/RecordWriter.h"
#include "record/RecordedFrames.h"
#include "record/RecordingFile.h"
#include "record/RecordingReader.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

bool InYears(std::int64_t ms)
{
    return ms >= pontivo::kFirstTimeMs && ms <= pontivo::kLastTimeMs;
}

void Remove(const std::string& path)
{
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", ".format2", ".format2-wal", ".format2-shm"})
        std::filesystem::remove(path + suffix, ignored);
}

void Read(const std::string& path)
{
    std::string error;
    const pontivo::RecordingReader reader(path, error);
    FUZZ_CHECK(reader.Valid() || (!error.empty() && error.find('\n') == std::string::npos));
    std::vector<std::string> names;
    if (reader.Valid() && reader.RecordedNames(names, error)) {
        reader.LastValues([](const pontivo::Variable& v) { FUZZ_CHECK(InYears(v.updatedMs)); }, error);
        std::vector<pontivo::HistoryPoint> points;
        for (std::size_t i = 0; i < names.size() && i < 4; ++i) {
            reader.History({names[i], std::nullopt, std::nullopt, 100}, points, error);
            for (const pontivo::HistoryPoint& point : points)
                FUZZ_CHECK(InYears(point.timeMs));
        }
    }
    pontivo::RecordedFrames frames(path, 0, error);
    std::int64_t timeMs = 0;
    std::string frame;
    for (int n = 0; frames.Valid() && n < 100 && frames.Next(timeMs, frame, error); ++n)
        FUZZ_CHECK(InYears(timeMs));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("pontivo-fuzz-recording-" + std::to_string(::getpid()) + ".db")).string();
    Remove(path);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Read(path);
    std::string error;
    std::string converted;
    pontivo::SqliteConnection db = pontivo::RecordingFile::OpenWriter(path, error, converted);
    if (db.Valid()) {
        const pontivo::RecordWriter writer(std::move(db), 1000, 1 << 20);
        FUZZ_CHECK(writer.Prepared());
    }
    Remove(path);
    return 0;
}
