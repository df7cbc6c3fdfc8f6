"""What the Wine serial tests share: the i386 ioctl shim, a COM port of the
Wine prefix mapped to a device path, and the environment Wine runs in.

Wine's serial driver asks the device for UART-only ioctls before a
WaitCommEvent can complete; a pseudo-terminal refuses them, so the shim
(ioctl_shim.c, built here for i386) is preloaded to answer them."""
import os
import select
import subprocess
import time


def build_shim(source, workdir):
    """Builds the ioctl shim from its source into workdir; returns its path."""
    shim = os.path.join(workdir, "ioctl_shim.so")
    subprocess.run(["gcc", "-m32", "-shared", "-fPIC", "-O2", "-o", shim, source, "-ldl"],
                   check=True, timeout=120)
    return shim


def wine_prefix():
    """The prefix the test runs in ($WINEPREFIX), or None when there is none."""
    prefix = os.environ.get("WINEPREFIX")
    return prefix if prefix and os.path.isdir(prefix) else None


def com_link(prefix, com):
    return os.path.join(prefix, "dosdevices", "com%d" % com)


def map_com(prefix, com, device):
    """Points COM<com> of the prefix at device; returns the link to remove."""
    link = com_link(prefix, com)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    unmap_com(prefix, com)
    os.symlink(device, link)
    return link


def unmap_com(prefix, com):
    link = com_link(prefix, com)
    if os.path.lexists(link):
        os.remove(link)


def wine_env(shim):
    env = dict(os.environ)
    env["LD_PRELOAD"] = shim
    env.setdefault("WINEDEBUG", "-all")
    return env


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
