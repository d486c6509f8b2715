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
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "core/WriteLog.h"
#include "net/LocalCertificate.h"
#include "platform/ReplaceFile.h"
#include "ui/PaletteColours.h"
#include "ui/ScreenFit.h"
#include "ui/ServerFinder.h"

namespace {

enum Column { kType, kServer, kSmtp, kPop3, kImap4, kRemark, kColumns };
constexpr int kRetryWhileDetectingMs = 500;

struct FieldRow {
    const char* name;   // the setting, as WriteSettingChanges takes it
    bool advanced;
};
constexpr FieldRow kAccountFields[] = {
    {"LOGIN_NAME", false},  {"LOGIN_PASS", false},      {"MAIL_FROM", false},     {"RCPT_TO", false},
    {"LOG_RCPT_TO", true}, {"DOWNLOAD_SERVER", true}, {"DOWNLOAD_PATH", true},
};
constexpr FieldRow kPortFields[] = {
    {"PORT_SMTP", false},  {"PORT_POP3", false},   {"PORT_IMAP4", false},     {"PORT_SMTPS", false},
    {"PORT_POP3S", false}, {"PORT_IMAP4S", false}, {"LISTEN_ADDRESS", false},
};

QString Message(CoreContext& ctx, const char* key) { return QString::fromUtf8(GetMessageText(ctx, key)); }

// A field's label is the message named after its setting.
QString Label(CoreContext& ctx, const char* name) {
    return Message(ctx, (std::string("MSG_SETTINGS_") + name).c_str());
}

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

QComboBox* TypeBox(CoreContext& ctx, int type) {
    auto* box = new QComboBox;
    box->addItem(Message(ctx, "MSG_SETTINGS_TYPE_PLAIN"));
    box->addItem(Message(ctx, "MSG_SETTINGS_TYPE_TLS"));
    box->setCurrentIndex(type == MAIL_SSL ? 1 : 0);
    return box;
}

}  // namespace

SettingsDialog::SettingsDialog(AppContext& ctx, ServiceStarter& starter, QWidget* parent)
    : QDialog(parent), ctx_(ctx), starter_(starter) {
    setWindowTitle(Message(ctx_, "MSG_SETTINGS_TITLE"));
    // Each page scrolls where the screen is too small for it.
    tabs_.addTab(ScrollingPage(BuildServersTab()), Message(ctx_, "MSG_SETTINGS_SERVERS_TAB"));
    tabs_.addTab(ScrollingPage(BuildAccountTab()), Message(ctx_, "MSG_SETTINGS_ACCOUNT_TAB"));
    tabs_.addTab(ScrollingPage(BuildPortsTab()), Message(ctx_, "MSG_SETTINGS_PORTS_TAB"));
    status_.setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel);
    connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] {
        if (Apply()) accept();
    });
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] { Apply(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&tabs_, 1);
    notifications_.setText(Message(ctx_, "MSG_CAPTION_NOTIFICATIONS_CHK"));
    layout->addWidget(&notifications_);
    layout->addWidget(&status_);
    layout->addWidget(buttons);
    ResizeWithinScreen(*this, QSize(720, 460));
    Reload();
}

QWidget* SettingsDialog::BuildServersTab() {
    auto* page = new QWidget;
    servers_.setColumnCount(kColumns);
    servers_.setHorizontalHeaderLabels({Message(ctx_, "MSG_SETTINGS_COL_TYPE"), Message(ctx_, "MSG_SETTINGS_COL_SERVER"),
                                        QStringLiteral("SMTP"), QStringLiteral("POP3"), QStringLiteral("IMAP4"),
                                        Message(ctx_, "MSG_CAPTION_LISTCTRL_COL6")});
    servers_.setSelectionBehavior(QAbstractItemView::SelectRows);
    servers_.setSelectionMode(QAbstractItemView::SingleSelection);
    servers_.verticalHeader()->setVisible(false);
    QHeaderView* header = servers_.horizontalHeader();
    for (int column : {kType, kSmtp, kPop3, kImap4}) header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kServer, QHeaderView::Stretch);
    header->setSectionResizeMode(kRemark, QHeaderView::Stretch);
    add_.setText(Message(ctx_, "MSG_CAPTION_ADD_BTN"));
    remove_.setText(Message(ctx_, "MSG_CAPTION_REMOVE_BTN"));
    up_.setText(Message(ctx_, "MSG_CAPTION_MOVEUP_BTN"));
    down_.setText(Message(ctx_, "MSG_CAPTION_MOVEDOWN_BTN"));
    find_.setText(Message(ctx_, "MSG_CAPTION_FINDSERVERS_BTN"));
    import_.setText(Message(ctx_, "MSG_CAPTION_IMPORT_BTN"));
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
    auto* warning = new QLabel(Message(ctx_, "MSG_SETTINGS_ACCOUNT_WARNING"));
    warning->setWordWrap(true);
    layout->addWidget(warning);
    auto* main = new QFormLayout;
    auto* advanced = new QFormLayout(&advancedGroup_);
    for (const FieldRow& row : kAccountFields) {
        auto* edit = new QLineEdit;
        fields_.push_back({row.name, edit});
        (row.advanced ? advanced : main)->addRow(Label(ctx_, row.name), edit);
    }
    QLineEdit& password = Field("LOGIN_PASS");
    password.setEchoMode(QLineEdit::Password);
    connect(&password, &QLineEdit::textEdited, this, [this] { passwordTouched_ = true; });
    layout->addLayout(main);
    advanced_.setText(Message(ctx_, "MSG_CAPTION_ADVANCED_BTN"));
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
        form->addRow(Label(ctx_, row.name), edit);
    }
    auto* note = new QLabel(Message(ctx_, "MSG_SETTINGS_LISTEN_NOTE"));
    note->setWordWrap(true);
    form->addRow(note);
    fingerprint_.setWordWrap(true);
    fingerprint_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(Message(ctx_, "MSG_SETTINGS_CERT_FINGERPRINT"), &fingerprint_);
    export_.setText(Message(ctx_, "MSG_CAPTION_EXPORT_CERT_BTN"));
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
    fingerprint_.setText(fingerprint.empty() ? Message(ctx_, "MSG_SETTINGS_CERT_NONE")
                                             : QString::fromStdString(fingerprint));
    export_.setEnabled(!fingerprint.empty());
}

