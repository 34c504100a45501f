#include "Loopback.h"
#include "PtyBoard.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

// A real answer from a running core, with a board and names a scraper could choke on, is what
// the format's own checker accepts.
TEST(MetricsTest, AnswerOfARunningCorePassesTheFormatsChecker)
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    PtyBoard board;
    ASSERT_TRUE(QFile::link(board.SlavePath(), link));
    ServerCore core{SettingsFor(link)};
    core.Link().SetTimings({50, 100, 100});
    RecordOptions record;
    record.file = dir.filePath(QStringLiteral("record.db")).toStdString();
    ASSERT_TRUE(core.EnableRecording(record));
    Start(core);
    board.Write("{temp=21.5}{junk}");
    ASSERT_TRUE(WaitUntil([&] { return core.Store().Exists("temp"); }));
    for (const std::string name : {"a\"b", "back\\slash", "line\nfeed", "\xff\xfe", "\xfe\xff", "°C", ""})
        core.Store().SetVariable(name, "-1e-3");
    Request(core, "/set/led/on");
    Request(core, "/api/variables/none");

    const std::string answer = Get(core, "/metrics").received;
    const std::string body = BodyOf(answer);
    EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    for (const char* line : {"pontivo_link_up 1\n", "pontivo_frames_received_total 1\n",
                             "pontivo_frames_malformed_total 1\n", "pontivo_lines_sent_total 1\n",
                             "pontivo_requests_total{command=\"set\",code=\"200\"} 1\n",
                             "pontivo_requests_total{command=\"api_variables\",code=\"404\"} 1\n", "pontivo_recording_up 1\n",
                             "pontivo_recording_dropped_total 0\n", "pontivo_variable{name=\"temp\"} 21.5\n"})
        EXPECT_NE(body.find(line), std::string::npos) << line;
    for (const char* figure : {"pontivo_last_frame_age_seconds ", "\nprocess_resident_memory_bytes ", "\nprocess_cpu_seconds_total ",
                               "\nprocess_open_fds ", "\nprocess_max_fds ", "\npontivo_recording_bytes "})
        EXPECT_NE(body.find(figure), std::string::npos) << figure;

    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.write(body.data(), static_cast<qint64>(body.size()));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(20000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString() << body;
}

} // namespace
