#include "record/PackedRecording.h"
#include "record/RecordWriter.h"
#include "record/RecordedFrames.h"
#include "record/Recorder.h"
#include "record/RecordingFile.h"
#include "record/RecordingReader.h"
#include "record/SqliteConnection.h"
#include "record/SqliteStatement.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

using namespace pontivo;

namespace {

struct TempFile {
    TempFile() { std::filesystem::remove(path); }
    ~TempFile() { std::filesystem::remove_all(path.parent_path()); }
    std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / ("record-" + std::to_string(::getpid())) / "r.db";
    const bool made = std::filesystem::create_directories(path.parent_path());
};

bool WaitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

std::string Values(const HistorySource& history, const std::string& name, std::optional<std::int64_t> sinceMs = {},
                   std::optional<std::int64_t> untilMs = {}, std::size_t limit = 10'000)
{
    std::vector<HistoryPoint> points;
    std::string error;
    EXPECT_TRUE(history.History({name, sinceMs, untilMs, limit}, points, error)) << error;
    std::string text;
    for (const HistoryPoint& point : points)
        text += point.value + "@" + std::to_string(point.timeMs) + (point.source == WriteSource::Board ? "b " : " ");
    return text;
}

// The rows of an SQL query, a line each, columns split by '|'; NULL shows as "-". Read as an SQL tool reads
// the file, views and all.
std::string Rows(const std::filesystem::path& path, const std::string& sql, int columns)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr);
    std::string rows;
    while (query && sqlite3_step(query) == SQLITE_ROW) {
        for (int column = 0; column < columns; ++column) {
            const auto* text = static_cast<const char*>(sqlite3_column_blob(query, column));
            const std::string bytes = text ? std::string(text, sqlite3_column_bytes(query, column)) : std::string();
            rows += (column ? "|" : "") + (sqlite3_column_type(query, column) == SQLITE_NULL ? std::string("-") : bytes);
        }
        rows += "\n";
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

// Runs SQL on the file as another program could.
void Craft(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(RecordTest, DurationsTakeOneUnitUpToAHundredYears)
{
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases{
        {"1s", 1000}, {"90s", 90'000}, {"15m", 900'000}, {"12h", 43'200'000}, {"7d", 604'800'000},
        {"36600d", 36600LL * 86'400'000}, {"36601d", std::nullopt}, {"0s", std::nullopt}, {"-1s", std::nullopt},
        {"s", std::nullopt}, {"10", std::nullopt}, {"1w", std::nullopt}, {"1.5h", std::nullopt}, {"1 h", std::nullopt}};
    for (const auto& [text, ms] : cases)
        EXPECT_EQ(ParseDurationMs(text), ms) << text;
}

void ExpectHistory(const HistorySource& history)
{
    EXPECT_EQ(Values(history, "a"), "1@4000 2@6000b ");
    EXPECT_EQ(Values(history, "a", 4001, 6000), "2@6000b ");
    EXPECT_EQ(Values(history, "a", std::nullopt, 5999), "1@4000 ");
    EXPECT_EQ(Values(history, "a", 4000, std::nullopt, 1), "2@6000b ");
    EXPECT_EQ(Values(history, "a", std::nullopt, std::nullopt, 0), "");
    EXPECT_EQ(Values(history, "b"), "1@3000 3@7000 ");
    EXPECT_EQ(Values(history, "nothing"), "");
    std::vector<std::string> names;
    std::string error;
    EXPECT_TRUE(history.RecordedNames(names, error));
    EXPECT_EQ(names, (std::vector<std::string>{"x", "b", "a", "c"}));
    // A page at a time, as a long answer reads them, gives the same points.
    const HistoryQuery all{"b", std::nullopt, std::nullopt, 10'000};
    HistoryCursor cursor;
    std::vector<HistoryPoint> points;
    EXPECT_TRUE(history.Begin(all, cursor, error) && history.Next(all, cursor, 1, points, error) && history.Next(all, cursor, 1, points, error));
    EXPECT_TRUE(history.Next(all, cursor, 1, points, error) && points.size() == 2 && points[1].value == "3" && cursor.left == 0);
}

// Restore: each present name's last value and time, in the order of first writing since its last removal.
TEST(RecordTest, RestoresLastValuesAndAnswersHistory)
{
    TempFile file;
    std::int64_t now = 1000;
    VariableStore store([&now] { return now; });
    const auto write = [&](VariableStore& to, const char* name, const char* value) { now += 1000, to.SetVariable(name, value); };
    const RecordOptions kept{file.path, false, 1LL << 60};
    {
        Recorder recorder(store, kept, {});
        std::string error;
        ASSERT_TRUE(recorder.Start(error)) << error;
        write(store, "x", "0");
        store.RemoveAll();
        write(store, "b", "1");
        write(store, "a", "1");
        {
            const VariableStore::SourceScope board(store, WriteSource::Board);
            write(store, "c", "1");
            write(store, "a", "2");
        }
        store.Remove("b");
        write(store, "b", "3");
        write(store, "x", "1"); // in its new place: the reset removed it
        ASSERT_TRUE(WaitFor([&] { return Values(*recorder.History(), "x") == "0@2000 1@8000 "; }));
        ExpectHistory(*recorder.History());
    }
    VariableStore restored([&now] { return now; });
    RecordOptions restoring = kept;
    restoring.restore = true;
    Recorder recorder(restored, restoring, {});
    std::string error;
    ASSERT_TRUE(recorder.Start(error)) << error;
    EXPECT_EQ(restored.Keys(), (std::vector<std::string>{"a", "c", "b", "x"}));
    const Variable* const a = restored.Find("a");
    EXPECT_TRUE(a->value == "2" && a->updatedMs == 6000 && a->source == WriteSource::Restore);
    ExpectHistory(*recorder.History());
    write(restored, "a", "3");
    EXPECT_TRUE(WaitFor([&] { return Values(*recorder.History(), "a", 0, std::nullopt, 2) == "2@6000b 3@9000 "; }))
        << Values(*recorder.History(), "a");
}

// TEXT is what SQL tools show as text: UTF-8 without NUL; any other bytes are a BLOB.
TEST(RecordTest, BytesAreTextOnlyWhenTheyAreUtf8WithoutNul)
{
    for (const auto& [bytes, text] : std::vector<std::pair<std::string, bool>>{
             {"", true}, {"\xc3\xa9", true}, {std::string("a\0b", 3), false}, {"\xc3(", false}})
        EXPECT_EQ(SqliteStatement::IsText(bytes), text) << ::testing::PrintToString(bytes);
}

// The history view answers SQL tools: times in ISO 8601 with milliseconds, names and values as TEXT where
// they can be and exact bytes where not, removals with no value, resets with no name; and it reads the
// name's index, not the whole table.
TEST(RecordTest, TheHistoryViewAnswersSqlToolsFromTheIndex)
{
    TempFile file;
    const std::string odd("\xff\0n", 3);
    std::int64_t now = 1'717'236'672'344; // 2024-06-01T10:11:12.345Z, one ms before the first write
    VariableStore store([&now] { return ++now; });
    {
        Recorder recorder(store, {file.path, false, 1LL << 60}, {});
        std::string error;
        ASSERT_TRUE(recorder.Start(error)) << error;
        const VariableStore::SourceScope board(store, WriteSource::Board);
        store.SetVariable("temp", "21.5"), store.SetVariable(odd, "\x80"), store.SetVariable("temp", "");
        store.Remove("temp");
        store.RemoveAll();
    }
    EXPECT_EQ(Rows(file.path, "SELECT time, value, typeof(value), source FROM history WHERE name = 'temp' AND value NOT NULL "
                              "ORDER BY time_ms DESC LIMIT 5", 4),
              "2024-06-01T10:11:12.347Z||text|board\n2024-06-01T10:11:12.345Z|21.5|text|board\n");
    EXPECT_EQ(Rows(file.path, "SELECT typeof(value), source FROM history WHERE name = 'temp' AND value IS NULL", 2), "null|http\n");
    EXPECT_EQ(Rows(file.path, "SELECT typeof(name), hex(name), hex(value), typeof(value) FROM history WHERE name = x'ff006e'", 4),
              "blob|FF006E|80|blob\n");
    EXPECT_EQ(Rows(file.path, "SELECT count(*) FROM history WHERE name IS NULL AND value IS NULL", 1), "1\n");
    const std::string plan = Rows(file.path,
        "EXPLAIN QUERY PLAN SELECT time, value FROM history WHERE name = 'temp' ORDER BY time_ms DESC LIMIT 5", 4);
    EXPECT_NE(plan.find("INDEX changes_by_name (name_id=?)"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
    std::string error;
    const RecordingReader reader(file.path, error);
    EXPECT_EQ(Values(reader, odd), "\x80@1717236672346b ");
}

// A replay plays the board's writes in the order of writing, across recorders and pages of the file.
TEST(RecordTest, RecordedFramesComeInTheOrderOfWriting)
{
    TempFile file;
    const std::int64_t today = UtcNowMs(); // not pruned: within the default age
    std::int64_t now = 0;
    VariableStore store([&] { return today + (now += 10); });
    const auto board = [&](const char* name, const char* value) {
        const VariableStore::SourceScope scope(store, WriteSource::Board);
        store.SetVariable(name, value);
    };
    std::string error;
    for (int run = 0; run < 2; ++run) {
        Recorder recorder(store, {file.path}, {});
        ASSERT_TRUE(recorder.Start(error)) << error;
        if (run == 0)
            board("t1", "1"), board("t2", "1"), store.SetVariable("web", "x"), board("t1", "2"), board("t3", "1");
        else
            board("t2", "2"), board("t1", "3");
    }
    for (const auto& [fromMs, expected] : std::vector<std::pair<std::int64_t, std::string>>{
             {0, "{t1=1}10 {t2=1}20 {t1=2}40 {t3=1}50 {t2=2}60 {t1=3}70 "}, {40, "{t1=2}40 {t3=1}50 {t2=2}60 {t1=3}70 "}}) {
        RecordedFrames frames(file.path, today + fromMs, error);
        std::string played;
        std::int64_t timeMs = 0;
        std::string frame;
        for (int pass = 0; pass < 2; ++pass, frames.Rewind())
            for (played.clear(); frames.Next(timeMs, frame, error);)
                played += frame + std::to_string(timeMs - today) + " ";
        EXPECT_EQ(played, expected);
        EXPECT_EQ(error, "");
    }
    {
        Recorder recorder(store, {file.path}, {});
        ASSERT_TRUE(recorder.Start(error)) << error;
        for (int i = 0; i < RecordedFrames::kPageFrames + 1; ++i)
            board("n", std::to_string(i).c_str());
    }
    RecordedFrames frames(file.path, 0, error);
    std::int64_t timeMs = 0;
    std::string frame;
    int count = 0;
    while (frames.Next(timeMs, frame, error))
        ++count;
    EXPECT_EQ(count, 6 + RecordedFrames::kPageFrames + 1);
    EXPECT_EQ(frame, "{n=" + std::to_string(RecordedFrames::kPageFrames) + "}");
}

// Past the age or the size, older writes go but a present name keeps its last value.
TEST(RecordTest, PruningKeepsTheLastValueOfPresentNames)
{
    const std::int64_t today = UtcNowMs();
    for (const auto& [startMs, keepMs, maxBytes] : {std::tuple<std::int64_t, std::int64_t, std::uint64_t>{0, 60'000, 1ULL << 30},
                                                    {today, 3'600'000, 1}}) {
        TempFile file;
        {
            std::int64_t now = startMs;
            VariableStore store([&now] { return ++now; });
            Recorder recorder(store, {file.path, false, keepMs, maxBytes, std::chrono::milliseconds(50)}, {});
            std::string error;
            ASSERT_TRUE(recorder.Start(error)) << error;
            for (const char* value : {"1", "2", "3"})
                store.SetVariable("a", value), store.SetVariable("b", std::string(5000, *value));
            store.Remove("b");
            EXPECT_TRUE(WaitFor([&] {
                return Values(*recorder.History(), "a") == "3@" + std::to_string(startMs + 5) + " " && Values(*recorder.History(), "b").empty();
            })) << Values(*recorder.History(), "a") << Values(*recorder.History(), "b");
            store.SetVariable("b", "4"); // its names row went with its writes
            EXPECT_TRUE(WaitFor([&] { return Values(*recorder.History(), "b").substr(0, 2) == "4@"; }));
            store.SetVariable("a", "5"); // "3" is no longer its last value: the next pass takes it
            EXPECT_TRUE(WaitFor([&] { return Values(*recorder.History(), "a").substr(0, 2) == "5@"; }))
                << Values(*recorder.History(), "a");
        }
        // Stopped, the file gives back the pages it kept free for more writes.
        EXPECT_EQ(SqliteConnection(file.path, false).Integer("PRAGMA freelist_count"), 0);
    }
}

// While nothing is written, pruning still goes on a step at a time until what is due has gone.
TEST(RecordTest, PruningGoesOnWhileNothingIsWritten)
{
    TempFile file;
    const auto name = [](int i) { return std::string(1, 'n').append(std::to_string(i)); };
    std::vector<RecordEvent> old;
    for (int i = 0; i < RecordWriter::kPruneStepRows + 100; ++i)
        old.push_back({RecordEvent::Kind::Set, 1000, name(i), "v", WriteSource::Board});
    old.push_back({RecordEvent::Kind::Reset, 1001, {}, {}, WriteSource::Http});
    std::string error;
    std::string converted;
    {
        RecordWriter writer(RecordingFile::OpenWriter(file.path, error, converted), 60'000, 1ULL << 30);
        ASSERT_TRUE(writer.Write(old)) << writer.Failure();
    }
    VariableStore store;
    Recorder recorder(store, {file.path, false, 60'000, 1ULL << 30, std::chrono::hours(1)}, {});
    ASSERT_TRUE(recorder.Start(error)) << error;
    const std::string last = name(RecordWriter::kPruneStepRows + 99); // in the second step
    EXPECT_EQ(Values(*recorder.History(), last), "v@1000b ");
    EXPECT_TRUE(WaitFor([&] { return Values(*recorder.History(), last).empty(); }));
}

// A name written again after its removal is restored in its new place, whether the removal and the new write
// come in one transaction or apart, and whichever of two writers of the file made them.
TEST(RecordTest, RestoreOrderFollowsRemovalsAcrossTransactionsAndWriters)
{
    using Kind = RecordEvent::Kind;
    const auto set = [](const char* name) { return RecordEvent{Kind::Set, 1, name, "v", WriteSource::Http}; };
    const RecordEvent unsetX{Kind::Unset, 2, "x", {}, WriteSource::Http};
    const RecordEvent reset{Kind::Reset, 2, {}, {}, WriteSource::Http};
    const std::vector<std::vector<std::pair<int, std::vector<RecordEvent>>>> cases{
        {{0, {set("x"), set("y")}}, {0, {reset, set("y"), set("x")}}},
        {{0, {set("x"), set("y"), reset, set("y"), set("x")}}},
        {{0, {set("x"), set("y")}}, {1, {reset}}, {0, {set("y"), set("x")}}},
        {{0, {set("x"), set("y")}}, {0, {unsetX}}, {0, {set("x")}}},
        {{0, {set("x"), set("y")}}, {1, {set("x"), unsetX}}, {0, {set("x")}}}};
    for (const auto& transactions : cases) {
        TempFile file;
        std::string error;
        std::string converted;
        {
            RecordWriter writers[]{{RecordingFile::OpenWriter(file.path, error, converted), 1LL << 60, 1ULL << 60},
                                   {RecordingFile::OpenWriter(file.path, error, converted), 1LL << 60, 1ULL << 60}};
            for (const auto& [writer, events] : transactions)
                ASSERT_TRUE(writers[writer].Write(events)) << writers[writer].Failure();
        }
        VariableStore restored;
        Recorder recorder(restored, {file.path, true}, {});
        ASSERT_TRUE(recorder.Start(error)) << error;
        EXPECT_EQ(restored.Keys(), (std::vector<std::string>{"y", "x"}));
    }
}

// A recording of the packed format, made by the version before this one (commit 5bc8167): these writes handed
// to its RecordWriter (PackMessages, Write) in three commits, the first two sorted into chunks (Sort), the third
// left unsorted as a killed server leaves it. Times are 1,700,000,000,000 ms plus:
//   0 temp=20.5 board, 1 mode=auto http, 2 link "open /dev/ttyUSB0", 3 gone=1 mqtt, 4 temp=21.0 board,
//   5 unset gone, 6 "\xff\xfe"="\x80v" board, 7 gone2="" http;
//   1000 reset, 1001 mode=manual http, 999 mode=back http (a clock set back), 1002 temp=22 board,
//   1003 "\xff\xfe"="\x80v" board;
//   2000 temp=23 board, 1500 late=x restore, 2002 unset mode, 2003 mode=auto mqtt, 2004 link "closed unplugged".
TEST(RecordTest, APackedRecordingIsConvertedOnceAndRestoresAsBefore)
{
    TempFile file;
    const std::string kept = file.path.string() + PackedRecording::kKeptSuffix;
    const auto original = std::filesystem::path(PONTIVO_RECORD_TEST_DATA) / "record-format2.db";
    std::filesystem::copy_file(original, file.path);
    std::ofstream(kept) << "in the way";
    VariableStore store;
    RecordOptions options{file.path, true, 1LL << 60};
    std::string error;
    EXPECT_FALSE(Recorder(store, options, {}).Start(error));
    EXPECT_EQ(error, file.path.string() + " cannot be converted to this version's format: " + kept + " is in the way");
    std::filesystem::remove(kept);
    std::vector<std::string> notices;
    for (int start = 0; start < 2; ++start) {
        VariableStore restored;
        Recorder recorder(restored, options, [&](const std::string& text) { notices.push_back(text); });
        ASSERT_TRUE(recorder.Start(error)) << error;
        const std::string odd("\xff\xfe", 2);
        EXPECT_EQ(restored.Keys(), (std::vector<std::string>{"temp", odd, "late", "mode"}));
        const Variable* const mode = restored.Find("mode");
        EXPECT_TRUE(mode->value == "auto" && mode->updatedMs == 1'700'000'002'003) << mode->value;
        EXPECT_EQ(restored.Find(odd)->value, "\x80v");
        EXPECT_EQ(restored.Find("late")->updatedMs, 1'700'000'001'500);
        EXPECT_EQ(Values(*recorder.History(), "temp"),
                  "20.5@1700000000000b 21.0@1700000000004b 22@1700000001002b 23@1700000002000b ");
        EXPECT_EQ(Values(*recorder.History(), "mode"), "auto@1700000000001 back@1700000000999 manual@1700000001001 auto@1700000002003 ");
    }
    EXPECT_EQ(notices, (std::vector<std::string>{"recording: " + file.path.string() +
                                                 " was converted to rows SQL tools read; the original is kept as " + kept}));
    EXPECT_EQ(Rows(file.path, "SELECT time_ms % 10000, state FROM links", 2), "2|open /dev/ttyUSB0\n2004|closed unplugged\n");
    // The unset left unsorted; those sorted into chunks were kept as the names' state alone.
    EXPECT_EQ(Rows(file.path, "SELECT count(*) FROM history WHERE value IS NULL", 1), "1\n");
    std::ifstream a(original, std::ios::binary), b(kept, std::ios::binary);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {}));
    EXPECT_FALSE(std::filesystem::exists(kept + "-wal") || std::filesystem::exists(kept + "-shm")); // the file alone
}

// A recording of a few pages.
void Record(const std::string& path)
{
    VariableStore store;
    Recorder recorder(store, {path}, {});
    std::string error;
    recorder.Start(error);
    for (int i = 0; i < 300; ++i)
        store.SetVariable(std::to_string(i), std::string(100, 'v'));
}

// With garbage over some of its pages.
void Corrupt(const std::string& path)
{
    Record(path);
    std::fstream bytes(path, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekp(3 * 4096);
    bytes << std::string(5 * 4096, '\x7f');
}

TEST(RecordTest, AFileThatIsNoUsableRecordingIsSaidInOneLine)
{
    const std::string kForeign = " holds tables or other objects a recording does not have";
    const auto packed = [](const std::string& path) {
        std::filesystem::copy_file(std::filesystem::path(PONTIVO_RECORD_TEST_DATA) / "record-format2.db", path);
    };
    const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> cases{
        {[](const std::string& path) { std::ofstream(path) << "hello"; }, " is damaged or not a database ("},
        {[](const std::string& path) { SqliteConnection(path, true).Exec("CREATE TABLE t(x)"); },
         " is a database of another program, not a recording"},
        {[](const std::string& path) { Record(path), SqliteConnection(path, true).Exec("PRAGMA user_version = 1"); },
         " was recorded by another version of Pontivo (format 1, this one reads 3)"},
        {Corrupt, " is damaged ("},
        {[&](const std::string& path) { packed(path), SqliteConnection(path, true).Exec("UPDATE chunks SET points = x'02'"); },
         " is damaged (a packed row cannot be read)"},
        // A file's own SQL never runs: objects that are not a recording's refuse it before any query.
        {[](const std::string& path) { Record(path), Craft(path, "CREATE TRIGGER t AFTER INSERT ON changes BEGIN DELETE FROM names; END"); }, kForeign},
        {[](const std::string& path) { Record(path), Craft(path, "CREATE VIEW v AS WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r) SELECT x FROM r"); }, kForeign},
        {[](const std::string& path) { Record(path), Craft(path, "DROP VIEW history; CREATE VIEW history AS SELECT 1"); }, kForeign},
        {[](const std::string& path) { Record(path), Craft(path, "ALTER TABLE links DROP COLUMN state"); }, kForeign},
        {[&](const std::string& path) { packed(path), Craft(path, "CREATE TRIGGER t AFTER INSERT ON names BEGIN DELETE FROM links; END"); }, kForeign}};
    for (const auto& [spoil, said] : cases) {
        TempFile file;
        spoil(file.path);
        const std::string before = Rows(file.path, "PRAGMA user_version", 1);
        VariableStore store;
        Recorder recorder(store, {file.path}, {});
        std::string error;
        EXPECT_FALSE(recorder.Start(error));
        const std::string path = file.path.string();
        EXPECT_EQ(error.substr(0, path.size() + said.size()), path + said) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(Rows(file.path, "PRAGMA user_version", 1), before); // left as it was
        if (said == kForeign) { // the readers refuse it too
            EXPECT_FALSE(RecordingReader(file.path, error).Valid() || RecordedFrames(file.path, 0, error).Valid());
        }
    }
}

// Its times at the ends of the range are read as years 0 and 9999.
TEST(RecordTest, TimesOutsideTheCalendarAreClamped)
{
    TempFile file;
    Record(file.path);
    Craft(file.path, "UPDATE changes SET time_ms = -9223372036854775808 WHERE name_id = 1; "
                     "UPDATE changes SET time_ms = 9223372036854775807 WHERE name_id = 2");
    std::string error;
    const RecordingReader reader(file.path, error);
    const std::string value(100, 'v');
    EXPECT_EQ(Values(reader, "0") + Values(reader, "1"), value + "@-62167219200000 " + value + "@253402300799999 ");
    std::vector<std::int64_t> times;
    EXPECT_TRUE(reader.LastValues([&](const Variable& v) { times.push_back(v.updatedMs); }, error));
    EXPECT_EQ(std::vector<std::int64_t>(times.begin(), times.begin() + 2), (std::vector<std::int64_t>{-62167219200000, 253402300799999}));
}

// Only its owner reads a recording, and a link in its place is no recording.
TEST(RecordTest, CreatedPrivateAndNeverThroughALink)
{
    TempFile file;
    Record(file.path);
    EXPECT_EQ(std::filesystem::status(file.path).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::filesystem::path link = file.path.parent_path() / "link.db";
    std::filesystem::create_symlink(file.path.parent_path() / "absent.db", link);
    VariableStore store;
    std::string error;
    EXPECT_FALSE(Recorder(store, {link}, {}).Start(error));
    EXPECT_EQ(error, link.string() + " cannot be opened: it is a symbolic link; give the file itself");
    EXPECT_FALSE(std::filesystem::exists(file.path.parent_path() / "absent.db"));
    std::filesystem::create_directory(file.path.parent_path() / "real"); // a linked folder, as a dynamic user's state is
    std::filesystem::create_directory_symlink(file.path.parent_path() / "real", file.path.parent_path() / "folder");
    EXPECT_TRUE(Recorder(store, {file.path.parent_path() / "folder" / "r.db"}, {}).Start(error)) << error;
}

TEST(RecordTest, AFullDiskIsSaidAsSuch)
{
    TempFile file;
    const SqliteConnection db(file.path, true);
    ASSERT_TRUE(db.Exec("PRAGMA max_page_count = 2; CREATE TABLE t(x)"));
    EXPECT_FALSE(db.Exec("INSERT INTO t VALUES(zeroblob(9000))"));
    EXPECT_EQ(RecordingFile::Failure(db), "the disk is full");
}

// A write that fails stops the recording with its reason, and the store goes on. In a child whose
// files may not grow any further.
TEST(RecordTest, AFailedWriteStopsTheRecordingAlone)
{
    TempFile file;
    Record(file.path);
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{40'000, 40'000}; // room for the log's index (32 KiB) and a little more
        ::setrlimit(RLIMIT_FSIZE, &limit);
        VariableStore store;
        std::string notice;
        Recorder recorder(store, {file.path}, [&](const std::string& text) { notice = text; });
        std::string error;
        const bool started = recorder.Start(error) && store.SetVariable("a", std::string(100'000, 'v'));
        WaitFor([&] { return recorder.Check(), !notice.empty(); });
        std::_Exit(started && notice.rfind("recording is off: " + file.path.string() + ": ", 0) == 0 &&
                   store.SetVariable("after", "1") ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// While the disk holds the writer up (here another connection holds the file's write lock), the loop drops
// writes past the queue's bytes rather than growing, says so once and counts them; then the writer records
// all the others.
TEST(RecordTest, AWriterHeldUpMakesTheLoopDropWritesNeverGrow)
{
    TempFile file;
    VariableStore store;
    std::vector<std::string> notices;
    std::optional<Recorder> recorder(std::in_place, store, RecordOptions{file.path}, [&](const std::string& text) { notices.push_back(text); });
    std::string error;
    ASSERT_TRUE(recorder->Start(error)) << error;
    const SqliteConnection holder(file.path, true);
    bool held = false; // once the writer's first prune is done
    ASSERT_TRUE(WaitFor([&] { return held = held || holder.Exec("BEGIN IMMEDIATE"); }));
    const std::string big(std::size_t{1} << 20, 'v');
    // The writer holds one batch taken at kCommitNowBytes; past it the queue fills.
    const std::size_t writes = (WriterThread::kQueueBytes + WriterThread::kCommitNowBytes) / big.size() + 2;
    for (std::size_t i = 0; i < writes; ++i)
        store.SetVariable("big", big);
    const std::uint64_t dropped = recorder->Dropped();
    EXPECT_TRUE(dropped > 0 && dropped < writes) << dropped;
    ASSERT_TRUE(holder.Exec("COMMIT"));
    std::vector<HistoryPoint> points;
    EXPECT_TRUE(WaitFor([&] {
        return recorder->History()->History({"big", {}, {}, writes}, points, error) && points.size() == writes - dropped;
    })) << points.size() << error;
    store.SetVariable("big", big); // room again once written
    EXPECT_EQ(recorder->Dropped(), dropped);
    recorder.reset();
    EXPECT_EQ(notices, (std::vector<std::string>{
        "recording falls behind: the disk is too slow for " + file.path.string() + "; writes are dropped while it catches up (the count is said at exit)",
        "recording: " + std::to_string(dropped) + " writes were dropped because the disk could not keep up"}));
}

// A burst of large writes is committed at once, not held in memory until the interval is up.
TEST(RecordTest, ALargeBurstIsCommittedWithoutWaitingForTheInterval)
{
    TempFile file;
    VariableStore store;
    RecordOptions options{file.path};
    options.commitInterval = std::chrono::hours(1);
    Recorder recorder(store, options, [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(recorder.Start(error)) << error;
    for (int i = 0; i < 4; ++i)
        store.SetVariable("big", std::string(WriterThread::kCommitNowBytes / 4, 'a' + i));
    std::vector<HistoryPoint> points;
    EXPECT_TRUE(WaitFor([&] { return recorder.History()->History({"big", {}, {}, 9}, points, error) && points.size() == 4; }));
}

} // namespace
