#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

  check_layers.py SRC_DIR STAMP LAYER=DIR[,DIR...]:ALLOWED[,ALLOWED...] ...

Each LAYER argument names the folders below SRC_DIR that form one layer and
every folder their files may include from (their own included). Folders no
argument names are not checked. On success STAMP is touched.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    src = pathlib.Path(argv[1])
    stamp = pathlib.Path(argv[2])
    allowed = {}
    for spec in argv[3:]:
        dirs, _, deps = spec.partition("=")[2].partition(":")
        for folder in dirs.split(","):
            allowed[folder] = set(dirs.split(",")) | set(filter(None, deps.split(",")))
    bad = []
    for folder, may in sorted(allowed.items()):
        for path in sorted((src / folder).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for match in INCLUDE.finditer(path.read_text(encoding="utf-8")):
                if match.group(1) in allowed and match.group(1) not in may:
                    line = path.read_text(encoding="utf-8").count("\n", 0, match.start()) + 1
                    bad.append(f"{path.relative_to(src.parent)}:{line}: {folder}/ may not include "
                               f"{match.group(1)}/ (a layer above it)")
    for line in bad:
        print(line, file=sys.stderr)
    if bad:
        return 1
    stamp.parent.mkdir(parents=True, exist_ok=True)
    stamp.touch()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
