"""A directory served through a FUSE mount that delays each directory open
(fuse_delay.c beside this file, compiled here with the system C compiler), for
the tests and benchmarks of scans over slow mounts.

    with DelayingMount(source, delay_us=5000) as mount:
        ... mount.path ... mount.opens() ...

Unavailable is raised where the machine cannot mount one (no /dev/fuse, no C
compiler, no fuse3 headers or fusermount3: apt-get install libfuse3-dev fuse3
pkg-config).
"""

import atexit
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "fuse_delay.c")
_built = {}


class Unavailable(Exception):
    pass


def build():
    """The daemon's executable, compiled once per process."""
    if "path" in _built:
        return _built["path"]
    if not os.path.exists("/dev/fuse"):
        raise Unavailable("no /dev/fuse")
    cc, pkg = shutil.which("cc"), shutil.which("pkg-config")
    if not cc or not pkg or not shutil.which("fusermount3"):
        raise Unavailable("cc, pkg-config or fusermount3 missing")
    flags = subprocess.run([pkg, "--cflags", "--libs", "fuse3"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, universal_newlines=True)
    if flags.returncode != 0:
        raise Unavailable("no fuse3 development files")
    # Built once per process, and removed with its folder when the process ends.
    folder = tempfile.mkdtemp(prefix="kestrum-fuse-")
    atexit.register(shutil.rmtree, folder, True)
    out = os.path.join(folder, "fuse_delay")
    subprocess.run([cc, "-O2", "-Wall", "-o", out, SOURCE] + flags.stdout.split(), check=True)
    _built["path"] = out
    return out


class DelayingMount:
    """``source`` served at a fresh mount point (``path``) while the block runs;
    ``opens()`` counts the directory opens the daemon has served."""

    def __init__(self, source, delay_us=0, fixed_times=None):
        self.source = source
        self.delay_us = delay_us
        self.fixed_times = fixed_times

    def __enter__(self):
        daemon = build()
        self.work = tempfile.mkdtemp(prefix="kestrum-mount-")
        self.path = os.path.join(self.work, "mnt")
        os.mkdir(self.path)
        self.counter = os.path.join(self.work, "opens")
        with open(self.counter, "wb") as f:
            f.write(bytes(8))
        command = [daemon, self.source, self.path, "--delay-us", str(self.delay_us),
                   "--counter", self.counter]
        if self.fixed_times is not None:
            command += ["--fixed-times", str(self.fixed_times)]
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self._stop()
                raise Unavailable("the mount failed: %s" % self.process.stderr.read().decode())
            time.sleep(0.01)
        return self

    def opens(self):
        with open(self.counter, "rb") as f:
            return int.from_bytes(f.read(8), "little")

    def _stop(self):
        if os.path.ismount(self.path):
            subprocess.run(["fusermount3", "-u", "-z", self.path], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def __exit__(self, *exc):
        self._stop()
