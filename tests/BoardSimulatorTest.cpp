#include "LoopbackClient.h"
#include "ProgramHarness.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>


namespace pontivo {
namespace {

using namespace pontivo::testing;

const QString kSimulator = QStringLiteral(PONTIVO_BOARD_SIM_EXECUTABLE);

// Starts Pontivo on the port and waits until it serves; its standard error so far is kept in `err`.
bool StartPontivo(QProcess& pontivo, std::uint16_t port, const QString& comPort, QByteArray& err)
{
    return StartServing(pontivo,
                        ProgramCommand({QStringLiteral("--headless"), QStringLiteral("--http-port"),
                                        QString::number(port), QStringLiteral("--com-port"), comPort}),
                        err);
}

TEST(BoardSimulatorTest, PontivoAndTheSimulatedBoardTalkBothWays)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    QProcess board;
    board.start(kSimulator, {QStringLiteral("--link"), link, QStringLiteral("junk{temp=21}\r\n")});
    QByteArray boardOut;
    ASSERT_TRUE(WaitForText(board, QProcess::StandardOutput, "\n", boardOut)) << board.readAllStandardError().toStdString();
    EXPECT_EQ(boardOut.left(boardOut.indexOf('\n')), link.toLocal8Bit());
    EXPECT_TRUE(QFileInfo(link).isSymLink());

    const std::uint16_t port = FreePort();
    QProcess pontivo;
    QByteArray pontivoErr;
    ASSERT_TRUE(StartPontivo(pontivo, port, link, pontivoErr)) << pontivoErr.toStdString();
    EXPECT_TRUE(pontivoErr.contains("serial port " + link.toLocal8Bit() + " open")) << pontivoErr.toStdString();

    // The frame is sent once the port is opened, so it is not lost to a late start.
    EXPECT_TRUE(Eventually([&] { return Fetch(port, "/get/temp") == "21"; }));
    EXPECT_EQ(Fetch(port, "/set/led/on"), "on");
    EXPECT_TRUE(WaitForText(board, QProcess::StandardOutput, "board got: led=on\n", boardOut)) << boardOut.toStdString();

    // Stopping the board is an unplug for Pontivo, and the simulator cleans up its name.
    board.terminate();
    ASSERT_TRUE(board.waitForFinished(5000));
    EXPECT_EQ(board.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(board.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(WaitForText(pontivo, QProcess::StandardError, "cannot be opened", pontivoErr)) << pontivoErr.toStdString();
    EXPECT_EQ(Fetch(port, "/get/temp"), "21");

    pontivo.terminate();
    EXPECT_TRUE(pontivo.waitForFinished(5000));
}

TEST(BoardSimulatorTest, StandardInputReachesWhicheverPontivoOpensThePortAndItsEndStopsTheSimulator)
{
    QProcess board;
    board.start(kSimulator, QStringList{});
    QByteArray boardOut;
    ASSERT_TRUE(WaitForText(board, QProcess::StandardOutput, "\n", boardOut));
    const QString device = QString::fromLocal8Bit(boardOut.left(boardOut.indexOf('\n')));

    const std::uint16_t firstPort = FreePort();
    QProcess first;
    QByteArray firstErr;
    ASSERT_TRUE(StartPontivo(first, firstPort, device, firstErr)) << firstErr.toStdString();
    board.write("{a=1}\n");
    board.waitForBytesWritten(1000);
    EXPECT_TRUE(Eventually([&] { return Fetch(firstPort, "/get/a") == "1"; }));
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(5000));

    // Typed while no program has the port open: kept for the next one, not lost.
    board.write("{b=2}\n");
    board.waitForBytesWritten(1000);
    const std::uint16_t secondPort = FreePort();
    QProcess second;
    QByteArray secondErr;
    ASSERT_TRUE(StartPontivo(second, secondPort, device, secondErr)) << secondErr.toStdString();
    EXPECT_TRUE(Eventually([&] { return Fetch(secondPort, "/get/b") == "2"; }));

    board.closeWriteChannel();
    ASSERT_TRUE(board.waitForFinished(5000));
    EXPECT_EQ(board.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(board.exitCode(), 0);
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(5000));
}

} // namespace
} // namespace pontivo