bool SettingsDialog::ExportCertificate(const QString& path) {
    const std::string pem = Certificate();
    if (pem.empty() || !ReplaceFile(path.toStdString(), pem, 0644)) {
        ShowStatus(Message(ctx_, "MSG_SETTINGS_EXPORT_FAIL").arg(path), true);
        return false;
    }
    WriteLog(ctx_, UI, MINOR, "certificate exported to %s", path.toUtf8().constData());
    ShowStatus(Message(ctx_, "MSG_SETTINGS_EXPORTED").arg(path), false);
    return true;
}

void SettingsDialog::OnExportCertificate() {
    const QString path = QFileDialog::getSaveFileName(this, Message(ctx_, "MSG_EXPORT_CERT_TITLE"),
                                                      QDir::home().filePath(QStringLiteral("quillomark.pem")),
                                                      Message(ctx_, "MSG_EXPORT_CERT_FILTER"));
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
    password.setPlaceholderText(ctx_.userConfig.LOGIN_PASS[0] != '\0' ? Message(ctx_, "MSG_SETTINGS_UNCHANGED")
                                                                      : QString());
    passwordTouched_ = false;
    ShowFingerprint();
    notifications_.setChecked(ctx_.userConfig.IS_SHOW_NOTIFICATIONS);
}

void SettingsDialog::AppendRow(const ProtocalInfo& row) {
    int at = servers_.rowCount();
    servers_.setRowCount(at + 1);
    FillRow(at, row);
}

void SettingsDialog::FillRow(int row, const ProtocalInfo& record) {
    servers_.setCellWidget(row, kType, TypeBox(ctx_, record.Type));
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
        servers_.setCellWidget(row, kType, TypeBox(ctx_, values.first == 1 ? MAIL_SSL : MAIL));
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
    QPalette colours = palette();
    if (error) colours.setColor(QPalette::WindowText, ErrorText(colours));
    status_.setPalette(colours);
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
            ShowStatus(Message(ctx_, "MSG_SETTINGS_ROW_ERROR").arg(row + 1).arg(QString::fromStdString(reason)), true);
            return false;
        }
        rows.PushBack(record);
    }
    if (rows.Empty()) {
        ShowStatus(Message(ctx_, "MSG_SETTINGS_LIST_EMPTY"), true);
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
    if (notifications_.isChecked() != ctx_.userConfig.IS_SHOW_NOTIFICATIONS)
        settings.push_back({"IS_SHOW_NOTIFICATIONS", notifications_.isChecked() ? "1" : "0"});
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
            ShowStatus(Message(ctx_, "MSG_SETTINGS_LIST_WRITE_FAIL"), true);
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
        ShowStatus(Message(ctx_, "MSG_SETTINGS_WAITING"), false);
        QTimer::singleShot(kRetryWhileDetectingMs, this, [this, change] { ApplyLive(change); });
        return;
    }
    QStringList problems;
    for (const RefusedMove& move : refused)
        problems << Message(ctx_, "MSG_SETTINGS_PORT_REFUSED")
                        .arg(QString::fromUtf8(ListenerName(move.listener)))
                        .arg(move.port)
                        .arg(QString::fromStdString(move.reason));
    Reload();
    if (problems.isEmpty())
        ShowStatus(change.list || change.account ? Message(ctx_, "MSG_SETTINGS_APPLIED_DETECTING")
                                                 : Message(ctx_, "MSG_SETTINGS_APPLIED"), false);
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
        ShowStatus(Message(ctx_, "MSG_SETTINGS_IMPORT_FAIL").arg(QString::fromStdString(reason)), true);
        return;
    }
    WriteLog(ctx_, UI, MINOR, "support files imported");
    change.settings = change.account = outcome.settings;
    change.list = outcome.list;
    ApplyLive(change);
}

void SettingsDialog::OnImport() {
    QStringList paths = QFileDialog::getOpenFileNames(
        this, Message(ctx_, "MSG_IMPORT_TITLE"), QString(), Message(ctx_, "MSG_IMPORT_FILTER"));
    if (!paths.isEmpty()) ImportFiles(paths);
}

void SettingsDialog::OnFindServers() {
    FindServersCommand(ctx_, this, [this](const ProtocalInfo& row) { AppendRow(row); });
}
