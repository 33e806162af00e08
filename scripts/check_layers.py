#!/usr/bin/env python3
"""Holds every include of the plug-in and of Korvanth to the layer graph.

The graph is read from the tables headed `| layer | folder | library | uses |`
in README.md (the plug-in's parts) and korvanth/README.md (Korvanth's layers).
A file in a layer's folder may include, by a path from the project's root,
headers of its own layer and of the layers it uses, directly or through
others; nothing else of the project, and never by a relative path.
Exit 0 when every include fits, 1 with one line per offence otherwise.
"""
import argparse
import pathlib
import re
import sys

TABLE_HEAD = re.compile(r"^\|\s*layer\s*\|\s*folder\s*\|\s*library\s*\|\s*uses\s*\|\s*$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}


def read_layers(root, readmes):
    """{layer: (folder, set of used layers)} from the READMEs' tables."""
    layers = {}
    for readme in readmes:
        lines = (root / readme).read_text(encoding="utf-8").splitlines()
        for at, line in enumerate(lines):
            if not TABLE_HEAD.match(line):
                continue
            for row in lines[at + 2:]:
                if not row.startswith("|"):
                    break
                cells = [cell.strip().strip("`") for cell in row.strip().strip("|").split("|")]
                name, folder, _library, uses = cells[:4]
                used = {u.strip() for u in uses.split(",") if u.strip() not in ("", "—", "-")}
                layers[name] = (folder.rstrip("/"), used)
    if not layers:
        sys.exit(f"check_layers: no layer table in {', '.join(readmes)}")
    for name, (_folder, used) in layers.items():
        unknown = used - layers.keys()
        if unknown:
            sys.exit(f"check_layers: layer {name} uses unknown layers {sorted(unknown)}")
    return layers


def reachable(layers, name):
    """The layer and every layer below it."""
    seen, todo = set(), [name]
    while todo:
        layer = todo.pop()
        if layer not in seen:
            seen.add(layer)
            todo.extend(layers[layer][1])
    return seen


def layer_of(path, layers):
    """The layer whose folder holds `path` (the deepest one), or None."""
    best = None
    for name, (folder, _used) in layers.items():
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(layers[best][0]):
                best = name
    return best


def check(root, readmes):
    layers = read_layers(root, readmes)
    offences = []
    for name, (folder, _used) in sorted(layers.items()):
        allowed = reachable(layers, name)
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in SOURCE_SUFFIXES or layer_of(source.relative_to(root).as_posix(), layers) != name:
                continue
            relative = source.relative_to(root).as_posix()
            for number, line in enumerate(source.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quote, target = match.groups()
                where = f"{relative}:{number}: {name} includes \"{target}\""
                if quote == '"' and ("/" not in target or target.startswith(".")):
                    offences.append(f"{where}: write includes from the project's root")
                    continue
                # Public headers are included from include/ ("tarvex/export.h").
                target_layer = layer_of(target, layers) or layer_of("include/" + target, layers)
                if target_layer is None:
                    if quote == '"':
                        offences.append(f"{where}: not a header of any layer")
                elif target_layer not in allowed:
                    offences.append(f"{where}, but {name} may use only {', '.join(sorted(allowed))}")
    return offences


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parent.parent, type=pathlib.Path)
    parser.add_argument("--readme", action="append", help="README with a layer table (default: both)")
    args = parser.parse_args()
    offences = check(args.root, args.readme or ["README.md", "korvanth/README.md"])
    for offence in offences:
        print(offence)
    print(f"include layers: {len(offences)} offence(s)" if offences else "include layers: every include fits the graph")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
