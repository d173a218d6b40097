#include "grouped.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace frames {

Runs entity_runs(const int64_t* codes, int64_t n, int64_t entities, const int64_t* t) {
    Runs runs;
    runs.start.assign(static_cast<size_t>(entities) + 1, 0);
    for (int64_t i = 0; i < n; ++i) ++runs.start[static_cast<size_t>(codes[i]) + 1];
    for (int64_t e = 0; e < entities; ++e) runs.start[e + 1] += runs.start[e];
    runs.order.resize(static_cast<size_t>(n));
    std::vector<int64_t> fill(runs.start.begin(), runs.start.end() - 1);
    for (int64_t i = 0; i < n; ++i) runs.order[fill[codes[i]]++] = i;
    for (int64_t e = 0; e < entities; ++e) {
        auto begin = runs.order.begin() + runs.start[e],
             end = runs.order.begin() + runs.start[e + 1];
        auto earlier = [t](int64_t a, int64_t b) { return t[a] < t[b]; };
        // The service answers in time order: check before sorting.
        if (!std::is_sorted(begin, end, earlier)) std::stable_sort(begin, end, earlier);
    }
    return runs;
}

Runs by_first_row(const Runs& runs, const int64_t* t, std::vector<int64_t>& rank) {
    const int64_t entities = runs.entities();
    rank.resize(static_cast<size_t>(entities));
    for (int64_t e = 0; e < entities; ++e) rank[e] = e;
    auto first = [&](int64_t e) { return runs.order[runs.start[e]]; };
    std::sort(rank.begin(), rank.end(), [&](int64_t a, int64_t b) {
        int64_t ra = first(a), rb = first(b);
        return t[ra] != t[rb] ? t[ra] < t[rb] : ra < rb;
    });
    Runs out;
    out.order.reserve(runs.order.size());
    out.start.push_back(0);
    for (int64_t e : rank) {
        out.order.insert(out.order.end(), runs.order.begin() + runs.start[e],
                         runs.order.begin() + runs.start[e + 1]);
        out.start.push_back(static_cast<int64_t>(out.order.size()));
    }
    return out;
}

bool cut_bins(const Runs& runs, const int64_t* t, const BinRule& rule, bool keep_empty,
              int64_t max_bins, Bins& out) {
    out = Bins{};
    for (int64_t e = 0; e < runs.entities(); ++e) {
        const int64_t lo = runs.start[e], hi = runs.start[e + 1];
        if (lo == hi) continue;
        const int64_t first = t[runs.order[lo]];
        int64_t current = 0;
        for (int64_t k = lo; k < hi; ++k) {
            int64_t bin = rule.bin(t[runs.order[k]], first);
            if (k > lo && bin == current) continue;
            if (k > lo && bin != current + rule.step) {
                out.gaps = true;
                if (keep_empty) {
                    if (out.size() + (bin - current) / rule.step > max_bins) return false;
                    for (int64_t b = current + rule.step; b < bin; b += rule.step) {
                        out.label.push_back(rule.label(b));
                        out.entity.push_back(e);
                        out.begin.push_back(k);
                    }
                }
            }
            if (out.size() >= max_bins) return false;
            current = bin;
            out.label.push_back(rule.label(bin));
            out.entity.push_back(e);
            out.begin.push_back(k);
        }
    }
    out.begin.push_back(static_cast<int64_t>(runs.order.size()));
    return true;
}

void reduce(const Runs& runs, const Bins& bins, const double* values, Reduce how, int64_t min_count,
            double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const int64_t* order = runs.order.data();
    for (int64_t k = 0; k < bins.size(); ++k) {
        const int64_t lo = bins.begin[k], hi = bins.begin[k + 1];
        int64_t seen = 0;
        double acc = how == Reduce::kMax   ? -std::numeric_limits<double>::infinity()
                     : how == Reduce::kMin ? std::numeric_limits<double>::infinity()
                                           : 0.0;
        double compensation = 0.0;
        for (int64_t r = lo; r < hi; ++r) {
            double v = values[order[r]];
            if (std::isnan(v)) continue;
            ++seen;
            switch (how) {
                case Reduce::kFirst:
                    if (seen == 1) acc = v;
                    break;
                case Reduce::kLast:
                    acc = v;
                    break;
                case Reduce::kMax:
                    if (v > acc) acc = v;
                    break;
                case Reduce::kMin:
                    if (v < acc) acc = v;
                    break;
                case Reduce::kSum: {
                    double y = v - compensation;
                    double s = acc + y;
                    compensation = s - acc - y;
                    // An infinite value makes the compensation NaN, which would
                    // poison the rest of the sum.
                    if (std::isnan(compensation)) compensation = 0.0;
                    acc = s;
                    break;
                }
            }
        }
        if (how == Reduce::kSum) {
            out[k] = seen < min_count ? nan : acc;
        } else {
            out[k] = seen == 0 ? nan : acc;
        }
    }
}

void reduce(const Runs& runs, const Bins& bins, const int64_t* values, Reduce how, int64_t* out) {
    const int64_t* order = runs.order.data();
    for (int64_t k = 0; k < bins.size(); ++k) {
        const int64_t lo = bins.begin[k], hi = bins.begin[k + 1];
        if (lo == hi) {
            out[k] = 0;
            continue;
        }
        int64_t acc = values[order[lo]];
        for (int64_t r = lo + 1; r < hi; ++r) {
            int64_t v = values[order[r]];
            switch (how) {
                case Reduce::kFirst:
                    break;
                case Reduce::kLast:
                    acc = v;
                    break;
                case Reduce::kMax:
                    acc = std::max(acc, v);
                    break;
                case Reduce::kMin:
                    acc = std::min(acc, v);
                    break;
                case Reduce::kSum:
                    acc =
                        static_cast<int64_t>(static_cast<uint64_t>(acc) + static_cast<uint64_t>(v));
                    break;
            }
        }
        out[k] = acc;
    }
}

}  // namespace frames
