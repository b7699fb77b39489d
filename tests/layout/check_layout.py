#!/usr/bin/env python3
"""The rules the tree's floors keep, read from the sources themselves:
- each folder includes only from the floors below it (the top, app/, from all of them);
- below app/, no file reads the process-wide settings (Settings()): objects are handed values;
- no include cycle between the files of stream/ but the base and live session pair;
- no file of stream/, rtsp/ or onvif/ over 450 lines.
Usage: check_layout.py [ROOT]. Prints each broken rule and exits 1 when there is one."""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', '..'))

# What each folder may include from, besides itself.
FLOORS = {
    'platform': set(),
    'encoder': set(),
    'log': {'platform'},
    'config': {'platform'},
    'capture': {'platform', 'encoder', 'log', 'config'},
    'stream': {'platform', 'encoder', 'log', 'config', 'capture'},
    'rtsp': {'platform', 'encoder', 'log', 'config', 'capture', 'stream'},
    # The ONVIF server stands beside the RTSP one: neither reaches into the other.
    'onvif': {'platform', 'encoder', 'log', 'config', 'capture', 'stream'},
    'app': {'platform', 'encoder', 'log', 'config', 'capture', 'stream', 'rtsp', 'onvif'},
}
# config/ is where Settings() is made; the floors around it must not call it.
NOT_READING_SETTINGS = [f for f in FLOORS if f not in ('app', 'config')]
ALLOWED_STREAM_CYCLES = [{'BaseSession', 'LiveSession'}]
MAX_LINES = {'stream': 450, 'rtsp': 450, 'onvif': 450}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE = ('.h', '.cpp')


def sources(folder):
    for dirpath, _, names in os.walk(os.path.join(ROOT, folder)):
        for name in sorted(names):
            if name.endswith(SOURCE):
                yield os.path.relpath(os.path.join(dirpath, name), ROOT)


def read(path):
    with open(os.path.join(ROOT, path), encoding='utf-8', errors='replace') as f:
        return f.read()


def without_comments(text):
    return re.sub(r'//[^\n]*|/\*.*?\*/', '', text, flags=re.S)


def resolve(including, name):
    here = os.path.join(os.path.dirname(including), name)
    return os.path.normpath(here) if os.path.exists(os.path.join(ROOT, here)) else os.path.normpath(name)


def floor_problems():
    for folder, allowed in FLOORS.items():
        for path in sources(folder):
            for name in INCLUDE.findall(read(path)):
                target = resolve(path, name).split(os.sep)[0]
                if target != folder and target in FLOORS and target not in allowed:
                    yield f'{path} includes "{name}" from {target}/, above or beside its floor'


def settings_problems():
    for folder in NOT_READING_SETTINGS:
        for path in sources(folder):
            if re.search(r'\bSettings\s*\(\s*\)', without_comments(read(path))):
                yield f'{path} reads the process-wide Settings(); hand it values through its links'


def cycle_problems():
    unit = lambda path: os.path.splitext(os.path.basename(path))[0]
    graph = {}
    for path in sources('stream'):
        edges = graph.setdefault(unit(path), set())
        for name in INCLUDE.findall(read(path)):
            target = resolve(path, name)
            if target.startswith('stream' + os.sep) and unit(target) != unit(path):
                edges.add(unit(target))
    # Tarjan's strongly connected components.
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = set()
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.add(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(component)
    for v in list(graph):
        if v not in index:
            visit(v)
    for component in found:
        if component not in ALLOWED_STREAM_CYCLES:
            yield 'include cycle in stream/: ' + ' <-> '.join(sorted(component))


def length_problems():
    for folder, limit in MAX_LINES.items():
        for path in sources(folder):
            lines = read(path).count('\n')
            if lines > limit:
                yield f'{path} has {lines} lines, over {limit}'


def main():
    checks = [('floors', floor_problems), ('settings', settings_problems),
              ('stream cycles', cycle_problems), ('file lengths', length_problems)]
    failed = 0
    for name, check in checks:
        problems = list(check())
        for problem in problems:
            print(f'{name}: {problem}')
        failed += bool(problems)
    print(f'layout: {len(checks) - failed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
