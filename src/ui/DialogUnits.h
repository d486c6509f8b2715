// DialogUnits places a dialog's controls the way its layout was designed: in
// dialog units, a quarter of the dialog font's average character width
// across and an eighth of its height down, so the dialog grows with its font
// instead of cutting off captions.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    QRect Rect(int left, int top, int width, int height) const;
    QSize Size(int width, int height) const;

private:
    int X(int units) const { return units * baseX_ / 4; }
    int Y(int units) const { return units * baseY_ / 8; }

    int baseX_;
    int baseY_;
};

// The font every dialog of the program uses: the system's, at 9 points.
QFont DialogFont(const QFont& systemFont);
