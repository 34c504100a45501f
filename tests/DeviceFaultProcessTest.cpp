#include "LoopbackClient.h"
#include "ProgramHarness.h"
#include "PtyBoard.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace pontivo {
namespace {

using namespace pontivo::testing;

// The program on a board whose device fails (EIO) after one good read or write, while the
// device node stays where it is: the adapter's fault, not an unplug.
class DeviceFaultTest : public ::testing::Test {
protected:
    void Start(const char* failingCalls)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PONTIVO_FAULT_SHIM));
        environment.insert(QStringLiteral("PONTIVO_FAULT_DEVICE"), board.SlavePath());
        environment.insert(QString::fromLatin1(failingCalls), QStringLiteral("1"));
        // The sanitizer runtime otherwise refuses to run behind a preloaded library.
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        process.setProcessEnvironment(environment);
        ASSERT_TRUE(StartServing(process,
                                 ProgramCommand({"--headless", "--http-port", QString::number(port), "--com-port",
                                                 board.SlavePath()}),
                                 err))
            << err.toStdString();
    }

    // The fault is said on standard error, and the port is open again a second later.
    void ExpectLostAndReopened()
    {
        const QByteArray device = board.SlavePath().toLocal8Bit();
        ASSERT_TRUE(WaitForText(process, QProcess::StandardError, "serial port " + device + " lost: ", err))
            << err.toStdString();
        const qsizetype lost = err.indexOf("lost: ");
        ASSERT_TRUE(WaitForText(process, QProcess::StandardError, "serial port " + device + " open", err, lost))
            << err.toStdString();
        EXPECT_GT(err.indexOf('\n', lost) - lost, 12) << "no reason given: " << err.toStdString();
    }

    ~DeviceFaultTest() override
    {
        process.kill();
        process.waitForFinished(5000);
    }

    PtyBoard board;
    const std::uint16_t port = FreePort();
    QProcess process;
    QByteArray err;
};

TEST_F(DeviceFaultTest, FailingReadIsReportedAndTheLinkResumes)
{
    Start("PONTIVO_FAULT_READS");
    board.Write("{a=1}");
    ASSERT_TRUE(Eventually([&] { return Fetch(port, "/get/a") == "1"; }));
    board.Write("{b=2}");
    ExpectLostAndReopened();
    board.Write("{c=3}");
    EXPECT_TRUE(Eventually([&] { return Fetch(port, "/get/c") == "3"; }));
    EXPECT_EQ(Fetch(port, "/get/a"), "1");
}

TEST_F(DeviceFaultTest, FailingWriteIsReportedAndTheLinkResumes)
{
    Start("PONTIVO_FAULT_WRITES");
    EXPECT_EQ(Fetch(port, "/set/a/1"), "1");
    EXPECT_EQ(board.ReadAvailable(4), "a=1\n");
    EXPECT_EQ(Fetch(port, "/set/b/2"), "2");
    ExpectLostAndReopened();
    EXPECT_EQ(Fetch(port, "/get/b"), "2"); // the store keeps what the board missed
    EXPECT_EQ(Fetch(port, "/set/c/3"), "3");
    EXPECT_EQ(board.ReadAvailable(4), "c=3\n");
}

} // namespace
} // namespace pontivo
