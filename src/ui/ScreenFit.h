// ScreenFit keeps windows usable on small and dense screens (a netbook, or a
// laptop at scale factor 2): a window opens at the size it was designed for
// only where the screen has room, and content that cannot shrink with it
// scrolls inside the window, so every control stays reachable and no title
// bar is pushed off the screen.
#pragma once

#include <QScrollArea>
#include <QSize>

class QWidget;

// Resizes window to wanted, cut to the free area of the screen it is on
// (less room for the frame the window manager adds).
void ResizeWithinScreen(QWidget& window, QSize wanted);

// A frameless scroll area that shows page at full size where there is room
// and scrolls it where there is not. The area owns page.
QScrollArea* ScrollingPage(QWidget* page);
