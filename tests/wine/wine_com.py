"""What the Wine test drivers share: the Wine prefix of the run, COM ports of
that prefix pointed at a pseudo-terminal (or taken away) for the length of a
test, the i386 ioctl shim, and Windows programs started under wine.

COM n of a Wine prefix is the symlink dosdevices/comN. Whatever link was
there before a test is put back after it."""
import contextlib
import os
import pty
import select
import subprocess
import time
import tty


def prefix():
    """The Wine prefix of the run ($WINEPREFIX); None, said on stdout, if it
    names no folder."""
    path = os.environ.get("WINEPREFIX")
    if path and os.path.isdir(path):
        return path
    print("WINEPREFIX must name an existing Wine prefix")
    return None


@contextlib.contextmanager
def _com_link(wine_prefix, com, target):
    """COM<com> of the prefix points at target (None: no COM<com>) until the
    block ends; then the former link, if any, is restored."""
    link = os.path.join(wine_prefix, "dosdevices", "com%d" % com)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    former = os.readlink(link) if os.path.islink(link) else None
    if os.path.lexists(link):
        os.remove(link)
    if target is not None:
        os.symlink(target, link)
    try:
        yield
    finally:
        if os.path.lexists(link):
            os.remove(link)
        if former is not None:
            os.symlink(former, link)


@contextlib.contextmanager
def mapped_pty(wine_prefix, coms):
    """A fresh raw pseudo-terminal whose slave is every COM port in coms;
    yields (master fd, slave path)."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    try:
        with contextlib.ExitStack() as links:
            for com in coms:
                links.enter_context(_com_link(wine_prefix, com, os.ttyname(slave)))
            yield master, os.ttyname(slave)
    finally:
        os.close(master)
        os.close(slave)


def unmapped(wine_prefix, com):
    """COM<com> does not exist in the prefix until the block ends."""
    return _com_link(wine_prefix, com, None)


def build_shim(shim_source, folder):
    """Builds the i386 ioctl shim into folder; returns its path."""
    shim = os.path.join(folder, "ioctl_shim.so")
    subprocess.run(["gcc", "-m32", "-shared", "-fPIC", "-O2", "-o", shim, shim_source, "-ldl"],
                   check=True, timeout=120)
    return shim


def env(preload=None):
    """The environment programs run in under wine, the shim preloaded."""
    result = dict(os.environ)
    result.setdefault("WINEDEBUG", "-all")
    if preload:
        result["LD_PRELOAD"] = preload
    return result


def start(program, args, preload=None):
    """Starts a Windows program under wine, its output (both streams) piped."""
    return subprocess.Popen(["wine", program] + [str(a) for a in args], env=env(preload),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def read_until(fd, done, timeout):
    """Reads from fd until done(data) holds or timeout seconds pass."""
    data = b""
    end = time.monotonic() + timeout
    while not done(data):
        left = end - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], min(left, 0.5))
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
    return data
