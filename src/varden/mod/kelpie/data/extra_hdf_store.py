"""Stand-in: the extra store: SQL reads of the data layer's tables beside the bars.

``ExtraHDFStore()`` opens the sample store read-only on first ``read`` and closes it when
the ``with`` block (or ``close()``) ends. ``read(sql)`` runs one SQL statement and returns
its rows as a DataFrame with the selected columns; SQL that fails, writes, or selects
nothing raises ``ValueError`` naming the statement and the reason.
"""

import sqlite3

import pandas as pd

from varden.mod.stock.data.sample_store import open_store


class ExtraHDFStore:
    def __init__(self):
        self._conn = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def close(self):
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def read(self, sql):
        if not isinstance(sql, str):
            raise TypeError(f"sql must be a text, not {type(sql).__name__}")
        if self._conn is None:
            self._conn = open_store()
        try:
            cursor = self._conn.execute(sql)
            rows = cursor.fetchall()
        except (sqlite3.Error, sqlite3.Warning) as exc:  # Warning: several statements
            raise ValueError(f"extra store cannot run {sql!r}: {exc}") from exc
        if cursor.description is None:
            raise ValueError(f"extra store cannot run {sql!r}: it selects no columns")
        return pd.DataFrame(rows, columns=[column[0] for column in cursor.description])
