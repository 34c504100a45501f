#include "SettingsDialog.h"

#include "Twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pontivo {

SettingsDialog::SettingsDialog(const QString& caption, QSize clientTwips, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(caption);
    setFixedSize(Px(clientTwips.width()), Px(clientTwips.height()));
}

QLineEdit* SettingsDialog::AddBox(const char* labelName, const QString& labelText, QPoint labelTwips,
                                  const char* boxName, QRect boxTwips, const QString& defaultText, int maxLength)
{
    auto* label = new QLabel(labelText, this);
    label->setObjectName(QString::fromLatin1(labelName));
    label->move(Px(labelTwips.x()), Px(labelTwips.y()));
    label->adjustSize();
    auto* box = new QLineEdit(defaultText, this);
    box->setObjectName(QString::fromLatin1(boxName));
    box->setGeometry(TwipRect(boxTwips.x(), boxTwips.y(), boxTwips.width(), boxTwips.height()));
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    label->setBuddy(box);
    if (!m_boxes.empty())
        setTabOrder(m_boxes.back().edit, box);
    m_boxes.push_back({box, defaultText, defaultText});
    return box;
}

void SettingsDialog::AddButtons(int topTwips)
{
    auto* cmdHelp = new QPushButton(QStringLiteral("OK"), this);
    cmdHelp->setObjectName(QStringLiteral("cmdHelp"));
    cmdHelp->setGeometry(TwipRect(1665, topTwips, 1215, 495));
    cmdHelp->setDefault(true);
    auto* cmdDefault = new QPushButton(QStringLiteral("Default"), this);
    cmdDefault->setObjectName(QStringLiteral("cmdDefault"));
    cmdDefault->setGeometry(TwipRect(240, topTwips, 1215, 495));
    setTabOrder(m_boxes.back().edit, cmdHelp);
    setTabOrder(cmdHelp, cmdDefault);
    connect(cmdHelp, &QPushButton::clicked, this, &SettingsDialog::cmdHelp_Click);
    connect(cmdDefault, &QPushButton::clicked, this, &SettingsDialog::cmdDefault_Click);
}

void SettingsDialog::showEvent(QShowEvent* event)
{
    for (Box& box : m_boxes)
        box.whenOpened = box.edit->text();
    m_boxes.front().edit->setFocus();
    QDialog::showEvent(event);
}

void SettingsDialog::keyPressEvent(QKeyEvent* event)
{
    // There is no Cancel button; Escape must not act as the close box.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void SettingsDialog::reject()
{
    for (const Box& box : m_boxes)
        box.edit->setText(box.whenOpened);
    QDialog::reject();
}

void SettingsDialog::cmdHelp_Click()
{
    accept();
}

void SettingsDialog::cmdDefault_Click()
{
    for (const Box& box : m_boxes)
        box.edit->setText(box.defaultText);
}

} // namespace pontivo
