#!/usr/bin/env python3
"""The decoder's call graph, from the compiler's call-graph files (GCC's
-fcallgraph-info=su): no function may call itself, directly or through
others, since readers run on a fixed job stack and data must never decide
how deep they go. Prints each reader's deepest static path; fails when one
needs more than a quarter of the job stack.

Indirect calls (the reader table, the job body, the LZW byte sources) are
not in the compiler's graph: the readers are entries here, and the byte
sources are small leaves under them.

call_graph_check.py OBJECT_DIR JOB_STACK_BYTES ENTRY...
"""
import collections
import os
import re
import sys

obj_dir, stack_bytes, entries = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
frame = {}
label = {}
calls = collections.defaultdict(set)
files = 0
for root, _, names in os.walk(obj_dir):
    for name in names:
        if not name.endswith(".ci"):
            continue
        files += 1
        with open(os.path.join(root, name)) as f:
            for line in f:
                m = re.match(r'node: \{ title: "([^"]*)" label: "([^"]*)"', line)
                if m:
                    title, text = m.groups()
                    label.setdefault(title, text.split("\\n")[0])
                    size = re.search(r"(\d+) bytes \(", text)
                    if size:
                        frame[title] = int(size.group(1))
                    continue
                m = re.match(r'edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"', line)
                if m:
                    calls[m.group(1)].add(m.group(2))
if files == 0:
    sys.exit(f"no call-graph files under {obj_dir}")

# Strongly connected components (iterative Tarjan): any component of more
# than one function, or a function that calls itself, is a recursion.
nodes = set(calls) | {t for ts in calls.values() for t in ts} | set(frame)
index, low, on_stack, stack, cycles = {}, {}, set(), [], []
counter = 0
for root in nodes:
    if root in index:
        continue
    work = [(root, iter(sorted(calls.get(root, ()))))]
    index[root] = low[root] = counter
    counter += 1
    stack.append(root)
    on_stack.add(root)
    while work:
        v, it = work[-1]
        advanced = False
        for w in it:
            if w not in index:
                index[w] = low[w] = counter
                counter += 1
                stack.append(w)
                on_stack.add(w)
                work.append((w, iter(sorted(calls.get(w, ())))))
                advanced = True
                break
            if w in on_stack:
                low[v] = min(low[v], index[w])
        if advanced:
            continue
        work.pop()
        if work:
            low[work[-1][0]] = min(low[work[-1][0]], low[v])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1 or v in calls.get(v, ()):
                cycles.append(sorted(label.get(w, w) for w in component))

failed = False
for c in cycles:
    print("recursion: " + " -> ".join(c))
    failed = True

# Deepest path from each entry (the graph is acyclic once the above passes).
depth = {}
def deepest(v):
    todo = [(v, False)]
    while todo:
        u, done = todo.pop()
        if u in depth:
            continue
        if done:
            best = max((depth[w] for w in calls.get(u, ()) if w in depth), default=(0, []),
                       key=lambda d: d[0])
            depth[u] = (frame.get(u, 0) + best[0], [u] + best[1])
            continue
        todo.append((u, True))
        todo.extend((w, False) for w in calls.get(u, ()) if w not in depth)
    return depth[v]

if not failed:
    for entry in entries:
        found = [v for v in nodes if re.match(r"\S+ " + re.escape(entry) + r"\(", label.get(v, ""))]
        if not found:
            print(f"{entry}: not in the call graph")
            failed = True
            continue
        bytes_, path = deepest(found[0])
        names = " > ".join(re.sub(r"\(.*", "", label.get(p, p)).split(" ")[-1] for p in path)
        print(f"{entry}: {bytes_} bytes at most ({names})")
        if bytes_ > stack_bytes // 4:
            print(f"{entry}: more than a quarter of the {stack_bytes}-byte job stack")
            failed = True
sys.exit(1 if failed else 0)
