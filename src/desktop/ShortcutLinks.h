#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QLabel;

namespace pontivo {

// The strip of links to the running server's own pages. It lies over the red status
// line and is shown only while the server runs, so the port it reads is the one served.
class ShortcutLinks : public QWidget {
    Q_OBJECT

public:
    ShortcutLinks(std::function<QString()> httpPort, std::function<void(const QString&)> openUrl,
                  QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A link without an action is shown but does nothing.
    void addLink(const char* name, int leftTwips, const QString& caption, std::function<void()> action);
    void openPath(const QString& path);
    void confirmReset();

    struct Link {
        QLabel* label;
        std::function<void()> action;
    };
    std::vector<Link> m_links;
    std::function<QString()> m_httpPort;
    std::function<void(const QString&)> m_openUrl;
};

} // namespace pontivo
