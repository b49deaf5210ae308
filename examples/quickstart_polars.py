"""Rake a polars DataFrame with Enum and Categorical columns; read the result with polars."""

import polars as pl

import quelm

frame = pl.DataFrame({
    "sex": pl.Series(["female", "male", "female", "female", "male"], dtype=pl.Enum(["female", "male"])),
    "region": pl.Series(["N", "S", "S", "N", "S"], dtype=pl.Categorical),
    "answer": [1, 0, 1, 1, 0],
})
sex = {"female": 0.51, "male": 0.49}
region = {"N": 0.4, "S": 0.6}

out, result = quelm.rim_rake(frame, ["sex", "region"], {"sex": sex, "region": region}, max_cap=3.0)
weighted = pl.DataFrame(out)

share_yes = weighted.select((pl.col("answer") * pl.col("weight")).sum() / pl.col("weight").sum()).item()
print(weighted)
print(f"weighted share of 'yes': {share_yes:.3f}; efficiency {result.efficiency:.1f}%")
