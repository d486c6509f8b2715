// The Settings dialog offscreen, on the files of a directory of its own: rows
// edited and written as a list the reader reads back, values the reader or
// the settings refuse leaving both files untouched, the test account sealed
// so that the settings loader reads it back, and an untouched password kept.
#include <QComboBox>

#include <regex>

#include "catalogue/ConnConfig.h"
#include "core/MailCode.h"
#include "core/MailCodeKeys.h"
#include "core/UserConfigFile.h"
#include "context/ServerCertificate.h"
#include "net/LocalCertificate.h"
#include "ui/SettingsDialog.h"
#include "ui/WindowFixture.h"

namespace {

const char* const kList =
    "2020/01/01 00:00:00\n"
    "MAIL one.test 25 110 143 first\n"
    "MAIL-SSL two.test 465 995 993 second\n";

// Records the moves Apply asks for; refuses them when told to.
class MovingStarter : public RecordingStarter {
public:
    bool MoveListener(AppContext& ctx, int32_t protocol, int32_t port, const std::string&,
                      std::string& reason) override {
        moves.emplace_back(protocol, port);
        if (!refuse.empty()) {
            reason = refuse;
            return false;
        }
        ctx.listenParams[protocol].port = port;
        return true;
    }
    std::vector<std::pair<int32_t, int32_t>> moves;
    std::string refuse;
};

class SettingsDialogTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        BuildMailCodeKeys(ctx.mailCodeKeys);
        std::string pass;
        ASSERT_EQ(SealMailCode(ctx.mailCodeKeys, "old secret", pass), CoreResult::Ok);
        dir.Write("Quillomark.ini", "PORT_SMTP=2525\nPORT_POP3=1110\nPORT_IMAP4=1143\nLOG_LVL=5\n"
                                    "TEST_MAIL_CODE3=\"" + pass + "\"\n");
        dir.Write("Quillomark.conf", kList);
        ReloadUserConfig(ctx);
        for (int32_t l = 0; l < kListenerCount; ++l)
            ctx.listenParams[l] = {l % kProtocolCount, ListenerPort(ctx.userConfig, l), l >= kProtocolCount};
        dialog = std::make_unique<SettingsDialog>(ctx, moving);
    }

    void SetCell(int row, int column, const char* text) {
        dialog->Servers().item(row, column)->setText(QString::fromUtf8(text));
    }

    // What the settings loader reads from the file as it is now.
    void LoadFresh(AppContext& fresh) {
        LogInto(fresh, dir);
        BuildMailCodeKeys(fresh.mailCodeKeys);
        ASSERT_EQ(LoadUserConfig(fresh), CoreResult::Ok);
    }

    MovingStarter moving;
    std::unique_ptr<SettingsDialog> dialog;
};

TEST_F(SettingsDialogTest, RowsEditedAddedRemovedAndMovedAreWrittenAsAListTheReaderReads) {
    QTableWidget& rows = dialog->Servers();
    ASSERT_EQ(rows.rowCount(), 2);
    dialog->AddButton().click();
    ASSERT_EQ(rows.rowCount(), 3);
    SetCell(2, 1, "three.test");
    SetCell(2, 5, "third");
    qobject_cast<QComboBox*>(rows.cellWidget(2, 0))->setCurrentIndex(1);
    SetCell(0, 2, "587");
    rows.setCurrentCell(1, 1);
    dialog->RemoveButton().click();
    rows.setCurrentCell(1, 1);
    dialog->UpButton().click();
    ASSERT_TRUE(dialog->Apply()) << dialog->StatusLine().text().toStdString();

    const std::string text = dir.Read("Quillomark.conf");
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\n)"))) << text;
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "MAIL-SSL three.test 587 110 143 third\nMAIL one.test 587 110 143 first\n");
    ProtocalInfoList back;
    EXPECT_EQ(ReadConnConfig(ctx, kConnConfigName, back), CatalogueResult::Ok);
    EXPECT_EQ(back.Count(), 2);
    ASSERT_EQ(moving.modes.size(), 1u) << "a changed list starts a detection run at once";
    EXPECT_EQ(moving.modes[0], DetectMode::OnDemand);
    EXPECT_TRUE(moving.moves.empty()) << "no port changed";
}

