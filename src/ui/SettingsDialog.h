// SettingsDialog is where a user sets the program up without a text editor:
// the candidate servers of the connection list, the test account the
// detection probes with (sealed in the settings file as the sealing tool
// seals it, the password never shown back), and the local ports and address
// the proxy listens on, with the fingerprint of the TLS ports' certificate
// and a way to export it for the mail programs that must trust it. Apply writes both files and makes them take effect in
// the running program; Import takes the files a mail support team sends.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTabWidget>

#include <functional>
#include <string>
#include <vector>

#include "catalogue/ProtocalInfoList.h"
#include "context/AppContext.h"
#include "context/AppServices.h"
#include "context/LiveSettings.h"

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(AppContext& ctx, ServiceStarter& starter, QWidget* parent = nullptr);

    // Fills every control from the files and memory as they are now.
    void Reload();
    // Checks and writes everything; false, with the reason in StatusLine, when
    // something is refused (then nothing at all is written).
    bool Apply();
    // Imports the files at paths and shows the outcome.
    void ImportFiles(const QStringList& paths);
    // Writes the TLS ports' certificate (PEM) to path; false, shown in
    // StatusLine, when there is none or it cannot be written.
    bool ExportCertificate(const QString& path);

    // Rows the user confirmed from "Find servers…" are appended through here.
    void AppendRow(const ProtocalInfo& row);

    // Runs after every Apply or import that wrote something.
    void SetAppliedAction(std::function<void()> action) { applied_ = std::move(action); }

    // The controls, for the tests that drive the dialog.
    QTableWidget& Servers() { return servers_; }
    QPushButton& AddButton() { return add_; }
    QPushButton& RemoveButton() { return remove_; }
    QPushButton& UpButton() { return up_; }
    QPushButton& DownButton() { return down_; }
    QPushButton& FindButton() { return find_; }
    QPushButton& ImportButton() { return import_; }
    QLineEdit& Field(const char* name);
    QPushButton& AdvancedButton() { return advanced_; }
    QGroupBox& AdvancedGroup() { return advancedGroup_; }
    QLabel& StatusLine() { return status_; }
    QLabel& Fingerprint() { return fingerprint_; }
    QPushButton& ExportButton() { return export_; }
    QTabWidget& Tabs() { return tabs_; }

private:
    QWidget* BuildServersTab();
    QWidget* BuildAccountTab();
    QWidget* BuildPortsTab();
    void FillRow(int row, const ProtocalInfo& record);
    bool ReadRow(int row, ProtocalInfo& record, std::string& reason);
    void MoveRow(int by);
    void OnImport();
    void OnFindServers();
    void OnExportCertificate();
    std::string Certificate() const;
    void ShowFingerprint();
    void ShowStatus(const QString& text, bool error);
    void ApplyLive(const LiveChange& change);

    AppContext& ctx_;
    ServiceStarter& starter_;
    std::function<void()> applied_;

    QTabWidget tabs_;
    QTableWidget servers_;
    QPushButton add_, remove_, up_, down_, find_, import_;
    struct NamedField {
        const char* name;
        QLineEdit* edit;
    };
    std::vector<NamedField> fields_;
    QPushButton advanced_;
    QGroupBox advancedGroup_;
    bool passwordTouched_ = false;
    QLabel fingerprint_;
    QPushButton export_;
    QLabel status_;
};
