"""The installer's own table as its native build exports it (program-table.json,
made by program_table.cpp): VARNEL_PROGRAM_TABLE, else the newest one of
build/release, build/debug and build/sanitize."""
import glob
import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_table = []


class NoTable(Exception):
    pass


def table():
    if not _table:
        made = glob.glob(os.path.join(ROOT, "build", "*", "program-table.json"))
        made = [p for p in made if p.split(os.sep)[-2] in ("release", "debug", "sanitize")]
        path = os.environ.get("VARNEL_PROGRAM_TABLE") or max(made, key=os.path.getmtime, default=None)
        if not path:
            raise NoTable("no build/<preset>/program-table.json: build a native preset first")
        with open(path, encoding="utf-8") as f:
            _table.append(json.load(f))
    return _table[0]


def split(url):
    """(host, path) of an https URL."""
    host, _, path = url.split("://", 1)[1].partition("/")
    return host, "/" + path


def mirror_paths():
    """(host, path) of each manifest mirror, in stage 1's order."""
    return [split(url) for url in table()["mirrors"]]


def node_paths(version, name):
    """(host, path) of each candidate node of a release, in stage 2's order."""
    return [split(form.format(version=version, name=name)) for form in table()["nodes"]]


def hosts():
    """Every host the program names, each once, the mirrors' first."""
    return list(dict.fromkeys(h for h, _ in mirror_paths() + node_paths("0", "x.exe")))
