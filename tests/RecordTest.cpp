#include "record/RecordCodec.h"
#include "record/RecordedFrames.h"
#include "record/RecordWriter.h"
#include "record/Recorder.h"
#include "record/RecordingReader.h"
#include "record/WriterProcess.h"
#include "record/WriterThread.h"
#include "record/RecordingFile.h"
#include "record/SqliteConnection.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
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

// The recorder's writes handed over at each look, as the server's timer does.
bool FlushedUntil(Recorder& recorder, const std::function<bool()>& condition)
{
    return WaitFor([&] { return recorder.Flush(), condition(); });
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
    EXPECT_EQ(Values(history, "b"), "1@3000 3@7000 ");
    EXPECT_EQ(Values(history, "nothing"), "");
    std::vector<std::string> names;
    std::string error;
    EXPECT_TRUE(history.RecordedNames(names, error));
    EXPECT_EQ(names, (std::vector<std::string>{"x", "b", "a", "c"}));
}

// Restore: each present name's last value and time, in the order of first writing since its last removal.
// History reads the same from the writes not yet sorted, from the sorted chunks, and from both at once.
TEST(RecordTest, RestoresLastValuesAndAnswersHistory)
{
    TempFile file;
    std::int64_t now = 1000;
    VariableStore store([&now] { return now; });
    const auto write = [&](VariableStore& to, const char* name, const char* value) { now += 1000, to.SetVariable(name, value); };
    const RecordOptions unsorted{file.path, false, RecordOptions::kDefaultKeepMs, RecordOptions::kDefaultMaxBytes,
                                 std::chrono::hours(1)};
    {
        Recorder recorder(store, unsorted, {});
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
        ASSERT_TRUE(FlushedUntil(recorder, [&] { return Values(*recorder.History(), "x") == "0@2000 1@8000 "; }));
        ExpectHistory(*recorder.History());
    }
    VariableStore restored([&now] { return now; });
    RecordOptions restoring = unsorted;
    restoring.restore = true;
    Recorder recorder(restored, restoring, {});
    std::string error;
    ASSERT_TRUE(recorder.Start(error)) << error;
    EXPECT_EQ(restored.Keys(), (std::vector<std::string>{"a", "c", "b", "x"}));
    const Variable* const a = restored.Find("a");
    EXPECT_TRUE(a->value == "2" && a->updatedMs == 6000 && a->source == WriteSource::Restore);
    ExpectHistory(*recorder.History());
    write(restored, "a", "3");
    EXPECT_TRUE(FlushedUntil(recorder, [&] { return Values(*recorder.History(), "a", 0, std::nullopt, 2) == "2@6000b 3@9000 "; }))
        << Values(*recorder.History(), "a");
}

