#include "desktop/SettingsDialog.h"

#include "desktop/Twips.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>

namespace pontivo {
namespace {

constexpr int kOkLeftTwips = 1665;
constexpr int kDefaultLeftTwips = 240;
constexpr QSize kButtonTwips(1215, 495);

QPushButton* addButton(QDialogButtonBox* box, QDialogButtonBox::StandardButton which, const char* name,
                       const QString& text)
{
    QPushButton* button = box->addButton(which);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(text);
    // Some desktops' themes give standard buttons icons; these buttons never had any.
    button->setIcon(QIcon());
    button->setFixedSize(px(kButtonTwips.width()), px(kButtonTwips.height()));
    return button;
}

} // namespace

SettingsDialog::SettingsDialog(const QString& title, QSize clientTwips, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(title);
    setFixedSize(px(clientTwips.width()), px(clientTwips.height()));
}

QLineEdit* SettingsDialog::addBox(const char* labelName, const QString& labelText, QPoint labelTwips,
                                  const char* boxName, QRect boxTwips, const QString& defaultText, int maxLength)
{
    auto* label = new QLabel(labelText, this);
    label->setObjectName(QString::fromLatin1(labelName));
    label->move(px(labelTwips.x()), px(labelTwips.y()));
    label->adjustSize();
    auto* box = new QLineEdit(defaultText, this);
    box->setObjectName(QString::fromLatin1(boxName));
    box->setGeometry(twipRect(boxTwips.x(), boxTwips.y(), boxTwips.width(), boxTwips.height()));
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    label->setBuddy(box);
    if (!m_boxes.empty())
        setTabOrder(m_boxes.back().edit, box);
    m_boxes.push_back({box, defaultText, defaultText});
    return box;
}

void SettingsDialog::addButtons(int topTwips)
{
    // Every platform's order puts the reset button at the left, the accept button at the
    // right and a stretch between, so the box spanning both keeps each button in its place.
    m_buttons = new QDialogButtonBox(this);
    m_buttons->setObjectName(QStringLiteral("buttonBox"));
    m_buttons->setGeometry(twipRect(kDefaultLeftTwips, topTwips,
                                    kOkLeftTwips + kButtonTwips.width() - kDefaultLeftTwips, kButtonTwips.height()));
    m_buttons->layout()->setContentsMargins(0, 0, 0, 0);
    QPushButton* ok = addButton(m_buttons, QDialogButtonBox::Ok, "okButton", tr("OK"));
    QPushButton* restore = addButton(m_buttons, QDialogButtonBox::RestoreDefaults, "defaultButton", tr("Default"));
    ok->setDefault(true);
    setTabOrder(m_boxes.back().edit, ok);
    setTabOrder(ok, restore);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(m_buttons, &QDialogButtonBox::clicked, this, &SettingsDialog::onButtonClicked);
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

void SettingsDialog::onButtonClicked(QAbstractButton* button)
{
    if (m_buttons->buttonRole(button) == QDialogButtonBox::ResetRole)
        restoreDefaults();
}

void SettingsDialog::restoreDefaults()
{
    for (const Box& box : m_boxes)
        box.edit->setText(box.defaultText);
}

} // namespace pontivo
