#!/usr/bin/env python3
# Traffic for checking the attribution probe (see ATTRIBUTION-BPF.md): a child
# makes N TCP connections held HOLD seconds and N one-datagram UDP sockets on
# 127.0.0.1, then this prints "child PID NAME" and one "tcp|udp PORT" per socket.
#   attribution_traffic.py [N=20] [HOLD=0.010]
import os, socket, sys, threading, time
N = int(sys.argv[1]) if len(sys.argv) > 1 else 20
HOLD = float(sys.argv[2]) if len(sys.argv) > 2 else 0.010
lst = socket.socket(); lst.bind(('127.0.0.1', 0)); lst.listen(256)
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); udp.bind(('127.0.0.1', 0))
def serve():
    while True:
        try:
            c, _ = lst.accept(); c.close()
        except OSError:
            return
threading.Thread(target=serve, daemon=True).start()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    out = os.fdopen(w, 'w')
    for _ in range(N):
        s = socket.create_connection(lst.getsockname())
        out.write('tcp %d\n' % s.getsockname()[1]); s.send(b'x'); time.sleep(HOLD); s.close()
    for _ in range(N):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.sendto(b'y', udp.getsockname())
        out.write('udp %d\n' % u.getsockname()[1]); u.close()
    out.close(); os._exit(0)
os.close(w)
data = os.fdopen(r).read()
os.waitpid(pid, 0)
print('child', pid, os.path.basename(os.path.realpath(sys.executable)))
sys.stdout.write(data)
