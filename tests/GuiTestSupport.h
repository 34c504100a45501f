#pragma once

#include "LoopbackClient.h"
#include "frmMain.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace pontivo::testing {

// Acts on the next modal window once it shows: dialogs and message boxes block in their
// own event loop until something closes them.
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

// "title|text" of a message box, which it then closes.
inline QString TakeBox(QWidget* modal)
{
    auto* box = qobject_cast<QMessageBox*>(modal);
    const QString said = box ? box->windowTitle() + QStringLiteral("|") + box->text() : QStringLiteral("not a box");
    modal->close();
    return said;
}

// The settings dialog's box takes four characters, so the test port must fit.
inline quint16 FourDigitFreePort()
{
    for (quint16 port = 4000 + static_cast<quint16>(QCoreApplication::applicationPid() % 5000); port < 10000; ++port) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return port;
    }
    return 0;
}

// A main window whose desktop calls are recorded instead of made, and without a board.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { MakeWindow(); }

    void MakeWindow(bool trayAvailable = true, bool editorStarts = true)
    {
        DesktopOptions options;
        options.OpenUrl = [this](const QString& url) { opened << url; };
        options.OpenTextFile = [this, editorStarts](const QString& path) { return shownFiles << path, editorStarts; };
        options.EndProgram = [this] { ++endCount; };
        options.TrayAvailable = [trayAvailable] { return trayAvailable; };
        options.webSiteAddress = QStringLiteral("https://www.example.com/pontivo/");
        window = std::make_unique<frmMain>(options);
        window->Core().Link().SetResolver([](const QString&) { return DeviceResolution{{}, QStringLiteral("no board")}; });
        SetHttpPort(QString::number(FreePort()));
        window->ShowAtStartup();
        opened.clear();
        shownFiles.clear();
        endCount = 0;
    }

    void SetHttpPort(const QString& port)
    {
        ServerSettings settings = window->Core().Settings();
        settings.SCKPort = port;
        window->Core().SetSettings(settings);
    }

    template <typename T = QAction>
    T* Find(const char* name) const
    {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void Trigger(const char* action) { Find(action)->trigger(); }
    bool Lit(const char* name) const { return !Find<QWidget>(name)->isHidden(); }
    QString Caption(const char* action) const { return Find(action)->text(); }
    bool ConfigureEnabled() const { return Find<QMenu>("mnuConfigure")->menuAction()->isEnabled(); }

    QStringList opened;
    QStringList shownFiles;
    int endCount = 0;
    std::unique_ptr<frmMain> window;
};

} // namespace pontivo::testing
