"""The ``quelm`` command line: ``quelm rake`` weights a Parquet, CSV or Arrow IPC file.

    quelm rake survey.parquet --targets margins.json --output weighted.parquet

Exit status: 0 on success, 1 for an error in the data, the targets or a file (one line on
stderr, no traceback, no output file), 2 for a usage error. docs/cli.md describes it all.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

if TYPE_CHECKING:
    from quelm import RakeResult

PROG = "quelm"

FORMATS = ("parquet", "csv", "arrow")
EXTENSIONS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
}

# A category key of a numeric target column, as JSON can only write it: a string of digits.
_INTEGER_KEY = re.compile(r"-?[0-9]+")


class CliError(Exception):
    """An error in the data, the targets or a file: reported as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def _rake_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description="Rake the rows of a Parquet, CSV or Arrow IPC file to population margins "
        "and write the table with a weight column appended.",
        epilog="JSON keys are strings: write integer category codes as strings of digits "
        '("1"); they are converted to integers when the target column is numeric.',
    )
    parser.add_argument("input", metavar="INPUT", help="the survey file (.parquet, .csv, .arrow/.feather/.ipc)")
    parser.add_argument("--output", "-o", required=True, metavar="OUTPUT", help="the weighted file to write")
    parser.add_argument("--targets", metavar="TARGETS.json", help="column -> category -> share")
    parser.add_argument("--group-by", action="append", default=None, metavar="COL",
                        help="rake every group of COL separately (repeat for several columns)")
    parser.add_argument("--scheme-by", metavar="COL", help="group column whose values select a scheme")
    parser.add_argument("--schemes", metavar="SCHEMES.json", help="group value -> targets (with --scheme-by)")
    parser.add_argument("--default-scheme", metavar="FILE", help="targets of the groups without a scheme")
    parser.add_argument("--group-totals", metavar="FILE", help="group value -> share of the rows")
    parser.add_argument("--weight-column", default="weight", metavar="NAME", help="name of the weight column (default: weight)")
    parser.add_argument("--max-iterations", type=int, default=1000, metavar="N", help="iteration budget (default: 1000)")
    parser.add_argument("--convergence-threshold", type=float, default=0.01, metavar="X",
                        help="stop when the largest relative gap is below this (default: 0.01)")
    parser.add_argument("--min-cap", type=float, default=None, metavar="X", help="lower cap on the weights (mean weight 1)")
    parser.add_argument("--max-cap", type=float, default=None, metavar="X", help="upper cap on the weights (mean weight 1)")
    parser.add_argument("--keep-nulls", action="store_true",
                        help="rake rows with nulls in the target columns too (drop_nulls=False)")
    parser.add_argument("--total", type=float, default=None, metavar="X", help="scale the weights to this total")
    parser.add_argument("--no-cap-correction", action="store_true",
                        help="apply the caps exactly, without widening them by 0.0001")
    parser.add_argument("--input-format", choices=FORMATS, help="format of INPUT (default: from its extension)")
    parser.add_argument("--output-format", choices=FORMATS, help="format of OUTPUT (default: from its extension)")
    return parser


def _format_of(path: str, given: str | None, option: str, parser: argparse.ArgumentParser) -> str:
    if given is not None:
        return given
    fmt = EXTENSIONS.get(Path(path).suffix.lower())
    if fmt is None:
        parser.error(f"cannot tell the format of {path!r} from its extension; give {option} "
                     f"({', '.join(FORMATS)})")
    return fmt


