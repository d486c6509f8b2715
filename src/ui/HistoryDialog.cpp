#include "ui/HistoryDialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "catalogue/DetectHistory.h"
#include "core/MessageTable.h"
#include "ui/ScreenFit.h"

HistoryDialog::HistoryDialog(CatalogueContext& ctx, QWidget* parent)
    : QDialog(parent), ctx_(ctx), chart_(new HistoryChart(this)) {
    setObjectName("HistoryDialog");
    setWindowTitle(QString::fromUtf8(GetMessageText(ctx_, "MSG_HISTORY_TITLE")));
    chart_->setObjectName("HistoryChart");
    chart_->SetTexts(QString::fromUtf8(GetMessageText(ctx_, "MSG_HISTORY_EMPTY")),
                     QString::fromUtf8(GetMessageText(ctx_, "MSG_HISTORY_INUSE")));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(chart_, 1);
    layout->addWidget(buttons);
    ResizeWithinScreen(*this, QSize(720, 420));
}

void HistoryDialog::Refresh(const std::vector<std::string>& candidates, const std::string& inUse) {
    std::vector<HistoryRecord> records;
    ReadDetectHistory(ctx_, records);  // a missing history shows as an empty chart
    chart_->SetData(MakeHistoryChartData(records, candidates, inUse));
}
