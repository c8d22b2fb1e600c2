// Byte tests and number reading shared by the option loader and the argument checker.
// Explicit byte sets, so that the user's locale never changes how an option is read.
#pragma once

#include <cstdint>

inline constexpr bool zs_is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline constexpr bool zs_is_digit(char c) { return c >= '0' && c <= '9'; }

// Past this every number we read is out of range (the largest is a memory budget, 2^50 bytes);
// reading stops growing there, so a long run of digits can neither wrap nor overflow the 64-bit
// accumulator (ten times the cap, plus a digit, stays below INT64_MAX).
inline constexpr int64_t ZS_NUM_CAP = (int64_t)1 << 59;

// Reads the leading ASCII digits of s (no sign, no blanks) into *value, capped at ZS_NUM_CAP.
// Returns the number of digits read; 0 digits give the value 0.
inline int zs_read_digits(const char* s, int64_t* value) {
    int64_t v = 0;
    int n = 0;
    for (; zs_is_digit(s[n]); n++) {
        v = v * 10 + (s[n] - '0');
        if (v > ZS_NUM_CAP) v = ZS_NUM_CAP;
    }
    *value = v;
    return n;
}
