#include "ui/PaletteColours.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kTextRatio = 4.5;    // ordinary text
constexpr double kProbingTint = 0.35; // how far toward Highlight, at most
constexpr int kErrorHue = 0;

double Channel(double value) {
    value /= 255.0;
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& c) {
    return 0.2126 * Channel(c.red()) + 0.7152 * Channel(c.green()) + 0.0722 * Channel(c.blue());
}

QColor Blend(const QColor& from, const QColor& to, double share) {
    auto mix = [share](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * share)); };
    return QColor(mix(from.red(), to.red()), mix(from.green(), to.green()), mix(from.blue(), to.blue()));
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    double la = Luminance(a);
    double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ProbingRowBackground(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    for (double share = kProbingTint; share > 0.0; share -= 0.05) {
        QColor tinted = Blend(base, highlight, share);
        if (ContrastRatio(tinted, text) >= kTextRatio) return tinted;
    }
    return base;
}

QColor HueOn(int hue, const QColor& background, double ratio) {
    // From the middle toward the end away from the background, where black or
    // white give the most contrast any colour can.
    const bool darkBackground = Luminance(background) < 0.18;
    QColor colour;
    for (int lightness = 128; lightness >= 0 && lightness <= 255; lightness += darkBackground ? 8 : -8) {
        colour = QColor::fromHsl(hue, 200, lightness);
        if (ContrastRatio(colour, background) >= ratio) break;
    }
    return colour;
}

QColor ErrorText(const QPalette& palette) {
    return HueOn(kErrorHue, palette.color(QPalette::Active, QPalette::Window), kTextRatio);
}
