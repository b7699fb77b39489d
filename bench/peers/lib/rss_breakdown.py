#!/usr/bin/env python3
"""rss_breakdown.py PID: resident memory of one process by origin, from /proc/PID/smaps.

Groups: each shared object (code + data of the file mapping, e.g. libx264, the Qt libraries),
SysV shared memory (the MIT-SHM capture segment), [heap] (main-thread malloc arena), anonymous
mappings (other malloc arenas, large malloc blocks served by mmap, thread stacks), [stack].
Rss counts shared pages fully; Pss splits them among the processes that map them."""
import collections
import re
import sys


def main():
    pid = sys.argv[1]
    groups = collections.defaultdict(lambda: [0, 0, 0])  # rss, pss, count
    anon_sizes = []
    name = None
    cur = None
    for line in open("/proc/%s/smaps" % pid):
        m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ (\d+)\s*(.*)$", line)
        if m:
            path = m.group(5).strip()
            size_kb = (int(m.group(2), 16) - int(m.group(1), 16)) // 1024
            if path.startswith("/SYSV") or "SYSV" in path:
                name = "SysV shm (capture segment)"
            elif path.startswith("/"):
                base = path.rsplit("/", 1)[1]
                if base.startswith("libQt6") or base.startswith("libQt5"):
                    name = "Qt libraries"
                elif base.startswith("libicu"):
                    name = "ICU libraries (Qt)"
                else:
                    name = base
            elif path == "":
                name = "anonymous (malloc arenas/mmap blocks, thread stacks)"
            else:
                name = path
            cur = [name, size_kb]
            continue
        if line.startswith("Rss:"):
            kb = int(line.split()[1])
            groups[cur[0]][0] += kb
            groups[cur[0]][2] += 1
            if cur[0].startswith("anonymous") and kb:
                anon_sizes.append((kb, cur[1]))
        elif line.startswith("Pss:"):
            groups[cur[0]][1] += int(line.split()[1])
    total = sum(v[0] for v in groups.values())
    print("%-55s %9s %9s %5s" % ("origin", "Rss MB", "Pss MB", "maps"))
    for k, v in sorted(groups.items(), key=lambda kv: -kv[1][0]):
        if v[0] < 256:
            continue
        print("%-55s %9.1f %9.1f %5d" % (k[:55], v[0] / 1024, v[1] / 1024, v[2]))
    print("%-55s %9.1f" % ("total", total / 1024))
    anon_sizes.sort(reverse=True)
    print("largest resident anonymous mappings (rss MB / mapping MB):",
          ", ".join("%.1f/%.1f" % (r / 1024, s / 1024) for r, s in anon_sizes[:12]))


if __name__ == "__main__":
    main()
