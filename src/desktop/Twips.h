#pragma once

#include <QPoint>
#include <QRect>

namespace pontivo {

// The window's measures are kept in twips, 15 to a pixel at the standard resolution; Qt
// scales the resulting logical pixels by the screen's device pixel ratio.
constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips)
{
    return twips / kTwipsPerPixel;
}

constexpr QPoint twipPoint(int x, int y)
{
    return {px(x), px(y)};
}

constexpr QRect twipRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

} // namespace pontivo
