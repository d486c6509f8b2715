#include "ui/SettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>
#include <ctime>

#include "catalogue/ConnConfig.h"
#include "catalogue/ConnListEdit.h"
#include "context/ServerCertificate.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "net/LocalCertificate.h"
#include "platform/ReplaceFile.h"
#include "ui/ServerFinder.h"

namespace {

enum Column { kType, kServer, kSmtp, kPop3, kImap4, kRemark, kColumns };
constexpr int kRetryWhileDetectingMs = 500;

struct FieldRow {
    const char* name;   // the setting, as WriteSettingChanges takes it
    const char* label;
    bool advanced;
};
constexpr FieldRow kAccountFields[] = {
    {"LOGIN_NAME", "Login name", false},   {"LOGIN_PASS", "Password", false},
    {"MAIL_FROM", "Test mail from", false}, {"RCPT_TO", "Test mail to", false},
    {"LOG_RCPT_TO", "Send logs to", true},  {"DOWNLOAD_SERVER", "List download server", true},
    {"DOWNLOAD_PATH", "List download path", true},
};
constexpr FieldRow kPortFields[] = {
    {"PORT_SMTP", "SMTP port", false},
    {"PORT_POP3", "POP3 port", false},
    {"PORT_IMAP4", "IMAP4 port", false},
    {"PORT_SMTPS", "SMTP port, TLS", false},
    {"PORT_POP3S", "POP3 port, TLS", false},
    {"PORT_IMAP4S", "IMAP4 port, TLS", false},
    {"LISTEN_ADDRESS", "Listen address", false},
};

// What memory holds for a field now; the password is never given back.
std::string CurrentValue(const UserConfig& cfg, const char* name) {
    const std::string field = name;
    if (field == "LOGIN_NAME") return cfg.LOGIN_NAME;
    if (field == "MAIL_FROM") return cfg.MAIL_FROM;
    if (field == "RCPT_TO") return cfg.RCPT_TO;
    if (field == "LOG_RCPT_TO") return cfg.LOG_RCPT_TO;
    if (field == "DOWNLOAD_SERVER") return cfg.DOWNLOAD_SERVER;
    if (field == "DOWNLOAD_PATH") return cfg.DOWNLOAD_PATH;
    if (field == "PORT_SMTP") return std::to_string(cfg.PORT_SMTP.load());
    if (field == "PORT_POP3") return std::to_string(cfg.PORT_POP3.load());
    if (field == "PORT_IMAP4") return std::to_string(cfg.PORT_IMAP4.load());
    if (field == "PORT_SMTPS") return std::to_string(cfg.PORT_SMTPS.load());
    if (field == "PORT_POP3S") return std::to_string(cfg.PORT_POP3S.load());
    if (field == "PORT_IMAP4S") return std::to_string(cfg.PORT_IMAP4S.load());
    if (field == "LISTEN_ADDRESS") return cfg.LISTEN_ADDRESS.Get();
    return std::string();
}

bool IsAccountField(const char* name) {
    for (const FieldRow& row : kAccountFields)
        if (std::strcmp(row.name, name) == 0) return true;
    return false;
}

QComboBox* TypeBox(int type) {
    auto* box = new QComboBox;
    box->addItem(QStringLiteral("Plain (MAIL)"));
    box->addItem(QStringLiteral("TLS (MAIL-SSL)"));
    box->setCurrentIndex(type == MAIL_SSL ? 1 : 0);
    return box;
}

}  // namespace

SettingsDialog::SettingsDialog(AppContext& ctx, ServiceStarter& starter, QWidget* parent)
    : QDialog(parent), ctx_(ctx), starter_(starter) {
    setWindowTitle(QStringLiteral("QuilloMark Settings"));
    tabs_.addTab(BuildServersTab(), QStringLiteral("Servers"));
    tabs_.addTab(BuildAccountTab(), QStringLiteral("Test account"));
    tabs_.addTab(BuildPortsTab(), QStringLiteral("Local ports"));
    status_.setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel);
    connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] {
        if (Apply()) accept();
    });
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] { Apply(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&tabs_, 1);
    layout->addWidget(&status_);
    layout->addWidget(buttons);
    resize(720, 460);
    Reload();
}

