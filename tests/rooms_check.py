"""The folders of core/ include one another without a circle: a folder that
includes another, directly or through others, is never included back. A
folder inside a folder (runtime/vm) is a room of its own.

Usage: rooms_check.py CORE_DIR. Prints each circle and exits 1 where any."""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"core/([^"]+)/[^/"]+"', re.M)


def includes(core):
    """Each folder of core/ and the folders its files include."""
    graph = {}
    for folder, _, names in sorted(os.walk(core)):
        room = os.path.relpath(folder, core)
        for name in names:
            if name.endswith((".h", ".cpp")):
                with open(os.path.join(folder, name), encoding="utf-8") as source:
                    graph.setdefault(room, set())
                    graph[room] |= set(INCLUDE.findall(source.read())) - {room}
    return graph


def circles(graph):
    """Every folder that reaches itself, with the path that brings it back."""
    found = []
    for start in sorted(graph):
        paths = [[start]]
        seen = set()
        while paths:
            path = paths.pop()
            for room in sorted(graph.get(path[-1], ())):
                if room == start:
                    found.append(path + [room])
                elif room not in seen:
                    seen.add(room)
                    paths.append(path + [room])
    return found


def main():
    found = circles(includes(sys.argv[1]))
    for path in found:
        print("circle: " + " -> ".join(path))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
