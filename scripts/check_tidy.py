#!/usr/bin/env python3
"""Runs clang-tidy with the project's .clang-tidy over the production sources.

The checks in .clang-tidy are those the code passes; any finding fails. The
sources are those of a build's compile_commands.json under korvanth/ and
plugin/; with --changed REV only those that differ from REV (and every source
when a header, .clang-tidy or this script changed).

    python3 scripts/check_tidy.py [--build build/ci] [--changed origin/main] [--jobs 2]

Exit 0 when clean, 1 with the findings printed otherwise.
"""
import argparse
import json
import pathlib
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

CLANG_TIDY = "clang-tidy-14"  # one version: another major version brings other findings
PRODUCTION = ("korvanth/", "plugin/")


def production_sources(root, build):
    database = json.loads((root / build / "compile_commands.json").read_text())
    sources = set()
    for entry in database:
        path = pathlib.Path(entry["directory"], entry["file"]).resolve()
        if path.is_relative_to(root) and path.relative_to(root).as_posix().startswith(PRODUCTION):
            sources.add(path.relative_to(root).as_posix())
    return sorted(sources)


def changed_since(root, revision, sources):
    names = subprocess.run(["git", "diff", "--name-only", revision, "--"], cwd=root, capture_output=True,
                           text=True, check=True).stdout.split()
    if any(name.endswith(".h") or name in (".clang-tidy", "scripts/check_tidy.py") for name in names):
        return sources
    return [source for source in sources if source in names]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/ci")
    parser.add_argument("--changed", metavar="REV", help="only the sources that differ from REV")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    root = pathlib.Path(__file__).resolve().parent.parent
    sources = production_sources(root, args.build)
    if args.changed:
        sources = changed_since(root, args.changed, sources)

    def tidy(source):
        done = subprocess.run([CLANG_TIDY, "--quiet", "-p", str(root / args.build), source], cwd=root,
                              capture_output=True, text=True)
        return [line for line in done.stdout.splitlines() if ": warning: " in line or ": error: " in line]

    # A header's finding comes once per source that includes it: each is told once.
    with ThreadPoolExecutor(args.jobs) as pool:
        findings = sorted({line for lines in pool.map(tidy, sources) for line in lines})
    for line in findings:
        print(line)
    warnings = len(findings)
    print(f"clang-tidy: {len(sources)} source(s), {warnings} finding(s)")
    return 1 if warnings else 0


if __name__ == "__main__":
    sys.exit(main())
