#include "ui/MessageBoxes.h"

#include "core/MessageTable.h"

QString MessageBoxTitle(CoreContext& ctx, const char* titleKey) {
    if (titleKey == nullptr || *titleKey == '\0') return QStringLiteral("QuilloMark");
    return QString::fromUtf8(GetMessageText(ctx, titleKey));
}

QMessageBox::StandardButton AskUser(CoreContext& ctx, QWidget* owner, const char* titleKey,
                                    const QString& body, QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::NoIcon, MessageBoxTitle(ctx, titleKey), body, buttons, owner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QMessageBox::StandardButton TellUser(CoreContext& ctx, QWidget* owner, const char* titleKey,
                                     const char* bodyKey) {
    return AskUser(ctx, owner, titleKey, QString::fromUtf8(GetMessageText(ctx, bodyKey)));
}
