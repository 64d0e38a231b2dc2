#!/usr/bin/env python3
"""Packs a folder into a ZIP whose bytes depend on nothing but the names and contents of its files
and the date given.

Usage: release-zip.py <folder> <seconds since 1970> <zip>

Each file becomes the entry <folder's name>/<path>, in byte order of the names, deflated at level 9.
Every entry carries the same date, the given time as a UTC calendar time: ZIP dates have no time
zone, and tools that write the local time would make the bytes depend on where the ZIP is made.
The mode is 755 for a file its owner may run and 644 for any other, whatever the umask was. No
extra fields are written: the usual ones carry further times and the owner's user and group ids.
Folders get no entry of their own.
"""
import os
import sys
import time
import zipfile

ZIP_FIRST = 315532800  # 1980-01-01 00:00:00, the first time a ZIP can hold
ZIP_LAST = 4354819198  # 2107-12-31 23:59:58, the last


def main():
    folder, seconds, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    date = time.gmtime(min(max(seconds, ZIP_FIRST), ZIP_LAST))[:6]
    top = os.path.basename(os.path.normpath(folder))
    names = []
    for root, _, files in os.walk(folder):
        for file in files:
            path = os.path.relpath(os.path.join(root, file), folder)
            names.append(path.replace(os.sep, "/"))
    with zipfile.ZipFile(out, "w") as archive:
        for name in sorted(names, key=lambda name: name.encode()):
            path = os.path.join(folder, name)
            entry = zipfile.ZipInfo(f"{top}/{name}", date)
            entry.create_system = 3  # Unix: readers take the mode below from it
            mode = 0o755 if os.stat(path).st_mode & 0o100 else 0o644
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as file:
                archive.writestr(entry, file.read(), compresslevel=9)


main()
