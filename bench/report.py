#!/usr/bin/env python3
"""Summarises what bench/run measured: medians with min-max over the rounds,
ratios taken within each round (the tools of a round ran side by side), and
the goals, each marked met or MISSED.

    report.py OUT_DIR MAIN_MIB SIZE_MIB...
"""

import glob
import json
import os
import statistics
import sys

out, main_mib, sizes = sys.argv[1], sys.argv[2], sys.argv[3:]
res = os.path.join(out, "results")

NAMES = {
    "tessik": "tessik-browser title",
    "floor": "floor (static C)",
    "floor_scan": "floor, scanning body",
    "curl_jq": "curl | jq -r .data",
    "python": "python3 http.client",
    "jq_file": "jq .data (body file)",
    "nlohmann": "nlohmann parse+dump(2)",
}
MIB = 1024 * 1024


def med(xs):
    return statistics.median(xs)


def span(xs, scale, fmt):
    """median [min-max] of xs, scaled."""
    return (fmt + " [" + fmt + "-" + fmt + "]") % (med(xs) * scale, min(xs) * scale, max(xs) * scale)


def runs(case, tool):
    """Rows (wall, user, sys, maxrss_kib, status) of one tool on one case, in round order."""
    path = os.path.join(res, "times", "%s.%s" % (case, tool))
    if not os.path.exists(path):
        return []
    rows = []
    with open(path) as f:
        for line in f:
            w, u, s, m, st = line.split()
            rows.append((float(w), float(u), float(s), int(m), int(st)))
    return rows


def body_size(case):
    return os.path.getsize(os.path.join(out, "data", case + ".body"))


goals = []


def goal(text, value, limit, higher_is_better=False):
    met = value >= limit if higher_is_better else value <= limit
    goals.append("  %-6s %-58s measured %.2f, goal %s %.2f" % (
        "met" if met else "MISSED", text, value, ">=" if higher_is_better else "<=", limit))


# ------------------------------------------------------------ the small reply
rounds = []
for path in sorted(glob.glob(os.path.join(res, "small-hyperfine-*.json"))):
    with open(path) as f:
        rounds.append({r["command"]: r for r in json.load(f)["results"]})
if rounds:
    tools = [t for t in NAMES if t in rounds[0]]
    nruns = len(rounds[0][tools[0]]["times"])
    print("Small reply {\"ok\":true,\"data\":\"Example Page\"}: hyperfine, %d rounds x %d runs"
          % (len(rounds), nruns))
    print("  wall = median of each round, shown as median [min-max] over the rounds;")
    print("  ratio = tool / floor within each round; cpu = user+sys mean; peak from wait4 (10 runs)")
    print("  %-24s %-24s %-10s %-9s %s" % ("tool", "wall ms", "cpu ms", "peak MiB", "x floor"))
    for t in tools:
        walls = [r[t]["median"] for r in rounds]
        cpus = [r[t]["user"] + r[t]["system"] for r in rounds]
        ratios = [r[t]["median"] / r["floor"]["median"] for r in rounds]
        peaks = [row[3] for row in runs("small", t)]
        peak = "%.1f" % (med(peaks) / 1024) if peaks else "-"
        print("  %-24s %-24s %-10.2f %-9s %s" % (
            NAMES[t], span(walls, 1e3, "%.3f"), med(cpus) * 1e3, peak, span(ratios, 1, "%.2f")))
    ratios = [r["tessik"]["median"] / r["floor"]["median"] for r in rounds]
    goal("small reply: median wall / floor", med(ratios), 1.15)
    print()


