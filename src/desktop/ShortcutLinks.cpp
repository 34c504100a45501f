#include "ShortcutLinks.h"

#include "Twips.h"

#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>

namespace pontivo {
namespace {

struct Link {
    const char* name;
    int leftTwips;
    const char* caption;
    const char* path; // null: the label does nothing
};

constexpr Link kLinks[] = {
    {"Label5", 120, "Test", "/"},
    {"Label6", 960, "Examples", "/files/examples/"},
    {"Label8", 2040, "APIs", "/files/examples/pontivo_apis.html"},
    {"lblCache", 2760, "Get", "/get/"},
    {"Label7", 3480, "Reset", "/reset/"},
    {"Label9", 4320, "Help", nullptr},
};

const char* PathOf(const QObject* label)
{
    for (const Link& link : kLinks) {
        if (label->objectName() == QLatin1String(link.name))
            return link.path;
    }
    return nullptr;
}

} // namespace

ShortcutLinks::ShortcutLinks(std::function<QString()> sckPort, std::function<void(const QString&)> openUrl,
                             QWidget* parent)
    : QWidget(parent)
    , m_sckPort(std::move(sckPort))
    , m_openUrl(std::move(openUrl))
{
    setObjectName(QStringLiteral("picActive"));
    setAutoFillBackground(true);
    QPalette strip = palette();
    strip.setColor(QPalette::Window, Qt::white);
    strip.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(strip);
    for (const Link& link : kLinks) {
        auto* label = new QLabel(QString::fromLatin1(link.caption), this);
        label->setObjectName(QString::fromLatin1(link.name));
        label->move(Px(link.leftTwips), 0);
        label->adjustSize();
        if (link.path) {
            label->setCursor(Qt::PointingHandCursor);
            label->installEventFilter(this);
        }
    }
}

bool ShortcutLinks::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return QWidget::eventFilter(watched, event);
    const auto* release = static_cast<QMouseEvent*>(event);
    const auto* label = qobject_cast<QLabel*>(watched);
    if (release->button() != Qt::LeftButton || !label || !label->rect().contains(release->position().toPoint()))
        return false;
    if (watched->objectName() == QLatin1String("Label7"))
        Label7_Click();
    else if (const char* path = PathOf(watched))
        OpenPath(QString::fromLatin1(path));
    return true;
}

void ShortcutLinks::OpenPath(const QString& path)
{
    m_openUrl(QStringLiteral("http://localhost:") + m_sckPort() + path);
}

// Reset empties every variable, so it asks first.
void ShortcutLinks::Label7_Click()
{
    QMessageBox question(QMessageBox::Warning, window()->windowTitle(),
                         QStringLiteral("Are you sure you want to reset all variables?"),
                         QMessageBox::Yes | QMessageBox::No, window());
    if (question.exec() == QMessageBox::Yes)
        OpenPath(QStringLiteral("/reset/"));
}

} // namespace pontivo