QWidget* SettingsDialog::BuildServersTab() {
    auto* page = new QWidget;
    servers_.setColumnCount(kColumns);
    servers_.setHorizontalHeaderLabels({QStringLiteral("Type"), QStringLiteral("Server"), QStringLiteral("SMTP"),
                                        QStringLiteral("POP3"), QStringLiteral("IMAP4"), QStringLiteral("Remark")});
    servers_.setSelectionBehavior(QAbstractItemView::SelectRows);
    servers_.setSelectionMode(QAbstractItemView::SingleSelection);
    servers_.verticalHeader()->setVisible(false);
    QHeaderView* header = servers_.horizontalHeader();
    for (int column : {kType, kSmtp, kPop3, kImap4}) header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kServer, QHeaderView::Stretch);
    header->setSectionResizeMode(kRemark, QHeaderView::Stretch);
    add_.setText(QStringLiteral("Add"));
    remove_.setText(QStringLiteral("Remove"));
    up_.setText(QStringLiteral("Move up"));
    down_.setText(QStringLiteral("Move down"));
    find_.setText(QStringLiteral("Find servers…"));
    import_.setText(QStringLiteral("Import…"));
    connect(&add_, &QPushButton::clicked, this, [this] {
        ProtocalInfo row;
        row.Port[SMTP] = 587;
        row.Port[POP3] = 110;
        row.Port[IMAP4] = 143;
        AppendRow(row);
        servers_.editItem(servers_.item(servers_.rowCount() - 1, kServer));
    });
    connect(&remove_, &QPushButton::clicked, this, [this] {
        if (servers_.currentRow() >= 0) servers_.removeRow(servers_.currentRow());
    });
    connect(&up_, &QPushButton::clicked, this, [this] { MoveRow(-1); });
    connect(&down_, &QPushButton::clicked, this, [this] { MoveRow(1); });
    connect(&find_, &QPushButton::clicked, this, [this] { OnFindServers(); });
    connect(&import_, &QPushButton::clicked, this, [this] { OnImport(); });
    auto* side = new QVBoxLayout;
    for (QPushButton* button : {&add_, &remove_, &up_, &down_, &find_, &import_}) {
        button->setAutoDefault(false);
        side->addWidget(button);
    }
    side->addStretch(1);
    auto* layout = new QHBoxLayout(page);
    layout->addWidget(&servers_, 1);
    layout->addLayout(side);
    return page;
}

QWidget* SettingsDialog::BuildAccountTab() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* warning = new QLabel(QStringLiteral(
        "The test account must be a mailbox used for nothing else: the POP3 test retrieves "
        "message 1, and deletes it once 500 messages have piled up."));
    warning->setWordWrap(true);
    layout->addWidget(warning);
    auto* main = new QFormLayout;
    auto* advanced = new QFormLayout(&advancedGroup_);
    for (const FieldRow& row : kAccountFields) {
        auto* edit = new QLineEdit;
        fields_.push_back({row.name, edit});
        (row.advanced ? advanced : main)->addRow(QString::fromUtf8(row.label), edit);
    }
    QLineEdit& password = Field("LOGIN_PASS");
    password.setEchoMode(QLineEdit::Password);
    connect(&password, &QLineEdit::textEdited, this, [this] { passwordTouched_ = true; });
    layout->addLayout(main);
    advanced_.setText(QStringLiteral("Advanced"));
    advanced_.setCheckable(true);
    advanced_.setAutoDefault(false);
    advancedGroup_.setVisible(false);
    connect(&advanced_, &QPushButton::toggled, &advancedGroup_, &QWidget::setVisible);
    layout->addWidget(&advanced_, 0, Qt::AlignLeft);
    layout->addWidget(&advancedGroup_);
    layout->addStretch(1);
    return page;
}

QWidget* SettingsDialog::BuildPortsTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    for (const FieldRow& row : kPortFields) {
        auto* edit = new QLineEdit;
        fields_.push_back({row.name, edit});
        form->addRow(QString::fromUtf8(row.label), edit);
    }
    auto* note = new QLabel(QStringLiteral("127.0.0.1 serves this computer only; 0.0.0.0 every network. "
                                           "A TLS port of 0 is closed."));
    note->setWordWrap(true);
    form->addRow(note);
    fingerprint_.setWordWrap(true);
    fingerprint_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QStringLiteral("Certificate (SHA-256)"), &fingerprint_);
    export_.setText(QStringLiteral("Export certificate…"));
    export_.setAutoDefault(false);
    connect(&export_, &QPushButton::clicked, this, [this] { OnExportCertificate(); });
    form->addRow(QString(), &export_);
    return page;
}

// The certificate the TLS ports present, or the one in the working
// directory when they present none yet.
std::string SettingsDialog::Certificate() const {
    std::string pem = ctx_.tlsServer.CertificatePem();
    return pem.empty() ? ReadCertificateFile(ServerCertificatePath(ctx_)) : pem;
}

void SettingsDialog::ShowFingerprint() {
    const std::string fingerprint = CertificateFingerprint(Certificate());
    fingerprint_.setText(fingerprint.empty() ? QStringLiteral("none yet: made when a TLS port opens")
                                             : QString::fromStdString(fingerprint));
    export_.setEnabled(!fingerprint.empty());
}

