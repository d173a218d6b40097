// ISO 8601 dates and date-times as the backend writes them ("2024-01-02",
// "2024-01-02T09:15:00", optionally with a space for the "T", without seconds, or with
// a fraction of up to nine digits), read into ticks since 1970-01-01. No time zones:
// a text with an offset is left to pandas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calendar.hpp"

namespace frames {

// The layout of one text: values of one column are read here only when all share it,
// which is when pandas reads them all with the format it infers from the first.
struct IsoLayout {
    size_t length = 0;
    char separator = 0;  // 'T' or ' ' between date and time; 0 for a date
    bool operator==(const IsoLayout&) const = default;
};

namespace detail {
inline bool digits(const char* s, size_t count, int64_t& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned d = static_cast<unsigned char>(s[i]) - '0';
        if (d > 9) return false;
        value = value * 10 + d;
    }
    return true;
}
}  // namespace detail

// Reads `s` (ASCII, `n` bytes) as seconds since the epoch plus nanoseconds. False for
// anything but the layouts above, an impossible date or time, or a year outside
// 1700..2200 (pandas' nanosecond range, with room).
inline bool parse_iso(const char* s, size_t n, IsoLayout& layout, int64_t& seconds,
                      int64_t& nanos) {
    using detail::digits;
    if (n < 10 || s[4] != '-' || s[7] != '-') return false;
    int64_t year, month, day, hour = 0, minute = 0, second = 0;
    if (!digits(s, 4, year) || !digits(s + 5, 2, month) || !digits(s + 8, 2, day)) return false;
    if (year < 1700 || year > 2200 || !valid_date(year, month, day)) return false;
    layout.length = n;
    layout.separator = 0;
    nanos = 0;
    if (n > 10) {
        if ((s[10] != 'T' && s[10] != ' ') || n < 16 || s[13] != ':') return false;
        layout.separator = s[10];
        if (!digits(s + 11, 2, hour) || !digits(s + 14, 2, minute)) return false;
        if (n > 16) {
            if (n < 19 || s[16] != ':' || !digits(s + 17, 2, second)) return false;
            if (n > 19) {
                size_t frac = n - 20;
                if (s[19] != '.' || frac < 1 || frac > 9 || !digits(s + 20, frac, nanos))
                    return false;
                for (size_t i = frac; i < 9; ++i) nanos *= 10;
            }
        }
        if (hour > 23 || minute > 59 || second > 59) return false;
    }
    seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

}  // namespace frames