// Packed and unpacked back as they were, whatever the bytes and however the clock moved; a batch or a
// chunk cut anywhere short is refused, never read past its end.
TEST(RecordTest, PackedWritesComeBackUnchangedAndDamageIsSeen)
{
    using Kind = RecordEvent::Kind;
    const std::vector<RecordEvent> events{{Kind::Set, 1'700'000'000'000, "a", "1", WriteSource::Board},
                                          {Kind::Link, 5, "open", {}, WriteSource::Board},
                                          {Kind::Set, 1'699'999'999'000, std::string(1, '\0'), std::string(300, '\xff'), WriteSource::Restore},
                                          {Kind::Unset, std::numeric_limits<std::int64_t>::min(), "a", {}, WriteSource::Http},
                                          {Kind::Reset, std::numeric_limits<std::int64_t>::max(), {}, {}, WriteSource::Http},
                                          {Kind::Set, 0, "", "", WriteSource::Mqtt}};
    const std::vector<std::string> messages = PackMessages(events);
    ASSERT_EQ(messages.size(), 2U);
    std::int64_t linkMs = 0;
    std::string_view state;
    EXPECT_TRUE(ReadLinkMessage(messages[0], linkMs, state) && linkMs == 5 && state == "open");
    const std::string batch = messages[1].substr(1);
    std::string seen;
    ChunkPacker chunk;
    std::int64_t seq = 1LL << 40;
    EXPECT_TRUE(UnpackBatch(batch, [&](const LoggedEvent& e) {
        seen += std::to_string(static_cast<int>(e.kind)) + " " + std::to_string(e.timeMs) + " " + std::string(e.name) + "=" +
                std::to_string(e.value.size()) + " " + std::string(SourceName(e.source)) + "\n";
        if (e.kind == Kind::Set)
            chunk.Add({seq -= 3, e.timeMs, e.source, e.value});
    }));
    EXPECT_EQ(seen, "0 1700000000000 a=1 board\n0 1699999999000 " + std::string(1, '\0') + "=300 restore\n"
                    "1 -9223372036854775808 a=0 restore\n2 9223372036854775807 =0 restore\n0 0 =0 mqtt\n");
    std::string points;
    EXPECT_TRUE(UnpackChunk(chunk.Packed(), [&](const RecordedPoint& p) {
        points += std::to_string(p.seq) + "@" + std::to_string(p.timeMs) + ":" + std::to_string(p.value.size()) + " ";
    }));
    EXPECT_EQ(points, std::to_string((1LL << 40) - 3) + "@1700000000000:1 " + std::to_string((1LL << 40) - 6) +
                          "@1699999999000:300 " + std::to_string((1LL << 40) - 9) + "@0:0 ");
    // Cut anywhere, a batch or chunk reads only where the cut falls between whole entries (4 places in the
    // batch: the link is not in it; 2 in the chunk), and no cut entry is ever seen, even shortened.
    const auto cuts = [](const std::string& packed, const auto& unpack) {
        std::vector<std::string> whole;
        unpack(packed, whole);
        int read = 0;
        for (std::size_t cut = 1; cut < packed.size(); ++cut) {
            std::vector<std::string> seen;
            read += unpack(packed.substr(0, cut), seen);
            EXPECT_TRUE(std::equal(seen.begin(), seen.end(), whole.begin())) << cut;
        }
        return read;
    };
    EXPECT_EQ(cuts(batch, [](std::string_view bytes, std::vector<std::string>& seen) {
        return UnpackBatch(bytes, [&](const LoggedEvent& e) { seen.push_back(std::string(e.name) + "=" + std::string(e.value)); });
    }), 4);
    EXPECT_EQ(cuts(chunk.Packed(), [](std::string_view bytes, std::vector<std::string>& seen) {
        return UnpackChunk(bytes, [&](const RecordedPoint& p) { seen.push_back(std::string(p.value)); });
    }), 2);
    EXPECT_FALSE(UnpackBatch("\x07", [](const LoggedEvent&) {}));
    EXPECT_FALSE(UnpackChunk(std::string("\x02\x02\x09\x00", 4), [](const RecordedPoint&) {}));
}

// A replay merges the names' chunks back into the order of writing, then the writes not yet sorted.
TEST(RecordTest, RecordedFramesComeInTheOrderOfWriting)
{
    TempFile file;
    const std::int64_t today = UtcNowMs(); // not pruned: within the default age
    std::int64_t now = 0;
    VariableStore store([&] { return today + (now += 10); });
    RecordOptions options{file.path};
    options.sortInterval = std::chrono::hours(1);
    const auto board = [&](const char* name, const char* value) {
        const VariableStore::SourceScope scope(store, WriteSource::Board);
        store.SetVariable(name, value);
    };
    {
        Recorder recorder(store, options, {});
        std::string error;
        ASSERT_TRUE(recorder.Start(error)) << error;
        board("t1", "1"), board("t2", "1"), store.SetVariable("web", "x"), board("t1", "2"), board("t3", "1");
    }
    Recorder recorder(store, options, {});
    std::string error;
    ASSERT_TRUE(recorder.Start(error)) << error;
    board("t2", "2"), board("t1", "3");
    ASSERT_TRUE(FlushedUntil(recorder, [&] { return Values(*recorder.History(), "t1").find("3@") != std::string::npos; }));
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
}

// Past the age or the size, older writes go but a present name keeps its last value.
TEST(RecordTest, PruningKeepsTheLastValueOfPresentNames)
{
    const std::int64_t today = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
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
            EXPECT_TRUE(FlushedUntil(recorder, [&] { return Values(*recorder.History(), "a") == "3@" + std::to_string(startMs + 5) + " "; }))
                << Values(*recorder.History(), "a");
            EXPECT_EQ(Values(*recorder.History(), "b"), "");
            store.SetVariable("b", "4"); // its names row went with its writes
            EXPECT_TRUE(FlushedUntil(recorder, [&] { return Values(*recorder.History(), "b").substr(0, 2) == "4@"; }));
        }
        // Stopped, the file gives back the pages it kept free for more batches.
        EXPECT_EQ(SqliteConnection(file.path, false).Integer("PRAGMA freelist_count"), 0);
    }
}

