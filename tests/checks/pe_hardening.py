#!/usr/bin/python3
"""How the program is built, read from its PE (pe_contents.py checks its machine): graphical
subsystem, ASLR and DEP, no writable code, no link time stamp; SetDefaultDllDirectories
looked up at run time, not imported, and wWinMain's first call restricting DLL loading.
    pe_hardening.py BIN_DIR win32|win64 monitor_main.cpp.obj"""
import re
import subprocess
import sys

import pefile

bin_dir, build, obj = sys.argv[1:4]
exe = f"{bin_dir}/ZelnaNivoroMonitor.exe"
DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA, WRITE, EXECUTE = 0x40, 0x100, 0x20, 0x80000000, 0x20000000

pe = pefile.PE(exe)
faults = []
if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
    faults.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, want the graphical one")
want = DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if build == "win64" else 0)
if pe.OPTIONAL_HEADER.DllCharacteristics & want != want or not pe.has_relocs():
    faults.append(f"DllCharacteristics {pe.OPTIONAL_HEADER.DllCharacteristics:#x} lacks {want:#x}, or no relocations")
faults += [f"section {s.Name.decode().rstrip(chr(0))} is writable and executable"
           for s in pe.sections if s.Characteristics & (WRITE | EXECUTE) == WRITE | EXECUTE]
if pe.FILE_HEADER.TimeDateStamp != 0:
    faults.append(f"link time stamp {pe.FILE_HEADER.TimeDateStamp:#x}")

# An import of it keeps Windows 7 without its loader update from starting the program.
if any(imp.name == b"SetDefaultDllDirectories" for dll in pe.DIRECTORY_ENTRY_IMPORT for imp in dll.imports):
    faults.append("SetDefaultDllDirectories is imported")
# The shipped file is stripped: the order of calls is read from the compiled object.
listing = subprocess.run(["x86_64-w64-mingw32-objdump", "-dr", "--no-show-raw-insn", obj],
                         capture_output=True, text=True, check=True).stdout
main = re.search(r"<_*wWinMain\S*>:\n(.*?)(?:\n\n|$)", listing, re.S)
lines = main.group(1).splitlines() if main else []
first = next((" ".join(lines[i:i + 2]) for i, line in enumerate(lines) if "\tcall" in line), "")
if "RestrictDllSearch" not in first and "GetModuleHandleW" not in first:  # inlined, it starts so
    faults.append(f"wWinMain's first call does not restrict DLL loading: {first.strip()!r}")

print("".join(fault + "\n" for fault in faults), end="")
print(f"{exe}: {build}, DllCharacteristics {pe.OPTIONAL_HEADER.DllCharacteristics:#x}, {len(faults)} faults")
sys.exit(1 if faults else 0)
