#!/usr/bin/env python3
"""Lists the longest functions of the production code (Korvanth and the plug-in).

Runs clang-tidy's readability-function-size check over every production
source in a build's compile_commands.json and prints the functions of at
least --min lines (from the opening to the closing brace, comments and blank
lines included), longest first: lines, function, file:line.

    python3 scripts/longest_functions.py [--build build/release] [--min 60] [--top 15]

Not part of the test command: it parses every translation unit (a few
minutes on two cores). Exit 1 when a function exceeds --limit (default 120).
"""
import argparse
import json
import pathlib
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

FINDING = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+):\d+: warning: function '(?P<name>[^']+)' exceeds")
LINES = re.compile(r"note: (?P<lines>\d+) lines including whitespace and comments")
PRODUCTION = ("korvanth/", "plugin/")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--min", type=int, default=60)
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--limit", type=int, default=120)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    root = pathlib.Path(__file__).resolve().parent.parent
    database = json.loads((root / args.build / "compile_commands.json").read_text())
    sources = sorted({entry["file"] for entry in database
                      if any(pathlib.Path(entry["file"]).resolve().relative_to(root).as_posix().startswith(p)
                             for p in PRODUCTION) if pathlib.Path(entry["file"]).resolve().is_relative_to(root)})
    config = ("{Checks: '-*,readability-function-size', CheckOptions: "
              f"[{{key: readability-function-size.LineThreshold, value: {args.min - 1}}}]}}")

    def tidy(source):
        done = subprocess.run(["clang-tidy-14", "-quiet", "-p", str(root / args.build), f"--config={config}",
                               f"--header-filter={root}/(korvanth|plugin|include)/", source],
                              capture_output=True, text=True)
        return done.stdout

    found = {}
    with ThreadPoolExecutor(args.jobs) as pool:
        for output in pool.map(tidy, sources):
            current = None
            for line in output.splitlines():
                match = FINDING.match(line)
                if match:
                    where = pathlib.Path(match["file"]).resolve().relative_to(root).as_posix()
                    current = (match["name"], f"{where}:{match['line']}")
                    continue
                lines = LINES.search(line)
                if lines and current:
                    found[current] = int(lines["lines"])
                    current = None
    ranked = sorted(found.items(), key=lambda item: -item[1])
    for (name, where), lines in ranked[:args.top]:
        print(f"{lines:5d}  {name}  {where}")
    over = [item for item in ranked if item[1] > args.limit]
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
