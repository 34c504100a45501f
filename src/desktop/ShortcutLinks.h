#pragma once

#include <QWidget>

#include <functional>

class QLabel;

namespace pontivo {

// The strip of links to the running server's own pages. It lies over the red status
// line and is shown only while the server runs, so the port it reads is the one served.
class ShortcutLinks : public QWidget {
    Q_OBJECT

public:
    ShortcutLinks(std::function<QString()> sckPort, std::function<void(const QString&)> openUrl,
                  QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OpenPath(const QString& path);
    void Label7_Click();

    std::function<QString()> m_sckPort;
    std::function<void(const QString&)> m_openUrl;
};

} // namespace pontivo
