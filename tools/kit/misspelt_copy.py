#!/usr/bin/env python3
"""The DLL-search test's control: a copy of the shipped program whose run-time lookup of the restricting
function finds nothing, as on Windows 7 without the loader update, since the name it looks up is misspelt.
    misspelt_copy.py PROGRAM COPY"""
import sys

name = b"SetDefaultDllDirectories\0"
program, copy = sys.argv[1:]
data = open(program, "rb").read()
if data.count(name) != 1:
    sys.exit(f"{program}: the looked-up name occurs {data.count(name)} times, not once")
open(copy, "wb").write(data.replace(name, b"X" + name[1:]))
