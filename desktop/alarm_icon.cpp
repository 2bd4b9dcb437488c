#include "desktop/alarm_icon.h"

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace {

QImage Tinted(QImage image) {
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int gray = qGray(line[x]);
            // Dark parts stay dark red, light parts become light red: the outline survives the tint.
            line[x] = qRgba(128 + gray / 2, gray / 4, gray / 4, qAlpha(line[x]));
        }
    }
    return image;
}

}  // namespace

QIcon RedTinted(const QIcon& icon) {
    QIcon tinted;
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty()) sizes << QSize(32, 32);
    for (const QSize& size : sizes) tinted.addPixmap(QPixmap::fromImage(Tinted(icon.pixmap(size).toImage())));
    return tinted;
}
