"""What the Wine test drivers share: the Wine prefix of the run, COM ports of
that prefix pointed at a pseudo-terminal (or taken away) for the length of a
test, the ioctl shim, and Windows programs started under the build's Wine
loader.

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


# The folders the dynamic linker's $LIB names on Debian, for each kind of
# Linux process Wine runs a program in: the 32-bit loader runs 32-bit
# Windows programs, the 64-bit loader 64-bit ones.
SHIM_BUILDS = (("lib/i386-linux-gnu", "-m32"), ("lib/x86_64-linux-gnu", "-m64"))


def build_shim(shim_source, folder):
    """Builds the ioctl shim into folder for both kinds of Wine loader, i386
    and x86-64; returns what LD_PRELOAD takes: the path with the dynamic
    linker's $LIB in it, so that every process loads the one of its own
    kind (Wine's 32-bit loader hands a 64-bit program on to the 64-bit one,
    and the wine script itself is a 64-bit shell)."""
    for lib, flag in SHIM_BUILDS:
        os.makedirs(os.path.join(folder, lib), exist_ok=True)
        subprocess.run(["gcc", flag, "-shared", "-fPIC", "-O2", "-o",
                        os.path.join(folder, lib, "ioctl_shim.so"), shim_source, "-ldl"],
                       check=True, timeout=120)
    return os.path.join(folder, "$LIB", "ioctl_shim.so")


def loader():
    """The Wine loader of the build under test, run directly: the 64-bit
    loader for a 64-bit build, the 32-bit one for a 32-bit build (ctest
    names it in KAVTEL_WINE_LOADER). Debian's `wine` script is not used: it
    takes the 32-bit loader for every program whenever wine32 is installed."""
    path = os.environ.get("KAVTEL_WINE_LOADER")
    if not path:
        raise SystemExit("KAVTEL_WINE_LOADER must name the Wine loader of the build "
                         "(ctest sets it; /usr/lib/wine/wine64 or /usr/lib/wine/wine)")
    return path


def env(preload=None):
    """The environment programs run in under Wine, the shim preloaded."""
    result = dict(os.environ)
    result.setdefault("WINEDEBUG", "-all")
    result["WINELOADER"] = loader()
    if preload:
        result["LD_PRELOAD"] = preload
    return result


def command(program, args=()):
    """The command line that runs a Windows program under the build's loader."""
    return [loader(), program] + [str(a) for a in args]


def start(program, args, preload=None):
    """Starts a Windows program under Wine, its output (both streams) piped."""
    return subprocess.Popen(command(program, args), env=env(preload),
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
