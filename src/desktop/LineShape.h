#pragma once

#include <QColor>
#include <QWidget>

namespace pontivo {

// A line control: a straight line between two points of its parent, drawn over whatever
// lies beneath and transparent to the mouse.
class LineShape : public QWidget {
    Q_OBJECT

public:
    LineShape(QPoint from, QPoint to, const QColor& colour, int width, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint m_from;
    QPoint m_to;
    QColor m_colour;
    int m_width;
};

} // namespace pontivo
