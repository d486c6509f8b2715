// How a module reports what came of an operation. Each module has one enum
// class of its outcomes; a value carries the number the program has always
// used for it, so a log line that prints the number stays as it was, and a
// comment says what it means. A const char* ToText(Outcome) of the module
// gives each value's name from one table, for log lines and test messages.
// Success is never a value of a failure enum: an operation that can only fail
// or succeed returns the failure enum with Ok = 0, and one whose successes
// differ (a count, a descriptor) returns them beside the outcome.
//
//     enum class ListResult : int32_t {
//         Ok = 0,
//         FormatError = -21,  // a line is not a record
//     };
//     const char* ToText(ListResult result);
//
// CodeOf gives the number where a log line or a caller outside the program
// needs it.
#pragma once

#include <cstdint>
#include <type_traits>

template <typename Outcome>
    requires std::is_enum_v<Outcome>
constexpr int32_t CodeOf(Outcome outcome) {
    return static_cast<int32_t>(outcome);
}
