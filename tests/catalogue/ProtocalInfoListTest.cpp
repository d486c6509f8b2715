#include "catalogue/ProtocalInfoList.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

ProtocalInfoList ListOf(const std::vector<int32_t>& costs) {
    ProtocalInfoList list;
    for (size_t i = 0; i < costs.size(); ++i) {
        ProtocalInfo r;
        r.LinkCost = costs[i];
        // Appended rather than "c" + std::to_string(i): GCC 12 at -O3 takes the
        // insert at the front of a temporary for an overlapping copy
        // (a false -Wrestrict, GCC bug 105329) and -Werror stops the build.
        std::string code = "c";
        code += std::to_string(i);
        r.SetCode(code.c_str());
        list.PushBack(r);
    }
    return list;
}

std::string Codes(const ProtocalInfoList& list) {
    std::string codes;
    for (const ProtocalInfo& r : list) codes += std::string(r.Code) + " ";
    return codes;
}

TEST(ProtocalInfoListTest, SortRanksAndKeepsEqualsInOrder) {
    ProtocalInfoList list = ListOf({30, -1, 10, 0, -1, 10});
    list.Sort();
    std::vector<int32_t> costs;
    for (const ProtocalInfo& r : list) costs.push_back(r.LinkCost);
    EXPECT_EQ((std::vector<int32_t>{0, 10, 10, 30, -1, -1}), costs);
    EXPECT_EQ("c3 c2 c5 c0 c1 c4 ", Codes(list));
}

TEST(ProtocalInfoListTest, AllFailedKeepTheirOrder) {
    ProtocalInfoList list = ListOf({-1, -1, -1, -1});
    list.Sort();
    EXPECT_EQ("c0 c1 c2 c3 ", Codes(list));
}

TEST(ProtocalInfoListTest, ListOwnsCopies) {
    ProtocalInfoList list = ListOf({5, 6});
    ProtocalInfoList copy = list;
    copy.First()->LinkCost = 99;
    EXPECT_EQ(5, list.First()->LinkCost);

    ProtocalInfo front;
    front.SetCode("front");
    list.PushFront(front);
    front.SetCode("changed");
    EXPECT_EQ(3, list.Count());
    EXPECT_STREQ("front", list.First()->Code);
    EXPECT_EQ(2, copy.Count());

    list.Clear();
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(nullptr, list.First());
}

}  // namespace
