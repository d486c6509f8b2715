#include "ui/ServerFinder.h"

#include <QDnsLookup>
#include <QHostAddress>
#include <QInputDialog>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QXmlStreamReader>

#include "core/MessageTable.h"

namespace {

struct SrvService {
    const char* label;
    int protocol;
    bool tls;
};
// RFC 6186 and RFC 8314. STARTTLS services count as plain: the proxy's plain
// connection is what they offer first.
constexpr SrvService kSrvServices[] = {
    {"_submission._tcp.", SMTP, false}, {"_submissions._tcp.", SMTP, true},
    {"_imap._tcp.", IMAP4, false},      {"_imaps._tcp.", IMAP4, true},
    {"_pop3._tcp.", POP3, false},       {"_pop3s._tcp.", POP3, true},
};

void Note(FoundHosts& hosts, const QString& host, int protocol, bool tls, int port) {
    QString name = host.toLower();
    if (name.endsWith(QLatin1Char('.'))) name.chop(1);
    if (name.isEmpty() || name == QLatin1String(".") || port <= 0 || port > 65535) return;
    FoundHost& found = hosts[name.toStdString()];
    int& slot = (tls ? found.tls : found.plain)[protocol];
    if (slot == 0) slot = port;  // the first (most preferred) answer stays
}

}  // namespace

bool ReadAutoconfig(const QByteArray& xml, FoundHosts& hosts) {
    QXmlStreamReader reader(xml);
    bool isConfig = false;
    while (reader.readNextStartElement()) {
        if (reader.name() == QLatin1String("clientConfig")) {
            isConfig = true;
            continue;
        }
        if (reader.name() == QLatin1String("emailProvider")) continue;
        if (reader.name() != QLatin1String("incomingServer") && reader.name() != QLatin1String("outgoingServer")) {
            reader.skipCurrentElement();
            continue;
        }
        const QString type = reader.attributes().value(QLatin1String("type")).toString();
        QString host, socket;
        int port = 0;
        while (reader.readNextStartElement()) {
            if (reader.name() == QLatin1String("hostname")) host = reader.readElementText().trimmed();
            else if (reader.name() == QLatin1String("port")) port = reader.readElementText().trimmed().toInt();
            else if (reader.name() == QLatin1String("socketType")) socket = reader.readElementText().trimmed();
            else reader.skipCurrentElement();
        }
        int protocol = type == QLatin1String("smtp") ? SMTP : type == QLatin1String("imap") ? IMAP4
                     : type == QLatin1String("pop3") ? POP3 : -1;
        if (protocol >= 0) Note(hosts, host, protocol, socket == QLatin1String("SSL"), port);
    }
    return isConfig && !reader.hasError();
}

QList<ProtocalInfo> RowsOf(const FoundHosts& hosts, const QString& domain) {
    QList<ProtocalInfo> rows;
    for (const auto& [host, found] : hosts) {
        for (bool tls : {false, true}) {
            const int* ports = tls ? found.tls : found.plain;
            if (ports[SMTP] == 0 || ports[POP3] == 0 || ports[IMAP4] == 0) continue;
            ProtocalInfo row;
            row.Type = tls ? MAIL_SSL : MAIL;
            row.IsSSL = tls;
            row.SetDest(host.c_str());
            for (int p = 0; p < kProtocolCount; ++p) row.Port[p] = ports[p];
            row.SetCode((domain + (tls ? QStringLiteral("-tls") : QStringLiteral("-plain"))).toUtf8().constData());
            rows.append(row);
        }
    }
    return rows;
}

ServerFinder::ServerFinder(QObject* parent)
    : QObject(parent),
      urls_({QStringLiteral("https://autoconfig.%1/mail/config-v1.1.xml"),
             QStringLiteral("https://%1/.well-known/autoconfig/mail/config-v1.1.xml")}) {}

void ServerFinder::Start(const QString& address) {
    domain_ = address.section(QLatin1Char('@'), -1).trimmed().toLower();
    hosts_.clear();
    pending_ = 0;
    if (domain_.isEmpty()) {
        emit finished({});
        return;
    }
    for (const SrvService& service : kSrvServices) {
        auto* lookup = new QDnsLookup(QDnsLookup::SRV, QString::fromUtf8(service.label) + domain_, this);
        if (!nameserver_.isEmpty()) lookup->setNameserver(QHostAddress(nameserver_));
        ++pending_;
        connect(lookup, &QDnsLookup::finished, this, [this, lookup, service] {
            for (const QDnsServiceRecord& record : lookup->serviceRecords())
                Note(hosts_, record.target(), service.protocol, service.tls, record.port());
            lookup->deleteLater();
            OneDone();
        });
        QTimer::singleShot(kFindBoundMs, lookup, [lookup] { lookup->abort(); });
        lookup->lookup();
    }
    web_ = new QNetworkAccessManager(this);
    for (const QString& url : urls_) {
        QNetworkRequest request(QUrl(url.arg(domain_)));
        request.setTransferTimeout(kFindBoundMs);
        QNetworkReply* reply = web_->get(request);
        ++pending_;
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            if (reply->error() == QNetworkReply::NoError) ReadAutoconfig(reply->readAll(), hosts_);
            reply->deleteLater();
            OneDone();
        });
    }
}

void ServerFinder::OneDone() {
    if (--pending_ == 0) emit finished(RowsOf(hosts_, domain_));
}

void FindServersCommand(CoreContext& ctx, QWidget* parent, const std::function<void(const ProtocalInfo&)>& add) {
    // The texts are taken now: the search ends after the caller may be gone.
    const QString title = QString::fromUtf8(GetMessageText(ctx, "MSG_FIND_TITLE"));
    const QString none = QString::fromUtf8(GetMessageText(ctx, "MSG_FIND_NONE"));
    const QString confirm = QString::fromUtf8(GetMessageText(ctx, "MSG_FIND_CONFIRM"));
    bool ok = false;
    const QString address = QInputDialog::getText(parent, title, QString::fromUtf8(GetMessageText(ctx, "MSG_FIND_ADDRESS")),
                                                  QLineEdit::Normal, QString(), &ok);
    if (!ok || address.trimmed().isEmpty()) return;
    auto* finder = new ServerFinder(parent);
    QPointer<QWidget> owner(parent);
    QObject::connect(finder, &ServerFinder::finished, finder, [=](const QList<ProtocalInfo>& rows) {
        finder->deleteLater();
        if (owner == nullptr) return;
        if (rows.isEmpty()) {
            QMessageBox::information(owner, title, none.arg(address));
            return;
        }
        for (const ProtocalInfo& row : rows) {
            const QString text = (confirm + QStringLiteral("\n\n%1 %2\nSMTP %3, POP3 %4, IMAP4 %5"))
                                     .arg(row.Type == MAIL_SSL ? QStringLiteral("TLS") : QStringLiteral("Plain"))
                                     .arg(QString::fromUtf8(row.Dest))
                                     .arg(row.Port[SMTP]).arg(row.Port[POP3]).arg(row.Port[IMAP4]);
            if (QMessageBox::question(owner, title, text) == QMessageBox::Yes) add(row);
        }
    });
    finder->Start(address);
}
