"""The layering check on a scratch tree whose link graph CMake derives.

    check_layering_test.py <repo> <work_dir> <cmake> <generator> <c++ compiler>

The scratch project has the shapes the real one uses: static libraries with
PUBLIC and PRIVATE links (the latter recorded as $<LINK_ONLY:...>), an alias,
an imported-style external target, and a folder added without any edit of the
check. Each case adds one line to a clean copy of the tree and runs the check.
"""

import os
import shutil
import subprocess
import sys
import unittest

ARGS = {}

# folder -> CMake lines of its library (None: a folder without a library).
LIBRARIES = {
    "base": "add_library(base STATIC src/base/b.cpp)\n"
            "target_link_libraries(base PUBLIC external)",
    "mid": "add_library(mid STATIC src/mid/m.cpp)\n"
           "target_link_libraries(mid PUBLIC base)",
    # PRIVATE: top still builds on base through mid.
    "top": "add_library(top STATIC src/top/t.cpp)\n"
           "target_link_libraries(top PRIVATE mid)",
    "side": "add_library(side STATIC src/side/s.cpp)",
    # A folder added later, linking through an alias: no edit of the check.
    "upper": "add_library(upper STATIC src/upper/u.cpp)\n"
             "add_library(scratch::top ALIAS top)\n"
             "target_link_libraries(upper PUBLIC scratch::top)",
}

PROJECT = """cmake_minimum_required(VERSION 3.25)
project(scratch LANGUAGES CXX)
include({repo}/cmake/layering.cmake)
add_library(external INTERFACE)
{libraries}
project_layering_write(${{CMAKE_SOURCE_DIR}}/src ${{CMAKE_BINARY_DIR}}/allowed.txt)
"""

# Every file starts as "#include <vector>\n" plus its own header; a case
# appends one line, so the case's line is line 3.
FILES = {
    "base": "b.cpp", "mid": "m.cpp", "top": "t.cpp", "side": "s.cpp", "upper": "u.cpp",
}

# (what, folder, added line, expected exit status, expected text)
CASES = [
    ("the clean tree", "base", "", 0, "every include within"),
    ("own folder", "mid", '#include "mid/other.h"', 0, ""),
    ("a direct link", "mid", '#include "base/b.h"', 0, ""),
    ("through a PRIVATE link", "top", '#include "base/b.h"', 0, ""),
    ("a new folder through an alias", "upper", '#include "base/b.h"', 0, ""),
    ("a system header", "base", "#include <sys/stat.h>", 0, ""),
    ("upward", "base", '#include "top/t.h"',
     1, 'src/base/b.cpp:3: includes "top/t.h": top is not a library that base links '
        '(base links: none)'),
    ("upward, one level", "mid", '#include "top/t.h"',
     1, 'src/mid/m.cpp:3: includes "top/t.h": top is not a library that mid links '
        '(mid links: base)'),
    ("sideways", "side", '#include "mid/m.h"', 1, "src/side/s.cpp:3:"),
    ("upward in angle brackets", "base", "#include <upper/u.h>", 1, "src/base/b.cpp:3:"),
    ("spaced directive", "base", '  #  include  "upper/u.h"', 1, "src/base/b.cpp:3:"),
    ("out of the folder", "top", '#include "../side/s.h"', 1, "src/top/t.cpp:3:"),
    ("a folder outside the tree", "top", '#include "elsewhere/x.h"', 1, "src/top/t.cpp:3:"),
]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


class LayeringCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = ARGS["work"]
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.tree = os.path.join(cls.work, "tree")
        cls.build = os.path.join(cls.work, "build")
        cls.write_tree()
        cls.configure()

    @classmethod
    def write_tree(cls):
        libraries = "\n".join(LIBRARIES.values())
        os.makedirs(cls.tree)
        with open(os.path.join(cls.tree, "CMakeLists.txt"), "w") as f:
            f.write(PROJECT.format(repo=ARGS["repo"], libraries=libraries))
        for folder, name in FILES.items():
            os.makedirs(os.path.join(cls.tree, "src", folder))
            cls.write_source(folder, "")

    @classmethod
    def write_source(cls, folder, line):
        stem = os.path.splitext(FILES[folder])[0]
        text = f'#include <vector>\n#include "{folder}/{stem}.h"\n'
        if line:
            text += line + "\n"
        with open(os.path.join(cls.tree, "src", folder, FILES[folder]), "w") as f:
            f.write(text)

    @classmethod
    def configure(cls):
        r = run([ARGS["cmake"], "-S", cls.tree, "-B", cls.build, "-G", ARGS["generator"],
                 f"-DCMAKE_CXX_COMPILER={ARGS['cxx']}"])
        if r.returncode != 0:
            raise RuntimeError("scratch configure failed:\n" + r.stdout + r.stderr)

    def check(self):
        r = run([sys.executable, "-B", os.path.join(ARGS["repo"], "cmake", "check_layering.py"),
                 os.path.join(self.tree, "src"), os.path.join(self.build, "allowed.txt")])
        return r.returncode, r.stdout + r.stderr

    def test_allowed_sets_follow_the_link_graph(self):
        with open(os.path.join(self.build, "allowed.txt")) as f:
            lines = [l.strip() for l in f if not l.startswith("#")]
        self.assertEqual(lines, [
            "base:", "mid: base", "side:", "top: base mid", "upper: base mid top",
        ])

    def test_cases(self):
        for what, folder, line, status, text in CASES:
            with self.subTest(what):
                self.write_source(folder, line)
                try:
                    got_status, output = self.check()
                finally:
                    self.write_source(folder, "")
                self.assertEqual(got_status, status, output)
                self.assertIn(text, output)
                if status:
                    self.assertIn("layering: 1 problem(s)", output)

    def test_a_folder_without_a_library_fails(self):
        loose = os.path.join(self.tree, "src", "loose")
        os.makedirs(loose)
        try:
            with open(os.path.join(loose, "l.h"), "w") as f:
                f.write('#include "base/b.h"\n')
            # Unknown until the build is configured again.
            status, output = self.check()
            self.assertEqual(status, 1, output)
            self.assertIn("src/loose/: folder unknown to the build", output)
            self.configure()
            status, output = self.check()
            self.assertEqual(status, 1, output)
            self.assertIn("src/loose/: no library named loose", output)
        finally:
            shutil.rmtree(loose)
            self.configure()


if __name__ == "__main__":
    keys = ["repo", "work", "cmake", "generator", "cxx"]
    if len(sys.argv) != 1 + len(keys):
        sys.exit(__doc__)
    ARGS.update(zip(keys, sys.argv[1:]))
    unittest.main(argv=sys.argv[:1], verbosity=2)
