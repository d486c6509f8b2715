#include "ui/ProgressRows.h"

#include <QBrush>
#include <QFont>

#include "ui/PaletteColours.h"

namespace {

// The role that tells a marked row apart without reading its colours.
constexpr int kProbingRole = Qt::UserRole + 1;

int RowOf(const QTableWidget& list, const QString& code) {
    for (int row = 0; row < list.rowCount(); ++row) {
        const QTableWidgetItem* remark = list.item(row, kRemarkColumn);
        if (remark != nullptr && remark->text() == code) return row;
    }
    return -1;
}

void SetCell(QTableWidget& list, int row, int column, const QString& text) {
    QTableWidgetItem* item = list.item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        list.setItem(row, column, item);
    }
    item->setText(text);
}

int AddRow(QTableWidget& list, const DetectProgress& p) {
    int row = list.rowCount();
    list.setRowCount(row + 1);
    const QString cells[] = {QString(), QString::fromStdString(p.Dest), QString::number(p.Port[0]),
                             QString::number(p.Port[1]), QString::number(p.Port[2]),
                             QString::fromStdString(p.Code)};
    for (int column = 0; column < 6; ++column) SetCell(list, row, column, cells[column]);
    return row;
}

// The colours come from the list's palette, so that the mark reads in a dark
// style as well as in a light one.
void Mark(QTableWidget& list, int row, bool probing) {
    const QBrush background(ProbingRowBackground(list.palette()));
    const QBrush text(list.palette().color(QPalette::Active, QPalette::Text));
    for (int column = 0; column < list.columnCount(); ++column) {
        QTableWidgetItem* item = list.item(row, column);
        if (item == nullptr) continue;
        item->setData(kProbingRole, probing);
        item->setBackground(probing ? background : QBrush());
        item->setForeground(probing ? text : QBrush());
        QFont font = item->font();
        font.setBold(probing);
        item->setFont(font);
    }
}

}  // namespace

int ShowProgress(QTableWidget& list, const DetectProgress& progress) {
    QString code = QString::fromStdString(progress.Code);
    int row = RowOf(list, code);
    if (row < 0) row = AddRow(list, progress);
    if (progress.finished) {
        SetCell(list, row, kSpeedColumn,
                progress.LinkCost < 0 ? QStringLiteral("FAILD") : QString::number(progress.LinkCost));
        Mark(list, row, false);
    } else {
        Mark(list, row, true);
        list.scrollToItem(list.item(row, kSpeedColumn));
    }
    return row;
}

bool IsMarkedAsProbing(const QTableWidget& list, int row) {
    const QTableWidgetItem* item = list.item(row, kSpeedColumn);
    return item != nullptr && item->data(kProbingRole).toBool();
}
