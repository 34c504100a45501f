#include "GuiTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace pontivo {
namespace {

using namespace pontivo::testing;

// Each test works in its own current and temporary folders.
class GuiCacheTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        QDir(m_folders.path()).mkpath(QStringLiteral("here"));
        QDir(m_folders.path()).mkpath(QStringLiteral("temp"));
        QDir::setCurrent(m_folders.filePath(QStringLiteral("here")));
        qputenv("TMPDIR", QFile::encodeName(m_folders.filePath(QStringLiteral("temp"))));
        window->Core().Store().SetVariable("a", "1");
        window->Core().Store().SetVariable("b", "hello");
        window->Core().Store().SetVariable("", "x = y");
    }
    void TearDown() override
    {
        QDir::setCurrent(m_previous);
        m_previousTemp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", m_previousTemp);
    }

    QString Dump(const char* folder) const { return m_folders.filePath(QLatin1String(folder) + QStringLiteral("/Pontivo.txt")); }
    static QByteArray Read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The warning shown, if any.
    QString Choose(const char* item)
    {
        QString said;
        const ModalHandler onModal([&](QWidget* modal) { said = TakeBox(modal); });
        Trigger(item);
        return said;
    }

private:
    QTemporaryDir m_folders;
    const QString m_previous = QDir::currentPath();
    const QByteArray m_previousTemp = qgetenv("TMPDIR");
};

const QByteArray kDump = "3 variables cached.\r\n\r\na = 1\r\nb = hello\r\n = x = y\r\n";

TEST_F(GuiCacheTest, BothViewItemsWriteTheDumpHereAndShowItAndClearSaysNothing)
{
    for (const char* item : {"mnuViewCache", "mnuView"}) {
        shownFiles.clear();
        QFile::remove(Dump("here"));
        EXPECT_EQ(Choose(item), QString()) << item;
        EXPECT_EQ(Read(Dump("here")), kDump) << item;
        EXPECT_EQ(shownFiles, QStringList{Dump("here")}) << item;
    }
    EXPECT_EQ(Choose("mnuClear"), QString());
    EXPECT_EQ(window->Core().Store().Count(), 0u);
}

TEST_F(GuiCacheTest, FallsBackToTheTemporaryFolderAndReportsWhatFails)
{
    // A folder in the file's place: no file can be opened there, even by root.
    ASSERT_TRUE(QDir().mkpath(Dump("here")));
    EXPECT_EQ(Choose("mnuViewCache"), QString());
    EXPECT_EQ(Read(Dump("temp")), kDump);
    EXPECT_EQ(shownFiles, QStringList{Dump("temp")});

    MakeWindow(true, false);
    EXPECT_TRUE(Choose("mnuViewCache").contains(QStringLiteral("no program could be started")));

    ASSERT_TRUE(QFile::remove(Dump("temp")) && QDir().mkpath(Dump("temp")));
    shownFiles.clear();
    EXPECT_TRUE(Choose("mnuViewCache").startsWith(QStringLiteral("Pontivo 2.0|The cache could not be written")));
    EXPECT_TRUE(shownFiles.isEmpty());
}

} // namespace
} // namespace pontivo
