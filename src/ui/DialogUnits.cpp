#include "ui/DialogUnits.h"

#include <QFontMetrics>

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    // The average width of the Latin letters, rounded to the nearest pixel.
    int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (letters / 26 + 1) / 2;
    baseY_ = metrics.height();
}

QRect DialogUnits::Rect(int left, int top, int width, int height) const {
    return QRect(X(left), Y(top), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

QFont DialogFont(const QFont& systemFont) {
    QFont font = systemFont;
    font.setPointSize(9);
    return font;
}
