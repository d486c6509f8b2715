// HistoryDialog is the speed-history window opened from the main window: the
// chart of "detect_history.log" for the candidates the list shows, with the
// connection in use highlighted. It reads the file afresh each time it is
// refreshed; the file is replaced whole by each run, so no lock is needed.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "catalogue/CatalogueContext.h"
#include "ui/HistoryChart.h"

class HistoryDialog : public QDialog {
    Q_OBJECT

public:
    HistoryDialog(CatalogueContext& ctx, QWidget* parent = nullptr);

    // candidates: the list's codes in row order; inUse: the connection in use.
    void Refresh(const std::vector<std::string>& candidates, const std::string& inUse);

    HistoryChart* Chart() { return chart_; }

private:
    CatalogueContext& ctx_;
    HistoryChart* chart_;
};
