"""The installer's own table, as its native build exports it (program-table.json,
made by tests/world/program_table.cpp): the suites read the mirror URLs, the
candidate URL forms, the timeouts, the user agent and the limits from here
instead of restating them.

The file is VARNEL_PROGRAM_TABLE when set, else the most recently made one of
build/release, build/debug and build/sanitize.
"""
import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PRESETS = ("release", "debug", "sanitize")
_table = None


class NoTable(Exception):
    pass


def table():
    global _table
    if _table is None:
        path = os.environ.get("VARNEL_PROGRAM_TABLE")
        if not path:
            made = [p for p in (os.path.join(ROOT, "build", b, "program-table.json") for b in PRESETS)
                    if os.path.exists(p)]
            if not made:
                raise NoTable("no build/<preset>/program-table.json: build a native preset "
                              "(cmake --preset release && cmake --build --preset release)")
            path = max(made, key=os.path.getmtime)
        with open(path, encoding="utf-8") as f:
            _table = json.load(f)
    return _table


def split(url):
    """(host, path) of an https URL."""
    rest = url.split("://", 1)[1]
    host, _, path = rest.partition("/")
    return host, "/" + path


def mirror_paths():
    """(host, path) of each manifest mirror, in stage 1's order."""
    return [split(url) for url in table()["mirrors"]]


def node_paths(version, name):
    """(host, path) of each candidate node of a release, in stage 2's order."""
    return [split(form.format(version=version, name=name)) for form in table()["nodes"]]


def hosts():
    """Every host the program names, each once, mirrors' first."""
    out = []
    for host, _ in mirror_paths() + node_paths("0", "x.exe"):
        if host not in out:
            out.append(host)
    return out
