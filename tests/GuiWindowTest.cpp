// The desktop window on the offscreen platform, driven through its menus, keys, dialogs and tray signals.
#include "Loopback.h"
#include "desktop/MainWindow.h"
#include "serial/SerialLink.h"
#include "net/NativeSocket.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace pontivo::testing {

// Acts on the next modal window once it shows: it blocks in its own event loop until closed.
class ModalHandler {
public:
    explicit ModalHandler(std::function<void(QWidget*)> act)
    {
        QObject::connect(&m_poll, &QTimer::timeout, &m_poll, [this, act = std::move(act)] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                m_poll.stop();
                ++m_seen;
                act(modal);
            }
        });
        m_poll.start(10);
    }
    int Seen() const { return m_seen; }

private:
    QTimer m_poll;
    int m_seen = 0;
};

// A main window whose desktop calls are recorded instead of made, and without a board.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { MakeWindow(); }

    void MakeWindow(bool trayAvailable = true)
    {
        DesktopOptions options;
        options.openUrl = [this](const QString& url) { opened << url; };
        options.openTextFile = [this](const QString& path) { return shownFiles << path, editorStarts; };
        options.endProgram = [this] { ++endCount; };
        options.trayAvailable = [trayAvailable] { return trayAvailable; };
        window = std::make_unique<MainWindow>(options);
        window->core().Link().SetResolver([](const QString&) { return DeviceResolution{{}, QStringLiteral("no board")}; });
        ServerSettings settings = window->core().Settings();
        settings.httpPort = QString::number(FreePort());
        window->core().SetSettings(settings);
        window->showAtStartup();
        endCount = 0;
    }

    template <typename T = QAction>
    T* Find(const char* name) const { return window->findChild<T*>(QString::fromLatin1(name)); }
    void Trigger(const char* action) { Find(action)->trigger(); }
    bool Lit(const char* name) const { return !Find<QWidget>(name)->isHidden(); }
    // The text of the box the item showed, which is then closed; empty when none showed.
    QString Choose(const char* item)
    {
        QString said;
        const ModalHandler onModal([&](QWidget* box) { said = qobject_cast<QMessageBox*>(box)->text(), box->close(); });
        Trigger(item);
        return said;
    }

    // Alt+menuKey to the active window, then itemKey in the menu that opened; that menu's name.
    // Offscreen, a closed dialog stays the active window: a user would click the main window first.
    std::string Press(Qt::Key menuKey, Qt::Key itemKey)
    {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
        QTest::keyClick(window.get(), menuKey, Qt::AltModifier);
        QWidget* const menu = QApplication::activePopupWidget();
        if (menu)
            QTest::keyClick(menu, itemKey);
        return menu ? menu->objectName().toStdString() : "no menu";
    }

    QStringList opened, shownFiles;
    bool editorStarts = true;
    int endCount = 0;
    std::unique_ptr<MainWindow> window;
};

