"""Deltas through the rdiff program (librsync), never through the daemon."""

import subprocess

RDIFF = "/usr/bin/rdiff"


class RdiffError(Exception):
    pass


def _run(args):
    p = subprocess.run([RDIFF] + args, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RdiffError("rdiff %s: %s" % (args[0] if args else "",
                                           p.stderr.decode("utf-8", "replace").strip()))


def signature(base, sig):
    """MD4 strong sums, rollsum, 2048-byte blocks, 8-byte sums: the format
    the daemon stores and reads."""
    _run(["-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8",
          "signature", base, sig])


def delta(sig, new, out):
    _run(["-f", "delta", sig, new, out])


def patch(base, delta_file, out):
    _run(["-f", "patch", base, delta_file, out])
