"""Stand-in: ``pd_Panel``: a small three-dimensional table over pandas.

A panel holds one DataFrame per item; every item shares the same major axis (the rows,
usually time) and minor axis (the columns). Construction aligns the tables on the union of
their rows and columns, in order of first appearance, missing cells being NaN.
"""

from collections.abc import Mapping

import pandas as pd


def _union(indexes):
    union = []
    seen = set()
    for index in indexes:
        for label in index:
            if label not in seen:
                seen.add(label)
                union.append(label)
    return pd.Index(union)


def _positions(selector, length):
    if isinstance(selector, slice):
        return list(range(length))[selector]
    if isinstance(selector, int):
        selector = [selector]
    return [range(length)[position] for position in selector]


class _PanelILoc:
    def __init__(self, panel):
        self._panel = panel

    def __getitem__(self, key):
        items_sel, major_sel = key if isinstance(key, tuple) else (key, slice(None))
        panel = self._panel
        items = [panel.items[i] for i in _positions(items_sel, len(panel.items))]
        rows = _positions(major_sel, len(panel.major_axis))
        return pd_Panel({item: panel[item].iloc[rows] for item in items})


class pd_Panel:
    """Items x major axis x minor axis.

    ``pd_Panel({item: DataFrame(index=major, columns=minor)})``;
    ``pd_Panel.from_dict(data, orient="minor")`` takes ``{minor: DataFrame(index=major,
    columns=item)}`` instead. ``panel[item]`` is a DataFrame; ``panel.iloc[items, major]``
    selects by position (an int, a slice or a list of ints on each axis) and always
    returns a panel.
    """

    def __init__(self, data):
        if not isinstance(data, Mapping):
            raise TypeError(f"pd_Panel needs a mapping of DataFrames, not {type(data).__name__}")
        frames = {item: pd.DataFrame(frame) for item, frame in data.items()}
        self.major_axis = _union(frame.index for frame in frames.values())
        self.minor_axis = _union(frame.columns for frame in frames.values())
        self.items = pd.Index(list(frames))
        self._frames = {
            item: frame.reindex(index=self.major_axis, columns=self.minor_axis)
            for item, frame in frames.items()
        }

    @classmethod
    def from_dict(cls, data, orient="items"):
        if orient == "items":
            return cls(data)
        if orient != "minor":
            raise ValueError(f"orient must be 'items' or 'minor', not {orient!r}")
        by_minor = {minor: pd.DataFrame(frame) for minor, frame in data.items()}
        major = _union(frame.index for frame in by_minor.values())
        items = _union(frame.columns for frame in by_minor.values())
        minors = list(by_minor)
        return cls(
            {
                item: pd.DataFrame(
                    {m: frame[item] for m, frame in by_minor.items() if item in frame.columns},
                    index=major,
                ).reindex(columns=minors)
                for item in items
            }
        )

    @property
    def shape(self):
        return len(self.items), len(self.major_axis), len(self.minor_axis)

    @property
    def iloc(self):
        return _PanelILoc(self)

    def __getitem__(self, item):
        return self._frames[item]

    def to_frame(self):
        """One row per (major, minor) pair, one column per item."""
        frame = pd.DataFrame(
            {item: self._frames[item].stack(future_stack=True) for item in self.items}
        )
        frame.index.names = ["major", "minor"]
        return frame

    def __repr__(self):
        def span(axis):
            return f"{axis[0]} to {axis[-1]}" if len(axis) else "None"

        n_items, n_major, n_minor = self.shape
        return "\n".join(
            [
                type(self).__name__,
                f"Dimensions: {n_items} (items) x {n_major} (major_axis) x {n_minor} (minor_axis)",
                f"Items axis: {span(self.items)}",
                f"Major_axis axis: {span(self.major_axis)}",
                f"Minor_axis axis: {span(self.minor_axis)}",
            ]
        )
