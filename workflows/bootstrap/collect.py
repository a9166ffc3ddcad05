#!/usr/bin/env python3
"""Gathers the fits of a bootstrap's replicates into one table, and percentile intervals per parameter.

replicates.tsv: one row per replicate (in the order given), its log-likelihood, whether it converged,
and every parameter's estimate, headed p0, theta[GENE], phi[NODE] ... as the fitted model names them.
intervals.tsv: per parameter, the original fit's estimate, the replicates' mean, and the percentiles
(1 - level) / 2 and (1 + level) / 2 of the replicates' estimates, interpolated linearly between
order statistics: the q-percentile of n sorted values x_0 <= ... <= x_(n-1) is
x_j + (h - j) (x_(j+1) - x_j) with h = q (n - 1) and j = floor(h).
"""
import argparse
import json
import math
import os
import sys


def label(p):
    if p["index"] is None:
        return p["parameter"]
    return f'{p["parameter"]}[{p["name"] if p["name"] else p["index"]}]'


def number(value):
    # results.json writes an infinite lambda as a string.
    if value is None:
        return math.nan
    return float(value)


def estimates(path):
    # Keyed by family and index: simulated data name their genes gene_#0 ..., not as the original did.
    with open(path) as f:
        run = json.load(f)
    values = {(p["parameter"], p["index"]): number(p["value"]) for p in run["parameters"]}
    labels = [label(p) for p in run["parameters"]]
    return run["outcome"], values, labels


def percentile(sorted_values, q):
    h = q * (len(sorted_values) - 1)
    j = math.floor(h)
    if j + 1 >= len(sorted_values):
        return sorted_values[-1]
    return sorted_values[j] + (h - j) * (sorted_values[j + 1] - sorted_values[j])


def text(x):
    return "NA" if math.isnan(x) else repr(x)


def write_whole(path, lines):
    # A file that appears whole or not at all, as vorn's own outputs do.
    temporary = path + ".partial"
    with open(temporary, "w") as f:
        f.write("".join(line + "\n" for line in lines))
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, help="the original fit's results.json")
    parser.add_argument("--table", required=True)
    parser.add_argument("--intervals", required=True)
    parser.add_argument("--level", type=float, default=0.95)
    parser.add_argument("fits", nargs="+", help="the replicates' results.json")
    args = parser.parse_args()
    if not 0 < args.level < 1:
        sys.exit("collect.py: --level must lie between 0 and 1")

    _, original, labels = estimates(args.model)
    names = list(original)
    rows, columns = [], {name: [] for name in names}
    for path in args.fits:
        outcome, values, _ = estimates(path)
        if list(values) != names:
            sys.exit(f"collect.py: {path} has other parameters than {args.model}")
        replicate = os.path.basename(path).removesuffix(".results.json")
        rows.append([replicate, text(outcome["log_likelihood"]), str(outcome["converged"]).lower()] +
                    [text(values[n]) for n in names])
        for n in names:
            columns[n].append(values[n])
    write_whole(args.table, ["\t".join(["replicate", "log_likelihood", "converged"] + labels)] +
                ["\t".join(row) for row in rows])

    low, high = (1 - args.level) / 2, (1 + args.level) / 2
    lines = ["\t".join(["parameter", "estimate", "replicates", "mean", f"lower_{low:g}", f"upper_{high:g}"])]
    for n, name in zip(names, labels):
        finite = sorted(x for x in columns[n] if not math.isnan(x))
        mean = sum(finite) / len(finite) if finite else math.nan
        lower = percentile(finite, low) if finite else math.nan
        upper = percentile(finite, high) if finite else math.nan
        lines.append("\t".join([name, text(original[n]), str(len(finite)), text(mean), text(lower), text(upper)]))
    write_whole(args.intervals, lines)


if __name__ == "__main__":
    main()
