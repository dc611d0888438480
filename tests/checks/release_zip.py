#!/usr/bin/python3
"""The release zip as users get it (cpack --preset win32, unsigned): exactly the program, the users' read-me and
the licence, its SHA-256 beside it; the read-me in plain text that Notepad on Windows 7 shows (UTF-8 with a
byte-order mark, CRLF), linking nowhere outside the zip, naming the version, and quoting in 「」 exactly the
texts the program shows, every one of them: the shell's wide literals are their one source.
    release_zip.py SOURCE_DIR WORK_DIR VERSION"""
import glob
import os
import re
import shutil
import subprocess
import sys
import zipfile

src, work, version = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
FILES = ["LICENSE", "README.txt", "ZelnaNivoroMonitor.exe"]
shutil.rmtree(work, ignore_errors=True)  # nothing of an earlier run counts
env = {k: v for k, v in os.environ.items() if not k.startswith("MONITOR_SIGN_")}
subprocess.run(["cpack", "--preset", "win32", "-B", work], cwd=src, env=env, check=True, stdout=subprocess.DEVNULL)
package = os.path.join(work, f"ZelnaNivoroMonitor-{version}-win32.zip")

faults = []
names = sorted(zipfile.ZipFile(package).namelist())
faults += [f"the zip holds {names}, want {FILES}"] if names != FILES else []
faults += ["no SHA-256 checksum beside the zip"] if not os.path.isfile(package + ".sha256") else []

raw = zipfile.ZipFile(package).read("README.txt") if "README.txt" in names else b""
faults += ["the read-me has no byte-order mark"] if not raw.startswith(b"\xef\xbb\xbf") else []
faults += ["the read-me has line ends other than CRLF"] if re.search(rb"\r(?!\n)|(?<!\r)\n", raw) else []
readme = raw.decode("utf-8-sig", "replace")
faults += [f"the read-me links outside the zip: {link}" for link in re.findall(r"\S*(?:://|www\.)\S*", readme)]
faults += [f"the read-me does not name version {version}"] if version not in readme else []
shown = set()
for source in glob.glob(os.path.join(src, "shell", "*.cpp")):
    shown |= {text for text in re.findall(r'L"([^"]*)"', open(source, encoding="utf-8").read())
              if re.search(r"[\u4e00-\u9fff]", text)}
quoted = set(re.findall(r"「([^」]*)」", readme))
faults += [f"the read-me does not quote {text}" for text in sorted(shown - quoted)]
faults += [f"the read-me quotes {text}, which the program does not show" for text in sorted(quoted - shown)]
print("\n".join(faults + [f"{package}: {len(names)} files, {len(shown)} texts quoted, {len(faults)} faults"]))
sys.exit(1 if faults else 0)
