#!/usr/bin/env python3
"""Turns the benchmark driver's medians into the table with ratios and goals.

    benchmark-report.py RAW.json MONITOR32.exe FLOOR32.exe ARCH [--json FILE]
"""
import argparse
import json
import platform
import subprocess

import pefile


def sections(path):
    """Bytes of the file: code, resources and the rest (headers, data, imports)."""
    pe = pefile.PE(path, fast_load=True)
    total = len(pe.__data__)
    code = sum(s.SizeOfRawData for s in pe.sections if s.Characteristics & 0x20)
    rsrc = sum(s.SizeOfRawData for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    return {"bytes": total, "code": code, "resources": rsrc, "other": total - code - rsrc}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("raw")
    ap.add_argument("monitor")
    ap.add_argument("floor")
    ap.add_argument("arch")
    ap.add_argument("--json")
    a = ap.parse_args()
    raw = json.load(open(a.raw))
    m, f, c = raw["monitor"], raw["floor"], raw["control"]
    secs = raw["idle_seconds"]
    size_m, size_f = sections(a.monitor), sections(a.floor)
    excess = {k: v["median"] for k, v in raw["command_excess_ms"].items()}

    def ratio(key):
        return m[key]["median"] / f[key]["median"] if f[key]["median"] > 0 else None

    rows = [
        ("start-up to tray icon (ms)", m["startup_ms"]["median"], f["startup_ms"]["median"], ratio("startup_ms"),
         "<= 1.2x floor", ratio("startup_ms") <= 1.2),
        ("private bytes (KiB)", m["private_bytes"]["median"] / 1024, f["private_bytes"]["median"] / 1024,
         ratio("private_bytes"), "<= 1.1x floor",
         None if ratio("private_bytes") is None else ratio("private_bytes") <= 1.1),
        ("working set (KiB)", m["working_set"]["median"] / 1024, f["working_set"]["median"] / 1024,
         ratio("working_set"), "<= 1.1x floor", ratio("working_set") <= 1.1),
        ("idle CPU over %d s (ms)" % secs, m["idle_cpu_ms"]["median"], f["idle_cpu_ms"]["median"],
         None, "<= floor", m["idle_cpu_ms"]["median"] <= f["idle_cpu_ms"]["median"]),
        ("idle wake-ups over %d s" % secs, m["idle_wakeups"]["median"], f["idle_wakeups"]["median"],
         None, "<= floor", m["idle_wakeups"]["median"] <= f["idle_wakeups"]["median"]),
        # A program with a 1 s timer: shows that the idle measure sees polling.
        ("  control, 1 s timer: CPU (ms)", c["idle_cpu_ms"]["median"], None, None, "seen", c["idle_cpu_ms"]["median"] > 0),
        ("  control, 1 s timer: wake-ups", c["idle_wakeups"]["median"], None, None, "seen",
         c["idle_wakeups"]["median"] >= 0.9 * secs),
        ("32-bit exe (bytes)", size_m["bytes"], size_f["bytes"], size_m["bytes"] / size_f["bytes"],
         "<= 98304", size_m["bytes"] <= 98304),
        ("  of it code", size_m["code"], size_f["code"], None, "", None),
        ("  of it resources", size_m["resources"], size_f["resources"], None, "", None),
    ]
    for n in (0, 1, 10):
        for cmd in ("stop", "restart"):
            goal = "<= 50 at 10" if n == 10 else ""
            met = excess["%s_%d" % (cmd, n)] <= 50 and excess["%s_%d" % (cmd, n)] >= 0 if n == 10 else None
            rows.append(("%s, %d agents: excess (ms)" % (cmd.capitalize(), n), excess["%s_%d" % (cmd, n)], None,
                         None, goal, met))

    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
    print("Monitor (%s build) vs tray floor, medians; %s, %s; idle read from %s" % (
        a.arch, wine, platform.machine(), raw["idle_accounting"]))
    print("%-32s %12s %12s %7s  %-14s %s" % ("measure", "monitor", "floor", "ratio", "goal", ""))
    for name, mv, fv, r, goal, met in rows:
        print("%-32s %12.1f %12s %7s  %-14s %s" % (
            name, mv, "" if fv is None else "%.1f" % fv, "" if r is None else "%.2f" % r, goal,
            "" if met is None else (("seen" if met else "NOT SEEN") if goal == "seen" else ("met" if met else "MISSED"))))
    if a.json:
        out = {"arch": a.arch, "wine_version": wine, "raw": raw, "size": {"monitor": size_m, "floor": size_f},
               "goals": {name.strip(): met for name, _, _, _, goal, met in rows if met is not None and goal != "seen"},
               "control_seen": all(met for _, _, _, _, goal, met in rows if goal == "seen")}
        json.dump(out, open(a.json, "w"), indent=2)


if __name__ == "__main__":
    main()
