"""Rake a pandas DataFrame and get a pandas DataFrame back."""

import pandas as pd
import pyarrow as pa

import quelm

frame = pd.DataFrame({
    "region": pd.Series(["north", "south", "south", "east", "north", "south"], dtype="category"),
    "income": [3200, 2100, 2800, 1900, 4100, 2500],
})
targets: quelm.Targets = {"region": {"north": 0.3, "south": 0.45, "east": 0.25}}

# pandas 2.2 and newer offer __arrow_c_stream__, so the frame goes in as it is.
out, result = quelm.rim_rake(frame, ["region"], targets, total=1_000_000.0)
weighted = pa.table(out).to_pandas()

mean_income = (weighted["income"] * weighted["weight"]).sum() / weighted["weight"].sum()
print(weighted)
print(f"weighted mean income: {mean_income:.2f}; {result}")
