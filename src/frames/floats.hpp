// How the installed pandas reduces the float values of a bin (sum, max, min), asked
// of pandas once and used by both pipelines, and the price bars' float reductions
// done the same way.
#pragma once

#include <vector>

#include "grouped.hpp"
#include "rt.hpp"

namespace frames {

namespace py = pybind11;

enum class FloatReductions {
    // pandas' own loops throughout: NaN skipped, sums compensated (grouped.hpp).
    kLoops,
    // numpy's ufunc.reduceat for a series without NaN (its own order of addition, its
    // own pick between 0.0 and -0.0), the loops for one with NaN (pandas 3.1).
    kNumpyWhenClean,
    // Neither: float columns take pandas' own path.
    kUnknown,
};

// The way of the pandas module `pd`, found on a probe frame the first time it is
// asked; kUnknown is logged (at debug level, logger "private_core.frames").
FloatReductions float_reductions(py::handle pd);

// The probe itself, asked anew on each call (float_reductions keeps its first answer).
FloatReductions probe_float_reductions(py::handle pd);

// Whether the way matters to `how`: first and last are the same under every way.
inline bool way_matters(Reduce how) { return how != Reduce::kFirst && how != Reduce::kLast; }

// `how` of `values` (indexed by row number) per bin, the way `ways` names (kUnknown
// only where the way does not matter), as pandas gives it for each entity's series
// resampled on its own; a sum of a bin without values is 0.0.
void reduce_floats(const Runs& runs, const Bins& bins, const double* values, Reduce how,
                   FloatReductions ways, double* out);

}  // namespace frames