def _check_usage(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    if args.scheme_by is None:
        if args.targets is None:
            parser.error("give --targets (or --scheme-by with --schemes)")
        for option, value in (("--schemes", args.schemes), ("--default-scheme", args.default_scheme),
                              ("--group-totals", args.group_totals)):
            if value is not None:
                parser.error(f"{option} needs --scheme-by")
    else:
        if args.schemes is None:
            parser.error("--scheme-by needs --schemes")
        if args.targets is not None:
            parser.error("--targets cannot be combined with --scheme-by (use --default-scheme)")
        if args.group_by is not None:
            parser.error("--group-by cannot be combined with --scheme-by")
    if args.max_iterations < 0:
        parser.error("--max-iterations must not be negative")


# ---------------------------------------------------------------------------------------
# Files


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise CliError("quelm rake reads and writes files with pyarrow: pip install 'quelm[io]'") from None
    return pyarrow


def read_table(path: str, fmt: str) -> Any:
    """The table in the file `path` as a pyarrow Table."""
    pa = _pyarrow()
    if not os.path.isfile(path):
        raise CliError(f"input file {path!r} not found" if not os.path.exists(path)
                       else f"input {path!r} is not a file")
    try:
        if fmt == "parquet":
            import pyarrow.parquet as pq

            return pq.read_table(path)
        if fmt == "csv":
            import pyarrow.csv as pacsv

            # An empty field is a null, in text columns too; no other value is.
            options = pacsv.ConvertOptions(null_values=[""], strings_can_be_null=True)
            return pacsv.read_csv(path, convert_options=options)
        import pyarrow.ipc as ipc

        try:
            with ipc.open_file(path) as reader:
                return reader.read_all()
        except pa.ArrowInvalid:
            with ipc.open_stream(path) as stream:
                return stream.read_all()
    except (pa.ArrowException, OSError) as exc:
        raise CliError(f"cannot read {path!r} as {fmt}: {_one_line(exc)}") from None


def write_table(table: Any, path: str, fmt: str) -> None:
    """Writes `table` to `path` through a temporary file in the same directory, renamed at the
    end, so that a failure leaves no partial file behind (and an existing file untouched)."""
    pa = _pyarrow()
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"output directory {directory!r} does not exist")
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    os.close(fd)
    try:
        if fmt == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(table, tmp)
        elif fmt == "csv":
            import pyarrow.csv as pacsv

            pacsv.write_csv(table, tmp)
        else:
            import pyarrow.ipc as ipc

            with ipc.new_file(tmp, table.schema) as writer:
                writer.write_table(table)
        # mkstemp creates the file for its owner only; give it the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except (pa.ArrowException, OSError) as exc:
        raise CliError(f"cannot write {path!r} as {fmt}: {_one_line(exc)}") from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def read_json(path: str, what: str) -> Any:
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except FileNotFoundError:
        raise CliError(f"{what} file {path!r} not found") from None
    except json.JSONDecodeError as exc:
        raise CliError(f"{what} file {path!r} is not valid JSON: {exc}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"cannot read {what} file {path!r}: {_one_line(exc)}") from None


# ---------------------------------------------------------------------------------------
# Targets from JSON


def _is_share(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _numeric_columns(schema: Any) -> set[str]:
    import pyarrow.types as types

    return {f.name for f in schema if types.is_integer(f.type) or types.is_floating(f.type)}


def parse_targets(raw: object, source: str, columns: set[str], numeric: set[str]) -> dict[str, dict[Any, float]]:
    """A targets mapping from its JSON form: {column: {category: share}}. Keys of numeric
    columns must be whole numbers written as strings ("1", "-2") and become ints; keys of
    other columns stay text."""
    if not isinstance(raw, dict):
        raise CliError(f"{source}: expected an object of columns, each an object of category shares")
    targets: dict[str, dict[Any, float]] = {}
    for column, shares in raw.items():
        if column not in columns:
            raise CliError(f"{source}: column {column!r} is not in the input data")
        if not isinstance(shares, dict):
            raise CliError(f"{source}: column {column!r} must map categories to shares")
        category_shares: dict[Any, float] = {}
        for key, share in shares.items():
            if not _is_share(share):
                raise CliError(f"{source}: share of category {json.dumps(key)} in column {column!r} "
                               f"is not a number: {json.dumps(share)}")
            if column in numeric:
                if not _INTEGER_KEY.fullmatch(key):
                    raise CliError(f"{source}: column {column!r} holds numbers, but category "
                                   f"{json.dumps(key)} is not a whole number")
                category_shares[int(key)] = share
            else:
                category_shares[key] = share
        targets[column] = category_shares
    return targets


def parse_group_totals(raw: object, source: str) -> dict[str, float]:
    if not isinstance(raw, dict):
        raise CliError(f"{source}: expected an object of group values and shares")
    for key, share in raw.items():
        if not _is_share(share):
            raise CliError(f"{source}: share of group {json.dumps(key)} is not a number: {json.dumps(share)}")
    return raw


# ---------------------------------------------------------------------------------------
# Summary


def _fmt(value: float, digits: int) -> str:
    return "inf" if math.isinf(value) else f"{value:.{digits}f}"


def summary_table(results: dict[str, RakeResult]) -> str:
    """A plain-text table with one row per RakeResult."""
    header = ["group", "n_valid", "iterations", "converged", "stalled", "max_target_gap",
              "efficiency_%", "weight_min", "weight_max", "weight_ratio"]
    rows = [header]
    for key, r in results.items():
        rows.append([key, str(r.n_valid), str(r.iterations), "yes" if r.converged else "no",
                     "yes" if r.stalled else "no", _fmt(r.max_target_gap, 4), _fmt(r.efficiency, 2),
                     _fmt(r.weight_min, 4), _fmt(r.weight_max, 4), _fmt(r.weight_ratio, 2)])
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip() or type(exc).__name__
    return " ".join(text.split())


# ---------------------------------------------------------------------------------------
# The command


def rake(argv: Sequence[str], prog: str = f"{PROG} rake") -> int:
    parser = _rake_parser(prog)
    args = parser.parse_args(list(argv))
    _check_usage(args, parser)
    in_fmt = _format_of(args.input, args.input_format, "--input-format", parser)
    out_fmt = _format_of(args.output, args.output_format, "--output-format", parser)
    try:
        return _rake(args, in_fmt, out_fmt)
    except CliError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 1


def _rake(args: argparse.Namespace, in_fmt: str, out_fmt: str) -> int:
    import quelm

    table = read_table(args.input, in_fmt)
    columns = set(table.column_names)
    numeric = _numeric_columns(table.schema)
    options: dict[str, Any] = dict(
        weight_column=args.weight_column,
        max_iterations=args.max_iterations,
        convergence_threshold=args.convergence_threshold,
        min_cap=args.min_cap,
        max_cap=args.max_cap,
        drop_nulls=not args.keep_nulls,
        total=args.total,
        cap_correction=not args.no_cap_correction,
    )
    try:
        if args.scheme_by is None:
            targets = parse_targets(read_json(args.targets, "targets"), args.targets, columns, numeric)
            if args.group_by is None:
                out, result = quelm.rim_rake(table, list(targets), targets, **options)
                results = {"(all rows)": result}
            else:
                out, results = quelm.rim_rake_grouped(table, list(targets), targets, args.group_by, **options)
        else:
            raw = read_json(args.schemes, "schemes")
            if not isinstance(raw, dict):
                raise CliError(f"{args.schemes}: expected an object of group values, each a targets object")
            schemes = {group: parse_targets(value, f"{args.schemes} (group {group!r})", columns, numeric)
                       for group, value in raw.items()}
            default = None
            if args.default_scheme is not None:
                default = parse_targets(read_json(args.default_scheme, "default scheme"),
                                        args.default_scheme, columns, numeric)
            totals = None
            if args.group_totals is not None:
                totals = parse_group_totals(read_json(args.group_totals, "group totals"), args.group_totals)
            out, results = quelm.rim_rake_by_scheme(table, args.scheme_by, schemes, default_scheme=default,
                                                    group_totals=totals, **options)
    except (ValueError, TypeError, OverflowError) as exc:
        raise CliError(_one_line(exc)) from None

    pa = _pyarrow()
    weighted = pa.table(out)
    write_table(weighted, args.output, out_fmt)
    print(summary_table(results), file=sys.stderr)
    print(f"wrote {weighted.num_rows} rows with the weight column {args.weight_column!r} to {args.output}",
          file=sys.stderr)
    return 0


USAGE = """\
usage: quelm rake INPUT --targets TARGETS.json --output OUTPUT [options]
       quelm rake INPUT --scheme-by COL --schemes SCHEMES.json --output OUTPUT [options]
       quelm demo [--max-cap X]

commands:
  rake   weight a Parquet, CSV or Arrow IPC file ('quelm rake --help' lists the options)
  demo   rake the bundled sample survey and print the margins"""


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Entry point of the console script ``quelm`` and of ``python -m quelm``."""
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help"):
        print(USAGE.replace("quelm ", f"{prog} "), file=sys.stdout if args else sys.stderr)
        return 0 if args else 2
    command, rest = args[0], args[1:]
    if command == "rake":
        return rake(rest, prog=f"{prog} rake")
    if command == "demo":
        from quelm.__main__ import demo

        return demo(rest)
    if command in ("-V", "--version"):
        from quelm import __version__

        print(f"quelm {__version__}")
        return 0
    print(f"{prog}: unknown command {command!r} (try '{prog} --help')", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
