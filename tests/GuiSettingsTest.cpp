#include "GuiTestSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWindow>

namespace pontivo {
namespace {

using namespace pontivo::testing;

class GuiSettingsTest : public GuiTest {
protected:
    // Opens the dialog from its menu and acts on it; a dialog left open gets the close box.
    void Edit(const char* item, const std::function<void(QDialog*)>& act)
    {
        const ModalHandler onModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            topmostWhileOpen = window->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint);
            act(dialog);
            if (dialog->isVisible())
                dialog->close();
        });
        Trigger(item);
        EXPECT_EQ(onModal.Seen(), 1) << item;
    }
    static QLineEdit* Box(QDialog* dialog, const char* name) { return dialog->findChild<QLineEdit*>(name); }
    static void Press(QDialog* dialog, const char* button) { dialog->findChild<QPushButton*>(button)->click(); }
    static auto Type(const char* box, const char* text)
    {
        return [=](QDialog* dialog) { Box(dialog, box)->setText(QString::fromLatin1(text)); };
    }
    static auto TypeAndOk(const char* box, const QString& text)
    {
        return [=](QDialog* dialog) { Box(dialog, box)->setText(text), Press(dialog, "cmdHelp"); };
    }
    const ServerSettings& Copies() const { return window->Core().Settings(); }

    bool topmostWhileOpen = true;
};

TEST_F(GuiSettingsTest, PortConfirmedWithOkIsUsedAtTheNextStartAndStaysInTheBox)
{
    const QString port = QString::number(FourDigitFreePort());
    Edit("mnuHTTP", TypeAndOk("txtSCKPort", port));
    EXPECT_FALSE(topmostWhileOpen);
    EXPECT_TRUE(window->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
    Trigger("mnuStart");
    EXPECT_EQ(window->Core().ListeningPort(), port.toUShort());
    Trigger("mnuStart");
    Edit("mnuHTTP", [&](QDialog* dialog) { EXPECT_EQ(Box(dialog, "txtSCKPort")->text(), port); });
}

TEST_F(GuiSettingsTest, CloseBoxCancelsAndDefaultWritesTheBuiltInTexts)
{
    Edit("mnuHTTP", TypeAndOk("txtSCKPort", QStringLiteral("9000")));
    Edit("mnuHTTP", Type("txtSCKPort", "1234"));
    EXPECT_EQ(Copies().SCKPort, QStringLiteral("9000"));
    Edit("mnuHTTP", [](QDialog* dialog) {
        EXPECT_EQ(Box(dialog, "txtSCKPort")->text(), QStringLiteral("9000"));
        Press(dialog, "cmdDefault");
        Press(dialog, "cmdHelp");
    });
    EXPECT_EQ(Copies().SCKPort, QStringLiteral("8085"));

    Edit("mnuSerial", [](QDialog* dialog) {
        Box(dialog, "txtCOMPort")->setText(QStringLiteral("3"));
        TypeAndOk("txtCOMSettings", QStringLiteral("115200,n,8,1"))(dialog);
    });
    Edit("mnuSerial", [](QDialog* dialog) { Press(dialog, "cmdDefault"); });
    EXPECT_EQ(Copies().COMPort, QStringLiteral("3"));
    EXPECT_EQ(Copies().COMSettings, QStringLiteral("115200,n,8,1"));
    Edit("mnuSerial", [](QDialog* dialog) { EXPECT_EQ(Box(dialog, "txtCOMPort")->text(), QStringLiteral("3")); });
}

TEST_F(GuiSettingsTest, BoxesLimitTheirTextInTabOrderAndEscapeDoesNothing)
{
    const std::vector<std::pair<const char*, std::vector<std::pair<const char*, int>>>> dialogs{
        {"mnuHTTP", {{"txtSCKPort", 4}}},
        {"mnuSerial", {{"txtCOMPort", 2}, {"txtCOMSettings", 60}}},
    };
    for (const auto& [item, boxes] : dialogs) {
        Edit(item, [&](QDialog* dialog) {
            for (const auto& [name, longest] : boxes) {
                EXPECT_EQ(dialog->focusWidget(), Box(dialog, name)) << name;
                QTest::keyClicks(dialog->focusWidget(), QString(60, QLatin1Char('7')));
                EXPECT_EQ(Box(dialog, name)->text().size(), longest) << name;
                QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
            }
            EXPECT_EQ(dialog->focusWidget()->objectName(), QStringLiteral("cmdHelp"));
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(dialog->focusWidget()->objectName(), QStringLiteral("cmdDefault"));
            QTest::keyClick(dialog, Qt::Key_Escape);
            EXPECT_TRUE(dialog->isVisible());
        });
    }
}

} // namespace
} // namespace pontivo
