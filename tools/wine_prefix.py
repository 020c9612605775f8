"""A 64-bit Wine prefix for the demo and the end-to-end tests: create it, run programs in it,
seed and read its registry. Output goes through files, since Wine's helper processes outlive a
call and would keep a pipe open."""
import os
import shutil
import subprocess
import tempfile
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"

IFTYPES = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\services\NDIS\IfTypes"
STORE = (r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nsi"
         r"\{eb004a11-9b1a-11d4-9123-0050047759bc}\10")
USED = "IfUsedNetLuidIndices"
BACKUP = "IfUsedNetLuidIndices_ZARBBackup"


def store_name(index, if_type):
    """The network-store value name of an interface index and type, as Windows writes it: the
    NET_LUID's 8 bytes in memory order (3 reserved, the 24-bit index, the 16-bit type)."""
    return ((index << 24) | (if_type << 48)).to_bytes(8, "little").hex().upper()


def environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


def prefix_path():
    return os.environ.get("ZELVORAN_WINE_PREFIX") or os.path.join(os.getcwd(), "wine-prefix")


def run(prefix, arguments, timeout=120):
    """Runs a Windows program with standard input not a terminal; gives (exit code, stdout)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run([WINE64] + list(arguments), stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, env=environment(prefix), timeout=timeout)
        out.seek(0)
        return result.returncode, out.read()


def create(prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    env = environment(prefix)
    with tempfile.TemporaryFile() as log:
        # Keep the server for the whole suite: every call then starts in a fraction of a second.
        subprocess.run([WINESERVER, "-p"], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       env=env, timeout=120, check=True)
        subprocess.run([WINE64, "wineboot", "-i"], stdin=subprocess.DEVNULL, stdout=log,
                       stderr=log, env=env, timeout=600, check=True)


def processes_of(prefix):
    """The processes started with this prefix, found by their environment."""
    marker = ("WINEPREFIX=%s" % prefix).encode() + b"\0"
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if marker in environ.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def stop(prefix):
    """Stops the prefix's server and every Wine process of the prefix, and waits for them.
    Gives the processes that are still there after that (none, normally)."""
    env = environment(prefix)
    subprocess.run([WINESERVER, "-k"], env=env, timeout=120)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=120)
    for _ in range(100):
        left = [pid for pid in processes_of(prefix) if pid != os.getpid()]
        if not left:
            return []
        time.sleep(0.1)
    return left


def hex_bytes(data):
    return ",".join("%02x" % byte for byte in data)


def import_reg(prefix, lines):
    """Imports registry text (deletions as [-KEY]) with regedit /s."""
    text = "REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n"
    with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=prefix, delete=False,
                                     newline="") as reg_file:
        reg_file.write(text)
    try:
        code, _ = run(prefix, ["regedit", "/s", "Z:" + reg_file.name.replace("/", "\\")])
        if code != 0:
            raise RuntimeError("regedit failed: %d" % code)
    finally:
        os.unlink(reg_file.name)


def query_value(prefix, key, name):
    """Gives (type name, bytes) of a REG_BINARY value, (type name, text) of another, or None."""
    code, out = run(prefix, ["reg", "query", key, "/v", name])
    if code != 0:
        return None
    for line in out.decode("ascii", "replace").splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0] == name:
            data = parts[2] if len(parts) > 2 else ""
            if parts[1] == "REG_BINARY":
                return parts[1], bytes.fromhex(data)
            return parts[1], data
    return None


def key_exists(prefix, key):
    code, _ = run(prefix, ["reg", "query", key])
    return code == 0
