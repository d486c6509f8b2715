#include "ui/HistoryChart.h"

#include <QDateTime>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "ui/PaletteColours.h"

namespace {

constexpr double kLeft = 64, kRight = 18, kTop = 34, kBottom = 34, kLaneHeight = 18;

// Hues apart enough for a handful of candidates; more repeat. Red is kept
// for failures.
constexpr int kSeriesHues[] = {210, 120, 275, 30, 185, 330, 55, 160};
constexpr int kFailHue = 0;
// Lines and marks against the plot's background: as for text, since each
// line is read against its name in the legend.
constexpr double kLineRatio = 4.5;

// A scale top of 1, 2 or 5 times a power of ten, at or above cost.
int32_t NiceTop(int32_t cost) {
    int64_t step = 1;
    while (true) {
        for (int64_t factor : {1, 2, 5})
            if (step * factor >= cost) return static_cast<int32_t>(step * factor);
        step *= 10;
    }
}

QString TimeText(int64_t time) {
    return QDateTime::fromMSecsSinceEpoch(time).toString("MM/dd HH:mm");
}

}  // namespace

// Each hue in the lightness that stands out on the palette's Base.
QColor HistoryChart::SeriesColour(std::size_t index) const {
    const int hue = kSeriesHues[index % (sizeof kSeriesHues / sizeof kSeriesHues[0])];
    return HueOn(hue, palette().color(QPalette::Active, QPalette::Base), kLineRatio);
}

QColor HistoryChart::FailColour() const {
    return HueOn(kFailHue, palette().color(QPalette::Active, QPalette::Base), kLineRatio);
}

HistoryChart::HistoryChart(QWidget* parent) : QWidget(parent) {
    // Small enough for a 1280 x 720 screen at scale factor 2.
    setMinimumSize(320, 180);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

void HistoryChart::SetTexts(const QString& emptyText, const QString& inUseText) {
    emptyText_ = emptyText;
    inUseText_ = inUseText;
    update();
}

void HistoryChart::SetData(HistoryChartData data) {
    data_ = std::move(data);
    scaleCost_ = NiceTop(std::max<int32_t>(data_.maxCost, 1));
    update();
}

QRectF HistoryChart::FailLane() const {
    return QRectF(kLeft, kTop, width() - kLeft - kRight, kLaneHeight);
}

QRectF HistoryChart::PlotArea() const {
    return QRectF(kLeft, kTop + kLaneHeight + 6, width() - kLeft - kRight,
                  height() - kTop - kLaneHeight - 6 - kBottom);
}

// One run alone stands in the middle.
double HistoryChart::XOf(int64_t time) const {
    QRectF plot = PlotArea();
    if (data_.lastTime == data_.firstTime) return plot.center().x();
    double share = static_cast<double>(time - data_.firstTime) /
                   static_cast<double>(data_.lastTime - data_.firstTime);
    return plot.left() + share * plot.width();
}

double HistoryChart::YOf(int32_t cost) const {
    QRectF plot = PlotArea();
    return plot.bottom() - plot.height() * static_cast<double>(cost) / scaleCost_;
}

void HistoryChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (data_.Empty()) {
        painter.drawText(rect(), Qt::AlignCenter, emptyText_);
        return;
    }
    DrawFailedRuns(painter);
    DrawAxes(painter);
    // The connection in use last, so no other line hides it.
    for (std::size_t i = 0; i < data_.series.size(); ++i)
        if (!data_.series[i].inUse) DrawSeries(painter, data_.series[i], SeriesColour(i));
    for (std::size_t i = 0; i < data_.series.size(); ++i)
        if (data_.series[i].inUse) DrawSeries(painter, data_.series[i], SeriesColour(i));
    DrawLegend(painter);
}

