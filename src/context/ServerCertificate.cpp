#include "context/ServerCertificate.h"

#include "core/WriteLog.h"
#include "net/LocalCertificate.h"

std::string ServerCertificatePath(const AppContext& ctx) {
    return DataFilePath(ctx, kLocalCertificateFileName);
}

std::string ServerKeyPath(const AppContext& ctx) {
    return DataFilePath(ctx, kLocalKeyFileName);
}

namespace {

void LogAction(AppContext& ctx, CertificateAction action, const std::string& fingerprint) {
    switch (action) {
    case CertificateAction::Kept: return;
    case CertificateAction::Made:
        WriteLog(ctx, PROXY, MINOR, "local certificate made, SHA-256 %s", fingerprint.c_str());
        return;
    case CertificateAction::Renewed:
        WriteLog(ctx, PROXY, MINOR, "local certificate renewed, SHA-256 %s", fingerprint.c_str());
        return;
    case CertificateAction::Replaced:
        WriteLog(ctx, PROXY, MAJOR, "ERROR: local certificate or key unreadable, new SHA-256 %s",
                 fingerprint.c_str());
        return;
    }
}

}  // namespace

bool RefreshServerCertificate(AppContext& ctx, std::time_t now) {
    CertificatePair pair;
    CertificateAction action = CertificateAction::Kept;
    NetResult ensured = EnsureLocalCertificate(ServerCertificatePath(ctx), ServerKeyPath(ctx), now, pair, action);
    if (ensured != NetResult::Ok) {
        WriteLog(ctx, PROXY, CRITICAL, "ERROR: local certificate cannot be made(%d)", CodeOf(ensured));
        return ctx.tlsServer.Ready();
    }
    LogAction(ctx, action, CertificateFingerprint(pair.certificatePem));
    // The files may have been renewed by another copy (--print-certificate).
    if (ctx.tlsServer.CertificatePem() == pair.certificatePem) return true;
    NetResult used = ctx.tlsServer.Use(pair.certificatePem, pair.keyPem);
    if (used == NetResult::Ok) return true;
    WriteLog(ctx, PROXY, CRITICAL, "ERROR: local certificate cannot be used(%d)", CodeOf(used));
    return ctx.tlsServer.Ready();
}
