#include "GuiTestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace pontivo {
namespace {

using namespace pontivo::testing;

using GuiAccessKeyTest = GuiTest;

// A keyboard user's way through the menus: Alt+letter to the active window, then a letter.
TEST_F(GuiAccessKeyTest, EachMenuAndItemOpensByItsAccessKey)
{
    // The menu that Alt+menuKey popped up, once itemKey has been pressed in it. Offscreen, a
    // closed dialog stays the active window; a user would click the main window first.
    const auto choose = [this](Qt::Key menuKey, Qt::Key itemKey) {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
        QTest::keyClick(window.get(), menuKey, Qt::AltModifier);
        QWidget* const menu = QApplication::activePopupWidget();
        const std::string name = menu ? menu->objectName().toStdString() : "no menu";
        if (menu)
            QTest::keyClick(menu, itemKey);
        return name;
    };

    QStringList dialogs;
    for (const Qt::Key item : {Qt::Key_S, Qt::Key_H}) {
        const ModalHandler onModal([&](QWidget* modal) {
            dialogs << modal->windowTitle();
            modal->close();
        });
        EXPECT_EQ(choose(Qt::Key_C, item), "mnuConfigure");
    }
    EXPECT_EQ(dialogs.join('|').toStdString(), "Configure Serial/COM|Configure HTTP/Web Server");

    const QTemporaryDir here; // the dump is written in the current folder
    const QString previous = QDir::currentPath();
    QDir::setCurrent(here.path());
    EXPECT_EQ(choose(Qt::Key_H, Qt::Key_V), "mnuCache");
    QDir::setCurrent(previous);
    EXPECT_EQ(shownFiles.size(), 1);

    // Last, as a running server disables Configure.
    EXPECT_EQ(choose(Qt::Key_S, Qt::Key_S), "mnuServer");
    EXPECT_TRUE(window->Core().ServerRunning());

    // The tray's own menu keeps its keys.
    emit window->Tray().menuRequested(QPoint(20, 20));
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_E);
    EXPECT_EQ(endCount, 1);
}

} // namespace
} // namespace pontivo