bool SettingsDialog::ExportCertificate(const QString& path) {
    const std::string pem = Certificate();
    if (pem.empty() || !ReplaceFile(path.toStdString(), pem, 0644)) {
        ShowStatus(QStringLiteral("The certificate cannot be written to %1.").arg(path), true);
        return false;
    }
    WriteLog(ctx_, UI, MINOR, "certificate exported to %s", path.toUtf8().constData());
    ShowStatus(QStringLiteral("Certificate exported to %1.").arg(path), false);
    return true;
}

void SettingsDialog::OnExportCertificate() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export certificate"),
                                                      QDir::home().filePath(QStringLiteral("quillomark.pem")),
                                                      QStringLiteral("PEM certificate (*.pem *.crt)"));
    if (!path.isEmpty()) ExportCertificate(path);
}

QLineEdit& SettingsDialog::Field(const char* name) {
    for (NamedField& field : fields_)
        if (std::strcmp(field.name, name) == 0) return *field.edit;
    return *fields_.front().edit;  // every caller names one of the fields above
}

void SettingsDialog::Reload() {
    ProtocalInfoList list;
    ReadConnConfig(ctx_, kConnConfigName, list);
    servers_.setRowCount(0);
    for (const ProtocalInfo& row : list) AppendRow(row);
    for (NamedField& field : fields_) field.edit->setText(QString::fromStdString(CurrentValue(ctx_.userConfig, field.name)));
    QLineEdit& password = Field("LOGIN_PASS");
    password.clear();
    password.setPlaceholderText(ctx_.userConfig.LOGIN_PASS[0] != '\0' ? QStringLiteral("(unchanged)")
                                                                      : QString());
    passwordTouched_ = false;
    ShowFingerprint();
}

void SettingsDialog::AppendRow(const ProtocalInfo& row) {
    int at = servers_.rowCount();
    servers_.setRowCount(at + 1);
    FillRow(at, row);
}

void SettingsDialog::FillRow(int row, const ProtocalInfo& record) {
    servers_.setCellWidget(row, kType, TypeBox(record.Type));
    const QString cells[] = {QString::fromUtf8(record.Dest), QString::number(record.Port[SMTP]),
                             QString::number(record.Port[POP3]), QString::number(record.Port[IMAP4]),
                             QString::fromUtf8(record.Code)};
    for (int column = kServer; column < kColumns; ++column)
        servers_.setItem(row, column, new QTableWidgetItem(cells[column - kServer]));
}

bool SettingsDialog::ReadRow(int row, ProtocalInfo& record, std::string& reason) {
    auto text = [&](int column) {
        QTableWidgetItem* item = servers_.item(row, column);
        return item != nullptr ? item->text().trimmed() : QString();
    };
    auto* type = qobject_cast<QComboBox*>(servers_.cellWidget(row, kType));
    record.Type = type != nullptr && type->currentIndex() == 1 ? MAIL_SSL : MAIL;
    record.IsSSL = record.Type == MAIL_SSL;
    const QByteArray dest = text(kServer).toUtf8();
    const QByteArray code = text(kRemark).toUtf8();
    if (dest.size() >= kDestSize || code.size() >= kCodeSize) {
        reason = "the server or the remark is too long";
        return false;
    }
    record.SetDest(dest.constData());
    record.SetCode(code.constData());
    const int columns[kProtocolCount] = {kSmtp, kPop3, kImap4};
    for (int protocol = SMTP; protocol <= IMAP4; ++protocol) {
        bool number = false;
        record.Port[protocol] = text(columns[protocol]).toInt(&number);
        if (!number) record.Port[protocol] = 0;  // refused below with the port's name
    }
    return CheckConnRow(ctx_, record, reason) == CatalogueResult::Ok;
}

void SettingsDialog::MoveRow(int by) {
    const int from = servers_.currentRow();
    const int to = from + by;
    if (from < 0 || to < 0 || to >= servers_.rowCount()) return;
    // Swapped through records, so that nothing the user typed is lost, even
    // a value not valid yet.
    auto take = [this](int row) {
        std::vector<QString> cells;
        for (int column = kServer; column < kColumns; ++column)
            cells.push_back(servers_.item(row, column) ? servers_.item(row, column)->text() : QString());
        auto* type = qobject_cast<QComboBox*>(servers_.cellWidget(row, kType));
        return std::make_pair(type != nullptr ? type->currentIndex() : 0, cells);
    };
    auto put = [this](int row, const std::pair<int, std::vector<QString>>& values) {
        servers_.setCellWidget(row, kType, TypeBox(values.first == 1 ? MAIL_SSL : MAIL));
        for (int column = kServer; column < kColumns; ++column)
            servers_.setItem(row, column, new QTableWidgetItem(values.second[static_cast<std::size_t>(column - kServer)]));
    };
    auto a = take(from);
    auto b = take(to);
    put(from, b);
    put(to, a);
    servers_.setCurrentCell(to, kServer);
}

