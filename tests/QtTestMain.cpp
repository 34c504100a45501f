#include <QCoreApplication>

#include <gtest/gtest.h>

// The server code needs a Qt application object and its event loop on this thread.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
