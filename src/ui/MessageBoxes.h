// MessageBoxes shows the window's own questions and notices: a box owned by
// the main window, titled and worded from the message table, that waits for
// the user on the window thread and says which button closed it.
#pragma once

#include <QMessageBox>
#include <QString>

#include "core/CoreContext.h"

// The title comes from titleKey (the application's name when it is empty).
QString MessageBoxTitle(CoreContext& ctx, const char* titleKey);

QMessageBox::StandardButton AskUser(CoreContext& ctx, QWidget* owner, const char* titleKey,
                                    const QString& body,
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// The box for a pair of keys, with an OK button.
QMessageBox::StandardButton TellUser(CoreContext& ctx, QWidget* owner, const char* titleKey,
                                     const char* bodyKey);
