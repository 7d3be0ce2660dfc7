#!/usr/bin/env python3
# attribution_score.py TRAFFIC_OUTPUT PROBE_OUTPUT: how many sockets of the
# traffic run the probe reported with the right pid and executable name.
import sys
traffic = open(sys.argv[1]).read().split('\n')
_, pid, name = traffic[0].split()
want = [tuple(l.split()) for l in traffic[1:] if l]
got = {}
for line in open(sys.argv[2]):
    f = line.split()
    if len(f) < 8: continue
    port = f[1].rsplit(':', 1)[1]
    kv = dict(x.split('=', 1) for x in f[4:])
    got.setdefault((f[0], port), []).append(kv)
right = sum(1 for k in want if any(e['pid'] == pid and e['name'] == name for e in got.get(k, [])))
wrong = [k for k in want if k not in got or not any(e['pid'] == pid and e['name'] == name for e in got[k])]
print('%d/%d right (tcp %d, udp %d); missing or wrong: %s' % (right, len(want),
      sum(1 for k in want if k[0]=='tcp' and k not in wrong), sum(1 for k in want if k[0]=='udp' and k not in wrong), wrong))
