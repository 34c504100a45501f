#include "net/NativeSocket.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The server code needs a Qt application object and its event loop on this thread, set up as the
// headless program sets it up.
int main(int argc, char* argv[])
{
    pontivo::IgnoreBrokenPipe();
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
