#!/usr/bin/python3
"""What a build's executables hold, read from the PE files: each of the build's machine, importing system
DLLs only (no MinGW runtime to ship beside it); the monitor's resources, each in its language.
    pe_contents.py BIN_DIR win32|win64"""
import glob
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

bin_dir, build = sys.argv[1], sys.argv[2]
MACHINE = {"win32": 0x14C, "win64": 0x8664}[build]
SYSTEM_DLLS = {name + ".dll" for name in
               "kernel32 ntdll user32 gdi32 shell32 advapi32 msvcrt ole32 comctl32 shlwapi".split()}
RT_MENU, RT_DIALOG, RT_STRING, RT_ACCELERATOR, RT_GROUP_ICON, RT_MANIFEST = 4, 5, 6, 9, 14, 24
TITLE = "嵐川銀行晶片金融卡安控元件"
# Strings 96 to 111 share one block, each a length and the text without terminator.
STRINGS = {103: TITLE, 104: TITLE, 105: TITLE + "已關閉", 109: "ZELNANIVOROMONITOR"}
STRING_BLOCK = "".join(chr(len(text)) + text for text in (STRINGS.get(n, "") for n in range(96, 112)))
ICON_SETS = {107: [(50, 50, 32)], 129: [(50, 50, 32)], 108: [(32, 32, 4), (16, 16, 4), (48, 48, 8), (32, 32, 8),
                                                             (16, 16, 8), (48, 48, 32), (32, 32, 32), (16, 16, 32)]}
POPUP, END, ALT = "\x10", "\x80", "\x10"  # ALT without VIRTKEY (0x01): a character key
MENU = f"\0\0{POPUP}檔案(&F)\0{END}\x69結束(&X)\0\x90說明(&H)\0{END}\x68關於(&A)...\0"  # 0x69, 0x68: 105, 104
ACCELERATORS = f"{ALT}?\x68\0\x90/\x68\0"
# Caption, the whole text of a static control (class 0x82) with its three trailing blanks, the button.
ABOUT = ["關於 " + TITLE + "\0", "\uffff\x82" + TITLE + ", 版本 1,0,2,8 (002)   \0", "確定\0"]
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
text = lambda kind, ident: resources.get((kind, ident), b"").decode("utf-16-le", "replace")


def images(group):  # (width, height, bits) of each image in an icon group
    data = resources.get((RT_GROUP_ICON, group), bytes(6))
    return [(w, h, bits) for w, h, _, _, _, bits in (struct.unpack_from("<BBBBHH", data, 6 + 14 * i)
                                                     for i in range(data[4]))]


fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
table = next((t.entries for info in getattr(pe, "FileInfo", [[]])[0] for t in getattr(info, "StringTable", [])
              if t.LangID.lower() == b"040404b0"), {})
manifest = ElementTree.fromstring(resources.get((RT_MANIFEST, 1), b"<none/>"))
checks = [
    ("strings 103 to 109", text(RT_STRING, 7), STRING_BLOCK),
    ("icon sets", {group: images(group) for group in ICON_SETS}, ICON_SETS),
    ("menu 109", text(RT_MENU, 109), MENU),
    ("accelerators 109", text(RT_ACCELERATOR, 109), ACCELERATORS),
    ("About texts missing", [t for t in ABOUT if t not in text(RT_DIALOG, 103)], []),
    ("fixed versions", fixed and [getattr(fixed, field) for field in
                                  ("FileVersionMS", "FileVersionLS", "ProductVersionMS", "ProductVersionLS")],
     [0x10000, 0x20008] * 2),
    ("versions in 040404b0", [table.get(b"FileVersion"), table.get(b"ProductVersion")], [b"1. 0. 2. 8"] * 2),
    ("manifest", [(element.tag.split("}")[-1], element.attrib) for element in manifest.iter()], MANIFEST),
]
faults += [f"{what}: {got!r}, want {want!r}" for what, got, want in checks if got != want]
print("\n".join(faults + [f"{bin_dir}: {len(exes)} executables, {len(resources)} resources, {len(faults)} faults"]))
sys.exit(1 if faults or not exes else 0)
