#!/usr/bin/python3
"""Checks the resources built into the monitor program, read from the PE:
texts, languages, icon image sets, version block and manifest.
    check-resources.py ZelnaNivoroMonitor.exe"""
import struct
import sys

import pefile

CHINESE_TAIWAN, ENGLISH_US = 0x0404, 0x0409
RT_ICON, RT_STRING, RT_MENU, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_ACCELERATOR, RT_MANIFEST = 3, 6, 4, 5, 14, 16, 9, 24
STRINGS = {
    103: "嵐川銀行晶片金融卡安控元件",
    104: "嵐川銀行晶片金融卡安控元件",
    105: "嵐川銀行晶片金融卡安控元件已關閉",
    109: "ZELNANIVOROMONITOR",
}
ICON_SETS = {
    107: [(50, 50, 32)],
    129: [(50, 50, 32)],
    108: [(32, 32, 4), (16, 16, 4), (48, 48, 8), (32, 32, 8), (16, 16, 8), (48, 48, 32), (32, 32, 32), (16, 16, 32)],
}
ABOUT_TEXTS = ["關於 嵐川銀行晶片金融卡安控元件", "嵐川銀行晶片金融卡安控元件, 版本 1,0,2,8 (002)   \0", "確定"]

pe = pefile.PE(sys.argv[1])
data = pe.get_memory_mapped_image()
faults = []
resources = {}  # (type, id) -> (language, bytes)
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for entry in kind.directory.entries:
        for lang in entry.directory.entries:
            raw = data[lang.data.struct.OffsetToData:][:lang.data.struct.Size]
            resources[(kind.id, entry.id)] = (lang.id, raw)

for (kind, ident), (language, _) in resources.items():
    want = ENGLISH_US if kind == RT_MANIFEST else CHINESE_TAIWAN
    if language != want:
        faults.append(f"resource type {kind} id {ident}: language {language:#x}, want {want:#x}")

for number, text in STRINGS.items():
    block = resources.get((RT_STRING, number // 16 + 1))
    if block is None:
        faults.append(f"no string block for {number}")
        continue
    raw, offset = block[1], 0
    for index in range(16):
        (length,) = struct.unpack_from("<H", raw, offset)
        found = raw[offset + 2:offset + 2 + 2 * length].decode("utf-16-le")
        offset += 2 + 2 * length
        if index == number % 16 and found != text:
            faults.append(f"string {number} is {found!r}, want {text!r}")

for group, images in ICON_SETS.items():
    raw = resources.get((RT_GROUP_ICON, group), (0, b""))[1]
    count = struct.unpack_from("<H", raw, 4)[0] if raw else 0
    seen = []
    for i in range(count):
        width, height, _, _, _, bits = struct.unpack_from("<BBBBHH", raw, 6 + 14 * i)
        seen.append((width or 256, height or 256, bits))
    if seen != images:
        faults.append(f"icon group {group} holds {seen}, want {images}")

dialog = resources.get((RT_DIALOG, 103), (0, b""))[1]
for text in ABOUT_TEXTS:
    if text.encode("utf-16-le") not in dialog:
        faults.append(f"About box lacks {text!r}")
for kind, ident in ((RT_MENU, 109), (RT_ACCELERATOR, 109), (RT_VERSION, 1)):
    if (kind, ident) not in resources:
        faults.append(f"no resource type {kind} id {ident}")
fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
for field in ("FileVersion", "ProductVersion"):
    if fixed is None or (getattr(fixed, field + "MS"), getattr(fixed, field + "LS")) != (0x10000, 0x20008):
        faults.append(f"fixed {field} is not 1.0.2.8")
    texts = [t.entries for info in getattr(pe, "FileInfo", [[]])[0] if hasattr(info, "StringTable")
             for t in info.StringTable if t.LangID.lower() == b"040404b0"]
    if not texts or texts[0].get(field.encode()) != b"1. 0. 2. 8":
        faults.append(f"{field} in block 040404b0 is not \"1. 0. 2. 8\"")
manifest = resources.get((RT_MANIFEST, 1), (0, b""))[1].decode("utf-8", "replace")
if 'level="asInvoker"' not in manifest or 'uiAccess="false"' not in manifest or "dependency" in manifest:
    faults.append("manifest is not asInvoker, uiAccess false and nothing else")

for fault in faults:
    print(fault)
print(f"{sys.argv[1]}: {len(resources)} resources, {len(faults)} faults")
sys.exit(1 if faults else 0)
