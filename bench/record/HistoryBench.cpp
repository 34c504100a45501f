// pontivo-history-bench FILE [ROWS]: first times the writer alone (300,000 writes over 100 names in batches of
// 1,000, as 1,000 frames/s arrive between two commits, into a new FILE.writes, and its size per million writes),
// then fills FILE with ROWS writes
// (default 10,000,000) spread over ten names unless it holds them already, and times History() for 10,000 points
// of one name: the newest, and a range in the middle. Prints the median and the slowest of 30 calls each.
#include "record/RecordWriter.h"
#include "record/RecordingFile.h"
#include "record/RecordingReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

using namespace pontivo;

namespace {

constexpr int kNames = 10;
constexpr std::int64_t kStartMs = 1'700'000'000'000;

// "n" + the number, without the operator GCC 12 warns about wrongly.
std::string NameOf(long long number)
{
    std::string name("n");
    return name.append(std::to_string(number));
}

bool Fill(const std::string& path, long long rows)
{
    std::string error;
    std::string converted;
    SqliteConnection db = RecordingFile::OpenWriter(path, error, converted);
    if (!db.Valid() || db.Integer("SELECT coalesce(max(id), 0) FROM changes") >= rows)
        return db.Valid() || (std::fprintf(stderr, "%s\n", error.c_str()), false);
    RecordWriter writer(std::move(db), std::int64_t{1} << 60, std::uint64_t{1} << 60);
    std::vector<RecordEvent> batch;
    for (long long i = 0; i < rows; ++i) {
        batch.push_back({RecordEvent::Kind::Set, kStartMs + i / kNames * 10, NameOf(i % kNames),
                         std::to_string(i), WriteSource::Board});
        if (batch.size() == 100'000 || i + 1 == rows) {
            if (!writer.Write(batch))
                return std::fprintf(stderr, "%s\n", writer.Failure().c_str()), false;
            batch.clear();
            std::fprintf(stderr, "\r%lld rows", i + 1);
        }
    }
    std::fprintf(stderr, "\n");
    return true;
}

void TimeWrites(const std::string& path)
{
    constexpr int kWrites = 300'000;
    constexpr int kBatch = 1000;
    std::filesystem::remove(path);
    std::string error;
    std::string converted;
    RecordWriter writer(RecordingFile::OpenWriter(path, error, converted), std::int64_t{1} << 60, std::uint64_t{1} << 60);
    std::vector<RecordEvent> batch;
    std::chrono::steady_clock::duration spent{};
    std::clock_t cpu = 0;
    for (int i = 0; i < kWrites; ++i) {
        batch.push_back({RecordEvent::Kind::Set, kStartMs + i, NameOf(i % 100), std::to_string(i),
                         WriteSource::Board});
        if (batch.size() < static_cast<std::size_t>(kBatch))
            continue;
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        if (!writer.Write(batch))
            return (void)std::fprintf(stderr, "%s\n", writer.Failure().c_str());
        spent += std::chrono::steady_clock::now() - start;
        cpu += std::clock() - cpuStart;
        batch.clear();
    }
    std::printf("write %d in batches of %d, 100 names        %.2f us per write (CPU %.2f us)\n", kWrites, kBatch,
                std::chrono::duration<double, std::micro>(spent).count() / kWrites,
                static_cast<double>(cpu) * 1e6 / CLOCKS_PER_SEC / kWrites);
    std::printf("size per million writes                         %.1f MiB\n",
                static_cast<double>(writer.UsedBytes()) * (1e6 / kWrites) / (1 << 20));
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);
}

void Time(const RecordingReader& reader, const char* what, const HistoryQuery& query)
{
    std::vector<double> ms;
    std::vector<HistoryPoint> points;
    std::string error;
    for (int i = 0; i < 30; ++i) {
        const auto start = std::chrono::steady_clock::now();
        reader.History(query, points, error);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("history %-28s %6zu points  median %.2f ms  max %.2f ms\n", what, points.size(), ms[ms.size() / 2], ms.back());
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return std::fprintf(stderr, "usage: pontivo-history-bench FILE [ROWS]\n"), 2;
    const long long rows = argc > 2 ? std::stoll(argv[2]) : 10'000'000;
    TimeWrites(std::string(argv[1]) + ".writes");
    if (!Fill(argv[1], rows))
        return 1;
    std::string error;
    const RecordingReader reader(argv[1], error);
    if (!reader.Valid())
        return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    const std::int64_t middle = kStartMs + rows / kNames * 5;
    HistoryQuery newest;
    newest.name = "n3";
    Time(reader, "newest 10,000 of n3", newest);
    Time(reader, "10,000 in the middle of n3", {"n3", middle, middle + 100'000 - 1});
    return 0;
}
