// The structural contract every investor-flow engine meets, and the literal types
// that name the accepted parameter values. The session type is named for static
// checkers only: loading the contract must not load the transport.
#include "rt.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kContractDoc =
    "Structural contract for engines that serve investor-flow data.\n"
    "\n"
    "Implementors must expose an :class:`HttpSession` through ``session`` so that\n"
    "they can call the Tavrix service directly.\n"
    "\n"
    "``fetch_df(namespace, op, params)`` receives:\n"
    "\n"
    "* ``namespace``: one of ``\"stock\"``, ``\"market\"``, ``\"sector\"``.\n"
    "* ``op``: one of ``\"flow\"``, ``\"breakdown\"``, ``\"foreign_room\"``, depending\n"
    "  on the namespace.\n"
    "* ``params``: an already normalised dict with the keys ``ids`` (list of str),\n"
    "  ``group`` (:data:`InvestorGroup`), ``start`` and ``end`` (dates as\n"
    "  ``YYYY-MM-DD``), ``interval`` (:data:`Interval`), and possibly further keys.\n"
    "\n"
    "The result must be a :class:`pandas.DataFrame`; the client does not convert\n"
    "anything itself.\n";

// The protocol's own member does nothing beyond the argument checks.
py::object fetch_df(rt::Call&) { return py::none(); }

void body(rt::Module& m) {
    m.from_import("typing", {"TYPE_CHECKING", "Literal", "Protocol", "Sequence", "Union",
                             "runtime_checkable"});
    m.import("pandas", "pd");

    m.bind("InvestorGroup",
           m.eval("Literal['foreign', 'proprietary', 'local_institutional', 'local_individual', "
                  "'foreign_institutional', 'foreign_individual', 'all']"));
    m.bind("SymbolArg", m.eval("Union[str, Sequence[str]]"));
    m.bind("Interval", m.eval("Literal['1D', '1W', '1M']"));

    py::object cls =
        m.cls("InvestorFlowContract", rt::new_tuple(m.dict()["Protocol"]))
            .doc(kContractDoc)
            .annotations({{"session", "'HttpSession'"}})
            .method(
                "fetch_df", fetch_df,
                "(self, namespace: str, op: str, params: dict) -> pd.DataFrame", nullptr,
                {{"namespace", &PyUnicode_Type}, {"op", &PyUnicode_Type}, {"params", &PyDict_Type}})
            .build();
    m.bind("InvestorFlowContract", rt::call(m.dict()["runtime_checkable"], cls));
}

}  // namespace

RT_MODULE(InvestorFlowContract, body)
