#!/usr/bin/python3
"""Checks how the shipped program is built, read from its PE: machine,
graphical subsystem, ASLR and DEP, no writable code, no link time stamp, and
that the first thing wWinMain does is restrict DLL loading to the system folder.
    check-pe-hardening.py ZelnaNivoroMonitor.exe i386|amd64 monitor_main.cpp.obj"""
import re
import subprocess
import sys

import pefile

exe, machine, obj = sys.argv[1], sys.argv[2], sys.argv[3]
MACHINES = {"i386": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "amd64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 0x40, 0x100, 0x20
WRITE, EXECUTE = 0x80000000, 0x20000000
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800

pe = pefile.PE(exe)
faults = []
if pe.FILE_HEADER.Machine != MACHINES[machine]:
    faults.append(f"machine {pe.FILE_HEADER.Machine:#x}, want {machine}")
if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
    faults.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, want the graphical one")
want = DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if machine == "amd64" else 0)
if pe.OPTIONAL_HEADER.DllCharacteristics & want != want:
    faults.append(f"DllCharacteristics {pe.OPTIONAL_HEADER.DllCharacteristics:#x} lacks {want:#x}")
if not pe.has_relocs():
    faults.append("no relocations: the loader could not move the image")
for section in pe.sections:
    if section.Characteristics & (WRITE | EXECUTE) == WRITE | EXECUTE:
        name = section.Name.rstrip(b"\0").decode()
        faults.append(f"section {name} is writable and executable")
if pe.FILE_HEADER.TimeDateStamp != 0:
    faults.append(f"link time stamp {pe.FILE_HEADER.TimeDateStamp:#x}")

slots = {imp.name: imp.address for dll in pe.DIRECTORY_ENTRY_IMPORT for imp in dll.imports if imp.name}
slot = slots.get(b"SetDefaultDllDirectories")
if slot is None:
    faults.append("SetDefaultDllDirectories is not imported")
else:
    # The shipped file is stripped, so wWinMain's first call is read from its
    # compiled object (the same code, relocations named); the file itself must
    # call through the slot.
    listing = subprocess.run(["x86_64-w64-mingw32-objdump", "-dr", "--no-show-raw-insn", obj],
                             capture_output=True, text=True, check=True).stdout
    body = re.search(r"<_?wWinMain(@16)?>:\n(.*?)(\n\n|$)", listing, re.S)
    lines = body.group(2).splitlines() if body else []
    calls = [i for i, line in enumerate(lines) if "\tcall" in line]
    first = " ".join(lines[calls[0]:calls[0] + 2]) if calls else ""
    if "SetDefaultDllDirectories" not in first:
        faults.append(f"wWinMain's first call is not SetDefaultDllDirectories: {first.strip()!r}")
    elif not any(f"${LOAD_LIBRARY_SEARCH_SYSTEM32:#x}," in line for line in lines[:calls[0]]):
        faults.append("SetDefaultDllDirectories is not given LOAD_LIBRARY_SEARCH_SYSTEM32 alone")
    program = subprocess.run(["x86_64-w64-mingw32-objdump", "-d", "--no-show-raw-insn", exe],
                             capture_output=True, text=True, check=True).stdout
    if not re.search(rf"call\s+\*(0x{slot:x}\b|0x[0-9a-f]+\(%rip\)\s+# (0x)?{slot:x}\b)", program):
        faults.append("the program never calls SetDefaultDllDirectories")

for fault in faults:
    print(fault)
print(f"{exe}: {machine}, GUI, DllCharacteristics {pe.OPTIONAL_HEADER.DllCharacteristics:#x}, {len(faults)} faults")
sys.exit(1 if faults else 0)
