#include "NativeSocket.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The server code needs a Qt application object and its event loop on this thread: the headless
// program's (QT_NO_GLIB=1) or the window's (GLib), as the environment says.
int main(int argc, char* argv[])
{
    pontivo::IgnoreBrokenPipe();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