TEST_F(SettingsDialogTest, AnUnchangedDialogWritesNothingAndStartsNoRun) {
    ASSERT_TRUE(dialog->Apply());
    EXPECT_EQ(dir.Read("Quillomark.conf"), kList);
    EXPECT_TRUE(moving.modes.empty());
}

struct RefusedCell {
    const char* what;
    int column;  // -1: a settings field
    const char* field;
    const char* text;
};

class SettingsRefusalTest : public SettingsDialogTest, public ::testing::WithParamInterface<RefusedCell> {};

TEST_P(SettingsRefusalTest, IsRefusedWithNothingWritten) {
    const RefusedCell& c = GetParam();
    const std::string ini = dir.Read("Quillomark.ini");
    dialog->Field("MAIL_FROM").setText(QStringLiteral("changed@example.org"));
    if (c.column >= 0)
        SetCell(1, c.column, c.text);
    else
        dialog->Field(c.field).setText(QString::fromUtf8(c.text));
    EXPECT_FALSE(dialog->Apply());
    EXPECT_FALSE(dialog->StatusLine().text().isEmpty());
    EXPECT_EQ(dir.Read("Quillomark.conf"), kList);
    EXPECT_EQ(dir.Read("Quillomark.ini"), ini);
    EXPECT_TRUE(moving.modes.empty());
    EXPECT_TRUE(moving.moves.empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadValues, SettingsRefusalTest,
    ::testing::Values(RefusedCell{"SmtpPortZero", 2, nullptr, "0"},
                      RefusedCell{"Pop3PortTooHigh", 3, nullptr, "65536"},
                      RefusedCell{"Imap4PortNotANumber", 4, nullptr, "14x3"},
                      RefusedCell{"EmptyServer", 1, nullptr, ""},
                      RefusedCell{"ServerWithBlank", 1, nullptr, "two.test evil"},
                      RefusedCell{"ServerTooLong", 1, nullptr,
                                  "a123456789b123456789c123456789d123456789e123456789f123456789g1234.test"},
                      RefusedCell{"RemarkOfTwoWords", 5, nullptr, "two words"},
                      RefusedCell{"EmptyRemark", 5, nullptr, ""},
                      RefusedCell{"LocalPortZero", -1, "PORT_SMTP", "0"},
                      RefusedCell{"LocalPortTooHigh", -1, "PORT_POP3", "70000"},
                      RefusedCell{"LocalPortText", -1, "PORT_IMAP4", "imap"},
                      RefusedCell{"ListenAddressName", -1, "LISTEN_ADDRESS", "localhost"},
                      RefusedCell{"AccountTextTooLong", -1, "RCPT_TO",
                                  "x1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                                  "0123456789012345678901234567890123456789012345@example.org"}),
    [](const ::testing::TestParamInfo<RefusedCell>& info) { return info.param.what; });

TEST_F(SettingsDialogTest, UntouchedPasswordIsKeptAndTheAccountIsSealedForTheLoader) {
    EXPECT_TRUE(dialog->Field("LOGIN_PASS").text().isEmpty()) << "the password is never shown back";
    dialog->Field("LOGIN_NAME").setText(QStringLiteral("probe"));
    dialog->Field("MAIL_FROM").setText(QStringLiteral("probe@mail.test"));
    dialog->AdvancedButton().click();
    dialog->Field("DOWNLOAD_SERVER").setText(QStringLiteral("lists.mail.test"));
    ASSERT_TRUE(dialog->Apply()) << dialog->StatusLine().text().toStdString();

    const std::string ini = dir.Read("Quillomark.ini");
    EXPECT_EQ(ini.find("probe"), std::string::npos) << "nothing of the account in clear: " << ini;
    AppContext fresh;
    LoadFresh(fresh);
    EXPECT_STREQ(fresh.userConfig.LOGIN_PASS, "old secret");
    EXPECT_STREQ(fresh.userConfig.LOGIN_NAME, "probe");
    EXPECT_STREQ(fresh.userConfig.MAIL_FROM, "probe@mail.test");
    EXPECT_STREQ(fresh.userConfig.DOWNLOAD_SERVER, "lists.mail.test");
    EXPECT_STREQ(ctx.userConfig.LOGIN_NAME, "probe") << "the running copy took it too";
    EXPECT_EQ(moving.modes.size(), 1u) << "a changed account starts a detection run";

    dialog->Field("LOGIN_PASS").setText(QStringLiteral("new secret"));
    emit dialog->Field("LOGIN_PASS").textEdited(QStringLiteral("new secret"));
    ASSERT_TRUE(dialog->Apply());
    AppContext again;
    LoadFresh(again);
    EXPECT_STREQ(again.userConfig.LOGIN_PASS, "new secret");
    EXPECT_TRUE(dialog->Field("LOGIN_PASS").text().isEmpty());
}

TEST_F(SettingsDialogTest, ChangedPortsMoveTheirListenersAndARefusedMoveKeepsTheOldPort) {
    dialog->Field("PORT_POP3").setText(QStringLiteral("2110"));
    ASSERT_TRUE(dialog->Apply());
    ASSERT_EQ(moving.moves.size(), 1u);
    EXPECT_EQ(moving.moves[0], std::make_pair(int32_t{POP3}, int32_t{2110}));
    EXPECT_NE(dir.Read("Quillomark.ini").find("PORT_POP3=2110\n"), std::string::npos);

    moving.refuse = "Address already in use";
    dialog->Field("PORT_SMTP").setText(QStringLiteral("2626"));
    ASSERT_TRUE(dialog->Apply());
    EXPECT_NE(dialog->StatusLine().text().indexOf(QStringLiteral("Address already in use")), -1);
    EXPECT_NE(dir.Read("Quillomark.ini").find("PORT_SMTP=2525\n"), std::string::npos)
        << "the file says where the listener still is";
    EXPECT_EQ(ctx.userConfig.PORT_SMTP.load(), 2525);
    EXPECT_EQ(dialog->Field("PORT_SMTP").text(), QStringLiteral("2525"));
}

TEST_F(SettingsDialogTest, ABrokenImportChangesNothingAndAGoodOneKeepsBackups) {
    TempDir support;
    support.Write("Quillomark.conf", "2021/02/03 04:05:06\nMAIL imported.test 25 110 143 imported\n");
    support.Write("Quillomark.ini", "PORT_SMTP=2525\nTEST_MAIL_CODE2=\"NOTHEX1\"\n");
    const std::string ini = dir.Read("Quillomark.ini");
    dialog->ImportFiles({QString::fromStdString(support.File("Quillomark.conf")),
                         QString::fromStdString(support.File("Quillomark.ini"))});
    EXPECT_NE(dialog->StatusLine().text().indexOf(QStringLiteral("Nothing imported")), -1);
    EXPECT_EQ(dir.Read("Quillomark.conf"), kList) << "the good file of a refused set is not taken either";
    EXPECT_EQ(dir.Read("Quillomark.ini"), ini);
    EXPECT_FALSE(std::filesystem::exists(dir.File("Quillomark.conf.bak")));

    dialog->ImportFiles({QString::fromStdString(support.File("Quillomark.conf"))});
    EXPECT_EQ(dir.Read("Quillomark.conf.bak"), kList);
    EXPECT_EQ(dir.Read("Quillomark.conf"), support.Read("Quillomark.conf"));
    EXPECT_EQ(dialog->Servers().rowCount(), 1);
    EXPECT_EQ(moving.modes.size(), 1u);
}

}  // namespace

TEST_F(SettingsDialogTest, ClosingATlsPortMovesOnlyItAndTheCertificateIsShownAndExported) {
    EXPECT_FALSE(dialog->ExportButton().isEnabled()) << "no certificate before a TLS port opened";
    dialog->Field("PORT_POP3S").setText(QStringLiteral("0"));
    ASSERT_TRUE(dialog->Apply()) << dialog->StatusLine().text().toStdString();
    EXPECT_EQ(moving.moves, (std::vector<std::pair<int32_t, int32_t>>{{ListenerIndex(POP3, true), 0}}));
    EXPECT_EQ(ctx.userConfig.PORT_POP3S.load(), 0);

    const std::string pem = ReadCertificateFile(ServerCertificatePath(ctx));
    ASSERT_FALSE(pem.empty()) << "made when the open TLS ports were applied";
    EXPECT_EQ(dialog->Fingerprint().text().toStdString(), CertificateFingerprint(pem));
    ASSERT_TRUE(dialog->ExportCertificate(QString::fromStdString(dir.File("out.pem"))));
    EXPECT_EQ(dir.Read("out.pem"), pem);
    EXPECT_FALSE(dialog->ExportCertificate(QString::fromStdString(dir.File("no/such/out.pem"))));
}
