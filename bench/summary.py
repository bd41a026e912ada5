#!/usr/bin/env python3
"""The summary of one ./bench.sh run: each of the image library's kernels
beside its named peer from the same run (OpenCV, or memcpy of the same
traffic), the time ratio (ours / peer, below 1 is faster), the bandwidth
each reaches over the bytes it reads and writes, and that bandwidth beside a
memcpy of the same traffic. Reads the Google Benchmark JSON files of a
directory, prints the table and writes it to summary.json there.

    bench/summary.py out/bench
"""
import json
import os
import sys

# (label, our benchmark, peer benchmark, goal for ours / peer or None).
# Ours are the "best" cases: the variant the pipe runs on this processor.
ROWS = [
    ("plain debayer -> RGB24", "plain_debayer/rgb24_best", "opencv_peer/bayer_gb2bgr", 0.67),
    ("plain debayer -> RGB32", "plain_debayer/rgb32_best", "opencv_peer/bayer_gb2bgra", None),
    ("matrix debayer 8-bit -> RGB24", "matrix_debayer8/rgb24_best", "opencv_peer/bayer_gb2bgr_ea", 1.0),
    ("matrix debayer 16-bit -> YUGp", "matrix_debayer16/yuv16_best", "opencv_peer/bayer_gb2bgr_16", None),
    ("16-bit Bayer -> RGB64 (pipe)", "pipe_bayer16_to_rgb64/best", "opencv_peer/bayer_gb2bgr_16", 1.0),
    ("full colour route -> RGB24 (pipe)", "colour_route/best", "opencv_colour_chain", 0.5),
    ("tone mapping Y16", "tone_mapping/y16_best", "opencv_tone_pow16", 1.0),
    ("tone mapping 16-bit Bayer", "tone_mapping/gbrg16_best", "opencv_tone_pow16", 1.0),
    ("tone mapping Y800", "tone_mapping/y800_best", "opencv_tone_lut8", None),
    ("sharpness/denoise Y800", "sharpness_denoise/y800_best", "opencv_unsharp_and_blur/y800", 1.0),
    ("sharpness/denoise Y16", "sharpness_denoise/y16_best", "opencv_unsharp_and_blur/y16", 1.0),
    ("white balance 8-bit", "white_balance/by8_best", "opencv_scale/y800", None),
    ("white balance 16-bit", "white_balance/by16_best", "opencv_scale/y16", None),
    ("12-bit unpacking", "unpack/layout_c_best", "opencv_widen", None),
]

UNIT_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def load(directory):
    """Run name -> (cpu ms, real ms, bytes per second), medians where the
    run has repetitions."""
    runs = {}
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".json") or name == "summary.json":
            continue
        with open(os.path.join(directory, name)) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                continue
            aggregate = b.get("aggregate_name")
            if aggregate not in (None, "median"):
                continue
            run = b.get("run_name", b["name"])
            scale = UNIT_MS[b.get("time_unit", "ns")]
            entry = (b["cpu_time"] * scale, b["real_time"] * scale, b.get("bytes_per_second", 0.0))
            if aggregate == "median" or run not in runs:
                runs[run] = entry
    return runs


def memcpy_for(runs, traffic):
    """The memcpy case of the same traffic (bytes per frame), if any."""
    best = None
    for run, entry in runs.items():
        if not run.startswith("memcpy/"):
            continue
        size = int(run.split("/")[1])
        if best is None or abs(size - traffic) < abs(best[0] - traffic):
            best = (size, entry)
    if best is None or abs(best[0] - traffic) > traffic * 0.01:
        return None
    return best[1]


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else "out/bench"
    runs = load(directory)
    rows = []
    for label, ours, peer, goal in ROWS:
        if ours not in runs:
            continue
        cpu, real, bps = runs[ours]
        traffic = bps * cpu / 1e3
        row = {"kernel": label, "ours": ours, "ours_ms": cpu, "ours_real_ms": real, "ours_gb_per_s": bps / 1e9,
               "peer": peer, "goal": goal}
        if peer in runs:
            row["peer_ms"], row["peer_real_ms"] = runs[peer][0], runs[peer][1]
            row["ratio"] = cpu / runs[peer][0]
            row["goal_met"] = None if goal is None else row["ratio"] <= goal
        copy = memcpy_for(runs, traffic)
        if copy is not None:
            row["memcpy_ms"], row["memcpy_gb_per_s"] = copy[0], copy[2] / 1e9
            row["bandwidth_vs_memcpy"] = (bps / copy[2]) if copy[2] else None
        rows.append(row)

    header = ("kernel", "ours ms", "peer", "peer ms", "ratio", "goal", "GB/s", "memcpy GB/s", "of memcpy")
    lines = []
    for r in rows:
        goal = "" if r["goal"] is None else ("<= %.2f %s" % (r["goal"], "met" if r.get("goal_met") else "NOT met"))
        lines.append((r["kernel"], "%.3f" % r["ours_ms"], r["peer"] if "peer_ms" in r else "-",
                      "%.3f" % r["peer_ms"] if "peer_ms" in r else "-",
                      "%.2f" % r["ratio"] if "ratio" in r else "-", goal, "%.2f" % r["ours_gb_per_s"],
                      "%.2f" % r["memcpy_gb_per_s"] if "memcpy_gb_per_s" in r else "-",
                      "%.2f" % r["bandwidth_vs_memcpy"] if r.get("bandwidth_vs_memcpy") else "-"))
    widths = [max(len(str(x[i])) for x in [header] + lines) for i in range(len(header))]
    print("Summary at 1920 x 1080, one thread (CPU time; ratio = ours / peer, below 1 is faster;")
    print("GB/s over the bytes read and written; of memcpy = that bandwidth / memcpy of the same bytes):")
    for line in [header] + lines:
        print("  " + "  ".join(str(v).ljust(w) if i in (0, 2, 5) else str(v).rjust(w)
                               for i, (v, w) in enumerate(zip(line, widths))))
    with open(os.path.join(directory, "summary.json"), "w") as f:
        json.dump({"frame": "1920x1080", "time": "cpu", "rows": rows}, f, indent=2)
    print("(also in %s)" % os.path.join(directory, "summary.json"))


if __name__ == "__main__":
    main()
