// The investor flows' resampling on the frames engine: every entity's daily rows
// summed into pandas' bins of the rule in one grouped pass, empty periods kept as
// missing, descriptive columns holding the entity's first value.
#pragma once

#include "rt.hpp"

namespace frames {

namespace py = pybind11;

// A cleaned frame and its roles, as the per-entity algorithm sees it.
struct FlowFrame {
    py::object frame;  // cleaned copy
    py::object date_col;
    py::object id_col;     // None without an identifier column
    py::object numeric;    // list
    py::object preserved;  // list
};

// The per-entity result (each entity resampled by pandas with the rule, summed with a
// minimum count of 1, the entities concatenated) from one grouped pass; None when
// the frame or rule lies outside what that pass reproduces exactly (other rules,
// dtypes, missing identifiers), and the per-entity algorithm must run.
py::object resample_flows(py::handle pd, const FlowFrame& w, py::handle interval);

// The straightforward algorithm, one pandas resample per entity, for the rules and
// column kinds whose combined layout the grouped pass does not reproduce: each
// entity's rows labelled `strict_str(key)`, the results concatenated and sorted.
// `original` comes back when no entity has a row.
py::object resample_flows_per_entity(py::handle pd, const FlowFrame& w, py::handle interval,
                                     py::handle original, py::handle strict_str);

}  // namespace frames
