#!/usr/bin/env python3
"""Turns the host-cycle benchmark's JSON output into one table.

    summarise.py RESULTS.json... [--baseline BASELINE.json...]

For each N: the median time of every phase, its ratio to the phase's flash
floor, the whole cycle and the peak heap per NVAR; then each phase's growth
exponent between the smallest and the largest N of the MFS-only sizes, and
the cycle at N = 10000 against the cycle at N = 2047. Several files of one
kind are read as one run. With baseline files (an earlier run), both tables
are printed, baseline first.
"""
import argparse
import json
import math
import statistics
import sys
from collections import defaultdict

PHASES = ["init", "resize_write", "term_keep", "term_release"]
UNIT_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def load(path):
    """Median time (ms) and median counters per benchmark run name."""
    with open(path) as f:
        doc = json.load(f)
    runs = defaultdict(list)
    medians = {}
    fits = {}
    for b in doc["benchmarks"]:
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = b
            elif b.get("aggregate_name") in ("BigO", "RMS"):
                fit = fits.setdefault(name.replace("/manual_time", ""), {})
                if b["aggregate_name"] == "BigO":
                    fit["big_o"] = b.get("big_o", "?")
                else:
                    fit["rms"] = b.get("rms", 0.0)
            continue
        runs[name].append(b)
    out = {}
    for name in set(runs) | set(medians):
        entries = [medians[name]] if name in medians else runs[name]
        rec = {"ms": statistics.median(e["real_time"] * UNIT_MS[e["time_unit"]] for e in entries)}
        for key in entries[0]:
            if isinstance(entries[0][key], (int, float)) and key not in rec:
                rec[key] = statistics.median(e.get(key, 0) for e in entries)
        out[name] = rec
    out["__fits__"] = fits
    return out


def lookup(runs, prefix, n):
    for suffix in ("/manual_time", ""):
        r = runs.get(f"{prefix}/{n}{suffix}")
        if r is not None:
            return r
    return None


def fmt_ms(v):
    if v is None:
        return "-"
    if v >= 100:
        return f"{v:.0f} ms"
    if v >= 1:
        return f"{v:.2f} ms"
    return f"{v:.3f} ms"


def table(title, runs):
    sizes = sorted({int(k.split("/")[1]) for k in runs if k.startswith("cycle/")})
    fits = runs.get("__fits__", {})
    lines = [f"### {title}", ""]
    head = "| N | " + " | ".join(f"{p} | x floor" for p in PHASES) + " | cycle | peak heap / NVAR |"
    lines += [head, "|" + "---|" * (2 + 2 * len(PHASES) + 1)]
    phase_ms = defaultdict(dict)
    cycle_ms = {}
    for n in sizes:
        cyc = lookup(runs, "cycle", n)
        cells = []
        for p in PHASES:
            ph = lookup(runs, p, n)
            fl = lookup(runs, f"floor/{p}", n)
            if ph is not None and fl is not None:
                t, ratio = ph["ms"], ph["ms"] / fl["ms"]
            elif cyc is not None:  # sizes without phase benchmarks: the cycle's counters
                t, ratio = cyc.get(f"{p}_ms"), cyc.get(f"{p}_x_floor")
            else:
                t, ratio = None, None
            phase_ms[p][n] = t
            cells += [fmt_ms(t), "-" if ratio is None else f"{ratio:,.0f}"]
        cycle_ms[n] = cyc["ms"] if cyc else None
        heap = cyc.get("peak_heap_per_nvar") if cyc else None
        lines.append(f"| {n} | " + " | ".join(cells) + f" | {fmt_ms(cycle_ms[n])} | "
                     + ("-" if heap is None else f"{heap:,.0f} B") + " |")
    lines.append("")
    mfs_sizes = [n for n in sizes if n <= 2047]
    if len(mfs_sizes) >= 2:
        lo, hi = mfs_sizes[0], mfs_sizes[-1]
        growth = []
        for p in PHASES:
            a, b = phase_ms[p].get(lo), phase_ms[p].get(hi)
            if a and b:
                growth.append(f"{p} n^{math.log(b / a) / math.log(hi / lo):.2f}")
        lines.append(f"Growth between N = {lo} and N = {hi}: " + ", ".join(growth) + ".")
    fitted = [f"{p} {fits[p]['big_o']} (RMS {100 * fits[p].get('rms', 0):.0f}%)"
              for p in PHASES + [f"floor/{p}" for p in PHASES] if p in fits]
    if fitted:
        lines.append("Complexity fit over N: " + ", ".join(fitted) + ".")
    if 2047 in cycle_ms and 10000 in cycle_ms and cycle_ms[2047] and cycle_ms[10000]:
        lines.append(f"Cycle at N = 10000 / cycle at N = 2047: {cycle_ms[10000] / cycle_ms[2047]:.2f}.")
    lines.append("")
    return "\n".join(lines)


def load_all(paths):
    runs = {"__fits__": {}}
    for path in paths:
        one = load(path)
        runs["__fits__"].update(one.pop("__fits__"))
        runs.update(one)
    return runs


def main():
    parser = argparse.ArgumentParser(description="Summarises host-cycle benchmark results.")
    parser.add_argument("results", nargs="+")
    parser.add_argument("--baseline", nargs="+", default=[])
    args = parser.parse_args()
    if args.baseline:
        print(table("Baseline (" + ", ".join(args.baseline) + ")", load_all(args.baseline)))
    print(table("Results (" + ", ".join(args.results) + ")", load_all(args.results)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
