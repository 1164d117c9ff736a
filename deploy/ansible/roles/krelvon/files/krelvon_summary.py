#!/usr/bin/env python3
"""The summary table of a krelvon play, run on the controller.

    krelvon_summary.py scan|restore FETCH_DIR  < HOSTS_JSON

HOSTS_JSON (in base64) lists the play's hosts: {"host", "status" (the exit status, null
when the program did not run), "report" (the report fetched in this run, or
null), "active" (still in the play), "restarted", "output" (a restore's
standard output)}. Prints the table and writes it to FETCH_DIR/summary.txt,
and the same figures to FETCH_DIR/summary.json.
"""
import base64
import json
import os
import sys

SCAN_OUTCOMES = {
    0: "clean",
    1: "cleaned",
    2: "error",
    3: "not all examined",
    4: "still infected",
    5: "restart needed",
    130: "interrupted",
}
RESTORE_OUTCOMES = {0: "restored", 2: "error", 4: "not all restored"}
SCAN_COUNTS = ["scanned", "clean", "cleaned", "still infected", "restart needed", "not examined"]
RESTORE_COUNTS = ["restored", "in place", "refused", "failed"]


def restart_pending(finding):
    """A finding whose file goes at the next restart: a field that says so,
    or an outcome that names the restart."""
    for key, value in finding.items():
        if "restart" in key and value is True:
            return True
    return "restart" in str(finding.get("outcome", "")).lower()


def report_counts(path):
    """The counts of one fetched report, or None when it cannot be read."""
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    except OSError:
        return None
    counts = dict.fromkeys(SCAN_COUNTS, 0)
    statistics = None
    damaged = 0
    for line in lines:
        if not line.strip():
            continue
        try:
            obj = json.loads(line)
        except ValueError:
            damaged += 1
            continue
        kind = obj.get("type")
        if kind == "finding":
            if restart_pending(obj):
                counts["restart needed"] += 1
            elif obj.get("ok") is True and obj.get("action") in ("disinfect", "rename", "delete"):
                counts["cleaned"] += 1
            else:
                # Ignored, no answer given, or a failed action.
                counts["still infected"] += 1
        elif kind == "skipped":
            counts["not examined"] += 1
        elif kind == "statistics":
            statistics = obj
    notes = []
    if statistics is None:
        notes.append("report without statistics")
    else:
        counts["scanned"] = int(statistics.get("scanned", 0))
        infected = int(statistics.get("infected", 0))
        # Entries not examined are counted among the files scanned when they
        # were listed as files; a clean file is one examined and not infected.
        counts["clean"] = max(0, counts["scanned"] - infected - counts["not examined"])
        if statistics.get("status") == "terminated":
            notes.append("scan terminated")
    if damaged:
        notes.append(f"{damaged} damaged line{'' if damaged == 1 else 's'}")
    return counts, notes


def outcome_of(row, outcomes, notes):
    status = row.get("status")
    if status is None:
        text = "not run (failed earlier)" if row.get("active") is False else "not run"
    else:
        text = outcomes.get(status, f"failed (status {status})")
        if status == 5 and row.get("restarted"):
            text = "restarted"
    if notes:
        text += " (" + ", ".join(notes) + ")"
    return text


def scan_rows(hosts):
    rows = []
    for h in hosts:
        counts, notes = None, []
        if h.get("report"):
            got = report_counts(h["report"])
            if got is None:
                notes.append("report unreadable")
            else:
                counts, notes = got
        elif h.get("status") is not None:
            notes.append("no report")
        rows.append({"host": h["host"], "status": h.get("status"), "outcome": outcome_of(h, SCAN_OUTCOMES, notes),
                     "counts": counts})
    return rows, SCAN_COUNTS


def restore_rows(hosts):
    prefixes = {"restored": "restored: ", "in place": "in place: ", "refused": "refused: ", "failed": "failed: "}
    rows = []
    for h in hosts:
        counts = None
        if h.get("status") is not None:
            counts = dict.fromkeys(RESTORE_COUNTS, 0)
            for line in (h.get("output") or "").splitlines():
                for name, prefix in prefixes.items():
                    if line.startswith(prefix):
                        counts[name] += 1
        rows.append({"host": h["host"], "status": h.get("status"), "outcome": outcome_of(h, RESTORE_OUTCOMES, []),
                     "counts": counts})
    return rows, RESTORE_COUNTS


def table(rows, columns):
    header = ["host", "status", "outcome"] + columns
    body = []
    for r in rows:
        status = "-" if r["status"] is None else str(r["status"])
        figures = [str(r["counts"][c]) if r["counts"] is not None else "-" for c in columns]
        body.append([r["host"], status, r["outcome"]] + figures)
    widths = [max(len(line[i]) for line in [header] + body) for i in range(len(header))]
    text = ["  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() for line in [header] + body]
    # The hosts per outcome, in the order the table first shows each.
    tally = {}
    for r in rows:
        tally[r["outcome"]] = tally.get(r["outcome"], 0) + 1
    text.append(f"{len(rows)} host{'' if len(rows) == 1 else 's'}: " + ", ".join(f"{n} {name}" for name, n in tally.items()))
    return text


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("scan", "restore"):
        sys.stderr.write("usage: krelvon_summary.py scan|restore FETCH_DIR < HOSTS_JSON\n")
        return 2
    mode, folder = sys.argv[1], sys.argv[2]
    hosts = json.loads(base64.b64decode(sys.stdin.read()))
    rows, columns = scan_rows(hosts) if mode == "scan" else restore_rows(hosts)
    lines = table(rows, columns)
    os.makedirs(folder, exist_ok=True)
    name = "summary" if mode == "scan" else "restore-summary"
    with open(os.path.join(folder, name + ".txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(folder, name + ".json"), "w", encoding="utf-8") as f:
        json.dump(rows, f, indent=1)
        f.write("\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
