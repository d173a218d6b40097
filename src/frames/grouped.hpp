// Grouped aggregation over (entity, bin) runs: rows ordered by entity and time, cut
// into bins by a BinRule, each bin aggregated the way pandas' grouped reductions do
// (same skipping of NaN, same order of addition), so results match bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "calendar.hpp"

namespace frames {

// Rows grouped by entity; within an entity, stably by time.
struct Runs {
    std::vector<int64_t> order;  // row numbers
    std::vector<int64_t> start;  // entity e: order[start[e]] .. order[start[e + 1] - 1]
    int64_t entities() const { return static_cast<int64_t>(start.size()) - 1; }
};

// `codes[i]` in [0, entities) is row i's entity; `t` its time.
Runs entity_runs(const int64_t* codes, int64_t n, int64_t entities, const int64_t* t);

// The entities reordered by their first row in time order (ties: the earlier row),
// as grouping rows sorted stably by time numbers them. `rank[new] = old entity`.
Runs by_first_row(const Runs& runs, const int64_t* t, std::vector<int64_t>& rank);

// The bins of every entity's rows, in entity and time order. With `keep_empty`, the
// bins an entity's range holds without rows are listed too (begin == end).
struct Bins {
    std::vector<int64_t> label;   // timestamp of each output row
    std::vector<int64_t> entity;  // entity of each output row
    std::vector<int64_t> begin;   // its rows: order[begin[k]] .. order[begin[k + 1] - 1]
    bool gaps = false;            // some entity's range holds an empty bin
    int64_t size() const { return static_cast<int64_t>(label.size()); }
};

// `max_bins` bounds the output (empty bins included); false when it would exceed it.
bool cut_bins(const Runs& runs, const int64_t* t, const BinRule& rule, bool keep_empty,
              int64_t max_bins, Bins& out);

enum class Reduce { kFirst, kMax, kMin, kLast, kSum };

// One reduction of `values` (indexed by row number) per bin. Float: NaN is skipped; a
// bin without values gives NaN, or 0.0 for a sum when `min_count` is 0. Sums are
// compensated (Kahan) in row order, as pandas adds them. Integers wrap on overflow as
// pandas' do; an empty bin gives 0 (the caller types it as missing).
void reduce(const Runs& runs, const Bins& bins, const double* values, Reduce how, int64_t min_count,
            double* out);
void reduce(const Runs& runs, const Bins& bins, const int64_t* values, Reduce how, int64_t* out);

}  // namespace frames
