#!/usr/bin/env python3
"""Compares the decoding times of two builds of tzf_decode_bench, paired:
the two binaries run in turn (their order switching each round), and for
each benchmark the ratio new / old of the median CPU time is taken within
each round. Prints, per picture and way, the median of those ratios, the
lowest and highest, and the noise: the largest coefficient of variation of
the repetitions within one run.

  bench/compare-builds.py OLD/bin/tzf_decode_bench NEW/bin/tzf_decode_bench \
      [--rounds 5] [--filter '^(GetPicture|tzf_decode)/'] [--pictures DIR]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile


def run(binary, filter_, pictures):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as out:
        path = out.name
    command = [binary, "--benchmark_filter=" + filter_, "--benchmark_out=" + path,
               "--benchmark_out_format=json"]
    if pictures:
        command.append("--pictures=" + pictures)
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    with open(path) as f:
        data = json.load(f)
    os.unlink(path)
    times = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b["run_name"].split("/min_time")[0]
        times.setdefault(name, []).append(b["cpu_time"])
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--filter", default="^(GetPicture|tzf_decode)/")
    parser.add_argument("--pictures", default="")
    args = parser.parse_args()

    ratios = {}  # name -> [new/old of each round]
    noise = {}   # name -> largest cv of one run's repetitions
    for round_ in range(args.rounds):
        order = [("old", args.old), ("new", args.new)]
        if round_ % 2:
            order.reverse()
        medians = {}
        for label, binary in order:
            times = run(binary, args.filter, args.pictures)
            for name, values in times.items():
                medians.setdefault(name, {})[label] = statistics.median(values)
                cv = statistics.pstdev(values) / statistics.mean(values) if len(values) > 1 else 0
                noise[name] = max(noise.get(name, 0), cv)
        for name, pair in medians.items():
            if "old" in pair and "new" in pair:
                ratios.setdefault(name, []).append(pair["new"] / pair["old"])
        print(f"round {round_ + 1} of {args.rounds} done", file=sys.stderr)

    print(f"time new / time old (CPU, median of each run's repetitions), {args.rounds} rounds:"
          " median [lowest-highest]; noise: largest coefficient of variation of a run")
    print(f"{'benchmark':48} {'new/old':>24} {'noise':>7}")
    worst = 0
    for name in sorted(ratios):
        r = ratios[name]
        m = statistics.median(r)
        worst = max(worst, m)
        print(f"{name:48} {m:8.3f} [{min(r):.3f}-{max(r):.3f}] {100 * noise[name]:6.1f}%")
    print(f"highest median ratio: {worst:.3f}")


if __name__ == "__main__":
    main()
