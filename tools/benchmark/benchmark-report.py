#!/usr/bin/env python3
"""Turns the benchmark driver's raw figures into the table with ratios and goals.

    benchmark-report.py RAW.json MONITOR32.exe FLOOR32.exe ARCH [--seconds S] [--json FILE]

Exits 1 when a goal is missed or a control is not seen.
"""
import argparse
import json
import platform
import subprocess
import sys

import pefile

# What a long-used monitor may grow by: a little room for Windows' own caches.
LONG_USE_ALLOWANCE = 2 * 1024 * 1024


def sections(path):
    """Bytes of the file: code, resources and the rest (headers, data, imports)."""
    pe = pefile.PE(path, fast_load=True)
    total = len(pe.__data__)
    code = sum(s.SizeOfRawData for s in pe.sections if s.Characteristics & 0x20)
    rsrc = sum(s.SizeOfRawData for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    return {"bytes": total, "code": code, "resources": rsrc, "other": total - code - rsrc}


def comparison_rows(raw, size_m, size_f):
    """(measure, monitor, floor, ratio, goal, met) against the floor."""
    m, f, c = raw["monitor"], raw["floor"], raw["control"]
    secs = raw["idle_seconds"]

    def med(who, key):
        return who[key]["median"]

    def ratio(key):
        return med(m, key) / med(f, key) if med(f, key) > 0 else None

    def within(key, limit):
        # A failed run reads -1, and a missing floor figure gives no ratio: neither is met.
        return ratio(key) is not None and med(m, key) >= 0 and ratio(key) <= limit

    fonts = raw["fonts"]
    rows = [
        ("start-up to tray icon (ms)", med(m, "startup_ms"), med(f, "startup_ms"), ratio("startup_ms"),
         "<= 1.2x floor", within("startup_ms", 1.2)),
        ("private bytes (KiB)", med(m, "private_bytes") / 1024, med(f, "private_bytes") / 1024,
         ratio("private_bytes"), "<= 1.1x floor", within("private_bytes", 1.1)),
        ("working set (KiB)", med(m, "working_set") / 1024, med(f, "working_set") / 1024,
         ratio("working_set"), "<= 1.1x floor", within("working_set", 1.1)),
        # The menu must stay attached: dropping it would be the cheap way to load no font.
        ("fonts at start-up beyond floor's", fonts["at_startup"], None, None, "0, menu kept",
         fonts["at_startup"] == 0 and fonts["menu_attached"]),
        ("  after the first box (probe)", fonts["after_box"], None, None, "seen", fonts["after_box"] > 0),
        ("idle CPU over %d s (ms)" % secs, med(m, "idle_cpu_ms"), med(f, "idle_cpu_ms"),
         None, "<= floor", med(m, "idle_cpu_ms") <= med(f, "idle_cpu_ms")),
        ("idle wake-ups over %d s" % secs, med(m, "idle_wakeups"), med(f, "idle_wakeups"),
         None, "<= floor", med(m, "idle_wakeups") <= med(f, "idle_wakeups")),
        # A program with a 1 s timer: shows that the idle measure sees polling.
        ("  control, 1 s timer: CPU (ms)", med(c, "idle_cpu_ms"), None, None, "seen", med(c, "idle_cpu_ms") > 0),
        ("  control, 1 s timer: wake-ups", med(c, "idle_wakeups"), None, None, "seen",
         med(c, "idle_wakeups") >= 0.9 * secs),
        ("32-bit exe (bytes)", size_m["bytes"], size_f["bytes"], size_m["bytes"] / size_f["bytes"],
         "<= 98304", size_m["bytes"] <= 98304),
        ("  of it code", size_m["code"], size_f["code"], None, "", None),
        ("  of it resources", size_m["resources"], size_f["resources"], None, "", None),
    ]
    excess = {k: v["median"] for k, v in raw["command_excess_ms"].items()}
    for n in (0, 1, 10):
        for cmd in ("stop", "restart"):
            value = excess["%s_%d" % (cmd, n)]
            # -1 marks a command whose box did not report success.
            rows.append(("%s, %d agent%s: excess (ms)" % (cmd.capitalize(), n, "" if n == 1 else "s"), value, None, None,
                         "<= 50 at 10" if n == 10 else "", (0 <= value <= 50) if n == 10 else None))
    return rows


def long_use_rows(use):
    """(measure, before, after, growth, goal, met) of one monitor used for long."""
    done = use["menus"] == use["n"] and use["copy_data"] + use["stops"] == use["n"] and use["abouts"] == use["n"] // 10
    rows = [
        ("tray menus opened and dismissed", use["menus"], None, None, "%d" % use["n"], use["menus"] == use["n"]),
        ("  time for them (ms)", use["menus_ms"], None, None, "", None),
        ("switches: copy-data 1 / Stops", use["copy_data"], use["stops"], None, "%d in all" % use["n"],
         use["copy_data"] + use["stops"] == use["n"]),
        ("  time for them (ms)", use["switches_ms"], None, None, "", None),
        ("About boxes opened and closed", use["abouts"], None, None, "%d" % (use["n"] // 10),
         use["abouts"] == use["n"] // 10),
        ("  time for them (ms)", use["abouts_ms"], None, None, "", None),
    ]
    for name, key in (("private bytes (KiB)", "private_bytes"), ("working set (KiB)", "working_set")):
        before, after = use[key]
        rows.append((name + ": before, after", before / 1024, after / 1024, "%+.0f" % ((after - before) / 1024),
                     "+<= 2048 KiB", done and after - before <= LONG_USE_ALLOWANCE))
    rows.append(("ends grey, alive, exit code 0", use["ends_grey"] and use["alive"] and use["exit_code"] == 0,
                 None, None, "yes", use["ends_grey"] and use["alive"] and use["exit_code"] == 0))
    return rows


def verdict(goal, met):
    if met is None:
        return ""
    if goal == "seen":
        return "seen" if met else "NOT SEEN"
    return "met" if met else "MISSED"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("raw")
    ap.add_argument("monitor")
    ap.add_argument("floor")
    ap.add_argument("arch")
    ap.add_argument("--seconds", type=int)
    ap.add_argument("--json")
    a = ap.parse_args()
    raw = json.load(open(a.raw))
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
    took = "" if a.seconds is None else "; run took %d min %02d s" % (a.seconds // 60, a.seconds % 60)
    out = {"arch": a.arch, "wine_version": wine, "run_seconds": a.seconds, "raw": raw}
    if "long_use" in raw:
        rows = long_use_rows(raw["long_use"])
        print("Monitor (%s build), long use of one process; %s, %s%s" % (a.arch, wine, platform.machine(), took))
        columns = ("measure", "value", "after", "growth")
    else:
        size_m, size_f = sections(a.monitor), sections(a.floor)
        out["size"] = {"monitor": size_m, "floor": size_f}
        rows = comparison_rows(raw, size_m, size_f)
        print("Monitor (%s build) vs tray floor, medians; %s, %s; idle read from %s%s" % (
            a.arch, wine, platform.machine(), raw["idle_accounting"], took))
        columns = ("measure", "monitor", "floor", "ratio")
    print("%-34s %12s %12s %7s  %-14s %s" % (columns + ("goal", "")))
    for name, mv, fv, r, goal, met in rows:
        r = "" if r is None else r if isinstance(r, str) else "%.2f" % r
        print("%-34s %12.1f %12s %7s  %-14s %s" % (
            name, mv, "" if fv is None else "%.1f" % fv, r, goal, verdict(goal, met)))
    out["goals"] = {name.strip(): met for name, _, _, _, goal, met in rows if met is not None and goal != "seen"}
    out["controls_seen"] = all(met for _, _, _, _, goal, met in rows if goal == "seen")
    if a.json:
        json.dump(out, open(a.json, "w"), indent=2)
    missed = [name.strip() for name, _, _, _, goal, met in rows if met is False]
    if missed:
        print("missed or not seen: " + "; ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
