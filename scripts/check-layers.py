#!/usr/bin/env python3
"""Checks the include layering of src/.

The subsystem folders form a stack, lowest first (LAYERS below).  A file in
a folder may include headers of its own folder and of the folders below it,
never of one above it, and never the program's root (the files directly in
src/: main() and the list of subsystems), which sits above them all.  The
folder-level include graph must also be free of cycles (with a strict order
it is, but the check says which files form one if the order is ever
loosened).

Prints each crossing and a summary line "layers: N passed, M failed" (one
check per folder plus the cycle check); exits 1 when anything failed.
"""
import os
import re
import sys

LAYERS = ["support", "cgi", "page", "user", "store", "net", "view", "send", "org", "admin"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    src = os.path.normpath(src)
    rank = {name: i for i, name in enumerate(LAYERS)}
    root_headers = {f for f in os.listdir(src) if f.endswith(".h")}
    graph = {name: {} for name in LAYERS}   # folder -> {included folder: first file}
    bad = {}
    unknown = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in rank:
            unknown.append(folder)
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp", ".inc")):
                continue
            rel = f"{folder}/{name}"
            with open(os.path.join(path, name), encoding="utf-8", errors="replace") as f:
                for lineno, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    if target in root_headers:
                        bad.setdefault(folder, []).append(f"{rel}:{lineno}: includes the program root {target}")
                        continue
                    top = target.split("/", 1)[0]
                    if "/" not in target or top == folder or top not in rank:
                        continue
                    graph[folder].setdefault(top, rel)
                    if rank[top] > rank[folder]:
                        bad.setdefault(folder, []).append(
                            f"{rel}:{lineno}: {folder} includes {target} from the higher folder {top}")
    for line in (l for folder in LAYERS for l in bad.get(folder, [])):
        print(line)
    for folder in unknown:
        print(f"src/{folder}: a folder the layer order does not name (add it to LAYERS)")

    cycle = find_cycle(graph)
    if cycle:
        print("folder cycle: " + " -> ".join(cycle))
    checked = [f for f in LAYERS if os.path.isdir(os.path.join(src, f))]
    failed = sum(1 for f in checked if f in bad) + len(unknown) + (1 if cycle else 0)
    passed = len(checked) + 1 - sum(1 for f in checked if f in bad) - (1 if cycle else 0)
    print(f"layers: {passed} passed, {failed} failed")
    return 1 if failed else 0


def find_cycle(graph):
    """One cycle of the folder graph as a list of folders, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, {})):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


if __name__ == "__main__":
    sys.exit(main())
