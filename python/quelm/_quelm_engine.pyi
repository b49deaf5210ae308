"""Type information for the native module quelm._quelm_engine."""

from collections.abc import Sequence
from typing import Protocol, TypeAlias, TypeVar, final, overload

__all__ = ["RakeResult", "_ArrowData", "rim_rake", "rim_rake_grouped", "rim_rake_by_scheme"]

class _ArrowStreamExportable(Protocol):
    """Any table that offers the Arrow PyCapsule stream interface (pyarrow, polars, pandas,
    DuckDB, nanoarrow, arro3, the _ArrowData of an earlier call, ...)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# A category key: an integer code (int, bool or any object with __index__; a float is
# truncated toward zero) or a text ("1" stays the text "1"). A share is a proportion, or a
# percentage when the shares of the column sum to more than 1.5.
_CategoryKey: TypeAlias = int | float | str
# A group value of rim_rake_by_scheme's schemes and group_totals: a text is compared with
# the group key texts as it is, a number by its shortest decimal text (1, 1.0 -> "1").
_GroupKey: TypeAlias = int | float | str
# column name -> category key -> share
_Targets: TypeAlias = dict[str, dict[_CategoryKey, float]]

# Homogeneous mappings held in variables without an annotation (dict[str, dict[str, float]],
# dict[str, dict[int, int]], ...) are accepted through these type variables, since dict is
# invariant in its key and value types.
_K = TypeVar("_K", bound=int | float | str)
_K2 = TypeVar("_K2", bound=int | float | str)
_V = TypeVar("_V", bound=float)
_V2 = TypeVar("_V2", bound=float)
_V3 = TypeVar("_V3", bound=float)
_G = TypeVar("_G", bound=int | float | str)
_G2 = TypeVar("_G2", bound=int | float | str)

@final
class RakeResult:
    """Diagnostics of one raking run (read-only)."""

    @property
    def n_valid(self) -> int:
        """Number of rows that took part in the raking."""
    @property
    def iterations(self) -> int:
        """Number of raking iterations performed."""
    @property
    def converged(self) -> bool:
        """The largest gap of an iteration fell below convergence_threshold."""
    @property
    def stalled(self) -> bool:
        """The run stopped because the gap no longer improved."""
    @property
    def max_target_gap(self) -> float:
        """Largest |weighted - target| / (target + 1) over all categories, on the final
        weights: a fraction of the target count, not a percentage."""
    @property
    def efficiency(self) -> float:
        """Kish's effective sample size in percent of n_valid (100 for equal weights)."""
    @property
    def weight_min(self) -> float:
        """Smallest weight on the engine's scale (mean 1, before any total)."""
    @property
    def weight_max(self) -> float:
        """Largest weight on the engine's scale (mean 1, before any total)."""
    @property
    def weight_ratio(self) -> float:
        """weight_max / weight_min; infinity when weight_min is not positive."""
    def summary(self) -> dict[str, float]:
        """The nine values above as floats, rounded for display (keys in no fixed order)."""
    def __repr__(self) -> str: ...

@final
class _ArrowData:
    """The weighted table: the input columns plus the Float64 weight column."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A new PyCapsule named "arrow_array_stream" holding one batch of the table."""
    def __repr__(self) -> str: ...

@overload
def rim_rake(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: _Targets,
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, RakeResult]: ...
@overload
def rim_rake(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: dict[str, dict[_K, _V]],
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, RakeResult]: ...
@overload
def rim_rake_grouped(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: _Targets,
    group_columns: Sequence[str],
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, dict[str, RakeResult]]: ...
@overload
def rim_rake_grouped(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: dict[str, dict[_K, _V]],
    group_columns: Sequence[str],
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, dict[str, RakeResult]]: ...
@overload
def rim_rake_by_scheme(
    data: _ArrowStreamExportable,
    group_column: str,
    schemes: dict[_GroupKey, _Targets],
    default_scheme: _Targets | None = None,
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    group_totals: dict[_G2, _V3] | None = None,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, dict[str, RakeResult]]: ...
@overload
def rim_rake_by_scheme(
    data: _ArrowStreamExportable,
    group_column: str,
    schemes: dict[_G, dict[str, dict[_K, _V]]],
    default_scheme: dict[str, dict[_K2, _V2]] | None = None,
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    group_totals: dict[_G2, _V3] | None = None,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, dict[str, RakeResult]]: ...
