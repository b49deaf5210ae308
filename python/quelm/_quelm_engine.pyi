from collections.abc import Mapping, Sequence
from typing import Any, Protocol, final

__all__ = ["RakeResult", "_ArrowData", "rim_rake", "rim_rake_grouped", "rim_rake_by_scheme"]

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# A category key: an integer code (ints, bools, objects with __index__; floats truncate
# toward zero) or a text; shares are proportions, or percentages when a column's shares
# sum to more than 1.5.
_CategoryKey = int | float | str
_GroupKey = int | float | str

@final
class RakeResult:
    @property
    def n_valid(self) -> int: ...
    @property
    def iterations(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    @property
    def stalled(self) -> bool: ...
    @property
    def max_target_gap(self) -> float: ...
    @property
    def efficiency(self) -> float: ...
    @property
    def weight_min(self) -> float: ...
    @property
    def weight_max(self) -> float: ...
    @property
    def weight_ratio(self) -> float: ...
    def summary(self) -> dict[str, float]: ...

@final
class _ArrowData:
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any: ...

def rim_rake(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: dict[str, dict[_CategoryKey, float]],
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, RakeResult]: ...
def rim_rake_grouped(
    data: _ArrowStreamExportable,
    target_columns: Sequence[str],
    targets: dict[str, dict[_CategoryKey, float]],
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
def rim_rake_by_scheme(
    data: _ArrowStreamExportable,
    group_column: str,
    schemes: dict[_GroupKey, dict[str, dict[_CategoryKey, float]]],
    default_scheme: dict[str, dict[_CategoryKey, float]] | None = None,
    weight_column: str = "weight",
    max_iterations: int = 1000,
    convergence_threshold: float = 0.01,
    min_cap: float | None = None,
    max_cap: float | None = None,
    drop_nulls: bool = True,
    group_totals: dict[_GroupKey, float] | None = None,
    total: float | None = None,
    cap_correction: bool = True,
) -> tuple[_ArrowData, dict[str, RakeResult]]: ...
