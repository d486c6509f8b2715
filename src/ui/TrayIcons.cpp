#include "ui/TrayIcons.h"

#include <QFile>

#include "ui/ProgramIcon.h"

namespace {
// The sizes the build renders for each variant.
constexpr int kTraySizes[] = {16, 22, 24, 32, 48, 64};
}  // namespace

QIcon TrayIconFor(TrayStatus status) {
    if (status == TrayStatus::Connected) return ProgramIcon();
    const char* state = status == TrayStatus::Detecting ? "detecting" : "noconnection";
    QIcon icon;
    for (int size : kTraySizes) {
        QString name = QStringLiteral(":/icons/quillomark-%1-%2.png").arg(state).arg(size);
        if (QFile::exists(name)) icon.addFile(name, QSize(size, size));
    }
    return icon;
}
