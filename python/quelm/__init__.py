"""quelm: survey weighting by raking (RIM weighting, iterative proportional fitting).

Tables go in and out through the Arrow PyCapsule interface, so pyarrow, polars, pandas,
DuckDB and other Arrow-aware libraries can feed the functions and read their results.
"""

from quelm._errors import InternalError
from quelm._quelm_engine import (
    RakeResult,
    _ArrowData,
    rim_rake,
    rim_rake_by_scheme,
    rim_rake_grouped,
)

__version__ = "0.1.0"

__all__ = [
    "InternalError",
    "RakeResult",
    "rim_rake",
    "rim_rake_by_scheme",
    "rim_rake_grouped",
]
