#!/usr/bin/env python3
"""Fails when units of src/ (a .h/.cpp pair) include each other, directly or round a circle."""
import os
import re
import sys

src = sys.argv[1]
edges = {}
for root, _, files in os.walk(src):
    for name in files:
        if name.endswith((".h", ".cpp")):
            path = os.path.join(root, name)
            unit = os.path.relpath(os.path.splitext(path)[0], src)
            with open(path, errors="replace") as text:
                for line in text:
                    match = re.match(r'\s*#\s*include\s+"([^"]+)\.h"', line)
                    if match and match.group(1) != unit:
                        edges.setdefault(unit, set()).add(match.group(1))


def reaches(start, goal):
    seen, todo = set(), [start]
    while todo:
        unit = todo.pop()
        if unit == goal:
            return True
        if unit not in seen:
            seen.add(unit)
            todo.extend(edges.get(unit, ()))
    return False


circles = sorted({tuple(sorted((a, b))) for a in edges for b in edges[a] if reaches(b, a)})
for a, b in circles:
    print(f"{a} and {b} include each other, directly or round a circle")
sys.exit(1 if circles else 0)
