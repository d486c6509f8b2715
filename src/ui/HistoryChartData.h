// HistoryChartData is what the speed-history chart draws, taken from the
// records of "detect_history.log": for each candidate of the list its cost run
// by run (failed runs kept as such), which one is the connection in use, and
// the runs in which every candidate failed. Kept apart from the drawing so
// that what the chart shows can be checked without looking at pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/DetectHistory.h"

struct ChartPoint {
    int64_t time = 0;      // the run's time, milliseconds since 1970
    int32_t LinkCost = 0;  // negative: the candidate failed in that run
};

struct ChartSeries {
    std::string Code;
    bool inUse = false;  // the connection the proxy uses now
    std::vector<ChartPoint> points;  // oldest first
};

struct HistoryChartData {
    std::vector<ChartSeries> series;  // one per candidate, in list order
    std::vector<int64_t> failedRuns;  // times of runs in which every candidate failed
    int64_t firstTime = 0;            // the oldest and newest run shown
    int64_t lastTime = 0;
    int32_t maxCost = 0;              // the highest measured cost shown, 0 when none

    bool Empty() const { return firstTime == 0 && lastTime == 0; }
};

// candidates: the codes of the list, in its order; when empty, every code of
// the history in the order first met. inUse: the Code of the connection in use.
HistoryChartData MakeHistoryChartData(const std::vector<HistoryRecord>& records,
                                      const std::vector<std::string>& candidates,
                                      const std::string& inUse);
