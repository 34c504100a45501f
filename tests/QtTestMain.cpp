#include "EpollDispatcher.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The server code needs a Qt application object and its event loop on this thread: the
// headless program's own loop.
int main(int argc, char* argv[])
{
    QCoreApplication::setEventDispatcher(new pontivo::EpollDispatcher); // Qt owns it
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
