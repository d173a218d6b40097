"""Plain-pandas reference versions of the investor engine's decoding and frame steps,
the straightforward algorithms: the tests compare the engine's results with them, and
bench/ times the engine beside them."""
from collections.abc import Mapping

import pandas as pd
from tavrix.exceptions import DataDecodingError

from private_core.investor.flow_engine import InvestorFlowEngine, _strict_str

ID_FIELD = InvestorFlowEngine._ID_FIELD
ENTRY_NOT_OBJECT = "Investor payload entries must be JSON objects."
UNEXPECTED = "Unexpected payload format for investor endpoint."
ENVELOPE = ("data", "results", "items", "records")


def pandas_rule(interval):
    """The rule pandas is given: the contract's "1M" (calendar months, labelled by their
    last day) is "1ME" on a pandas that knows that name (2.2 and newer)."""
    if interval != "1M":
        return interval
    try:
        pd.tseries.frequencies.to_offset("1ME")
    except ValueError:
        return interval
    return "1ME"


def _date_column(frame):
    return next((col for col in ("date", "Date") if col in frame.columns), None)


def resample_per_entity(frame, namespace, interval):
    """One pandas resample per entity, then concatenated and sorted."""
    date_col = _date_column(frame)
    if frame.empty or date_col is None:
        return frame
    work = frame.dropna(subset=[date_col])
    if work.empty:
        return frame
    work = work.copy()
    work[date_col] = pd.to_datetime(work[date_col], errors="coerce")
    work = work.dropna(subset=[date_col])
    if work.empty:
        return frame
    candidates = [ID_FIELD.get(namespace), "symbol", "icb", "code", "ticker"]
    id_col = next((c for c in candidates if c and c in work.columns), None)
    if id_col:
        work[id_col] = work[id_col].apply(_strict_str)
        work = work[work[id_col] != ""]
    numeric = [c for c in work.select_dtypes(include="number").columns.tolist() if c != id_col]
    if not numeric:
        return frame
    groups = work.groupby(id_col, group_keys=False) if id_col else [(None, work)]
    results = []
    for key, rows in groups:
        res = rows.set_index(date_col)[numeric].resample(pandas_rule(interval)).sum(min_count=1)
        if res.empty:
            continue
        res.index.name = date_col
        res = res.reset_index()
        if id_col and key is not None:
            res[id_col] = _strict_str(key)
        for col in rows.columns:
            if col in numeric or col == date_col or col == id_col:
                continue
            res[col] = rows[col].iloc[0]
        results.append(res)
    if not results:
        return frame
    combined = pd.concat(results, ignore_index=True)
    keys = [k for k in (id_col, date_col) if k and k in combined.columns]  # the date column at least
    return combined.sort_values(keys, kind="stable").reset_index(drop=True)


def ensure_mapping(entry, namespace, identifier=None):
    if identifier is not None and type(identifier) is not str:
        raise TypeError("identifier")
    if not isinstance(entry, Mapping):
        raise DataDecodingError(ENTRY_NOT_OBJECT)
    row = dict(entry)
    if identifier is not None:
        field = ID_FIELD.get(namespace, "id")
        if field not in row:
            row[field] = identifier
    return row


def normalise_records(payload, namespace):
    if payload is None:
        return []
    if isinstance(payload, list):
        return [ensure_mapping(entry, namespace) for entry in payload]
    if isinstance(payload, Mapping):
        for key in ENVELOPE:
            if key in payload:
                return normalise_records(payload[key], namespace)
        # One walk of the items: a mapping may answer differently the next time.
        pairs = list(payload.items())
        if all(isinstance(pair[1], list) for pair in pairs):
            return [ensure_mapping(entry, namespace, pair[0]) for pair in pairs for entry in pair[1]]
    raise DataDecodingError(UNEXPECTED)


def to_dataframe(rows, namespace):
    if not rows:
        return pd.DataFrame()
    frame = pd.DataFrame.from_records(rows)
    for col in ("date", "Date", "trade_date", "timestamp"):
        if col in frame.columns:
            epoch = col == "timestamp" and pd.api.types.is_numeric_dtype(frame[col])  # seconds
            frame[col] = pd.to_datetime(frame[col], unit="s" if epoch else None, errors="coerce")
    keys = [key for key in (ID_FIELD.get(namespace), _date_column(frame)) if key and key in frame.columns]
    if keys:
        frame = frame.sort_values(keys, kind="stable").reset_index(drop=True)
    return frame
