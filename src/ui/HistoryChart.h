// HistoryChart draws the speed history with QPainter: one line per candidate,
// its cost in milliseconds over time, the connection in use drawn thick and
// named in bold in the legend. A candidate's failed runs are crosses in its
// colour in the "FAILD" lane above the plot, and a run in which every
// candidate failed is a red band across the whole plot, so failures stand out
// however rare.
#pragma once

#include <QWidget>

#include "ui/HistoryChartData.h"

class HistoryChart : public QWidget {
    Q_OBJECT

public:
    explicit HistoryChart(QWidget* parent = nullptr);

    // emptyText: shown when there is nothing to draw; inUseText: beside the
    // connection in use in the legend.
    void SetTexts(const QString& emptyText, const QString& inUseText);
    void SetData(HistoryChartData data);
    const HistoryChartData& Data() const { return data_; }

    QSize sizeHint() const override { return {640, 360}; }

    // The colours drawn with, from the widget's palette: the candidate at
    // index's line and marks, and the failures' band.
    QColor SeriesColour(std::size_t index) const;
    QColor FailColour() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRectF PlotArea() const;
    QRectF FailLane() const;
    double XOf(int64_t time) const;
    double YOf(int32_t cost) const;
    void DrawAxes(QPainter& painter) const;
    void DrawFailedRuns(QPainter& painter) const;
    void DrawSeries(QPainter& painter, const ChartSeries& series, const QColor& colour) const;
    void DrawLegend(QPainter& painter) const;

    HistoryChartData data_;
    QString emptyText_;
    QString inUseText_;
    int32_t scaleCost_ = 1;  // the cost at the top of the plot
};
