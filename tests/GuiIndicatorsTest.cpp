#include "GuiTestSupport.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

namespace pontivo {
namespace {

using namespace pontivo::testing;

class GuiIndicatorsTest : public GuiTest {};

TEST_F(GuiIndicatorsTest, ARequestLightsArrowsZeroAndOneAndTheirTimersPutThemOut)
{
    Trigger("mnuStart");
    std::vector<int> litAndShown;
    QElapsedTimer sinceLit;
    // Connected after the window's own connection, so it sees the arrow just lit.
    QObject::connect(&window->Core(), &ServerCore::arrowLit, window.get(), [&](int index) {
        if (Lit(("ImgArrow" + std::to_string(index)).c_str()))
            litAndShown.push_back(index);
        sinceLit.start();
    });
    auto client = StartClient(window->Core().ListeningPort(), {{{"GET /test HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(BodyOf(Await(client).received), "OK");
    RunEventsFor(100);
    EXPECT_EQ(litAndShown, (std::vector<int>{0, 1}));

    // The real 3 s timers, running since start-up and never restarted.
    while (sinceLit.elapsed() < 3250 && (Lit("ImgArrow0") || Lit("ImgArrow1")))
        RunEventsFor(20);
    for (const char* arrow : {"ImgArrow0", "ImgArrow1", "ImgArrow2", "ImgArrow3"})
        EXPECT_FALSE(Lit(arrow)) << arrow;
}

TEST_F(GuiIndicatorsTest, CrossLiesOverAMissingBoardUntilTheServerStops)
{
    Trigger("mnuStart");
    ASSERT_TRUE(window->Core().ServerRunning());
    EXPECT_TRUE(Lit("ardCrossLine0") && Lit("ardCrossLine1"));
    Trigger("mnuStart");
    EXPECT_FALSE(Lit("ardCrossLine0") || Lit("ardCrossLine1"));
}

TEST_F(GuiIndicatorsTest, LinksOpenTheServersPagesAndResetAsksFirst)
{
    SetHttpPort(QStringLiteral("8123"));
    const std::vector<std::pair<const char*, QStringList>> links{
        {"Label5", {"http://localhost:8123/"}},
        {"Label6", {"http://localhost:8123/files/examples/"}},
        {"Label8", {"http://localhost:8123/files/examples/pontivo_apis.html"}},
        {"lblCache", {"http://localhost:8123/get/"}},
        {"Label9", {}}, // Help does nothing
    };
    for (const auto& [label, urls] : links) {
        opened.clear();
        QTest::mouseClick(Find<QLabel>(label), Qt::LeftButton);
        EXPECT_EQ(opened, urls) << label;
    }
    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        opened.clear();
        QString asked;
        const ModalHandler onModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            asked = box->windowTitle() + QStringLiteral("|") + box->text();
            box->button(answer)->click();
        });
        QTest::mouseClick(Find<QLabel>("Label7"), Qt::LeftButton);
        EXPECT_EQ(asked, QStringLiteral("Pontivo 2.0|Are you sure you want to reset all variables?"));
        EXPECT_EQ(opened, answer == QMessageBox::Yes ? QStringList{"http://localhost:8123/reset/"} : QStringList());
    }
    opened.clear();
    Trigger("mnuWebsite");
    EXPECT_EQ(opened, QStringList{"https://www.example.com/pontivo/"});
}

} // namespace
} // namespace pontivo
