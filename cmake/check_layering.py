"""The layering check.

    check_layering.py <src_dir> <allowed_file>

Reads every `#include "x/..."` (and `<x/...>` when x is one of the folders)
in the sources under <src_dir>/<lib>/ and
reports, as "<path>:<line>: ...", each one whose `x` is neither `lib` nor a
library that `lib` links directly or through its dependencies. The allowed
sets come from <allowed_file>, written from the build's link graph by
cmake/layering.cmake. Exit status 0 when every include is allowed, 1 when
some is not (or a folder has no library of its name), 2 on a usage error.
"""

import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hh", ".hpp", ".inc", ".ipp", ".c", ".cc", ".cpp", ".cxx")
# A quoted include always; an angle-bracket one when it names a folder of
# <src_dir> (<openssl/ssl.h> is not ours).
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]*)"|<([^>]*)>)')


def read_allowed(path):
    """{lib: set of allowed libraries, or None when no library has its name}."""
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            lib, _, rest = line.partition(":")
            rest = rest.strip()
            allowed[lib.strip()] = None if rest == "?" else set(rest.split())
    return allowed


def sources(folder):
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(root, name)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src_dir, allowed_file = os.path.abspath(argv[1]), argv[2]
    if not os.path.isdir(src_dir):
        print(f"layering: {src_dir} is not a folder", file=sys.stderr)
        return 2
    allowed = read_allowed(allowed_file)
    shown_root = os.path.dirname(src_dir)

    problems = 0
    checked = 0
    for lib in sorted(os.listdir(src_dir)):
        folder = os.path.join(src_dir, lib)
        if not os.path.isdir(folder):
            continue
        if lib not in allowed:
            print(f"{os.path.relpath(folder, shown_root)}/: folder unknown to the build; "
                  "reconfigure", file=sys.stderr)
            problems += 1
            continue
        if allowed[lib] is None:
            print(f"{os.path.relpath(folder, shown_root)}/: no library named {lib}, so its "
                  "includes cannot be checked", file=sys.stderr)
            problems += 1
            continue
        links = allowed[lib]
        for path in sources(folder):
            checked += 1
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, text in enumerate(f, 1):
                    m = INCLUDE.match(text)
                    if not m:
                        continue
                    name = m.group(1) if m.group(1) is not None else m.group(2)
                    if "/" not in name:
                        continue
                    target = name.split("/", 1)[0]
                    if m.group(1) is None and target not in allowed:
                        continue
                    if target == lib or target in links:
                        continue
                    shown = os.path.relpath(path, shown_root)
                    linked = ", ".join(sorted(links)) or "none"
                    print(f'{shown}:{number}: includes "{name}": {target} is not a library '
                          f"that {lib} links ({lib} links: {linked})", file=sys.stderr)
                    problems += 1

    if problems:
        print(f"layering: {problems} problem(s) in {checked} files", file=sys.stderr)
        return 1
    print(f"layering: {checked} files, every include within its library's links")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
