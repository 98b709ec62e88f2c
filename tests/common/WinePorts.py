#!/usr/bin/env python3
"""COM ports for a Windows test suite under Wine, as the suite asks for them.

Runs a command (the suite, under wine) and meanwhile answers, on a loopback
TCP port named in TAVRIN_WINE_PORTS, lines from the suite:
  map N      COM N becomes a serial device of its own: a new pseudo-terminal
             that this helper holds open, linked from Wine's dosdevices
             folder, where Wine looks each time a port is opened
  unmap N    COM N is no device at all: linked to a path that does not exist
             (without a link, Wine would take /dev/ttyS<N-1>)
Each is answered "ok DEVICE" or "ok", or "error WHY". --map N maps COM N
before the command starts. What the folder held before comes back when the
command ends; its exit status is this one's.

  WinePorts.py -- wine tst_config.exe --suite SetupFormTest
  WinePorts.py --map 3 -- wine tavrin-bench-idle.exe COM3
"""
import os
import pty
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import tty

# Takes the pseudo-terminal as the controlling terminal of a session of its
# own, and keeps it until its input ends. Otherwise the wineserver, which
# opens devices for its programs and leads a session without a terminal,
# would take it, and dump its state on the hang-up at the end.
HOLD = "import os, sys; os.open(sys.argv[1], os.O_RDWR); print('held', flush=True); sys.stdin.read()"


class Ports:
    def __init__(self, dosdevices):
        self.dosdevices = dosdevices
        self.held = {}  # COM number -> (master fd, slave fd, holding process)
        self.saved = {}  # link name -> what it pointed to before, or None
        self.absent = tempfile.mkdtemp(prefix="wine-ports-")  # stays empty
        self.lock = threading.Lock()

    def _link(self, n):
        return os.path.join(self.dosdevices, "com%d" % n)

    def _remove(self, n):
        link = self._link(n)
        name = os.path.basename(link)
        if name not in self.saved:
            self.saved[name] = os.readlink(link) if os.path.islink(link) else None
        if os.path.lexists(link):
            os.remove(link)
        if n in self.held:
            self._release(*self.held.pop(n))

    @staticmethod
    def _release(master, slave, holder):
        holder.stdin.close()
        os.close(slave)
        os.close(master)
        holder.wait()

    def map(self, n):
        with self.lock:
            self._remove(n)
            master, slave = pty.openpty()
            tty.setraw(slave)
            device = os.ttyname(slave)
            holder = subprocess.Popen([sys.executable, "-c", HOLD, device], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, start_new_session=True, text=True)
            if holder.stdout.readline().strip() != "held":
                raise OSError("%s could not be held" % device)
            # The slave stays open here too, so the device lives on between
            # the suite's opens of it.
            self.held[n] = (master, slave, holder)
            os.symlink(device, self._link(n))
            return device

    def unmap(self, n):
        with self.lock:
            self._remove(n)
            os.symlink(os.path.join(self.absent, "com%d" % n), self._link(n))

    def restore(self):
        with self.lock:
            for n in list(self.held):
                self._release(*self.held.pop(n))
            os.rmdir(self.absent)
            for name, target in self.saved.items():
                link = os.path.join(self.dosdevices, name)
                if os.path.lexists(link):
                    os.remove(link)
                if target is not None:
                    os.symlink(target, link)


def serve(server, ports):
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=answer, args=(conn, ports), daemon=True).start()


def answer(conn, ports):
    with conn, conn.makefile("rw", newline="\n") as stream:
        for line in stream:
            words = line.split()
            try:
                n = int(words[1])
                if not 1 <= n <= 256:
                    raise ValueError("no COM%d" % n)
                if words[0] == "map":
                    reply = "ok " + ports.map(n)
                elif words[0] == "unmap":
                    ports.unmap(n)
                    reply = "ok"
                else:
                    reply = "error unknown request"
            except (IndexError, ValueError, OSError) as e:
                reply = "error %s" % e
            stream.write(reply + "\n")
            stream.flush()


def main():
    args = sys.argv[1:]
    first = []
    while args[:1] == ["--map"] and len(args) > 1:
        first.append(int(args[1]))
        args = args[2:]
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        sys.exit(__doc__)
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    ports = Ports(os.path.join(prefix, "dosdevices"))
    for n in first:
        ports.map(n)
    server = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=serve, args=(server, ports), daemon=True).start()
    env = dict(os.environ, TAVRIN_WINE_PORTS="127.0.0.1:%d" % server.getsockname()[1])
    # Stopped (a test's time limit), the folder is still put back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    child = subprocess.Popen(args, env=env)
    try:
        code = child.wait()
    finally:
        if child.poll() is None:
            child.terminate()
            child.wait()
        server.close()
        ports.restore()
    sys.exit(code)


if __name__ == "__main__":
    main()
