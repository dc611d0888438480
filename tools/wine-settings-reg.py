#!/usr/bin/env python3
"""Prints the registry file the test prefix imports: a virtual desktop, and font links so that
Wine's interface fonts fall back to a CJK font (Chinese menus, boxes and
captions would show empty boxes otherwise)."""
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
lines.append("")
sys.stdout.buffer.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
