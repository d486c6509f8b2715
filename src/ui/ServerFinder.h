// ServerFinder proposes candidate rows for a mail address: the domain's DNS
// SRV records for mail submission, IMAP and POP3 (plain and implicit TLS)
// and its autoconfig document, looked up at once, each bounded by five
// seconds. A host becomes a row only when it serves all three protocols in
// the same way (plain, or TLS); the user confirms every row before it is
// added.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <string>

#include "catalogue/ProtocalInfo.h"

struct CoreContext;
class QDnsLookup;
class QNetworkAccessManager;
class QNetworkReply;
class QWidget;

inline constexpr int kFindBoundMs = 5000;

// One host's ports as the look-ups found them; 0 where none was found.
struct FoundHost {
    int plain[kProtocolCount] = {};
    int tls[kProtocolCount] = {};
};
using FoundHosts = std::map<std::string, FoundHost>;

// Adds what an autoconfig document (config-v1.1.xml) says to hosts; false
// when it is no such document.
bool ReadAutoconfig(const QByteArray& xml, FoundHosts& hosts);

// One row per host and way that has all three ports, the remark naming the
// domain and the way.
QList<ProtocalInfo> RowsOf(const FoundHosts& hosts, const QString& domain);

class ServerFinder : public QObject {
    Q_OBJECT
public:
    explicit ServerFinder(QObject* parent = nullptr);

    // Where the look-ups go: a name server other than the system's (tests),
    // and the autoconfig addresses, with %1 standing for the domain.
    void SetNameserver(const QString& address) { nameserver_ = address; }
    void SetAutoconfigUrls(const QStringList& urls) { urls_ = urls; }

    // Starts every look-up for the domain of address; finished follows once
    // each has answered or run out of time.
    void Start(const QString& address);

signals:
    void finished(const QList<ProtocalInfo>& rows);

private:
    void OneDone();

    QString nameserver_;
    QStringList urls_;
    QString domain_;
    FoundHosts hosts_;
    int pending_ = 0;
    QNetworkAccessManager* web_ = nullptr;
};

// The "Find servers…" command: asks for an address, looks it up, and hands
// every row the user confirms to add.
void FindServersCommand(CoreContext& ctx, QWidget* parent, const std::function<void(const ProtocalInfo&)>& add);