void HistoryChart::DrawAxes(QPainter& painter) const {
    QRectF plot = PlotArea();
    QPen grid(palette().color(QPalette::Mid), 1, Qt::DotLine);
    QPen text(palette().color(QPalette::Text));
    for (int step = 0; step <= 4; ++step) {
        int32_t cost = scaleCost_ * step / 4;
        double y = YOf(cost);
        painter.setPen(grid);
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(text);
        painter.drawText(QRectF(0, y - 9, kLeft - 6, 18), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(cost) + " ms");
    }
    QRectF lane = FailLane();
    painter.setPen(text);
    painter.drawText(QRectF(0, lane.top(), kLeft - 6, lane.height()),
                     Qt::AlignRight | Qt::AlignVCenter, "FAILD");
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawRect(lane);
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.drawLine(plot.bottomLeft(), plot.topLeft());

    painter.setPen(text);
    int labels = data_.lastTime == data_.firstTime ? 1 : 4;
    for (int i = 0; i < labels; ++i) {
        int64_t time = labels == 1 ? data_.firstTime
                                   : data_.firstTime + (data_.lastTime - data_.firstTime) * i / (labels - 1);
        double x = XOf(time);
        Qt::Alignment align = i == 0 && labels > 1   ? Qt::AlignLeft
                              : i == labels - 1 && labels > 1 ? Qt::AlignRight
                                                               : Qt::AlignHCenter;
        double left = align == Qt::AlignLeft ? x : align == Qt::AlignRight ? x - 120 : x - 60;
        painter.drawText(QRectF(left, plot.bottom() + 6, 120, 20), align | Qt::AlignTop,
                         TimeText(time));
    }
}

void HistoryChart::DrawFailedRuns(QPainter& painter) const {
    QRectF plot = PlotArea();
    QColor band = FailColour();
    band.setAlpha(60);
    for (int64_t run : data_.failedRuns) {
        double x = XOf(run);
        painter.fillRect(QRectF(x - 3, FailLane().top(), 6, plot.bottom() - FailLane().top()), band);
    }
}

void HistoryChart::DrawSeries(QPainter& painter, const ChartSeries& series,
                              const QColor& colour) const {
    QPen line(colour, series.inUse ? 3.5 : 1.5);
    QPainterPath path;
    bool open = false;
    for (const ChartPoint& p : series.points) {
        if (p.LinkCost < 0) {
            open = false;  // a failure breaks the line
            continue;
        }
        QPointF at(XOf(p.time), YOf(p.LinkCost));
        if (open)
            path.lineTo(at);
        else
            path.moveTo(at);
        open = true;
    }
    painter.setPen(line);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.setBrush(colour);
    double dot = series.inUse ? 3.5 : 2.5;
    for (const ChartPoint& p : series.points)
        if (p.LinkCost >= 0) painter.drawEllipse(QPointF(XOf(p.time), YOf(p.LinkCost)), dot, dot);

    // Crosses in the lane, in the series' colour, so a candidate that fails
    // now and then can be told from one that never works.
    double mid = FailLane().center().y();
    for (const ChartPoint& p : series.points) {
        if (p.LinkCost >= 0) continue;
        double x = XOf(p.time);
        painter.setPen(QPen(colour, series.inUse ? 3 : 2));
        painter.drawLine(QPointF(x - 5, mid - 5), QPointF(x + 5, mid + 5));
        painter.drawLine(QPointF(x - 5, mid + 5), QPointF(x + 5, mid - 5));
    }
}

void HistoryChart::DrawLegend(QPainter& painter) const {
    double x = kLeft;
    QFont normal = font();
    QFont bold = font();
    bold.setBold(true);
    for (std::size_t i = 0; i < data_.series.size(); ++i) {
        const ChartSeries& series = data_.series[i];
        QString label = QString::fromStdString(series.Code) + (series.inUse ? " (" + inUseText_ + ")" : "");
        painter.setFont(series.inUse ? bold : normal);
        painter.setPen(QPen(SeriesColour(i), series.inUse ? 3.5 : 2));
        painter.drawLine(QPointF(x, 16), QPointF(x + 18, 16));
        painter.setPen(palette().color(QPalette::Text));
        QRectF box(x + 24, 6, painter.fontMetrics().horizontalAdvance(label) + 4, 20);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, label);
        x = box.right() + 16;
    }
    painter.setFont(normal);
}