void SettingsDialog::ShowStatus(const QString& text, bool error) {
    status_.setStyleSheet(error ? QStringLiteral("color: #b00020;") : QString());
    status_.setText(text);
}

bool SettingsDialog::Apply() {
    // Everything is checked before anything is written.
    ProtocalInfoList rows;
    for (int row = 0; row < servers_.rowCount(); ++row) {
        ProtocalInfo record;
        std::string reason;
        if (!ReadRow(row, record, reason)) {
            tabs_.setCurrentIndex(0);
            servers_.setCurrentCell(row, kServer);
            ShowStatus(QStringLiteral("Server row %1: %2").arg(row + 1).arg(QString::fromStdString(reason)), true);
            return false;
        }
        rows.PushBack(record);
    }
    if (rows.Empty()) {
        ShowStatus(QStringLiteral("The list needs at least one server."), true);
        return false;
    }
    LiveChange change;
    std::vector<SettingChange> settings;
    for (const NamedField& field : fields_) {
        const std::string value = field.edit->text().trimmed().toStdString();
        if (std::strcmp(field.name, "LOGIN_PASS") == 0) {
            // An untouched password keeps the stored one, which is never shown.
            if (!passwordTouched_) continue;
            settings.push_back({field.name, field.edit->text().toStdString()});
        } else if (value != CurrentValue(ctx_.userConfig, field.name)) {
            settings.push_back({field.name, value});
        } else {
            continue;
        }
        if (IsAccountField(field.name)) change.account = true;
    }
    std::string reason;
    if (!settings.empty()) {
        if (WriteSettingChanges(ctx_, settings, reason) != CoreResult::Ok) {
            ShowStatus(QString::fromStdString(reason), true);
            return false;
        }
        change.settings = true;
    }
    ProtocalInfoList current;
    ReadConnConfig(ctx_, kConnConfigName, current);
    const std::string text = ConnListText(rows, std::time(nullptr));
    // The header's time alone does not make a change.
    const std::string oldText = ConnListText(current, std::time(nullptr));
    if (text != oldText) {
        if (ReplaceConnConfig(ctx_, text) != CatalogueResult::Ok) {
            ShowStatus(QStringLiteral("The connection list cannot be written."), true);
            return false;
        }
        change.list = true;
    }
    WriteLog(ctx_, UI, MINOR, "User applied the settings");
    ApplyLive(change);
    return true;
}

void SettingsDialog::ApplyLive(const LiveChange& change) {
    std::vector<RefusedMove> refused;
    if (ApplyLiveChange(ctx_, starter_, change, refused) == LiveResult::Busy) {
        ShowStatus(QStringLiteral("Saved; waiting for the detection run to end to apply it…"), false);
        QTimer::singleShot(kRetryWhileDetectingMs, this, [this, change] { ApplyLive(change); });
        return;
    }
    QStringList problems;
    for (const RefusedMove& move : refused)
        problems << QStringLiteral("The %1 port %2 cannot be used (%3); the old port is kept.")
                        .arg(QString::fromUtf8(ListenerName(move.listener)))
                        .arg(move.port)
                        .arg(QString::fromStdString(move.reason));
    Reload();
    if (problems.isEmpty())
        ShowStatus(change.list || change.account ? QStringLiteral("Applied; a detection run has started.")
                                                 : QStringLiteral("Applied."), false);
    else
        ShowStatus(problems.join(QLatin1Char('\n')), true);
    if (applied_) applied_();
}

void SettingsDialog::ImportFiles(const QStringList& paths) {
    std::vector<std::string> files;
    for (const QString& path : paths) files.push_back(path.toStdString());
    LiveChange change;
    ImportOutcome outcome;
    std::string reason;
    if (ImportSupportFiles(ctx_, files, outcome, reason) != CatalogueResult::Ok) {
        ShowStatus(QStringLiteral("Nothing imported: %1").arg(QString::fromStdString(reason)), true);
        return;
    }
    WriteLog(ctx_, UI, MINOR, "support files imported");
    change.settings = change.account = outcome.settings;
    change.list = outcome.list;
    ApplyLive(change);
}

void SettingsDialog::OnImport() {
    QStringList paths = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Import the files from your mail support"), QString(),
        QStringLiteral("QuilloMark files (Quillomark.ini Quillomark.conf)"));
    if (!paths.isEmpty()) ImportFiles(paths);
}

void SettingsDialog::OnFindServers() {
    FindServersCommand(this, [this](const ProtocalInfo& row) { AppendRow(row); });
}
