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
    Start(core);
    board.Write("{temp=21.5}{junk}");
    ASSERT_TRUE(WaitUntil([&] { return core.Store().Exists("temp"); }));
    for (const std::string name : {"a\"b", "back\\slash", "line\nfeed", "\xff\xfe", "\xfe\xff", "°C", ""})
        core.Store().SetVariable(name, "-1e-3");
    Request(core, "/set/led/on");

    const std::string answer = Get(core, "/metrics").received;
    const std::string body = BodyOf(answer);
    EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    for (const char* line : {"pontivo_link_up 1\n", "pontivo_frames_received_total 1\n",
                             "pontivo_frames_malformed_total 1\n", "pontivo_lines_sent_total 1\n",
                             "pontivo_requests_total{command=\"metrics\"} 1\n", "pontivo_variable{name=\"temp\"} 21.5\n"})
        EXPECT_NE(body.find(line), std::string::npos) << line;
    EXPECT_NE(body.find("pontivo_last_frame_age_seconds "), std::string::npos);

    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.write(body.data(), static_cast<qint64>(body.size()));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(20000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString() << body;
}

} // namespace