TEST_F(GuiTest, StartStopAndArrowsFollowTheServerAndATakenPortLeavesItStopped)
{
    const auto shows = [this](bool running) {
        const QString texts = Find("trayStartAction")->text() + "|" + Find("startAction")->text();
        EXPECT_EQ(texts, running ? "Stop|Stop" : "Start|Start");
        EXPECT_EQ(Lit("shortcutLinks"), running);
        EXPECT_EQ(Lit("crossLine0") + Lit("crossLine1"), running ? 2 : 0); // no board
        EXPECT_EQ(Find<QMenu>("configureMenu")->menuAction()->isEnabled(), !running);
    };
    EXPECT_EQ(Press(Qt::Key_S, Qt::Key_S), "serverMenu");
    shows(true);
    auto client = StartClient(window->core().ListeningPort(), {{{"GET /test HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(BodyOf(Await(client).received), "OK");
    EXPECT_TRUE(Lit("requestArrow") && Lit("responseArrow") && !Lit("boardWriteArrow") && !Lit("boardReadArrow"));
    // The real 3 s timers, running since start-up and never restarted.
    EXPECT_TRUE(WaitUntil([this] { return !Lit("requestArrow") && !Lit("responseArrow"); }, 3150));
    Trigger("startAction");
    shows(false);
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::Any, window->core().Settings().httpPort.toUShort()));
    EXPECT_TRUE(Choose("startAction").startsWith(QStringLiteral("HTTP Server - ")));
    shows(false);
}

TEST_F(GuiTest, MinimisingHidesOnlyWhereTheTrayCanRestoreIt)
{
    for (const bool tray : {false, true}) {
        MakeWindow(tray);
        window->showMinimized();
        RunEventsFor(50);
        EXPECT_EQ(window->isVisible(), !tray) << tray;
    }
    emit window->tray().restoreRequested();
    EXPECT_TRUE(window->isVisible() && !window->isMinimized());
    window->hide();
    emit window->tray().menuRequested(QPoint(20, 20));
    EXPECT_TRUE(Find<QMenu>("trayMenu")->isVisible() && !window->isVisible());
    Trigger("restoreAction");
    EXPECT_TRUE(window->isVisible());
}

TEST_F(GuiTest, EveryExitRemovesTheTrayIconWithoutABox)
{
    const std::vector<std::pair<const char*, std::function<void()>>> exits{{"menu", [this] { Trigger("exitAction"); }},
        {"close box", [this] { window->close(); }}, {"tray", [this] {
             emit window->tray().menuRequested(QPoint(20, 20)); // its menu keeps its own access keys
             QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_E);
         }}};
    for (const auto& [item, leave] : exits) {
        MakeWindow();
        Trigger("trayStartAction");
        EXPECT_TRUE(window->tray().isAdded()) << item;
        const ModalHandler onModal([](QWidget* modal) { modal->close(); });
        leave();
        EXPECT_FALSE(window->tray().isAdded()) << item;
        EXPECT_EQ(endCount, 1) << item;
        EXPECT_EQ(onModal.Seen(), 0) << item;
    }
}

TEST_F(GuiTest, LinksOpenTheServersPagesAndResetAsksFirst)
{
    // Reset is answered No, then Yes; Help does nothing.
    const std::vector<std::pair<const char*, QString>> links{{"testLink", "/"}, {"examplesLink", "/files/examples/"},
        {"apisLink", "/files/examples/pontivo_apis.html"}, {"getLink", "/get/"}, {"helpLink", ""}, {"resetLink", ""},
        {"resetLink", "/reset/"}};
    for (const auto& [label, path] : links) {
        opened.clear();
        const auto answer = path.isEmpty() ? QMessageBox::No : QMessageBox::Yes;
        const ModalHandler onModal([&](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(answer)->click(); });
        QTest::mouseClick(Find<QWidget>(label), Qt::LeftButton);
        EXPECT_EQ(onModal.Seen(), label == std::string("resetLink")) << label;
        const QString url = "http://localhost:" + window->core().Settings().httpPort + path;
        EXPECT_EQ(opened, path.isEmpty() ? QStringList() : QStringList{url}) << label;
    }
}

TEST_F(GuiTest, DialogsKeepWhatFitsOnOkCancelOnTheCloseBoxAndRestoreDefaults)
{
    // Each pass puts the text in every box of both dialogs, then presses the buttons or keys (Return goes to
    // the default button, Escape does nothing); the close box last.
    const QStringList typed{"7777", "77", "77777"}; // the settings box has no limit
    const std::vector<std::tuple<QString, std::vector<std::string>, QStringList>> passes{
        {"77777", {"Return"}, typed}, {"1", {"Escape"}, typed},
        {"", {"defaultButton", "okButton"}, {"8085", "16", "9600,n,8,1"}}};
    for (const auto& [text, buttons, expected] : passes) {
        for (const Qt::Key item : {Qt::Key_H, Qt::Key_S}) {
            const ModalHandler onModal([&](QWidget* modal) {
                // Where the buttons always stood, in pixels of the dialog.
                const auto at = [modal](const char* name) {
                    const auto* button = modal->findChild<QPushButton*>(name);
                    return QRect(button->mapTo(modal, QPoint()), button->size());
                };
                const int top = item == Qt::Key_H ? 48 : 88;
                EXPECT_TRUE(at("okButton") == QRect(111, top, 81, 33) && at("defaultButton") == QRect(16, top, 81, 33))
                    << item;
                for (QLineEdit* box : modal->findChildren<QLineEdit*>())
                    box->setText(text);
                for (const std::string& button : buttons) {
                    if (button == "Return" || button == "Escape")
                        QTest::keyClick(modal->focusWidget(), button == "Return" ? Qt::Key_Return : Qt::Key_Escape);
                    else
                        modal->findChild<QPushButton*>(button.c_str())->click();
                }
                EXPECT_EQ(modal->isVisible(), buttons.back() == "Escape");
                modal->close();
            });
            EXPECT_EQ(Press(Qt::Key_C, item), "configureMenu");
        }
        const ServerSettings& now = window->core().Settings();
        EXPECT_EQ((now.httpPort + '|' + now.comPort + '|' + now.comSettings).toStdString(), expected.join('|').toStdString());
    }
}

TEST_F(GuiTest, ViewWritesTheDumpHereElseInTheTemporaryFolderAndShowsIt)
{
    const QTemporaryDir folders;
    const QString previous = QDir::currentPath();
    const QString here = folders.filePath("Pontivo.txt"), temp = folders.filePath("temp/Pontivo.txt");
    const QByteArray previousTemp = qgetenv("TMPDIR");
    QDir::setCurrent(folders.path());
    qputenv("TMPDIR", QFile::encodeName(folders.filePath("temp")));
    window->core().Store().SetVariable("a", "1");
    EXPECT_EQ(Choose("trayViewAction"), QString());
    QFile dump(here);
    EXPECT_TRUE(dump.open(QIODevice::ReadOnly) && dump.readAll().toStdString() == window->core().CacheDump());
    // A folder in the file's place: no file can be opened there, even by root.
    EXPECT_TRUE(dump.remove() && QDir().mkpath(here) && QDir().mkdir("temp"));
    EXPECT_EQ(Press(Qt::Key_H, Qt::Key_V), "cacheMenu");
    editorStarts = false;
    EXPECT_TRUE(Choose("viewCacheAction").contains("no program could be started"));
    EXPECT_TRUE(QFile::remove(temp) && QDir().mkpath(temp));
    EXPECT_TRUE(Choose("viewCacheAction").startsWith("The cache could not be written"));
    EXPECT_EQ(shownFiles, (QStringList{here, temp, temp}));
    EXPECT_EQ(Choose("clearCacheAction"), QString());
    EXPECT_EQ(window->core().Store().Count(), 0u);
    QDir::setCurrent(previous);
    previousTemp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", previousTemp);
}

// The timed tests run on shorter injected intervals, so only this table holds the real ones.
TEST(TimingDefaultsTest, EveryIntervalHasItsDefault)
{
    const HttpTimings http;
    const SerialTimings serial;
    const std::vector<std::tuple<const char*, int, int>> rows{
        {"sweep of answered connections", http.sweepMs, 1000},
        {"stale age of an answered connection", http.staleAfterMs, 3000},
        {"quiet period before answering a request without its blank line", http.quietMs, 500},
        {"idle connection limit", http.idleTimeoutMs, 30000},
        {"serial poll", serial.pollMs, 100},
        {"serial watch", serial.watchMs, 5000},
        {"serial retry", serial.retryMs, 1000},
        {"arrows going out", DesktopOptions().arrowMs, 3000},
    };
    for (const auto& [what, actual, expected] : rows)
        EXPECT_EQ(actual, expected) << what;
}

} // namespace pontivo::testing

int main(int argc, char* argv[])
{
    pontivo::IgnoreBrokenPipe(); // as the program does
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

