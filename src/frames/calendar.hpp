// Calendar arithmetic and bin rules on integer timestamps (ticks since 1970-01-01
// of one unit: seconds to nanoseconds), for resampling without pandas' resampler.
#pragma once

#include <cstdint>

namespace frames {

inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
inline int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// Proleptic Gregorian day numbers (days since 1970-01-01).
inline int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = floor_div(year, 400);
    int64_t yoe = year - era * 400;
    int64_t mp = month > 2 ? month - 3 : month + 9;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// year * 12 + (month - 1) of a day number.
inline int64_t month_index(int64_t days) {
    int64_t z = days + 719468;
    int64_t era = floor_div(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return year * 12 + (month - 1);
}

inline int64_t first_day_of_month(int64_t index) {
    int64_t year = floor_div(index, 12);
    return days_from_civil(year, index - year * 12 + 1, 1);
}

inline bool valid_date(int64_t year, int64_t month, int64_t day) {
    if (month < 1 || month > 12 || day < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// One resampling rule over timestamps of `per_day` ticks a day.
//
// kSpan: bins of `step` ticks laid from midnight of the series' first day.
// kWeek: weeks anchored on one weekday (`weekday_day0`, a day number on that
// weekday); kMonth: calendar months. Both count `step` anchors from the series'
// first anchor, and a whole day belongs to one anchor.
//
// Left-closed bins hold [edge, next edge), right-closed ones (edge, next edge]; for
// weeks and months whole days are compared, so a right-closed week ending on a
// Sunday holds all of that Sunday. The label is the bin's left or right edge.
struct BinRule {
    enum Kind { kSpan, kWeek, kMonth } kind = kSpan;
    int64_t step = 1;
    int64_t per_day = 86400LL * 1000000000LL;
    int64_t weekday_day0 = 0;
    bool closed_right = false;
    bool label_right = false;

    // The anchor unit of `t`: the week or month it lies in, counted so that a
    // left-closed bin starts and a right-closed one ends on the anchor.
    int64_t unit(int64_t t) const {
        int64_t day = floor_div(t, per_day);
        if (kind == kWeek)
            return closed_right ? ceil_div(day - weekday_day0, 7)
                                : floor_div(day - weekday_day0, 7);
        return month_index(day);
    }
    // The bin of `t` for a series whose first timestamp is `first`; consecutive
    // bins differ by `step`.
    int64_t bin(int64_t t, int64_t first) const {
        if (kind == kSpan) {
            int64_t origin = floor_div(first, per_day) * per_day;
            int64_t k = closed_right ? ceil_div(t - origin, step) : floor_div(t - origin, step);
            return origin + k * step;
        }
        int64_t a0 = unit(first);
        int64_t d = unit(t) - a0;
        return a0 + step * (closed_right ? ceil_div(d, step) : floor_div(d, step));
    }
    // The label of a bin as `bin` numbers it.
    int64_t label(int64_t bin_value) const {
        // For a span, `bin_value` is the edge the rows are closed on.
        int64_t shift = (label_right ? 1 : 0) - (closed_right ? 1 : 0);
        switch (kind) {
            case kSpan:
                return bin_value + shift * step;
            case kWeek:
                return (weekday_day0 + 7 * (bin_value + shift * step)) * per_day;
            case kMonth: {
                // A right-closed month ends on its last day: the day before the next 1st.
                int64_t index = bin_value + shift * step;
                return closed_right ? (first_day_of_month(index + 1) - 1) * per_day
                                    : first_day_of_month(index) * per_day;
            }
        }
        return 0;
    }
};

}  // namespace frames
