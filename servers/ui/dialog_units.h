#pragma once

#include <QRect>
#include <QSize>

// The dialogs keep the layout of their templates, written in dialog units: a quarter of the dialog font's
// average character width across and an eighth of its height down, 7/4 and 15/8 pixels with the default font.
namespace dialog_units {

constexpr int ToPixelsX(int x) {
    return x * 7 / 4;
}
constexpr int ToPixelsY(int y) {
    return y * 15 / 8;
}

constexpr QSize Size(int width, int height) {
    return {ToPixelsX(width), ToPixelsY(height)};
}
constexpr QRect Rect(int x, int y, int width, int height) {
    return {ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height)};
}

}  // namespace dialog_units
