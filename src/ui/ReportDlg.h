// ReportDlg asks for the user's own e-mail address before the log is mailed
// to support, and says which support address the log goes to. The address
// is remembered in USER_MAIL and offered again next time. Submit is enabled
// exactly when the address taken from the field is non-empty and free of
// control characters (a line break there would reach the report mail's
// header). It is modal; Submit (or Enter) stores the address and closes with
// Accepted, Cancel, Escape and the close box leave the setting unchanged.
#pragma once

#include <QByteArray>
#include <QDialog>

struct CoreContext;
class QLabel;
class QLineEdit;
class QPushButton;

// How much of the field is taken, in bytes of its UTF-8 text, never cutting
// a character.
inline constexpr int kUserMailTaken = 99;

class ReportDlg : public QDialog {
    Q_OBJECT

public:
    explicit ReportDlg(CoreContext& ctx, QWidget* parent = nullptr);

    void accept() override;

private:
    void BuildControls();
    QByteArray TakenAddress() const;
    void UpdateSubmit();

    CoreContext& ctx_;
    QLabel* explanation_ = nullptr;
    QLineEdit* address_ = nullptr;
    QPushButton* submit_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
