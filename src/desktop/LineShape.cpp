#include "desktop/LineShape.h"

#include <QPainter>

namespace pontivo {

LineShape::LineShape(QPoint from, QPoint to, const QColor& colour, int width, QWidget* parent)
    : QWidget(parent)
    , m_from(from)
    , m_to(to)
    , m_colour(colour)
    , m_width(width)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // Room for the pen's round ends beyond the end points.
    setGeometry(QRect(from, to).normalized().adjusted(-width, -width, width, width));
}

void LineShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, m_width > 1);
    painter.setPen(QPen(m_colour, m_width, Qt::SolidLine, Qt::RoundCap));
    painter.translate(-pos());
    painter.drawLine(m_from, m_to);
}

} // namespace pontivo
