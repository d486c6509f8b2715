// ReportLog mails the tail of the log, the tail of its backup when the log is
// short, and the detection result log to the support mailbox (LOG_RCPT_TO)
// over the connection in use. It is the SMTP probe's dialogue with these
// differences: its own first and last pane lines, the masked credential
// lines without a line break (the server's reply follows on the same pane
// line), the support mailbox as recipient, and the report as the mail. It
// runs on the window thread after the report dialog and keeps nothing
// between calls.
#pragma once

#include <cstdint>

#include "context/AppContext.h"
#include "catalogue/ProtocalInfo.h"
#include "detect/AutoMailChecker.h"
#include "report/ReportBody.h"

// 0 when the mail was accepted and QUIT answered "221 "; NoCandidate without
// a connection; LogFileFailed when the log or backup could not be read;
// otherwise the SMTP probe's failure codes; UserMailRefused, before any
// connection is made, when USER_MAIL holds a control character. Each as its
// CodeOf, as the probe's codes are. The transcript goes to checker's pane.
int32_t ReportLog(CoreContext& ctx, AutoMailChecker& checker, const ProtocalInfo* connection);

// The same on a transport object of its own, with the window's pane.
int32_t ReportLog(AppContext& ctx, const ProtocalInfo* connection);
