#!/usr/bin/env python3
"""Tests of scripts/check-imports on PE32 files built here, byte by byte.

    python3 tests/imports/check_imports_test.py
"""

import contextlib
import importlib.machinery
import importlib.util
import io
import os
import struct
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check-imports")
_loader = importlib.machinery.SourceFileLoader("check_imports", SCRIPT)
_spec = importlib.util.spec_from_loader("check_imports", _loader)
ci = importlib.util.module_from_spec(_spec)
_loader.exec_module(ci)

SECTION_RVA = 0x1000
SECTION_RAW = 0x200


def build_pe(imports, machine=0x14C, os_version=(4, 0), subsystem_version=(4, 0),
             use_lookup_table=True, delay_imports=False, section_slack=0):
    """A PE32 program with one section holding the import table.

    imports: [(dll, [name or ordinal number])]. The section's file data ends
    right after the last name, plus `section_slack` bytes."""
    # Layout inside the section: descriptors, then per DLL its lookup table,
    # its address table, then every name.
    descriptors_size = 20 * (len(imports) + 1)
    tables = []
    at = descriptors_size
    for _, entries in imports:
        lookup = at
        at += 4 * (len(entries) + 1)
        thunks = at
        at += 4 * (len(entries) + 1)
        tables.append((lookup, thunks))
    names = bytearray()
    name_base = at
    dll_names, entry_values = [], []
    for dll, entries in imports:
        dll_names.append(name_base + len(names))
        names += dll.encode() + b"\0"
        values = []
        for entry in entries:
            if isinstance(entry, int):
                values.append(0x80000000 | entry)
            else:
                values.append(SECTION_RVA + name_base + len(names))
                names += b"\0\0" + entry.encode() + b"\0"
        entry_values.append(values)
    section = bytearray(name_base) + names + bytes(section_slack)
    for i, (lookup, thunks) in enumerate(tables):
        struct.pack_into("<5I", section, 20 * i, SECTION_RVA + lookup if use_lookup_table else 0, 0, 0,
                         SECTION_RVA + dll_names[i], SECTION_RVA + thunks)
        for k, value in enumerate(entry_values[i]):
            struct.pack_into("<I", section, lookup + 4 * k, value)
            struct.pack_into("<I", section, thunks + 4 * k, value)

    optional_size = 0xE0
    pe = 0x40
    header = bytearray(SECTION_RAW)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, pe)
    header[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", header, pe + 4, machine, 1, 0, 0, 0, optional_size, 0x0102)
    optional = pe + 24
    struct.pack_into("<H", header, optional, 0x10B)
    struct.pack_into("<HH", header, optional + 40, *os_version)
    struct.pack_into("<HH", header, optional + 48, *subsystem_version)
    struct.pack_into("<H", header, optional + 68, 2)
    struct.pack_into("<I", header, optional + 92, 16)
    struct.pack_into("<II", header, optional + 96 + 8, SECTION_RVA, descriptors_size)
    if delay_imports:
        struct.pack_into("<II", header, optional + 96 + 8 * 13, SECTION_RVA, 32)
    table = optional + optional_size
    header[table:table + 8] = b".idata\0\0"
    struct.pack_into("<IIII", header, table + 8, len(section), SECTION_RVA, len(section), SECTION_RAW)
    return bytes(header) + bytes(section)


ALLOWED_TEXT = """# test list
[KERNEL32.dll]
GetTickCount      # a note
CloseHandle
[USER32.DLL]
SetPropA
"""


class CheckImportsTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.allowed_path = os.path.join(self.folder.name, "allowed")
        with open(self.allowed_path, "w") as f:
            f.write(ALLOWED_TEXT)
        self.allowed = ci.load_allowed(self.allowed_path)

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_main(self, *argv):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = ci.main(["--allowed", self.allowed_path] + list(argv))
        return status, out.getvalue()

    def test_allowed_program_passes_and_every_fault_is_named(self):
        good = [("KERNEL32.dll", ["GetTickCount", "CloseHandle"]), ("user32.dll", ["SetPropA"])]
        program = ci.Program(build_pe(good))
        self.assertEqual(program.imports, good)
        self.assertEqual(ci.problems(program, self.allowed), [])
        # The names come from the address table alone when the lookup table is absent.
        self.assertEqual(ci.Program(build_pe(good, use_lookup_table=False)).imports, good)

        bad = [("KERNEL32.dll", ["GetTickCount", "GetTickCount64", 17]),
               ("COMCTL32.DLL", ["SetWindowSubclass"])]
        found = ci.problems(ci.Program(build_pe(bad, os_version=(5, 0), subsystem_version=(4, 10),
                                                delay_imports=True)), self.allowed)
        self.assertEqual(found, [
            "operating system version 5.0 above 4.0",
            "subsystem version 4.10 above 4.0",
            "delay-loaded imports",
            "KERNEL32.dll: GetTickCount64 not in the allowed list",
            "KERNEL32.dll: import by ordinal 17",
            "COMCTL32.DLL: DLL not in the allowed list",
        ])
        found = ci.problems(ci.Program(build_pe(good, machine=0x8664, os_version=(4, 1))), self.allowed)
        self.assertEqual(found, ["machine 0x8664, not i386", "operating system version 4.1 above 4.0"])

        # The command: a line per problem, a summary, and the exit status.
        status, out = self.run_main(self.write("good.exe", build_pe(good)))
        self.assertEqual(status, 0, out)
        self.assertIn("3 functions from 2 DLLs, 0 problems", out)
        status, out = self.run_main(self.write("good.exe", build_pe(good)), self.write("bad.exe", build_pe(bad)))
        self.assertEqual(status, 1)
        self.assertIn("bad.exe: KERNEL32.dll: GetTickCount64 not in the allowed list", out)
        self.assertIn("3 problems in all", out)

    def test_malformed_files_are_refused_not_read_past(self):
        good = build_pe([("KERNEL32.dll", ["CloseHandle"])])
        pe32_plus = bytearray(good)
        struct.pack_into("<H", pe32_plus, 0x40 + 24, 0x20B)
        cases = {
            "empty": (b"", "outside the file"),
            "no MZ": (b"ZM" + good[2:], "no MZ header"),
            "cut in the headers": (good[:0x100], "outside the file"),
            "cut in the import table": (good[:SECTION_RAW + 10], "outside the file"),
            "PE32+": (bytes(pe32_plus), "not a PE32 program"),
        }
        for what, (data, reason) in cases.items():
            with self.subTest(what):
                with self.assertRaisesRegex(ci.PeError, reason):
                    ci.Program(data)
        # The last name ends exactly at the end of the file: read. One byte
        # less and its terminator is missing: refused.
        exact = build_pe([("KERNEL32.dll", ["CloseHandle"])])
        self.assertEqual(ci.Program(exact).imports, [("KERNEL32.dll", ["CloseHandle"])])
        with self.assertRaisesRegex(ci.PeError, "not ended within the file"):
            ci.Program(exact[:-1])
        # An import directory outside every section.
        moved = bytearray(good)
        struct.pack_into("<I", moved, 0x40 + 24 + 96 + 8, 0x9000)
        with self.assertRaises(ci.PeError):
            ci.Program(bytes(moved))
        status, out = self.run_main(self.write("moved.exe", bytes(moved)))
        self.assertEqual(status, 1)
        self.assertIn("moved.exe: address 0x9000 is in no section", out)

    def test_allowed_list_is_checked_against_reference_lists(self):
        reference = os.path.join(self.folder.name, "reference")
        os.mkdir(reference)
        lists = {
            "win95.KERNEL32.txt": "CloseHandle\nGetTickCount\n",
            "nt4.KERNEL32.txt": "CloseHandle\n",
            "win95.USER32.txt": "# USER32: curated by hand\nGetPropA\n",
            "nt4.USER32.txt": "# USER32: curated by hand\nGetPropA\n",
        }
        for name, text in lists.items():
            with open(os.path.join(reference, name), "w") as f:
                f.write(text)
        allowed = ci.load_allowed(self.allowed_path)
        self.assertEqual(ci.reference_problems(allowed, reference), [
            "KERNEL32.DLL: GetTickCount not exported by name on nt4 (complete list)",
            "USER32.DLL: SetPropA not exported by name on win95 and nt4",
        ])
        # A function an incomplete list lacks passes once its documentation
        # was checked; a note of another kind is not enough.
        with open(self.allowed_path, "a") as f:
            f.write("[KERNEL32.dll]\nGetTickCount  # documented: somewhere\n")
        with open(self.allowed_path) as f:
            text = f.read().replace("SetPropA", "SetPropA  # documented: MSDN 1998, Windows 95 and NT 3.1")
        with open(self.allowed_path, "w") as f:
            f.write(text)
        self.assertEqual(ci.reference_problems(ci.load_allowed(self.allowed_path), reference), [
            "KERNEL32.DLL: GetTickCount not exported by name on nt4 (complete list)",
        ])
        # A program read against the lists alone: one problem per function and system.
        program = ci.Program(build_pe([("KERNEL32.dll", ["CloseHandle", "GetTickCount", 3])]))
        self.assertEqual(ci.reference_program_problems(program, reference), [
            "win95: KERNEL32.dll: 3 not in the list",
            "nt4: KERNEL32.dll: 3 not in the list",
            "nt4: KERNEL32.dll: GetTickCount not in the list",
        ])

    def test_allowed_list_syntax(self):
        self.assertEqual(self.allowed, {
            "KERNEL32.DLL": {"GetTickCount": "a note", "CloseHandle": ""},
            "USER32.DLL": {"SetPropA": ""},
        })
        with open(self.allowed_path, "w") as f:
            f.write("CloseHandle\n")
        with self.assertRaises(SystemExit):
            ci.load_allowed(self.allowed_path)


if __name__ == "__main__":
    unittest.main()
