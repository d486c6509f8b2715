#include "ui/HistoryChartData.h"

#include <algorithm>

namespace {

std::vector<std::string> CodesOf(const std::vector<HistoryRecord>& records) {
    std::vector<std::string> codes;
    for (const HistoryRecord& r : records)
        if (std::find(codes.begin(), codes.end(), r.Code) == codes.end()) codes.push_back(r.Code);
    return codes;
}

// Records of one run stand together and share its time.
std::vector<int64_t> FailedRuns(const std::vector<HistoryRecord>& records) {
    std::vector<int64_t> failed;
    for (std::size_t first = 0; first < records.size();) {
        std::size_t end = first;
        bool anyPassed = false;
        for (; end < records.size() && records[end].time == records[first].time; ++end)
            anyPassed = anyPassed || records[end].LinkCost >= 0;
        if (!anyPassed) failed.push_back(records[first].time);
        first = end;
    }
    return failed;
}

}  // namespace

HistoryChartData MakeHistoryChartData(const std::vector<HistoryRecord>& records,
                                      const std::vector<std::string>& candidates,
                                      const std::string& inUse) {
    HistoryChartData data;
    for (const std::string& code : candidates.empty() ? CodesOf(records) : candidates) {
        ChartSeries series;
        series.Code = code;
        series.inUse = code == inUse;
        data.series.push_back(std::move(series));
    }
    for (const HistoryRecord& r : records) {
        auto series = std::find_if(data.series.begin(), data.series.end(),
                                   [&](const ChartSeries& s) { return s.Code == r.Code; });
        if (series == data.series.end()) continue;
        series->points.push_back({r.time, r.LinkCost});
        data.maxCost = std::max(data.maxCost, r.LinkCost);
        data.firstTime = data.firstTime == 0 ? r.time : std::min(data.firstTime, r.time);
        data.lastTime = std::max(data.lastTime, r.time);
    }
    for (int64_t run : FailedRuns(records))
        if (run >= data.firstTime && run <= data.lastTime) data.failedRuns.push_back(run);
    return data;
}
