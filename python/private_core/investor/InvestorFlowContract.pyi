from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any, Literal, Protocol, Sequence, Union, runtime_checkable

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from ..transport_base import HttpSession

InvestorGroup = Literal[
    "foreign",
    "proprietary",
    "local_institutional",
    "local_individual",
    "foreign_institutional",
    "foreign_individual",
    "all",
]
SymbolArg = Union[str, Sequence[str]]
Interval = Literal["1D", "1W", "1M"]

@runtime_checkable
class InvestorFlowContract(Protocol):
    session: HttpSession
    def fetch_df(self, namespace: str, op: str, params: dict[str, Any]) -> pd.DataFrame: ...
