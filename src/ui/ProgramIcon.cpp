#include "ui/ProgramIcon.h"

#include <QFile>

namespace {
// The sizes rendered into the resources by the build.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
}  // namespace

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : kIconSizes) {
        QString name = QStringLiteral(":/icons/quillomark-%1.png").arg(size);
        if (QFile::exists(name)) icon.addFile(name, QSize(size, size));
    }
    return icon;
}
