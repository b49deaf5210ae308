"""quelm: survey weighting by raking (RIM weighting, iterative proportional fitting).

Tables go in and out through the Arrow PyCapsule interface, so pyarrow, polars, pandas,
DuckDB and other Arrow-aware libraries can feed the functions and read their results.

    out, result = quelm.rim_rake(frame, ["sex", "age"], {"sex": {"f": 0.5, "m": 0.5},
                                                         "age": {1: 30, 2: 40, 3: 30}})

The guide is docs/guide.md, every error message is explained in docs/errors.md and the
command line (``quelm rake``) in docs/cli.md.
"""

from typing import TypeAlias

from quelm._errors import InternalError
from quelm._quelm_engine import (
    RakeResult,
    _ArrowData,
    rim_rake,
    rim_rake_by_scheme,
    rim_rake_grouped,
)

__version__ = "0.1.0"

#: A category key of a targets mapping: an integer code (a float is truncated toward zero)
#: or a text (the text "1" is not the integer 1).
CategoryKey: TypeAlias = int | float | str
#: A targets mapping: column name -> category key -> share (proportions, or percentages
#: when the shares of a column sum to more than 1.5).
Targets: TypeAlias = dict[str, dict[CategoryKey, float]]
#: A group value in the schemes and group_totals of rim_rake_by_scheme.
GroupKey: TypeAlias = int | float | str
#: The schemes of rim_rake_by_scheme: group value -> targets mapping.
Schemes: TypeAlias = dict[GroupKey, Targets]

__all__ = [
    "CategoryKey",
    "GroupKey",
    "InternalError",
    "RakeResult",
    "Schemes",
    "Targets",
    "__version__",
    "rim_rake",
    "rim_rake_by_scheme",
    "rim_rake_grouped",
]
