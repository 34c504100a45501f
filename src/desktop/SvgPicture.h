#pragma once

#include <QIcon>
#include <QSvgRenderer>
#include <QWidget>

namespace pontivo {

// An image control: draws its picture at the picture's own size from the top-left corner,
// as vectors, so it stays sharp at any device pixel ratio.
class SvgPicture : public QWidget {
    Q_OBJECT

public:
    explicit SvgPicture(const QString& resource, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSvgRenderer m_renderer;
};

// An icon rendered from the picture at the sizes desktops ask for.
QIcon svgIcon(const QString& resource);

} // namespace pontivo
