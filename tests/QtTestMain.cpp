#include "server/EpollDispatcher.h"
#include "net/NativeSocket.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The server code needs a Qt application object and its event loop on this thread: the
// headless program's own loop, or Qt's with PONTIVO_EVENT_LOOP=qt, as the program chooses.
int main(int argc, char* argv[])
{
    pontivo::IgnoreBrokenPipe();
    if (!pontivo::InstallEpollDispatcher())
        qputenv("QT_NO_GLIB", "1"); // the program's fallback too
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
