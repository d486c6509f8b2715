// HintDialog is the tutorial: tips on setting up mail with QuilloMark, read
// from the tutorial file of the user's language, and a check box that stops
// the tutorial from opening by itself at start. It is modal and has no close
// box: OK (or Enter) stores the check box in IS_OPEN_TUTORIAL every time,
// Escape closes it without storing anything.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

struct CoreContext;
class QCheckBox;
class QPlainTextEdit;
class QPushButton;

class HintDialog : public QDialog {
    Q_OBJECT

public:
    // languageId chooses "hint_CN.txt" (2052), "hint_TW.txt" (1028) or
    // "hint_EN.txt" in the base directory. A file that cannot be opened is
    // reported in an error box while the dialog is made; the text stays empty.
    HintDialog(CoreContext& ctx, uint16_t languageId, QWidget* parent = nullptr);

    void accept() override;

private:
    void BuildControls();
    void LoadText(const std::string& path);

    CoreContext& ctx_;
    QPlainTextEdit* text_ = nullptr;
    QPushButton* ok_ = nullptr;
    QCheckBox* disableTips_ = nullptr;
};
