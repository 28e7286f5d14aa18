"""Fault rules set through the control interface, and the hostile presets."""

import base64
import itertools
import threading

from . import codec

CLOSE_KINDS = ("before_reply", "after_reply", "recv_bytes", "send_bytes")
PRESETS = ("unknown_tag", "non_string_key", "null_body_01", "width_9", "deep_nesting",
           "too_many_values", "truncated", "binary_in_pull")
KNOWN = {"action", "path", "command", "nth", "count", "delay_ms", "keep_alives",
         "final_type", "error", "close", "bytes", "alive", "omit", "set",
         "extra_records", "raw_b64", "raw_then_close", "preset", "corrupt_body_byte",
         "ignore_offset", "status_offset", "forget_tokens", "hold_after_commit_ms",
         "stall_ms", "recv_rate", "keep_alive_ms", "send_rate"}


class Rule:
    def __init__(self, rid, spec):
        self.id = rid
        self.spec = spec
        self.matches = 0
        self.acted = 0

    def matches_request(self, action, path, command):
        s = self.spec
        if s["action"] != "*" and s["action"] != action:
            return False
        if "path" in s and path is not None and s["path"] != path:
            return False
        if "path" in s and path is None:
            return False
        if "command" in s and s["command"] != command:
            return False
        return True

    def take(self):
        """Counts a match; True when this match is one the rule acts on."""
        self.matches += 1
        if self.matches < self.spec.get("nth", 1):
            return False
        count = self.spec.get("count", 1)
        if count != -1 and self.acted >= count:
            return False
        self.acted += 1
        return True


def validate(spec):
    if not isinstance(spec, dict):
        raise ValueError("rule must be an object")
    unknown = set(spec) - KNOWN
    if unknown:
        raise ValueError("unknown rule members: %s" % ", ".join(sorted(unknown)))
    if not isinstance(spec.get("action"), str):
        raise ValueError("rule needs an action")
    if "close" in spec and spec["close"] not in CLOSE_KINDS:
        raise ValueError("close must be one of %s" % ", ".join(CLOSE_KINDS))
    if spec.get("close") in ("recv_bytes", "send_bytes") and not isinstance(spec.get("bytes"), int):
        raise ValueError("close %s needs bytes" % spec["close"])
    if "stall_ms" in spec and not isinstance(spec.get("bytes"), int):
        raise ValueError("stall_ms needs bytes")
    for key in ("recv_rate", "send_rate"):
        if key in spec and not (isinstance(spec[key], int) and spec[key] > 0):
            raise ValueError("%s must be a positive integer" % key)
    if "preset" in spec and spec["preset"] not in PRESETS:
        raise ValueError("preset must be one of %s" % ", ".join(PRESETS))
    if "raw_b64" in spec:
        base64.b64decode(spec["raw_b64"], validate=True)


class Faults:
    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []
        self.ids = itertools.count(1)

    def add(self, spec):
        validate(spec)
        with self.lock:
            r = Rule(next(self.ids), dict(spec))
            self.rules.append(r)
            return r.id

    def clear(self):
        with self.lock:
            self.rules = []

    def take(self, action, path, command, body_phase):
        """Rules acting on this request. body_phase selects the rules that
        act while a body arrives (close "recv_bytes") or the others."""
        out = []
        with self.lock:
            for r in self.rules:
                in_body = (r.spec.get("close") == "recv_bytes" or "stall_ms" in r.spec
                           or "recv_rate" in r.spec)
                if in_body != body_phase:
                    continue
                if r.matches_request(action, path, command) and r.take():
                    out.append(r)
        return out


def merged(rules):
    """One effect map from the acting rules (later rules win)."""
    eff = {}
    for r in rules:
        for k, v in r.spec.items():
            if k in ("action", "path", "command", "nth", "count"):
                continue
            eff[k] = v
    return eff


def json_value(v):
    """A JSON value of a fault rule as a wire value: "b64:..." is a binary,
    "s64:..." a string of exactly these bytes (NUL or non-UTF-8 included),
    "raw64:..." whole encoded bytes in place of the value."""
    if isinstance(v, str):
        if v.startswith("b64:"):
            return base64.b64decode(v[4:])
        if v.startswith("s64:"):
            b = base64.b64decode(v[4:])
            return codec.Raw(b"\x10" + len(b).to_bytes(2, "big") + b)
        if v.startswith("raw64:"):
            return codec.Raw(base64.b64decode(v[6:]))
        return v
    if isinstance(v, dict):
        return {k: json_value(x) for k, x in v.items()}
    if isinstance(v, list):
        return [json_value(x) for x in v]
    return v


def _key(k):
    return codec._str_bytes(k)


def preset_bytes(name, normal_reply=None):
    """Hostile reply bytes; normal_reply is the encoded reply that would
    have gone out (used by "truncated")."""
    if name == "unknown_tag":
        return b"\x42" + _key("alive") + b"\x7f\x01\x3c" + b"\x40"
    if name == "non_string_key":
        return b"\x42" + b"\x01\x01\x05" + b"\x01\x01\x3c" + b"\x40"
    if name == "null_body_01":
        return b"\x42" + _key("alive") + b"\x00\x01" + b"\x40"
    if name == "width_9":
        return b"\x42" + _key("alive") + b"\x01\x09" + b"\x00" * 8 + b"\x3c" + b"\x40"
    if name == "deep_nesting":
        return b"\x41" * 100000
    if name == "too_many_values":
        return b"\x41" + b"\x01\x00" * (1 << 24) + b"\x40"
    if name == "truncated":
        data = normal_reply or codec.encode({"alive": 60})
        return data[:max(1, len(data) // 2)]
    raise ValueError("preset %s has no fixed bytes" % name)
