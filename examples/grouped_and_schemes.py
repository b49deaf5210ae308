"""Rake per group, then per group with a scheme of its own and group totals."""

import pyarrow as pa

import quelm

table = pa.table({
    "country": ["de", "de", "de", "de", "fr", "fr", "fr", "fr", "it", "it"],
    "sex": ["f", "m", "f", "m", "f", "f", "f", "m", "f", "m"],
    "age": [1, 1, 2, 2, 1, 2, 2, 2, 1, 2],
})

# The same targets in every country, each country raked on its own (in parallel).
same = {"sex": {"f": 0.5, "m": 0.5}}
out, by_country = quelm.rim_rake_grouped(table, ["sex"], same, ["country"])
for country, result in by_country.items():
    print(country, result)

# Every country its own targets; Italy takes the default scheme. The group totals give
# Germany 50 %, France 30 % and Italy 20 % of the weighted rows.
schemes: quelm.Schemes = {
    "de": {"sex": {"f": 0.51, "m": 0.49}, "age": {1: 0.4, 2: 0.6}},
    "fr": {"sex": {"f": 0.52, "m": 0.48}},
}
default: quelm.Targets = {"sex": {"f": 0.5, "m": 0.5}}
totals = {"de": 50.0, "fr": 30.0, "it": 20.0}
out, results = quelm.rim_rake_by_scheme(table, "country", schemes, default_scheme=default,
                                        group_totals=totals, total=1000.0)
weighted = pa.table(out)
print(weighted.group_by("country").aggregate([("weight", "sum")]).to_pylist())
print({country: r.converged for country, r in results.items()})
