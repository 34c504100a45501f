#pragma once

#include <QDialog>

#include <vector>

class QAbstractButton;
class QDialogButtonBox;
class QLineEdit;

namespace pontivo {

// What the two settings dialogs share: labelled text boxes, "OK" that keeps the typed
// texts, "Default" that puts the built-in texts back, and a close box that cancels.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    SettingsDialog(const QString& title, QSize clientTwips, QWidget* parent);

    // The close box: the boxes go back to what they held when the dialog opened.
    void reject() override;

protected:
    // Call in tab order. A maxLength of 0 leaves the box unlimited.
    QLineEdit* addBox(const char* labelName, const QString& labelText, QPoint labelTwips, const char* boxName,
                      QRect boxTwips, const QString& defaultText, int maxLength);
    // "Default" at the left, "OK" at the right, after the boxes in tab order.
    void addButtons(int topTwips);

    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void onButtonClicked(QAbstractButton* button);

private:
    void restoreDefaults();

    struct Box {
        QLineEdit* edit;
        QString defaultText;
        QString whenOpened;
    };
    std::vector<Box> m_boxes;
    QDialogButtonBox* m_buttons = nullptr;
};

} // namespace pontivo
