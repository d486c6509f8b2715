// ProgressRows shows a running detection in the connection list: the row of
// the candidate being probed is marked, and as each candidate's probes end
// its Speed cell shows the new cost, or "FAILD", at once. Rows are found by
// their Remark (the candidate's Code); a candidate the list does not show yet
// (the first run, or a new list) gets a row of its own at the end. The list is
// rebuilt from the result file when the run ends, which clears the marks.
#pragma once

#include <QTableWidget>

#include "core/DetectProgress.h"

// The columns as the main window lays them out.
inline constexpr int kSpeedColumn = 0;
inline constexpr int kRemarkColumn = 5;

// Applies one report to list; returns the row it changed.
int ShowProgress(QTableWidget& list, const DetectProgress& progress);

// Whether row carries the mark of the candidate being probed.
bool IsMarkedAsProbing(const QTableWidget& list, int row);
