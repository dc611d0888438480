#!/usr/bin/env python3
"""Prints the registry file the test prefix imports: a virtual desktop, font links so that
Wine's interface fonts fall back to a CJK font (Chinese menus, boxes and
captions would show empty boxes otherwise), and no crash debugger."""
import sys

CJK = ["NotoSansCJK-Regular.ttc,Noto Sans CJK TC", "NotoSansCJK-Bold.ttc,Noto Sans CJK TC Bold"]
FACES = ["Tahoma", "Tahoma Bold", "Microsoft Sans Serif", "MS Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2"]


def multi_string(values):
    data = ("\0".join(values) + "\0\0").encode("utf-16-le")
    return "hex(7):" + ",".join(f"{b:02x}" for b in data)


lines = ["Windows Registry Editor Version 5.00", "",
         r"[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]"]
lines += [f'"{face}"={multi_string(CJK)}' for face in FACES]
# Every program runs in one virtual desktop with a taskbar, whose right end
# holds the notification area.
lines += ["", r"[HKEY_CURRENT_USER\Software\Wine\Explorer]", '"Desktop"="shell"',
          "", r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]", '"shell"="1024x768"']
# No crash debugger, in the 64-bit and the 32-bit view: a crashing program then ends at once with its
# exception code. Wine's default, winedbg --auto, holds the crashed program and the test run for many minutes.
# An empty command starts nothing (a missing value would mean winedbg).
for view in ["", "Wow6432Node\\"]:
    lines += ["", rf"[HKEY_LOCAL_MACHINE\Software\{view}Microsoft\Windows NT\CurrentVersion\AeDebug]", '"Debugger"=""']
lines.append("")
sys.stdout.buffer.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
