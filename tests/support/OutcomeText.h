// Lets a failed comparison of outcomes name them: the test framework prints
// a value through operator<< where there is one, and every module's outcome
// enum has a ToText. Also the row of the table test each outcome enum has.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "platform/ResultCode.h"

template <typename Outcome>
    requires std::is_enum_v<Outcome> && requires(Outcome outcome) { ToText(outcome); }
std::ostream& operator<<(std::ostream& out, Outcome outcome) {
    return out << ToText(outcome) << " (" << CodeOf(outcome) << ")";
}

// One row of an outcome's table test: what ToText and CodeOf give for a
// value, beside the name it is written with and the number the log prints.
struct OutcomeRow {
    std::string text;
    int32_t code;
    const char* name;
    int32_t number;
};

inline void PrintTo(const OutcomeRow& row, std::ostream* out) { *out << row.name; }

template <typename Outcome>
OutcomeRow Row(Outcome value, const char* name, int32_t number) {
    return OutcomeRow{ToText(value), CodeOf(value), name, number};
}
#define QM_OUTCOME_ROW(Outcome, value, number) Row(Outcome::value, #value, number)

class OutcomeTableTest : public ::testing::TestWithParam<OutcomeRow> {
protected:
    void ExpectRow() const {
        EXPECT_EQ(GetParam().name, GetParam().text) << "ToText gives another value's name";
        EXPECT_EQ(GetParam().number, GetParam().code) << "log lines print the number";
    }
};

inline std::string RowName(const ::testing::TestParamInfo<OutcomeRow>& info) { return info.param.name; }
