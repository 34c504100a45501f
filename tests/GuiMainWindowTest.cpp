#include "GuiTestSupport.h"

#include "SvgPicture.h"
#include "TrayIcon.h"

#include <QLabel>
#include <QMenuBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWindow>

namespace pontivo {
namespace {

using namespace pontivo::testing;

class GuiMainWindowTest : public GuiTest {
protected:
    bool Listening()
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, window->Core().Settings().SCKPort.toUShort());
        return probe.waitForConnected(1000);
    }
};

TEST_F(GuiMainWindowTest, StartsStoppedWithOnlyTheStatusLineShown)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Pontivo 2.0"));
    EXPECT_FALSE(Listening());
    for (const char* hidden : {"ImgArrow0", "ImgArrow1", "ImgArrow2", "ImgArrow3", "ardCrossLine0", "ardCrossLine1", "picActive"})
        EXPECT_FALSE(Lit(hidden)) << hidden;
    EXPECT_TRUE(Find<QLabel>("Label4")->isVisible());
    EXPECT_EQ(window->centralWidget()->size(), QSize(361, 163));
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window->Tray().Added());

    QStringList menus;
    for (const QAction* menu : window->menuBar()->actions()) {
        if (menu->isVisible())
            menus << menu->text();
    }
    EXPECT_EQ(menus, (QStringList{"&Server", "&Configure", "Cac&he"}));
    EXPECT_EQ(Find<QMenu>("mPopupSys")->defaultAction(), Find("mnuStart"));
    EXPECT_EQ(Caption("mnuWebsite"), QStringLiteral("&www.example.com"));
    for (const char* name : {"ImgArrow0", "ImgArrow1", "ImgArrow2", "ImgArrow3"}) {
        const bool right = name[8] == '0' || name[8] == '2';
        EXPECT_EQ(Find<SvgPicture>(name)->Picture().contains(QLatin1String("right")), right) << name;
    }
}

TEST_F(GuiMainWindowTest, StartAndStopFollowTheServer)
{
    for (const char* item : {"mnuStart", "mnuStart2"}) {
        Trigger(item);
        const bool running = window->Core().ServerRunning();
        EXPECT_EQ(running, item == std::string("mnuStart"));
        EXPECT_EQ(Listening(), running);
        EXPECT_EQ(Caption("mnuStart"), running ? QStringLiteral("Stop") : QStringLiteral("Start"));
        EXPECT_EQ(Caption("mnuStart2"), Caption("mnuStart"));
        EXPECT_EQ(Lit("picActive"), running);
        EXPECT_EQ(ConfigureEnabled(), !running);
    }
}

TEST_F(GuiMainWindowTest, TakenPortGivesOneWarningAndLeavesTheServerStopped)
{
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::Any, 0));
    SetHttpPort(QString::number(other.serverPort()));
    QString said;
    const ModalHandler onModal([&](QWidget* modal) { said = TakeBox(modal); });
    Trigger("mnuStart");
    EXPECT_TRUE(said.startsWith(QStringLiteral("Pontivo 2.0|HTTP Server - "))) << said.toStdString();
    EXPECT_FALSE(window->Core().ServerRunning());
    EXPECT_FALSE(window->Core().Link().Port().PortOpen());
    EXPECT_FALSE(Lit("ardCrossLine0"));
    EXPECT_EQ(Caption("mnuStart2"), QStringLiteral("Start"));
    EXPECT_TRUE(ConfigureEnabled());
}

TEST_F(GuiMainWindowTest, TrayClicksRestoreAndRightClickShowsOnlyTheMenu)
{
    window->hide();
    emit window->Tray().restoreRequested();
    emit window->Tray().restoreRequested(); // a double click restores twice
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());

    window->hide();
    emit window->Tray().menuRequested(QPoint(20, 20));
    EXPECT_TRUE(Find<QMenu>("mPopupSys")->isVisible());
    EXPECT_FALSE(window->isVisible());
    Trigger("mPopRestore");
    Find<QMenu>("mPopupSys")->close();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(GuiMainWindowTest, MinimisingHidesOnlyWhereATrayCanBringItBack)
{
    for (const bool tray : {true, false}) {
        MakeWindow(tray);
        window->showMinimized();
        RunEventsFor(50);
        EXPECT_EQ(window->isVisible(), !tray) << "tray " << tray;
    }
}

TEST_F(GuiMainWindowTest, EveryExitRemovesTheTrayIconAndEndsWithoutAWord)
{
    const std::vector<std::function<void()>> exits{
        [this] { Trigger("mnuExit"); }, [this] { Trigger("mPopExit"); }, [this] { window->close(); }};
    for (std::size_t i = 0; i < exits.size(); ++i) {
        MakeWindow();
        Trigger("mnuStart");
        const ModalHandler onModal([](QWidget* modal) { modal->close(); });
        exits[i]();
        EXPECT_FALSE(window->Tray().Added()) << i;
        EXPECT_EQ(endCount, 1) << i;
        EXPECT_EQ(onModal.Seen(), 0) << i;
    }
}

} // namespace
} // namespace pontivo
