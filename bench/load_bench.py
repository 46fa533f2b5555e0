#!/usr/bin/env python3
"""Loads and counts the pages of every file of a folder with `rendrix pages`
and, in the same run, with `qpdf --show-npages` (Debian's qpdf) as the
reference. Each command runs several times; the best wall time counts.

    bench/load_bench.py [--rendrix build/tools/rendrix] [--runs 7] [FOLDER]

FOLDER defaults to ../shared/corpus/stress. Prints one line per file with
both times, their ratio and both page counts.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def best_time(cmd, runs):
    best, out = None, ""
    for _ in range(runs):
        t0 = time.perf_counter()
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        dt = time.perf_counter() - t0
        out = p.stdout.strip() if p.returncode == 0 else "fail"
        best = dt if best is None else min(best, dt)
    return best, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("folder", nargs="?",
                    default=os.path.join(HERE, "..", "..", "shared", "corpus", "stress"))
    ap.add_argument("--rendrix", default=os.path.join(HERE, "..", "build", "tools", "rendrix"))
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    if not shutil.which("qpdf"):
        sys.exit("qpdf is missing: apt-get install qpdf")
    files = sorted(f for f in os.listdir(args.folder) if f.endswith(".pdf"))
    print(f"{'file':28} {'bytes':>10} {'rendrix ms':>11} {'qpdf ms':>9} {'ratio':>6}  pages")
    worst = 0.0
    for f in files:
        path = os.path.join(args.folder, f)
        ours, n_ours = best_time([args.rendrix, "pages", path], args.runs)
        ref, n_ref = best_time(["qpdf", "--show-npages", path], args.runs)
        ratio = ours / ref
        worst = max(worst, ratio)
        print(f"{f:28} {os.path.getsize(path):>10} {ours * 1e3:>11.2f} {ref * 1e3:>9.2f} "
              f"{ratio:>6.2f}  {n_ours}/{n_ref}")
    print(f"worst ratio rendrix/qpdf: {worst:.2f}")


if __name__ == "__main__":
    main()
