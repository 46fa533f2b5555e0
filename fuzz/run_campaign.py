#!/usr/bin/env python3
"""Runs a fuzzing campaign over every target and writes its figures.

Each target runs for the given number of minutes on its own working corpus
(seeds from make_seeds.py, plus the regression inputs of tests/data/fuzz),
JOBS targets at a time. A crash, leak, sanitizer report or timeout stops
libFuzzer; the campaign keeps the artifact, drops the input from the working
corpus when it was a seed, and restarts the target for the time left. At the
end OUT/summary.md and OUT/summary.json give, per target: minutes, runs,
executions, coverage (edges and features), inputs added, and findings.

usage: run_campaign.py --minutes 20 [--jobs 2] [--build build-fuzz] [--out fuzz-out]
                       [--targets load,render,...] [--timeout 1]
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TARGETS = ["render", "load", "interp", "image", "truetype", "jpeg", "inflate"]
PDF_TARGETS = {"load", "render", "interp", "image"}
MAX_LEN = {"load": 1 << 20, "render": 1 << 20}


def sh1(path):
    return hashlib.sha1(open(path, "rb").read()).hexdigest()


def run_target(t, args):
    binary = os.path.join(args.build, "fuzz", "fuzz_" + t)
    work = os.path.join(args.out, "corpus", t)
    arts = os.path.join(args.out, "artifacts", t) + "/"
    os.makedirs(arts, exist_ok=True)
    regress = os.path.join(ROOT, "tests", "data", "fuzz", t)
    start_count = len(os.listdir(work))
    deadline = time.time() + args.minutes * 60
    stats = {"target": t, "minutes": args.minutes, "runs": 0, "execs": 0, "cov": 0, "ft": 0,
             "seeds": start_count, "findings": []}
    log_path = os.path.join(args.out, "logs", t + ".log")
    os.makedirs(os.path.dirname(log_path), exist_ok=True)
    with open(log_path, "w") as log:
        while time.time() < deadline - 5 and stats["runs"] < 50:
            left = int(deadline - time.time())
            cmd = [binary, work, f"-max_total_time={left}", f"-timeout={args.timeout}",
                   "-rss_limit_mb=2560", "-print_final_stats=1", f"-artifact_prefix={arts}",
                   f"-max_len={MAX_LEN.get(t, 65536)}"]
            if t in PDF_TARGETS:
                cmd.append("-dict=" + os.path.join(HERE, "pdf.dict"))
            if os.path.isdir(regress):
                cmd.append(regress)
            before = set(os.listdir(arts))
            env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1",
                       UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
            p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
            err = p.stderr.decode("utf-8", "replace")
            log.write(f"$ {' '.join(cmd)}\n{err[-20000:]}\n")
            log.flush()
            stats["runs"] += 1
            m = re.findall(r"stat::number_of_executed_units: (\d+)", err)
            if m:
                stats["execs"] += int(m[-1])
            else:
                m = re.findall(r"#(\d+)\s", err)
                stats["execs"] += int(m[-1]) if m else 0
            cov = re.findall(r"cov: (\d+) ft: (\d+)", err)
            if cov:
                stats["cov"] = max(stats["cov"], int(cov[-1][0]))
                stats["ft"] = max(stats["ft"], int(cov[-1][1]))
            new = sorted(set(os.listdir(arts)) - before)
            for a in new:
                kind = a.split("-")[0]
                summary = re.findall(r"SUMMARY: (.*)", err)
                stats["findings"].append({"artifact": a, "kind": kind,
                                          "summary": summary[-1] if summary else ""})
                seed = os.path.join(work, sh1(os.path.join(arts, a)))
                if os.path.exists(seed):
                    os.remove(seed)  # a seed that fails would fail every restart
            if p.returncode == 0 or not new:
                if p.returncode != 0:
                    stats["findings"].append({"artifact": "", "kind": "exit",
                                              "summary": f"exit status {p.returncode}"})
                break
    stats["added"] = len(os.listdir(work)) - start_count
    print(f"{t}: {stats['execs']} execs, cov {stats['cov']}, ft {stats['ft']}, "
          f"{stats['added']} new inputs, {len(stats['findings'])} findings", flush=True)
    return stats


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=20)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-fuzz"))
    ap.add_argument("--out", default=os.path.join(ROOT, "fuzz-out"))
    ap.add_argument("--targets", default=",".join(TARGETS))
    ap.add_argument("--timeout", type=int, default=1)
    args = ap.parse_args()
    targets = args.targets.split(",")
    seeds = os.path.join(args.out, "seeds")
    if not os.path.isdir(seeds):
        subprocess.run([sys.executable, os.path.join(HERE, "make_seeds.py"), seeds], check=True)
    for t in targets:
        work = os.path.join(args.out, "corpus", t)
        if not os.path.isdir(work):
            shutil.copytree(os.path.join(seeds, t), work)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda t: run_target(t, args), targets))
    with open(os.path.join(args.out, "summary.json"), "w") as f:
        json.dump(results, f, indent=1)
    lines = ["| target | minutes | executions | exec/s | edges | features | seeds | new inputs "
             "| findings |", "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in results:
        kinds = ", ".join(f"{x['kind']}: {x['artifact']}" for x in r["findings"]) or "none"
        lines.append(f"| {r['target']} | {r['minutes']:g} | {r['execs']} | "
                     f"{r['execs'] / (r['minutes'] * 60):.0f} | {r['cov']} | {r['ft']} | "
                     f"{r['seeds']} | {r['added']} | {kinds} |")
    open(os.path.join(args.out, "summary.md"), "w").write("\n".join(lines) + "\n")
    print("\n".join(lines))
    sys.exit(1 if any(r["findings"] for r in results) else 0)


if __name__ == "__main__":
    main()
