#include "desktop/ShortcutLinks.h"

#include "desktop/Twips.h"

#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>

#include <algorithm>

namespace pontivo {

ShortcutLinks::ShortcutLinks(std::function<QString()> httpPort, std::function<void(const QString&)> openUrl,
                             QWidget* parent)
    : QWidget(parent)
    , m_httpPort(std::move(httpPort))
    , m_openUrl(std::move(openUrl))
{
    setObjectName(QStringLiteral("shortcutLinks"));
    setAutoFillBackground(true);
    QPalette strip = palette();
    strip.setColor(QPalette::Window, Qt::white);
    strip.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(strip);
    addLink("testLink", 120, tr("Test"), [this] { openPath(QStringLiteral("/")); });
    addLink("examplesLink", 960, tr("Examples"), [this] { openPath(QStringLiteral("/files/examples/")); });
    addLink("apisLink", 2040, tr("APIs"), [this] { openPath(QStringLiteral("/files/examples/pontivo_apis.html")); });
    addLink("getLink", 2760, tr("Get"), [this] { openPath(QStringLiteral("/get/")); });
    addLink("resetLink", 3480, tr("Reset"), [this] { confirmReset(); });
    addLink("helpLink", 4320, tr("Help"), nullptr);
}

void ShortcutLinks::addLink(const char* name, int leftTwips, const QString& caption, std::function<void()> action)
{
    auto* label = new QLabel(caption, this);
    label->setObjectName(QString::fromLatin1(name));
    label->move(px(leftTwips), 0);
    label->adjustSize();
    if (action) {
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
    }
    m_links.push_back({label, std::move(action)});
}

bool ShortcutLinks::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return QWidget::eventFilter(watched, event);
    const auto link = std::find_if(m_links.cbegin(), m_links.cend(),
                                   [watched](const Link& candidate) { return candidate.label == watched; });
    const auto* release = static_cast<QMouseEvent*>(event);
    if (link == m_links.cend() || release->button() != Qt::LeftButton ||
        !link->label->rect().contains(release->position().toPoint()))
        return false;
    link->action();
    return true;
}

void ShortcutLinks::openPath(const QString& path)
{
    m_openUrl(QStringLiteral("http://localhost:") + m_httpPort() + path);
}

// Reset empties every variable, so it asks first.
void ShortcutLinks::confirmReset()
{
    QMessageBox question(QMessageBox::Warning, window()->windowTitle(),
                         tr("Are you sure you want to reset all variables?"), QMessageBox::Yes | QMessageBox::No,
                         window());
    if (question.exec() == QMessageBox::Yes)
        openPath(QStringLiteral("/reset/"));
}

} // namespace pontivo
