#!/usr/bin/env python3
"""Soak of the relay: headless hosts under mixed load for a set time, every byte hash-checked.

Three hosts relay to two in-process targets (127.0.0.1:P1,P2): one directly, one through microsocks
(SOCKS 5), one through tinyproxy (HTTP CONNECT). Everything listens and connects on 127.0.0.1 only.
Prints a line a minute and exits non-zero on a mismatch, a fault (crash, hang, a relay that outlives
its client, a failover that serves nobody) or descriptors, threads or memory that keep rising.
See bench/README.md ("Soak").
"""
import argparse
import hashlib
import ipaddress
import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOOP = "127.0.0.1"
SLOTS = 50            # connection slots of one host
WORKER_THREADS = 100  # worker slots of one host: their threads are kept, parked, once created
BURST = 60
IDLE_LIMIT = 60       # seconds: the hosts run with --idle 1
BULK = 4 << 20
HALF_ANSWER = 1 << 20
MiB = 1 << 20


def gen(seed, n):
    """The bytes a target sends for a session: both sides derive them from the session id."""
    return random.Random(seed).randbytes(n)


def sha(data):
    return hashlib.sha256(data).digest()


class Hang(Exception):
    pass


# --- targets --------------------------------------------------------------------------------------
# A session starts with "SOAK <sid> <mode> <a> <b>\n". The registry records every session a target
# saw: a client closed without a byte whose session no target saw was turned away by the relay;
# one whose session a target saw was served, and its missing bytes are a mismatch.

class Registry:
    def __init__(self):
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.seen = {}     # sid -> (target name, monotonic time)
        self.ended = set()  # sids whose target connection has ended
        self.received = {}  # sid -> (length, sha256) of what an "early" target read after its FIN
        self.released = set()  # sids whose client is done: a silent target may close now
        self.open = 0       # target connections not yet ended
        self.headerless = 0

    def wait_for(self, pred, timeout):
        with self.cond:
            return self.cond.wait_for(pred, timeout)

    def update(self, fn):
        with self.cond:
            fn()
            self.cond.notify_all()