// While nothing is written, pruning still goes on a step at a time until what is due has gone.
TEST(RecordTest, PruningGoesOnWhileNothingIsWritten)
{
    TempFile file;
    const auto name = [](int i) { return std::string(1, 'n').append(std::to_string(i)); };
    std::vector<RecordEvent> old;
    for (int i = 0; i < RecordWriter::kPruneStepChunks + 100; ++i)
        old.push_back({RecordEvent::Kind::Set, 1000, name(i), "v", WriteSource::Board});
    old.push_back({RecordEvent::Kind::Reset, 1001, {}, {}, WriteSource::Http});
    std::string error;
    {
        RecordWriter writer(RecordingFile::Open(file.path, true, error), 60'000, 1ULL << 30);
        ASSERT_TRUE(writer.Write(PackMessages(old)) && writer.Sort()) << writer.Failure();
    }
    VariableStore store;
    Recorder recorder(store, {file.path, false, 60'000, 1ULL << 30, std::chrono::hours(1)}, {});
    ASSERT_TRUE(recorder.Start(error)) << error;
    const std::string last = name(RecordWriter::kPruneStepChunks + 99); // in the second step
    EXPECT_EQ(Values(*recorder.History(), last), "v@1000b ");
    EXPECT_TRUE(WaitFor([&] { return Values(*recorder.History(), last).empty(); }));
}

// A name written again after its removal is restored in its new place, whether the removal and the new write
// are sorted together or apart, and whichever of two writers of the file made them.
TEST(RecordTest, RestoreOrderFollowsRemovalsAcrossSortsAndWriters)
{
    using Kind = RecordEvent::Kind;
    const auto set = [](const char* name) { return RecordEvent{Kind::Set, 1, name, "v", WriteSource::Http}; };
    const RecordEvent unsetX{Kind::Unset, 2, "x", {}, WriteSource::Http};
    const RecordEvent reset{Kind::Reset, 2, {}, {}, WriteSource::Http};
    // Each batch goes to writer 0 or 1, and is sorted at once or not.
    struct Batch {
        int writer;
        bool sorted;
        std::vector<RecordEvent> events;
    };
    const std::vector<std::vector<Batch>> cases{{{0, true, {set("x"), set("y")}}, {0, true, {reset, set("y"), set("x")}}},
                                                {{0, true, {set("x"), set("y")}}, {0, true, {unsetX}}, {0, false, {set("x")}}},
                                                {{0, false, {set("x"), set("y")}}, {1, false, {set("x"), unsetX}}, {0, false, {set("x")}}}};
    for (const auto& batches : cases) {
        TempFile file;
        std::string error;
        {
            RecordWriter writers[]{{RecordingFile::Open(file.path, true, error), 1LL << 60, 1ULL << 60},
                                   {RecordingFile::Open(file.path, true, error), 1LL << 60, 1ULL << 60}};
            for (const Batch& batch : batches)
                ASSERT_TRUE(writers[batch.writer].Write(PackMessages(batch.events)) &&
                            (!batch.sorted || writers[batch.writer].Sort()));
        } // closed: the recorder's writer process must not inherit open connections
        VariableStore restored;
        Recorder recorder(restored, {file.path, true}, {});
        ASSERT_TRUE(recorder.Start(error)) << error;
        EXPECT_EQ(restored.Keys(), (std::vector<std::string>{"y", "x"}));
    }
}

// A recording of a few pages.
void Record(const std::string& path)
{
    VariableStore store;
    {
        Recorder recorder(store, {path}, {});
        std::string error;
        recorder.Start(error);
        for (int i = 0; i < 300; ++i)
            store.SetVariable(std::to_string(i), std::string(100, 'v'));
    }
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
    const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> cases{
        {[](const std::string& path) { std::ofstream(path) << "hello"; }, " is damaged or not a database ("},
        {[](const std::string& path) { SqliteConnection(path, true).Exec("CREATE TABLE t(x)"); },
         " is a database of another program, not a recording"},
        {[](const std::string& path) { Record(path), SqliteConnection(path, true).Exec("PRAGMA user_version = 1"); },
         " was recorded by another version of Pontivo (format 1, this one reads 2)"},
        {Corrupt, " is damaged ("}};
    for (const auto& [spoil, said] : cases) {
        TempFile file;
        spoil(file.path);
        VariableStore store;
        Recorder recorder(store, {file.path}, {});
        std::string error;
        EXPECT_FALSE(recorder.Start(error));
        EXPECT_EQ(error.substr(0, file.path.string().size() + said.size()), file.path.string() + said) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
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
        FlushedUntil(recorder, [&] { return !notice.empty(); });
        std::_Exit(started && notice.rfind("recording is off: " + file.path.string() + ": ", 0) == 0 &&
                   store.SetVariable("after", "1") ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The writer's process: the only child of this single-threaded test.
pid_t WriterPid()
{
    std::ifstream children("/proc/self/task/" + std::to_string(::getpid()) + "/children");
    pid_t pid = -1;
    children >> pid;
    return pid;
}

// A service stop's SIGTERM and a terminal's SIGINT leave the writer writing; a stopped writer makes the
// loop drop writes (never grow) and say so, and resumed it records all the others; a killed one is said,
// and the store goes on.
TEST(RecordTest, TheWriterProcessOutlivesStopSignalsAndIsMissedWhenItDies)
{
    TempFile file;
    VariableStore store;
    std::vector<std::string> notices;
    std::optional<Recorder> recorder(std::in_place, store, RecordOptions{file.path}, [&](const std::string& text) { notices.push_back(text); });
    std::string error;
    ASSERT_TRUE(recorder->Start(error)) << error;
    const pid_t writer = WriterPid();
    ASSERT_GT(writer, 0);
    ::kill(writer, SIGTERM), ::kill(writer, SIGINT);
    store.SetVariable("a", "1");
    EXPECT_TRUE(FlushedUntil(*recorder, [&] { return Values(*recorder->History(), "a").substr(0, 2) == "1@"; }));
    ::kill(writer, SIGSTOP);
    const std::string big(Recorder::kHandOverBytes, 'v');
    const std::size_t writes = Recorder::kQueueBytes / big.size() + 2;
    for (std::size_t i = 0; i < writes; ++i)
        store.SetVariable("big", big);
    const std::uint64_t dropped = recorder->Dropped();
    EXPECT_TRUE(dropped > 0 && dropped < writes) << dropped;
    ::kill(writer, SIGCONT);
    std::vector<HistoryPoint> points;
    EXPECT_TRUE(FlushedUntil(*recorder, [&] {
        return recorder->History()->History({"big", {}, {}, writes}, points, error) && points.size() == writes - dropped;
    })) << points.size() << error << (notices.empty() ? "" : notices.back());
    ::kill(writer, SIGKILL);
    const std::string said = "recording is off: " + file.path.string() + ": the writer process ended unexpectedly (signal 9)";
    EXPECT_TRUE(FlushedUntil(*recorder, [&] { return notices.back() == said; })) << notices.back();
    EXPECT_TRUE(store.SetVariable("after", "1"));
    recorder.reset();
    EXPECT_EQ(notices, (std::vector<std::string>{
        "recording falls behind: the disk is too slow for " + file.path.string() + "; writes are dropped while it catches up (the count is said at exit)",
        said, "recording: " + std::to_string(dropped) + " writes were dropped because the disk could not keep up"}));
}

// The process here, the thread on Windows: each writes what it is sent and says a file it cannot use.
TEST(RecordTest, BothWaysToTheWriterWriteWhatTheyAreSent)
{
    const std::vector<std::function<std::unique_ptr<WriterChannel>(const RecordOptions&)>> channels{
        [](const RecordOptions& options) { return std::make_unique<WriterProcess>(options); },
        [](const RecordOptions& options) { return std::make_unique<WriterThread>(options); }};
    for (const auto& make : channels) {
        TempFile file;
        std::string error;
        {
            const std::unique_ptr<WriterChannel> channel = make({file.path});
            ASSERT_TRUE(channel->Start(error)) << error;
            for (const std::string& message : PackMessages({{RecordEvent::Kind::Set, 5, "a", "1", WriteSource::Board},
                                                            {RecordEvent::Kind::Set, 6, "a", "2", WriteSource::Http}}, 1))
                channel->Send(message);
            channel->Finish();
            EXPECT_EQ(channel->Stopped(), "");
        }
        const RecordingReader reader(file.path, error);
        EXPECT_EQ(Values(reader, "a"), "1@5b 2@6 ");
        std::ofstream(file.path) << "hello";
        EXPECT_FALSE(make({file.path})->Start(error));
        EXPECT_EQ(error.substr(0, file.path.string().size() + 12), file.path.string() + " is damaged ") << error;
    }
}

} // namespace
