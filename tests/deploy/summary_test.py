#!/usr/bin/env python3
"""The summary table of deploy/ansible for the statuses and reports the hosts
of the SSH test cannot give: a finding left infected (4), a restart pending
(5, with and without the restart done), an interrupted scan (130), a
start-up error without a report (2), a status the scanner never gives, a host
that failed before the scan, a damaged report line; and a restore's table.

    summary_test.py deploy/ansible/roles/krelvon/files/krelvon_summary.py
"""
import base64
import json
import os
import subprocess
import sys
import tempfile

script = sys.argv[1]
failures = []


def check(name, actual, expected):
    if actual != expected:
        failures.append(f"{name}:\n--- expected\n{expected}\n--- actual\n{actual}")


def run(mode, folder, hosts):
    p = subprocess.run([sys.executable, script, mode, folder], input=base64.b64encode(json.dumps(hosts).encode()),
                       capture_output=True, check=False)
    check(f"{mode}: exit status ({p.stderr.decode()})", p.returncode, 0)
    return p.stdout.decode()


def finding(action, outcome, ok, **extra):
    return dict({"type": "finding", "path": "/d/x.exe", "detection": "W32/BugBear.B.Worm", "kind": "worm_file",
                 "action": action, "outcome": outcome, "ok": ok}, **extra)


def statistics(scanned, infected, status="completed"):
    return {"type": "statistics", "scanned": scanned, "infected": infected, "disinfected": 0, "renamed": 0,
            "deleted": 0, "status": status}


with tempfile.TemporaryDirectory() as work:
    def report(name, objects, tail=""):
        path = os.path.join(work, name + ".jsonl")
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(json.dumps(o) + "\n" for o in objects) + tail)
        return path

    hosts = [
        # Cleaned one, left two: a failed delete and an ignored file.
        {"host": "left", "status": 4, "report": report("left", [
            finding("delete", "deleted", True), finding("delete", "Delete failed", False),
            finding("ignore", "not disinfected as per user's selection", True), statistics(10, 3)])},
        # A file that goes at the next restart, by its field or its outcome.
        {"host": "pending", "status": 5, "report": report("pending", [
            finding("delete", "will be deleted at restart", True, restart_pending=True),
            finding("rename", "will be renamed at restart", True), finding("delete", "deleted", True),
            statistics(4, 3)])},
        {"host": "restarted", "status": 5, "restarted": True, "report": report("restarted", [
            finding("delete", "will be deleted at restart", True, restart_pending=True), statistics(2, 1)])},
        # Interrupted before anything was found.
        {"host": "stopped", "status": 130, "report": report("stopped", [
            {"type": "skipped", "path": "/d/p", "reason": "not a regular file"}, statistics(5, 0, "terminated")])},
        {"host": "usage", "status": 2, "report": None},
        {"host": "odd", "status": 7, "report": report("odd", [statistics(1, 0)], '{"type":"fin')},
        {"host": "gone", "status": None, "report": None, "active": False},
    ]
    out = run("scan", work, hosts)
    expected = """\
host       status  outcome                             scanned  clean  cleaned  still infected  restart needed  not examined
left       4       still infected                      10       7      1        2               0               0
pending    5       restart needed                      4        1      1        0               2               0
restarted  5       restarted                           2        1      0        0               1               0
stopped    130     interrupted (scan terminated)       5        4      0        0               0               1
usage      2       error (no report)                   -        -      -        -               -               -
odd        7       failed (status 7) (1 damaged line)  1        1      0        0               0               0
gone       -       not run (failed earlier)            -        -      -        -               -               -
7 hosts: 1 still infected, 1 restart needed, 1 restarted, 1 interrupted (scan terminated), 1 error (no report), \
1 failed (status 7) (1 damaged line), 1 not run (failed earlier)
"""
    check("scan table", out, expected)
    with open(os.path.join(work, "summary.txt"), encoding="utf-8") as f:
        check("scan table written", f.read(), expected)
    with open(os.path.join(work, "summary.json"), encoding="utf-8") as f:
        rows = json.load(f)
    check("scan figures", [(r["host"], r["status"], r["counts"] and r["counts"]["restart needed"]) for r in rows],
          [("left", 4, 0), ("pending", 5, 2), ("restarted", 5, 1), ("stopped", 130, 0), ("usage", 2, None),
           ("odd", 7, 0), ("gone", None, None)])

    out = run("restore", work, [
        {"host": "back", "status": 0, "output": "restored: /d/a.exe\nin place: /d/b.exe\n2 entries\n"},
        {"host": "refused", "status": 4,
         "output": "restored: /d/a.exe (mode 4755 put back as 0755: not root's)\nrefused: /d/b.exe: changed since the scan\n"
                   "failed: /d/c.exe: no space\n"},
        {"host": "nobackup", "status": 2, "output": ""},
    ])
    check("restore table", out, """\
host      status  outcome           restored  in place  refused  failed
back      0       restored          1         1         0        0
refused   4       not all restored  1         0         1        1
nobackup  2       error             0         0         0        0
3 hosts: 1 restored, 1 not all restored, 1 error
""")

for f in failures:
    print("FAIL:", f, file=sys.stderr)
sys.exit(1 if failures else 0)
