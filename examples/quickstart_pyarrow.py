"""Rake a pyarrow table to two margins and read the weights back."""

import pyarrow as pa

import quelm

table = pa.table({
    "sex": ["f", "m", "f", "f", "m", "f"],
    "age": [1, 2, 2, 3, 1, 3],
})
targets: quelm.Targets = {
    "sex": {"f": 0.5, "m": 0.5},   # proportions
    "age": {1: 30, 2: 40, 3: 30},  # percentages (the shares sum to more than 1.5)
}

out, result = quelm.rim_rake(table, ["sex", "age"], targets)
weighted = pa.table(out)  # the input columns and the Float64 column "weight"

print(weighted.column("weight").to_pylist())
print(result)
print(f"converged={result.converged} efficiency={result.efficiency:.1f}% "
      f"weights {result.weight_min:.3f}..{result.weight_max:.3f}")