# ------------------------------------------------------------ large replies
def large_table(case, ref, ratio_label, invert):
    tools = [t for t in NAMES if runs(case, t)]
    if not tools:
        return None
    size = body_size(case)
    data = {t: runs(case, t) for t in tools}
    n = len(data[tools[0]])
    print("%s: body %.1f MiB (%d bytes), %d interleaved rounds; median [min-max] over the rounds"
          % (case, size / MIB, size, n))
    print("  %-24s %-26s %-22s %-22s %-8s %s" % (
        "tool", "wall s", "cpu s", "peak MiB", "peak/body", ratio_label))
    for t in tools:
        rows = data[t]
        bad = sum(1 for r in rows if r[4] != 0)
        walls = [r[0] for r in rows]
        cpus = [r[1] + r[2] for r in rows]
        peaks = [r[3] / 1024 for r in rows]
        k = min(len(rows), len(data[ref]))
        if invert:
            ratios = [data[t][i][0] / data[ref][i][0] for i in range(k)]
        else:
            ratios = [data[ref][i][0] / data[t][i][0] for i in range(k)]
        print("  %-24s %-26s %-22s %-22s %-8.2f %s%s" % (
            NAMES[t], span(walls, 1, "%.4f"), span(cpus, 1, "%.3f"), span(peaks, 1, "%.1f"),
            med(peaks) * MIB / size, span(ratios, 1, "%.2f"), "  (%d failed)" % bad if bad else ""))
    print()
    return data, size


array_case, string_case = "array-" + main_mib, "string-" + main_mib
got = large_table(array_case, "tessik", "x tessik wall (speed-up)", True)
if got:
    data, size = got
    n = len(data["tessik"])
    for other in ("jq_file", "nlohmann"):
        if other in data:
            ratios = [data[other][i][0] / data["tessik"][i][0] for i in range(n)]
            goal("%s MiB array: %s wall / tessik wall" % (main_mib, NAMES[other]), med(ratios), 4.0, True)
    goal("%s MiB array: tessik peak memory / body" % main_mib,
         med([r[3] for r in data["tessik"]]) * 1024 / size, 2.5)
got = large_table(string_case, "floor", "x floor", True)
if got:
    data, size = got
    n = len(data["tessik"])
    goal("%s MiB string: tessik wall / floor wall (raw body)" % main_mib,
         med([data["tessik"][i][0] / data["floor"][i][0] for i in range(n)]), 1.3)
    goal("%s MiB string: tessik peak memory / body" % main_mib,
         med([r[3] for r in data["tessik"]]) * 1024 / size, 1.2)
    if "floor_scan" in data:
        print("  (for reference, not a goal) tessik wall / the floor that scans the body: %.2f\n" %
              med([data["tessik"][i][0] / data["floor_scan"][i][0] for i in range(n)]))

# ------------------------------------------------------------ size series
print("Size series (is the cost linear?): medians over the rounds")
print("  %-12s %-10s %-11s %-11s %-10s %-9s %-11s %-11s %s" % (
    "case", "body MiB", "tessik s", "ns/byte", "MB/s", "peak/body", "floor s", "floor ns/B", "x floor"))
for kind in ("array", "string"):
    for s in sizes:
        case = "%s-%s" % (kind, s)
        t, f = runs(case, "tessik"), runs(case, "floor")
        if not t or not f:
            continue
        size = body_size(case)
        tw, fw = med([r[0] for r in t]), med([r[0] for r in f])
        k = min(len(t), len(f))
        print("  %-12s %-10.1f %-11.4f %-11.2f %-10.0f %-9.2f %-11.4f %-11.2f %.2f" % (
            case, size / MIB, tw, tw / size * 1e9, size / tw / 1e6, med([r[3] for r in t]) * 1024 / size,
            fw, fw / size * 1e9, med([t[i][0] / f[i][0] for i in range(k)])))
print()

# ------------------------------------------------------------ checks, goals
print("Output checks (byte for byte against the generator's expected text):")
with open(os.path.join(res, "checks.txt")) as f:
    lines = f.read().splitlines()
fails = [l for l in lines if l.startswith("FAIL")]
print("  %d checks, %d failed" % (sum(1 for l in lines if l[:4] in ("ok  ", "FAIL")), len(fails)))
for l in lines:
    if not l.startswith("ok"):
        print("  " + l)
print()
print("Goals:")
for g in goals:
    print(g)
print()
for name in ("usr-bin-time.txt", "load.txt"):
    path = os.path.join(res, name)
    if os.path.exists(path):
        with open(path) as f:
            label = "/usr/bin/time -f %M (KiB), once each:" if name.startswith("usr") else "Machine load:"
            print(label)
            for l in f.read().splitlines():
                print("  " + l)
