#include "catalogue/ProtocalInfo.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

ProtocalInfo WithCost(int32_t cost) {
    ProtocalInfo r;
    r.LinkCost = cost;
    return r;
}

TEST(ProtocalInfoTest, ConstructionIsUnmeasuredAndPlain) {
    ProtocalInfo r;
    EXPECT_FALSE(r.IsSSL);
    EXPECT_EQ(0, r.LinkCost);
    EXPECT_EQ(MAIL, r.Type);
    EXPECT_STREQ("", r.Code);
    EXPECT_STREQ("", r.Dest);
}

TEST(ProtocalInfoTest, CopyTakesAllFieldsOverFullWidths) {
    ProtocalInfo a;
    a.Type = MAIL_SSL;
    a.LinkCost = 1234;
    for (int i = 0; i < kCodeSize; ++i) a.Code[i] = static_cast<char>(i % 251 + 1);
    for (int i = 0; i < kDestSize; ++i) a.Dest[i] = static_cast<char>(200 - i);
    std::strcpy(a.Code, "c1");  // bytes behind the terminator are copied too
    std::strcpy(a.Dest, "d");
    a.Port[SMTP] = 465;
    a.Port[POP3] = 995;
    a.Port[IMAP4] = 993;
    a.IsSSL = true;

    ProtocalInfo copied(a);
    ProtocalInfo assigned;
    assigned = a;
    for (const ProtocalInfo* r : {&copied, &assigned}) {
        EXPECT_EQ(MAIL_SSL, r->Type);
        EXPECT_EQ(1234, r->LinkCost);
        EXPECT_EQ(0, std::memcmp(a.Code, r->Code, kCodeSize));
        EXPECT_EQ(0, std::memcmp(a.Dest, r->Dest, kDestSize));
        EXPECT_EQ(465, r->Port[SMTP]);
        EXPECT_EQ(995, r->Port[POP3]);
        EXPECT_EQ(993, r->Port[IMAP4]);
        EXPECT_TRUE(r->IsSSL);
    }
    const ProtocalInfo& same = assigned;
    assigned = same;  // self-assignment keeps the record
    EXPECT_EQ(1234, assigned.LinkCost);
}

TEST(ProtocalInfoTest, SettersCutToTheField) {
    ProtocalInfo r;
    std::string longText(600, 'x');
    r.SetDest(longText.c_str());
    r.SetCode(longText.c_str());
    EXPECT_EQ(63u, std::strlen(r.Dest));
    EXPECT_EQ(511u, std::strlen(r.Code));
    r.SetDest(nullptr);
    EXPECT_STREQ("", r.Dest);
}

TEST(ProtocalInfoTest, NameTables) {
    EXPECT_STREQ("MAIL", kLinkTypeTable[0].name);
    EXPECT_EQ(4, kLinkTypeTable[0].length);
    EXPECT_EQ(0, kLinkTypeTable[0].code);
    EXPECT_STREQ("MAIL-SSL", kLinkTypeTable[1].name);
    EXPECT_EQ(8, kLinkTypeTable[1].length);
    EXPECT_EQ(1, kLinkTypeTable[1].code);
    EXPECT_STREQ("ZZZ", kLinkTypeTable[2].name);
    EXPECT_EQ(3, kLinkTypeTable[2].length);
    EXPECT_EQ(2, kLinkTypeTable[2].code);

    EXPECT_STREQ("MAIL-SSL", LinkTypeName(MAIL_SSL));
    EXPECT_STREQ("ZZZ", LinkTypeName(ZZZ));
    EXPECT_STREQ("", LinkTypeName(3));
    EXPECT_STREQ("", LinkTypeName(-1));
    EXPECT_STREQ("SMTP", ProtocolTypeName(SMTP));
    EXPECT_STREQ("POP3", ProtocolTypeName(POP3));
    EXPECT_STREQ("IMAP4", ProtocolTypeName(IMAP4));
    EXPECT_STREQ("", ProtocolTypeName(3));
    EXPECT_STREQ("CLIENT", RelaySideName(CLIENT));
    EXPECT_STREQ("SERVER", RelaySideName(SERVER));
    EXPECT_STREQ("", RelaySideName(2));
}

TEST(ProtocalInfoTest, TypeWordMatchesByPrefix) {
    EXPECT_EQ(MAIL, MatchLinkType("MAIL"));
    EXPECT_EQ(MAIL, MatchLinkType("MAI"));
    EXPECT_EQ(MAIL, MatchLinkType("M"));
    EXPECT_EQ(MAIL_SSL, MatchLinkType("MAIL-"));
    EXPECT_EQ(MAIL_SSL, MatchLinkType("MAIL-S"));
    EXPECT_EQ(MAIL_SSL, MatchLinkType("MAIL-SSL"));
    EXPECT_EQ(-1, MatchLinkType("MAILX"));
    EXPECT_EQ(-1, MatchLinkType("MAIL-SSLX"));
    EXPECT_EQ(-1, MatchLinkType("ZZZ"));
    EXPECT_EQ(-1, MatchLinkType("Z"));
    EXPECT_EQ(-1, MatchLinkType("mail"));
    EXPECT_EQ(-1, MatchLinkType(nullptr));
}

TEST(ProtocalInfoTest, RankingOrder) {
    // Zero ranks before every other cost, measured before negative.
    EXPECT_TRUE(WithCost(0) < WithCost(1));
    EXPECT_TRUE(WithCost(0) < WithCost(-1));
    EXPECT_TRUE(WithCost(10) < WithCost(30));
    EXPECT_TRUE(WithCost(100000) < WithCost(-1));
    EXPECT_FALSE(WithCost(30) < WithCost(10));
    EXPECT_FALSE(WithCost(-1) < WithCost(0));
    // Equal measured costs, and any two negative costs, are equal.
    EXPECT_FALSE(WithCost(10) < WithCost(10));
    EXPECT_FALSE(WithCost(-1) < WithCost(-5));
    EXPECT_FALSE(WithCost(-5) < WithCost(-1));
}

}  // namespace
