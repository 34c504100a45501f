#pragma once

#include <QPoint>
#include <QRect>

namespace pontivo {

// The window's measures are kept in twips, 15 to a pixel at the standard resolution; Qt
// scales the resulting logical pixels by the screen's device pixel ratio.
constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips)
{
    return twips / kTwipsPerPixel;
}

constexpr QPoint TwipPoint(int x, int y)
{
    return {Px(x), Px(y)};
}

constexpr QRect TwipRect(int left, int top, int width, int height)
{
    return {Px(left), Px(top), Px(width), Px(height)};
}

} // namespace pontivo
