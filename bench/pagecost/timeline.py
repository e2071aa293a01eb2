# Per-page phases of a whole run through the window, from a log of
#   strace -f --seccomp-bpf -e trace=execve,exit_group,clone3,vfork,clone -ttt -o LOG tovanel-bench-pagecost FILE 1 window
# Usage: timeline.py LOG   Prints the median of each phase of a page, and its share.
import re, sys, statistics
lines = open(sys.argv[1]).read().splitlines()
ev = []  # (time, pid, kind, detail)
for l in lines:
    m = re.match(r'(\d+)\s+(\d+\.\d+)\s+(.*)', l)
    if not m: continue
    pid, t, rest = int(m.group(1)), float(m.group(2)), m.group(3)
    if rest.startswith('execve('):
        prog = re.match(r'execve\("([^"]+)"', rest).group(1).split('/')[-1]
        ev.append((t, pid, 'exec', prog))
    elif rest.startswith('exit_group'):
        ev.append((t, pid, 'exit', ''))
    elif rest.startswith('clone3({flags=CLONE_VM|CLONE_VFORK') or rest.startswith('vfork('):
        ev.append((t, pid, 'spawn', ''))
    elif rest.startswith('clone(') and 'CLONE_THREAD' not in rest:
        ev.append((t, pid, 'fork', ''))
    elif '+++ exited' in rest:
        ev.append((t, pid, 'gone', ''))
progs = {}
for t, pid, k, d in ev:
    if k == 'exec': progs[pid] = d
window = ev[0][1] if ev else 0
pages = []
cur = None
for t, pid, k, d in ev:
    p = progs.get(pid, '?')
    if k == 'exec' and d == 'sh': cur = {'sh_exec': t, 'sh': pid}; pages.append(cur)
    if cur is None: continue
    # the first program the page's shell starts is the converter, then rm removes the marker
    if k == 'exec' and d not in ('sh', 'rm') and 'tool' not in cur: cur['tool_exec'] = t; cur['tool'] = pid
    if k == 'exit' and pid == cur.get('tool'): cur['tool_exit'] = t
    if k == 'exec' and d == 'rm': cur['rm_exec'] = t; cur['rm'] = pid
    if k == 'exit' and pid == cur.get('rm'): cur['rm_exit'] = t
    if k == 'exit' and pid == cur['sh']: cur['sh_exit'] = t
    # the window's next start of a tool call, after this page's shell has ended
    if k in ('spawn', 'fork') and pid == window and 'sh_exit' in cur and 'next_spawn' not in cur:
        cur['next_spawn'] = t
pages = [p for p in pages if all(k in p for k in ('tool_exec','tool_exit','rm_exec','rm_exit','sh_exit','next_spawn'))]
for a, b in zip(pages, pages[1:]):
    b['spawned'] = a['next_spawn']
pages = pages[1:]
ph = {
 'window: start of the script -> sh exec': lambda p: p['sh_exec'] - p['spawned'],
 'sh: exec -> topng exec (shell start, script read, vfork)': lambda p: p['tool_exec'] - p['sh_exec'],
 'topng: exec -> exit': lambda p: p['tool_exit'] - p['tool_exec'],
 'sh: topng exit_group -> rm exec (teardown of topng, sh woken, vfork)': lambda p: p['rm_exec'] - p['tool_exit'],
 'rm: exec -> exit': lambda p: p['rm_exit'] - p['rm_exec'],
 'sh: rm exit -> sh exit': lambda p: p['sh_exit'] - p['rm_exit'],
 'window: sh exit -> next start (wake, marker, rename, deletes, next script)': lambda p: p['next_spawn'] - p['sh_exit'],
}
if not pages:
    # The first tool call (the splitter) and the last have no page before or after them.
    print("pages with a full timeline: none (a file of at least three pages has one)")
    sys.exit(0)
total = sum(statistics.median([f(p) for p in pages]) for f in ph.values())
print(f"pages with a full timeline: {len(pages)}; medians in ms")
for name, f in ph.items():
    v = statistics.median([f(p) for p in pages]) * 1e3
    print(f"  {v:7.2f} ms  {100*v/1e3/total:5.1f} %  {name}")
print(f"  {total*1e3:7.2f} ms  per page (sum of medians)")
