// Lets a failed comparison of outcomes name them: the test framework prints
// a value through operator<< where there is one, and every module's outcome
// enum has a ToText.
#pragma once

#include <ostream>
#include <type_traits>

#include "platform/ResultCode.h"

template <typename Outcome>
    requires std::is_enum_v<Outcome> && requires(Outcome outcome) { ToText(outcome); }
std::ostream& operator<<(std::ostream& out, Outcome outcome) {
    return out << ToText(outcome) << " (" << CodeOf(outcome) << ")";
}
