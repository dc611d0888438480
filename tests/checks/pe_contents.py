#!/usr/bin/python3
"""What a build's executables hold that Wine does not show, read from the PE files: each of the build's
machine, importing system DLLs only (no MinGW runtime to ship beside it); the monitor's resources each in
its language (a program that runs shows no resource's language), and the manifest that asks for no
elevation (Wine never elevates).
    pe_contents.py BIN_DIR win32|win64"""
import glob
import os
import sys
import xml.etree.ElementTree as ElementTree

import pefile

bin_dir, build = sys.argv[1], sys.argv[2]
MACHINE = {"win32": 0x14C, "win64": 0x8664}[build]
SYSTEM_DLLS = {name + ".dll" for name in
               "kernel32 ntdll user32 gdi32 shell32 advapi32 msvcrt ole32 comctl32 shlwapi".split()}
RT_MANIFEST = 24
MANIFEST = [("assembly", {"manifestVersion": "1.0"}), ("trustInfo", {}), ("security", {}), ("requestedPrivileges", {}),
            ("requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"})]

faults = []
exes = sorted(glob.glob(os.path.join(bin_dir, "*.exe")))
for exe in exes:
    pe = pefile.PE(exe)
    if pe.FILE_HEADER.Machine != MACHINE:
        faults.append(f"{exe}: machine {pe.FILE_HEADER.Machine:#x}, want {MACHINE:#x}")
    faults += [f"{exe} imports {d.dll.decode()}" for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
               if d.dll.decode().lower() not in SYSTEM_DLLS]

pe = pefile.PE(os.path.join(bin_dir, "ZelnaNivoroMonitor.exe"))
resources = {}  # (type, id) -> bytes
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for entry in kind.directory.entries:
        for language in entry.directory.entries:
            want = 0x0409 if kind.id == RT_MANIFEST else 0x0404
            if language.id != want:
                faults.append(f"resource type {kind.id} id {entry.id}: language {language.id:#x}, want {want:#x}")
            resources[(kind.id, entry.id)] = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
manifest = ElementTree.fromstring(resources.get((RT_MANIFEST, 1), b"<none/>"))
got = [(element.tag.split("}")[-1], element.attrib) for element in manifest.iter()]
faults += [f"manifest: {got!r}, want {MANIFEST!r}"] if got != MANIFEST else []
print("\n".join(faults + [f"{bin_dir}: {len(exes)} executables, {len(resources)} resources, {len(faults)} faults"]))
sys.exit(1 if faults or not exes else 0)
