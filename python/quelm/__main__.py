"""Command line of quelm: ``python -m quelm demo`` and ``python -m quelm rake`` (quelm.cli)."""

from __future__ import annotations

import argparse
import sys
from importlib import resources
from typing import Any

# Population margins of the sample survey (shares of the adult population).
DEMO_TARGETS: dict[str, dict[str | int, float]] = {
    "age_group": {"18-34": 0.28, "35-54": 0.34, "55+": 0.38},
    "sex": {"female": 0.51, "male": 0.49},
    "region": {"North": 0.22, "South": 0.31, "East": 0.27, "West": 0.20},
}


def _margins(table: Any, column: str, weights: list[float] | None) -> dict[object, float]:
    values = table.column(column).to_pylist()
    totals: dict[object, float] = {}
    for i, value in enumerate(values):
        totals[value] = totals.get(value, 0.0) + (1.0 if weights is None else weights[i])
    grand = sum(totals.values())
    return {k: v / grand for k, v in totals.items()}


def demo(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m quelm demo", description="Rake the bundled sample survey.")
    parser.add_argument("--max-cap", type=float, default=None, help="upper cap on the weights (engine scale)")
    args = parser.parse_args(argv)
    try:
        import pyarrow.csv as pacsv
    except ImportError:
        print("the demo reads its sample with pyarrow: pip install 'quelm[io]'", file=sys.stderr)
        return 1

    import pyarrow as pa

    import quelm

    source = resources.files("quelm") / "data" / "sample_survey.csv"
    with resources.as_file(source) as path:
        table = pacsv.read_csv(path)
    print(f"sample survey: {table.num_rows} respondents, columns {', '.join(table.column_names)}")

    out, result = quelm.rim_rake(
        table, list(DEMO_TARGETS), DEMO_TARGETS, max_cap=args.max_cap, total=float(table.num_rows)
    )
    weighted = pa.table(out)
    weights = weighted.column("weight").to_pylist()

    print()
    print(f"{'column':<10} {'category':<8} {'target':>8} {'before':>8} {'after':>8}")
    for column, shares in DEMO_TARGETS.items():
        before = _margins(table, column, None)
        after = _margins(table, column, weights)
        for category, share in shares.items():
            print(
                f"{column:<10} {category!s:<8} {share:>8.2%} {before.get(category, 0.0):>8.2%}"
                f" {after.get(category, 0.0):>8.2%}"
            )
    print()
    satisfied = table.column("satisfied").to_pylist()
    raw = sum(satisfied) / len(satisfied)
    est = sum(w * s for w, s in zip(weights, satisfied)) / sum(weights)
    print(f"share satisfied: unweighted {raw:.2%}, weighted {est:.2%}")
    print(result)
    return 0


def main(argv: list[str] | None = None) -> int:
    # The commands (demo above, rake in quelm.cli) share one dispatcher with the console
    # script ``quelm``.
    from quelm.cli import main as cli_main

    return cli_main(argv, prog="python -m quelm")


if __name__ == "__main__":
    sys.exit(main())
