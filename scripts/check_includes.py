#!/usr/bin/env python3
"""Checks the include graph of the product sources.

A module is a header and its source (x.h + x.cpp); its edges are the #include "..."
lines of both. A source without a header of its own (x_more.cpp) belongs to the module
whose header it includes and whose name its own begins with (x). Fails (exit status 1, one line per fault) when the modules of core/,
pipeline/, splash/, launcher/ and src/ include each other in a circle, or when an
include points upward: core/ includes nothing of launcher/, pipeline/ or splash/,
pipeline/ nothing of launcher/ or splash/.

Usage: check_includes.py [SOURCE_ROOT]   (default: the folder above this script)
"""
import os
import re
import sys

FOLDERS = ("core", "pipeline", "splash", "launcher", "src")
FORBIDDEN = {
    "core": ("launcher", "pipeline", "splash"),
    "pipeline": ("launcher", "splash"),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def product_files(root):
    for top in FOLDERS:
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith((".h", ".cpp")):
                    path = os.path.join(folder, name)
                    yield os.path.relpath(path, root).replace(os.sep, "/")


def resolve(root, including, target, known):
    """Includes are written from the source root; a bare name is looked up beside the file."""
    beside = os.path.normpath(os.path.join(os.path.dirname(including), target)).replace(os.sep, "/")
    for candidate in (target, beside):
        if candidate in known:
            return candidate
    return None


def module_of(path):
    return os.path.splitext(path)[0]


def owners(root, files, known):
    """The module of each file: its own name, or for a source without a header the
    module it implements a part of."""
    owner = {}
    for path in files:
        mod = module_of(path)
        owner[path] = mod
        if not path.endswith(".cpp") or mod + ".h" in known:
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for line in f:
                m = INCLUDE.match(line)
                target = m and resolve(root, path, m.group(1), known)
                if target and mod.startswith(module_of(target) + "_"):
                    if len(module_of(target)) > len(owner[path]) or owner[path] == mod:
                        owner[path] = module_of(target)
    return owner


def read_graph(root):
    files = list(product_files(root))
    known = set(files)
    owner = owners(root, files, known)
    edges = {}   # module -> {module: "file:line"} (first include line that makes the edge)
    faults = []
    for path in files:
        mod = owner[path]
        edges.setdefault(mod, {})
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = resolve(root, path, m.group(1), known)
                if target is None:
                    continue
                top = path.split("/", 1)[0]
                if target.split("/", 1)[0] in FORBIDDEN.get(top, ()):
                    faults.append("%s:%d: %s/ includes %s" % (path, number, top, target))
                other = owner[target]
                if other != mod:
                    edges[mod].setdefault(other, "%s:%d" % (path, number))
    return edges, faults


def circles(edges):
    """Depth-first search; every edge back to a module on the current road closes a circle."""
    found = []
    state = {}   # module -> 1 while on the road, 2 when done
    for start in sorted(edges):
        if start in state:
            continue
        road = [start]
        state[start] = 1
        stack = [iter(sorted(edges[start]))]
        while stack:
            nxt = next(stack[-1], None)
            if nxt is None:
                state[road.pop()] = 2
                stack.pop()
                continue
            if state.get(nxt) == 1:
                loop = road[road.index(nxt):] + [nxt]
                where = [edges[a][b] for a, b in zip(loop, loop[1:])]
                found.append("include circle: %s (%s)" % (" -> ".join(loop), ", ".join(where)))
            elif nxt not in state:
                state[nxt] = 1
                road.append(nxt)
                stack.append(iter(sorted(edges.get(nxt, {}))))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.abspath(root)
    edges, faults = read_graph(root)
    if not edges:
        print("no product sources under %s" % root)
        return 1
    faults += circles(edges)
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print("%d modules, no include circle, no upward include" % len(edges))
    return 0


if __name__ == "__main__":
    sys.exit(main())
