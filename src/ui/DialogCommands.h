// DialogCommands are the main window's two commands that run a dialog and
// wait for it: the tutorial, and Send log, which mails the log tail to
// support after the report dialog has taken the user's address. Both run on
// the window thread; owner is the window the dialogs belong to (none at
// start, before the window is shown).
#pragma once

#include "context/AppContext.h"

class QWidget;

// The tutorial, shown modally between its two tracing lines.
void ShowHintCommand(AppContext& ctx, QWidget* owner);

// The report dialog, then on Submit the log report over a copy of the
// connection in use; its transcript goes to the information pane. The
// window does not react until the mail has been sent or has failed.
void SendLogCommand(AppContext& ctx, QWidget* owner);
