// PaletteColours derives every colour the windows draw themselves from the
// widget's palette, so marks follow the desktop's style: light marks under
// a dark style, dark ones under a light style, each readable on the
// palette's background. Nothing here names a fixed background or text
// colour.
#pragma once

#include <QColor>
#include <QPalette>

// The WCAG contrast ratio of two colours, from 1 (equal) to 21.
double ContrastRatio(const QColor& a, const QColor& b);

// The background of the list row being probed: the list's Base tinted toward
// Highlight, as far as the palette's Text stays readable on it.
QColor ProbingRowBackground(const QPalette& palette);

// A colour of the given hue (0-359) that stands out on background with at
// least ratio contrast: darker on a light background, lighter on a dark one.
QColor HueOn(int hue, const QColor& background, double ratio);

// The colour of an error message on the palette's Window.
QColor ErrorText(const QPalette& palette);
