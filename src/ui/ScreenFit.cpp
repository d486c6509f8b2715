#include "ui/ScreenFit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QWidget>

#include <algorithm>

void ResizeWithinScreen(QWidget& window, QSize wanted) {
    QScreen* screen = window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        window.resize(wanted);
        return;
    }
    // The frame is not known before the window manager has drawn it: a title
    // bar and a border on each side, as the style draws them.
    const QStyle* style = window.style();
    const int border = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &window) * 2;
    const int title = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window);
    const QSize room = screen->availableGeometry().size() - QSize(border, title + border);
    window.resize(std::min(wanted.width(), room.width()), std::min(wanted.height(), room.height()));
}

namespace {

// Gives its page all the room there is, and never less than the page's
// minimum: what does not fit scrolls. (A resizable QScrollArea holds a page
// with wrapping labels at its preferred height instead, which scrolls a
// window that has room enough for everything.)
class FittingScrollArea : public QScrollArea {
protected:
    void resizeEvent(QResizeEvent* event) override {
        Fit();
        QScrollArea::resizeEvent(event);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget() && event->type() == QEvent::LayoutRequest) Fit();
        return QScrollArea::eventFilter(watched, event);
    }

private:
    void Fit() {
        QWidget* page = widget();
        if (page == nullptr) return;
        const QSize least = page->minimumSizeHint().expandedTo(page->minimumSize());
        const QSize area = contentsRect().size();
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
        bool vertical = least.height() > area.height();
        const bool horizontal = least.width() > area.width() - (vertical ? bar : 0);
        if (horizontal && !vertical) vertical = least.height() > area.height() - bar;
        const QSize room(area.width() - (vertical ? bar : 0), area.height() - (horizontal ? bar : 0));
        page->resize(room.expandedTo(least));
    }
};

}  // namespace

QScrollArea* ScrollingPage(QWidget* page) {
    auto* area = new FittingScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    // Tab goes from control to control as before; the area only follows.
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(page);
    return area;
}