class Target:
    def __init__(self, name, registry, stop):
        self.name, self.reg, self.stop = name, registry, stop
        self.port = 0
        self.lsock = None
        self.thread = None

    def start(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        deadline = time.monotonic() + 10
        while True:
            try:
                s.bind((LOOP, self.port))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        s.listen(512)
        s.settimeout(0.1)
        self.port = s.getsockname()[1]
        self.lsock = s
        self.thread = threading.Thread(target=self.accept_loop, args=(s,), daemon=True)
        self.thread.start()

    def go_away(self):
        """Closes the listener: new connections are refused, established ones go on."""
        s, self.lsock = self.lsock, None
        self.thread.join()
        s.close()

    def accept_loop(self, s):
        while self.lsock is s and not self.stop.is_set():
            try:
                conn, _ = s.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.reg.update(lambda: setattr(self.reg, "open", self.reg.open + 1))
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        sid = None
        try:
            conn.settimeout(IDLE_LIMIT * 3)
            buf = b""
            while b"\n" not in buf and len(buf) < 200:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                buf += chunk
            if b"\n" not in buf:  # an idle client's relay, ended by the idle limit
                self.reg.update(lambda: setattr(self.reg, "headerless", self.reg.headerless + 1))
                return
            line, rest = buf.split(b"\n", 1)
            _, sid, mode, a, b = line.decode().split()
            a, b = int(a), int(b)
            self.reg.update(lambda: self.reg.seen.__setitem__(sid, (self.name, time.monotonic())))
            getattr(self, "mode_" + mode)(conn, sid, rest, a, b)
        except OSError:
            pass  # a reset from the client side: the session simply ends
        finally:
            conn.close()

            def ended():
                self.reg.open -= 1
                if sid is not None:
                    self.reg.ended.add(sid)
            self.reg.update(ended)

    @staticmethod
    def read_to_end(conn, first, fn=None):
        data = first
        while True:
            if fn and data:
                fn(data)
            chunk = conn.recv(65536)
            if not chunk:
                return
            data = chunk

    def mode_echo(self, conn, sid, rest, a, b):
        self.read_to_end(conn, rest, conn.sendall)

    def mode_sink(self, conn, sid, rest, n, b):
        h, got = hashlib.sha256(rest), len(rest)
        while got < n:
            chunk = conn.recv(min(65536, n - got))
            if not chunk:
                return
            h.update(chunk)
            got += len(chunk)
        conn.sendall(h.digest())
        self.read_to_end(conn, b"")

    def mode_source(self, conn, sid, rest, n, b):
        conn.sendall(gen(sid, n))
        self.read_to_end(conn, b"")

    def mode_half(self, conn, sid, rest, a, m):
        # Reads to the end first, answers after: the client has shut down its sending side.
        h = hashlib.sha256()
        self.read_to_end(conn, rest, h.update)
        conn.sendall(h.digest() + gen(sid, m))

    def mode_early(self, conn, sid, rest, a, m):
        # Ends its own sending side first; everything the client sends afterwards must still arrive.
        conn.sendall(gen(sid, m))
        conn.shutdown(socket.SHUT_WR)
        h, n = hashlib.sha256(), [0]

        def take(d):
            h.update(d)
            n[0] += len(d)
        self.read_to_end(conn, rest, take)
        self.reg.update(lambda: self.reg.received.__setitem__(sid, (n[0], h.digest())))

    def mode_hidle(self, conn, sid, rest, a, b):
        # Half-closed and then silent: only the idle limit may end this relay.
        # Its end cannot be seen from here (both sides have sent their FIN), so the client says.
        self.read_to_end(conn, rest)
        self.reg.wait_for(lambda: sid in self.reg.released or self.stop.is_set(), IDLE_LIMIT * 2)

    def mode_trst(self, conn, sid, rest, a, n):
        conn.sendall(gen(sid, n))
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


# --- clients ----------------------------------------------------------------------------------------

def exchange(sock, out, want, deadline, half_close=False, to_eof=False, stop_at=None):
    """Sends `out` while receiving until `want` bytes came (or the end, with to_eof). With half_close
    the sending side is shut down once `out` is sent. Returns (received, end) where end is None,
    "eof" or "reset". Raises Hang past the deadline."""
    sock.setblocking(False)
    view, sent, got, end, shut = memoryview(out), 0, bytearray(), None, False
    poller = select.poll()
    while True:
        if sent == len(out) and half_close and not shut and end is None:
            shut = True
            try:
                sock.shutdown(socket.SHUT_WR)
            except OSError:
                end = "reset"
        if stop_at is not None and len(got) >= stop_at:
            return bytes(got), end
        rx_done = end is not None or (not to_eof and len(got) >= want)
        tx_done = sent == len(out) or end is not None
        if rx_done and tx_done:
            return bytes(got), end
        mask = (0 if rx_done else select.POLLIN) | (0 if tx_done else select.POLLOUT)
        left = deadline - time.monotonic()
        if left <= 0:
            raise Hang(f"sent {sent}/{len(out)}, received {len(got)}/{want}")
        poller.register(sock, mask)
        events = poller.poll(min(left, 1.0) * 1000)
        poller.unregister(sock)
        if not events:
            continue
        ev = events[0][1]
        if ev & (select.POLLIN | select.POLLHUP | select.POLLERR) and not rx_done:
            try:
                chunk = sock.recv(262144)
                if chunk:
                    got += chunk
                else:
                    end = "eof"
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                end = "reset"
        if ev & (select.POLLOUT | select.POLLERR) and not tx_done and end is None:
            try:
                sent += sock.send(view[sent:sent + 262144])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                end = "reset"


class Result:
    """One transfer's outcome: ok, bad (a mismatch), fault (the relay misbehaved otherwise), or
    suspect (closed without a byte: turned away unless a target saw the session)."""
    __slots__ = ("host", "kind", "sid", "status", "detail", "empty_ok")

    def __init__(self, host, kind, sid, status, detail="", empty_ok=False):
        self.host, self.kind, self.sid, self.status, self.detail = host, kind, sid, status, detail
        self.empty_ok = empty_ok  # served and ended with no byte is still right (a reset came first)


class Soak:
    def __init__(self, args):
        self.args = args
        self.duration = args.seconds
        self.stop = threading.Event()
        self.reg = Registry()
        self.targets = [Target("P1", self.reg, self.stop), Target("P2", self.reg, self.stop)]
        self.hosts = {}      # name -> dict(proc, port, pid, log)
        self.procs = []      # every process started, each in its own session
        self.tmp = tempfile.mkdtemp(prefix="kova-soak-")
        os.chmod(self.tmp, 0o755)  # tinyproxy drops to nobody when run as root
        self.lock = threading.Lock()
        self.sid_counter = 0
        self.counts = {}     # (host, kind, status) -> n
        self.pending = []    # suspects, resolved at the next checkpoint
        self.faults = []
        self.gate = threading.Event()
        self.active = 0
        self.active_cond = threading.Condition(self.lock)
        self.held = {}       # host -> idle relays held open on purpose
        self.outages = []    # (start, end, target name)
        self.samples = []    # settled checkpoints: (elapsed, {host: (fds, threads, rss_kb)})
        self.t0 = time.monotonic()

    # --- bookkeeping ---
    def new_sid(self, host, kind):
        with self.lock:
            self.sid_counter += 1
            return f"{host}-{kind}-{self.sid_counter}"

    def record(self, r):
        with self.lock:
            if r.status == "suspect":
                self.pending.append(r)
            else:
                self.count(r)

    def count(self, r):
        key = (r.host, r.kind, r.status)
        self.counts[key] = self.counts.get(key, 0) + 1
        if r.status in ("bad", "fault") and len(self.faults) < 1000:
            self.faults.append(f"{r.host} {r.kind} {r.sid}: {r.detail}")

    def fault(self, text):
        with self.lock:
            self.faults.append(text)
            self.counts[("-", "harness", "fault")] = self.counts.get(("-", "harness", "fault"), 0) + 1

    def total(self, status, kind=None):
        with self.lock:
            return sum(n for (h, k, s), n in self.counts.items() if s == status and kind in (None, k))

    # --- processes ---
    def spawn(self, name, argv):
        log = open(os.path.join(self.tmp, name + ".log"), "wb")
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                             start_new_session=True)
        log.close()
        self.procs.append(p)
        return p

    def stop_proc(self, p, grace=5.0):
        """TERM to the process group, KILL after the grace time. True when TERM sufficed."""
        if p.poll() is not None:
            return True
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            return True
        try:
            p.wait(grace)
            return True
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return False

    @staticmethod
    def listening(port):
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fl = line.split()
                    if fl[3] == "0A" and int(fl[1].rsplit(":", 1)[1], 16) == port:
                        return True
        return False

    def start_proxy(self, kind):
        for _ in range(3):
            s = socket.socket()
            s.bind((LOOP, 0))
            port = s.getsockname()[1]
            s.close()
            if kind == "microsocks":
                argv = ["microsocks", "-i", LOOP, "-p", str(port)]
            else:
                conf = os.path.join(self.tmp, "tinyproxy.conf")
                with open(conf, "w") as f:
                    f.write(f"Port {port}\nListen {LOOP}\nTimeout 600\nAllow 127.0.0.1\nMaxClients 400\n"
                            "DisableViaHeader Yes\nLogLevel Warning\n"
                            + ("User nobody\nGroup nogroup\n" if os.geteuid() == 0 else ""))
                argv = ["tinyproxy", "-d", "-c", conf]
            p = self.spawn(kind, argv)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and p.poll() is None and not self.listening(port):
                time.sleep(0.05)
            if p.poll() is None and self.listening(port):
                return port
            self.stop_proc(p)
        raise SystemExit(f"soak: {kind} did not start (see {self.tmp}/{kind}.log)")

    def start_host(self, name, extra):
        servers = ",".join(f"{LOOP}:{t.port}" for t in self.targets)
        log = os.path.join(self.tmp, name + ".log")
        p = self.spawn(name, [self.args.bin, "--listen-address", LOOP, "--port", "0", "--servers", servers,
                              *extra, "--idle", "1", "--sweep", "1"])
        deadline = time.monotonic() + 15
        line = None
        while time.monotonic() < deadline and line is None:
            with open(log, errors="replace") as f:
                line = next((ln for ln in f if ln.startswith("listening ")), None)
            if line is None:
                if p.poll() is not None:
                    break
                time.sleep(0.05)
        if line is None:
            raise SystemExit(f"soak: host {name} did not report listening (see {log})")
        words = line.split()
        try:
            addr = ipaddress.ip_address(words[1])
            port = int(words[2])
        except (IndexError, ValueError):
            raise SystemExit(f"soak: host {name}: unexpected line {line!r}")
        # Traffic goes to loopback only: any other listening address is refused outright.
        if len(words) != 3 or addr.version != 4 or not addr.is_loopback or not 0 < port < 65536:
            raise SystemExit(f"soak: host {name} listens on {words[1]}, not 127.x; refusing to connect")
        self.hosts[name] = {"proc": p, "addr": str(addr), "port": port}
        self.held[name] = 0

    def host_stats(self, name):
        """(relays in use, descriptors, threads, RSS kB, pipe ends): relays are the host's own sockets
        on its listening port, established or still closing; pipe ends are not among the
        descriptors, since a worker that has carried bulk keeps its pipe for its next relays."""
        h = self.hosts[name]
        pid = h["proc"].pid
        inodes, fds, pipes = set(), 0, 0
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                link = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                fds += 1
                continue
            if link.startswith("pipe:["):
                pipes += 1
                continue
            fds += 1
            if link.startswith("socket:["):
                inodes.add(link[8:-1])
        relays = 0
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fl = line.split()
                    if fl[9] in inodes and fl[3] != "0A" and int(fl[1].rsplit(":", 1)[1], 16) == h["port"]:
                        relays += 1
        threads = rss = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    threads = int(line.split()[1])
                elif line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        return relays, fds, threads, rss, pipes

    def check_alive(self):
        for name, h in self.hosts.items():
            rc = h["proc"].poll()
            if rc is not None and not h.get("reported"):
                h["reported"] = True
                self.fault(f"host {name} exited with status {rc} (crash)")
        return all(h["proc"].poll() is None for h in self.hosts.values())

    # --- one transfer of each kind -------------------------------------------------------------------
    def connect(self, host):
        h = self.hosts[host]
        s = socket.create_connection((h["addr"], h["port"]), timeout=10)
        return s

    def served_or_suspect(self, host, kind, sid, got, end, detail):
        """A transfer that did not get what it should: turned away (suspect) when nothing came."""
        if not got and end is not None:
            return Result(host, kind, sid, "suspect", detail)
        return Result(host, kind, sid, "bad", detail)

    def t_echo(self, host, kind, size, hold=None):
        sid = self.new_sid(host, kind)
        payload = os.urandom(size)
        out = f"SOAK {sid} echo 0 0\n".encode() + payload
        with self.connect(host) as s:
            got, end = exchange(s, out, size, time.monotonic() + (60 if size > MiB else 20))
            if hold:
                hold()
        if got == payload:
            return Result(host, kind, sid, "ok")
        return self.served_or_suspect(host, kind, sid, got, end,
                                      f"echo {len(got)}/{size} bytes, end {end}, "
                                      f"{'prefix ok' if payload.startswith(got) else 'wrong bytes'}")

    def t_sink(self, host):
        sid = self.new_sid(host, "sink")
        payload = os.urandom(BULK)
        with self.connect(host) as s:
            got, end = exchange(s, f"SOAK {sid} sink {BULK} 0\n".encode() + payload, 32, time.monotonic() + 60)
        if got == sha(payload):
            return Result(host, "sink", sid, "ok")
        return self.served_or_suspect(host, "sink", sid, got, end, f"sink digest {len(got)}/32 bytes, end {end}")

    def t_source(self, host):
        sid = self.new_sid(host, "source")
        with self.connect(host) as s:
            got, end = exchange(s, f"SOAK {sid} source {BULK} 0\n".encode(), BULK, time.monotonic() + 60)
        if got == gen(sid, BULK):
            return Result(host, "source", sid, "ok")
        return self.served_or_suspect(host, "source", sid, got, end, f"source {len(got)}/{BULK} bytes, end {end}")

    def t_half(self, host):
        """1000 requests, then the client shuts down its sending side; every answer must arrive."""
        sid = self.new_sid(host, "half")
        requests = b"".join(b"GET %d %s\n" % (i, os.urandom(6).hex().encode()) for i in range(1000))
        expect = sha(requests) + gen(sid, HALF_ANSWER)
        with self.connect(host) as s:
            got, end = exchange(s, f"SOAK {sid} half 0 {HALF_ANSWER}\n".encode() + requests, 0,
                                time.monotonic() + 30, half_close=True, to_eof=True)
        if got == expect:
            return Result(host, "half", sid, "ok")
        return self.served_or_suspect(host, "half", sid, got, end,
                                      f"after the client's half-close got {len(got)}/{len(expect)} bytes, end {end}")

    def t_early(self, host):
        """The target ends its sending side first; the client's later bytes must all arrive."""
        sid = self.new_sid(host, "early")
        m = 64 << 10
        late = os.urandom(random.randint(1, 256) << 10)
        with self.connect(host) as s:
            got, end = exchange(s, f"SOAK {sid} early 0 {m}\n".encode(), 0, time.monotonic() + 20, to_eof=True)
            if got != gen(sid, m) or end != "eof":
                return self.served_or_suspect(host, "early", sid, got, end,
                                              f"before the target's half-close got {len(got)}/{m} bytes, end {end}")
            _, end2 = exchange(s, late, 0, time.monotonic() + 20, half_close=True)
        self.reg.wait_for(lambda: sid in self.reg.received or sid in self.reg.ended, 10)
        with self.reg.lock:
            rx = self.reg.received.get(sid)
        if rx == (len(late), sha(late)):
            return Result(host, "early", sid, "ok")
        return Result(host, "early", sid, "bad",
                      f"after the target's half-close it got {rx[0] if rx else 'an error instead'} of {len(late)} bytes"
                      f"{' (send ended: ' + end2 + ')' if end2 else ''}")

    def t_client_reset(self, host):
        """Resets mid-transfer; the relay must end at once (its target connection ends)."""
        sid = self.new_sid(host, "reset")
        payload = os.urandom(MiB)
        s = self.connect(host)
        try:
            got, end = exchange(s, f"SOAK {sid} echo 0 0\n".encode() + payload, len(payload),
                                time.monotonic() + 20, stop_at=random.randint(1, 128) << 10)
        finally:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        if not payload.startswith(got):
            return Result(host, "reset", sid, "bad", "echo before the reset: wrong bytes")
        if not got:
            return Result(host, "reset", sid, "suspect", f"nothing echoed before the reset, end {end}")
        if not self.reg.wait_for(lambda: sid in self.reg.ended, 5):
            return Result(host, "reset", sid, "fault", "relay still open 5 s after the client's reset")
        return Result(host, "reset", sid, "ok")

    def t_target_reset(self, host):
        """The target resets after 256 KiB; the client must see the end, after a prefix of them."""
        sid = self.new_sid(host, "reset")
        n = 256 << 10
        with self.connect(host) as s:
            got, end = exchange(s, f"SOAK {sid} trst 0 {n}\n".encode(), 0, time.monotonic() + 20, to_eof=True)
        if not gen(sid, n).startswith(got):
            return Result(host, "reset", sid, "bad", "bytes before the target's reset: wrong")
        # A reset may overtake bytes the relay had not read yet: what came must be a prefix, that is all.
        return Result(host, "reset", sid, "ok" if got else "suspect", empty_ok=True)

    def t_idle(self, host, half):
        """Connects and sends nothing (or half-closes and waits): only the idle limit may end it."""
        kind = "hidle" if half else "idle"
        sid = self.new_sid(host, kind)
        with self.lock:
            self.held[host] += 1
        try:
            with self.connect(host) as s:
                t = time.monotonic()
                out = f"SOAK {sid} hidle 0 0\n".encode() if half else b""
                got, end = exchange(s, out, 0, t + IDLE_LIMIT + 25, half_close=half, to_eof=True)
                took = time.monotonic() - t
        finally:
            with self.lock:
                self.held[host] -= 1
            self.reg.update(lambda: self.reg.released.add(sid))
        if got:
            return Result(host, kind, sid, "bad", f"{len(got)} unexpected bytes")
        if took < 2 and not half:  # turned away; no session id to check, so only an early end counts
            return Result(host, kind, sid, "turned")
        if took < 2:
            return Result(host, kind, sid, "suspect", f"ended after {took:.1f} s, before the idle limit")
        if took < IDLE_LIMIT:
            return Result(host, kind, sid, "fault", f"ended after {took:.1f} s, before the {IDLE_LIMIT} s idle limit")
        return Result(host, kind, sid, "ok")

    def run_one(self, fn, *a):
        try:
            r = fn(*a)
        except Hang as e:
            r = Result(a[0], fn.__name__[2:], "-", "fault", f"hang: {e}")
        except OSError as e:
            r = Result(a[0], fn.__name__[2:], "-", "fault", f"client error: {e!r}")
        self.record(r)
        return r

    # --- load ----------------------------------------------------------------------------------------
    def worker(self, host, pick, pace):
        rnd = random.Random()
        while not self.stop.is_set():
            if not self.gate.wait(0.2):
                continue
            with self.lock:
                if not self.gate.is_set():
                    continue
                self.active += 1
            try:
                fn, *a = pick(rnd)
                self.run_one(fn, host, *a)
            finally:
                with self.lock:
                    self.active -= 1
                    self.active_cond.notify_all()
            if pace:
                time.sleep(rnd.uniform(0, pace))

    def burst(self, host):
        """60 clients at once, each holding its relay until every one has had its answer or its end."""
        barrier = threading.Barrier(BURST)
        results = []

        def one():
            def hold():
                try:
                    barrier.wait(30)
                except threading.BrokenBarrierError:
                    pass
            results.append(self.run_one(self.t_echo, host, "burst", 4096, hold))
        ts = [threading.Thread(target=one, daemon=True) for _ in range(BURST)]
        for t in ts:
            t.start()
        for t in ts:
            t.join(90)
        if any(t.is_alive() for t in ts):
            self.fault(f"{host} burst: clients still running after 90 s (hang)")
        served = sum(r.status == "ok" for r in results)
        if served > SLOTS:
            self.fault(f"{host} burst: {served} of {BURST} clients served at once, more than {SLOTS} slots")
        return results

    def outage_loop(self, plan):
        """Takes each target away for a while (new connections refused) and brings it back."""
        for at, idx, length in plan:
            if self.stop.wait(max(0.0, self.t0 + at - time.monotonic())):
                return
            t = self.targets[idx]
            start = time.monotonic()
            t.go_away()
            self.stop.wait(length)
            t.start()
            self.outages.append((start, time.monotonic(), t.name))

    def idle_loop(self, plan):
        for at in plan:
            if self.stop.wait(max(0.0, self.t0 + at - time.monotonic())):
                return
            ts = [threading.Thread(target=self.run_one, args=(self.t_idle, h, half), daemon=True)
                  for h, half in (("direct", False), ("direct", False), ("direct", True),
                                  ("socks5", False), ("http", False))]
            for t in ts:
                t.start()
            self.idle_threads.extend(ts)

    # --- checkpoints ---------------------------------------------------------------------------------
    def settle(self, label):
        """Stops the load, waits until every relay the load made has ended, resolves the transfers
        that came back empty, and samples each host."""
        self.gate.clear()
        with self.lock:
            drained = self.active_cond.wait_for(lambda: self.active == 0, 120)
        if not drained:
            self.fault(f"{label}: transfers still running 120 s after the load stopped (hang)")
        # Every relay of a finished client must end, on the host and at the target.
        deadline = time.monotonic() + 15
        while True:
            with self.lock:
                held = dict(self.held)
            stats = {}
            for h in self.hosts:
                try:
                    stats[h] = self.host_stats(h)
                except OSError:  # the host is gone: check_alive reports it
                    pass
            over = {h: s[0] for h, s in stats.items() if s[0] > held[h]}
            with self.reg.lock:
                target_open = self.reg.open
            if not over and target_open <= sum(held.values()):
                break
            if time.monotonic() > deadline:
                self.fault(f"{label}: relays still open 15 s after their clients ended: host {over or '-'}, "
                           f"target connections {target_open} (held idle {sum(held.values())})")
                break
            time.sleep(0.05)
        with self.lock:
            pending, self.pending = self.pending, []
        with self.reg.lock:
            seen = dict(self.reg.seen)
        with self.lock:
            for r in pending:
                # A target saw it: the relay served it and lost the answer.
                r.status = ("ok" if r.empty_ok else "bad") if r.sid in seen else "turned"
                self.count(r)
        self.check_alive()
        sample = {}
        for h, (relays, fds, threads, rss, pipes) in stats.items():
            with self.lock:
                held = self.held[h]
            # Each held idle relay owns two sockets (client and upstream side).
            sample[h] = (fds - 2 * relays, threads, rss, relays, held, pipes)
        self.samples.append((time.monotonic() - self.t0, sample))
        return sample

    def line(self, label):
        stats = {}
        for h in self.hosts:
            try:
                stats[h] = self.host_stats(h)
            except OSError:
                stats[h] = ("-",) * 5
        def col(i, fmt=str):
            return "/".join(fmt(stats[h][i]) if stats[h][i] != "-" else "-" for h in self.hosts)
        rss = col(3, lambda kb: f"{kb / 1024:.1f}")
        print(f"soak {label:>6}  relays {col(0)}  fds {col(1)}  threads {col(2)}  rss {rss} MiB  "
              f"transfers {self.total('ok')}  turned away {self.total('turned')}  "
              f"mismatches {self.total('bad')}  faults {self.total('fault')}", flush=True)

    def ticker(self):
        minute = 1
        while not self.stop.wait(max(0.0, self.t0 + 60 * minute - time.monotonic())):
            self.line(f"{minute}:00")
            minute += 1

    # --- the run -------------------------------------------------------------------------------------
    def run(self):
        for t in self.targets:
            t.start()
        ms = self.start_proxy("microsocks")
        tp = self.start_proxy("tinyproxy")
        self.start_host("direct", ["--proxy-type", "0"])
        self.start_host("socks5", ["--proxy-type", "3", "--proxy", f"{LOOP}:{ms}"])
        self.start_host("http", ["--proxy-type", "1", "--proxy", f"{LOOP}:{tp}"])
        d = self.duration
        print(f"soak: {d:.0f} s, hosts direct/socks5/http on {LOOP} "
              f"({'/'.join(str(h['port']) for h in self.hosts.values())}), targets "
              f"{self.targets[0].port},{self.targets[1].port}, binary {self.args.bin}, logs {self.tmp}", flush=True)
        self.t0 = time.monotonic()
        base = self.settle("start")
        self.line("0:00")

        short = lambda rnd: (self.t_echo, "short", rnd.randint(1, 16384))
        bulk = lambda rnd: rnd.choice([(self.t_echo, "bulk", BULK), (self.t_sink,), (self.t_source,)])
        halves = lambda rnd: rnd.choice([(self.t_half,), (self.t_early,)])
        resets = lambda rnd: rnd.choice([(self.t_client_reset,), (self.t_target_reset,)])
        plan = [("direct", short, 0.15), ("direct", short, 0.15), ("direct", short, 0.15),
                ("direct", bulk, 0.5), ("direct", halves, 0.3), ("direct", resets, 0.3)]
        # Half-closes go direct only: microsocks and tinyproxy themselves end both directions at the
        # first end they see, so through them a half-close tests the proxy, not the relay.
        for h in ("socks5", "http"):
            plan += [(h, short, 0.2), (h, bulk, 1.0), (h, resets, 0.5)]
        workers = [threading.Thread(target=self.worker, args=p, daemon=True) for p in plan]
        for w in workers:
            w.start()

        # A target goes away and comes back: first P1 (failover to P2), later P2 (back to P1).
        if d <= 120:
            outages = [(0.2 * d, 0, 5.0), (0.55 * d, 1, 5.0)]
        else:
            outages = [(at, i % 2, 10.0) for i, at in enumerate(range(45, int(d) - 20, 120))]
        # Idle relays only where the run outlasts the idle limit.
        idles = [at for at in range(10, int(d) - IDLE_LIMIT - 25, 150)]
        self.idle_threads = []
        threading.Thread(target=self.outage_loop, args=(outages,), daemon=True).start()
        threading.Thread(target=self.idle_loop, args=(idles,), daemon=True).start()

        round_len = 10.0 if d <= 120 else 30.0
        threading.Thread(target=self.ticker, daemon=True).start()
        bursts = 0
        while time.monotonic() - self.t0 < d and self.check_alive():
            start = time.monotonic()
            end = min(start + round_len, self.t0 + d)
            self.gate.set()
            self.stop.wait(max(0.0, (end - start) / 2))
            burst_host = ("direct", "direct", "socks5", "direct", "http")[bursts % 5]
            self.burst(burst_host)
            bursts += 1
            self.stop.wait(max(0.0, end - time.monotonic()))
            self.settle(f"round at {time.monotonic() - self.t0:.0f} s")
        # The idle relays end by the idle limit; they were started early enough to do so.
        for t in self.idle_threads:
            t.join(IDLE_LIMIT + 40)
        final = self.settle("end")
        self.stop.set()
        self.line("end")
        self.verdict(base, final)
        for name, h in self.hosts.items():
            if h["proc"].poll() is None:
                if not self.stop_proc(h["proc"]):
                    self.fault(f"host {name} did not end within 5 s of SIGTERM")
                elif h["proc"].returncode != 0:
                    self.fault(f"host {name} ended with status {h['proc'].returncode} on SIGTERM")

    def verdict(self, base, final):
        """Descriptors must return to the start, threads stay within the worker slots, and memory at
        the end may exceed what the first third of the run settled at only by a margin (allocator
        arenas and kept slot objects grow a little until every slot has been used)."""
        early = [s for t, s in self.samples[1:-1] if t <= self.duration / 3] or [s for _, s in self.samples[1:2]]
        for h in self.hosts:
            if h not in final or h not in base:
                continue
            fds, threads, rss = final[h][:3]
            if fds > base[h][0] + 2:
                self.fault(f"{h}: {fds} descriptors after the load, {base[h][0]} before (leak)")
            # One pipe (two ends) per worker at most, and workers are bounded by their slots.
            if final[h][5] > base[h][5] + 2 * WORKER_THREADS:
                self.fault(f"{h}: {final[h][5]} pipe ends after the load, {base[h][5]} before (leak)")
            # Workers are kept once created, so the count climbs to the slot limit and no further.
            peak = max(s[h][1] for _, s in self.samples if h in s)
            if peak > base[h][1] + WORKER_THREADS:
                self.fault(f"{h}: {peak} threads, more than the {WORKER_THREADS} worker slots allow")
            ref_rss = max((s[h][2] for s in early if h in s), default=rss)
            if rss > ref_rss * 1.25 + 4096:
                self.fault(f"{h}: RSS rose from {ref_rss} kB to {rss} kB (keeps rising)")
        # Failover: while a target was away, every host still reached the other one.
        with self.reg.lock:
            seen = list(self.reg.seen.items())
        for start, end, name in self.outages:
            for h in self.hosts:
                if not any(sid.startswith(h + "-") and tg != name and start + 1 <= t <= end
                           for sid, (tg, t) in seen):
                    self.fault(f"{h}: no client reached the other target while {name} was away "
                               f"({start - self.t0:.0f}-{end - self.t0:.0f} s)")

    def report(self):
        kinds = sorted({k for (_, k, _) in self.counts})
        print("soak: per kind  served / turned away / mismatches / faults", flush=True)
        for k in kinds:
            print(f"  {k:<8} " + " / ".join(str(self.total(s, k)) for s in ("ok", "turned", "bad", "fault")))
        with self.reg.lock:
            print(f"  targets saw {len(self.reg.seen)} sessions and {self.reg.headerless} idle relays; "
                  f"outages {', '.join(f'{n} {a - self.t0:.0f}-{b - self.t0:.0f} s' for a, b, n in self.outages) or 'none'}")
        for t, sample in self.samples[:1] + self.samples[-1:]:
            print(f"  settled at {t:5.0f} s: " + "  ".join(
                f"{h} fds {v[0]} threads {v[1]} rss {v[2] / 1024:.1f} MiB" for h, v in sample.items()))
        # The first few of each kind; the whole list goes to the logs folder.
        with open(os.path.join(self.tmp, "faults.txt"), "w") as f:
            f.write("".join(x + "\n" for x in self.faults))
        shown = {}
        for x in self.faults:
            k = " ".join(x.split()[:2])
            shown[k] = shown.get(k, 0) + 1
            if shown[k] <= 5:
                print("  FAIL " + x)
        if len(self.faults) > sum(min(n, 5) for n in shown.values()):
            print(f"  ... {len(self.faults)} in all: {self.tmp}/faults.txt")
        ok = not self.faults
        print("soak: PASS" if ok else f"soak: FAIL ({self.total('bad')} mismatches, {len(self.faults)} faults)",
              flush=True)
        return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=float(os.environ.get("SOAK_MINUTES", 10)))
    ap.add_argument("--seconds", type=float, default=None, help="overrides --minutes")
    ap.add_argument("--bin", default=os.environ.get("KOVA_BIN"))
    ap.add_argument("--keep", action="store_true", help="keep the logs folder")
    args = ap.parse_args()
    args.seconds = args.seconds if args.seconds is not None else args.minutes * 60
    if not args.bin:
        path = os.path.join(ROOT, "build", "src", "app", "kova-relay")
        if os.access(path, os.X_OK):
            args.bin = path
    if not args.bin or not os.access(args.bin, os.X_OK):
        print("soak: no relay host binary in build/src/app (build it first)", file=sys.stderr)
        return 2
    for tool in ("microsocks", "tinyproxy"):
        if not shutil.which(tool):
            print(f"soak: {tool} is missing; run: bash scripts/setup.sh", file=sys.stderr)
            return 2
    soak = Soak(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    ok = False
    try:
        soak.run()
        ok = soak.report()
    finally:
        soak.stop.set()
        for p in soak.procs:
            soak.stop_proc(p)
        if ok and not args.keep:
            shutil.rmtree(soak.tmp, ignore_errors=True)
        else:
            print(f"soak: logs kept in {soak.tmp}", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
