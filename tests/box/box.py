"""Debian 12 boxes: a root file system booted with its own systemd.

The root is made once with mmdebstrap (variant minbase, systemd as init)
from the mirrors of this machine's own apt configuration, read at run time.
A box started with --private-network has no network at all, so the root
carries an offline apt repository, /srv/boxrepo, filled when the root is
made with everything the checks install later (the package's dependencies,
Postfix, Sendmail, swaks, ...) and named as the root's only apt source:
`apt-get install ./heronsend_*.deb postfix` inside works as it does for an
administrator. The root is kept under the cache folder, keyed by a checksum
of what it holds, so the stages of one run make it once.

Each Box is a fresh copy of that root booted with
`systemd-nspawn -b --private-network --register=no --keep-unit`
(--keep-unit: this machine's PID 1 is not systemd, and nspawn would ask it
for a scope unit over D-Bus). Commands run inside through nsenter into the
namespaces of the box's systemd.
"""

import glob
import hashlib
import os
import shlex
import shutil
import signal
import subprocess
import time
import fcntl

SUITE = "bookworm"
# Installed in the root: what booting and the checks themselves use.
BASE = ["systemd", "systemd-sysv", "dbus", "iproute2", "procps", "netbase",
        "openssl", "swaks", "libnet-ssleay-perl", "dnsmasq-base", "less"]
# Put into the offline repository, one apt-get call each (Postfix and
# Sendmail exclude each other): the package's dependencies and the MTAs.
REPO_SETS = [
    ["adduser", "libmilter1.0.1", "libpsl5", "publicsuffix", "postfix", "sasl2-bin",
     "libsasl2-modules"],
    ["sendmail", "sasl2-bin", "libsasl2-modules"],
]
REPO_DIR = "/srv/boxrepo"
# Bump when the way the root is made changes.
RECIPE = "6"
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


class BoxError(Exception):
    pass


def run(cmd, timeout=120, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(cmd, text=True, timeout=timeout, **kwargs)


def host_sources():
    """This machine's apt source files (read, never copied into the tree)."""
    files = sorted(glob.glob("/etc/apt/sources.list.d/*.sources") +
                   glob.glob("/etc/apt/sources.list.d/*.list"))
    if os.path.exists("/etc/apt/sources.list"):
        files.insert(0, "/etc/apt/sources.list")
    files = [f for f in files if os.path.getsize(f) > 0]
    if not files:
        raise BoxError("no apt sources on this machine")
    return files


def root_key(base=BASE, repo_sets=REPO_SETS, tools=("apt-utils",)):
    h = hashlib.sha256()
    h.update(("%s %s %r %r" % (RECIPE, SUITE, base, repo_sets)).encode())
    if list(tools) != ["apt-utils"]:
        h.update(("tools %r" % (list(tools),)).encode())
    for f in host_sources():
        with open(f, "rb") as src:
            h.update(src.read())
    return h.hexdigest()[:16]


def _customize_hook(repo_sets):
    """Shell run by mmdebstrap on the new root ("$1"): fills the offline
    repository and makes it the only apt source."""
    downloads = "\n".join(
        'chroot "$1" apt-get install -y -q --download-only --no-install-recommends '
        '-o Dir::Cache::archives=%s/ %s' % (REPO_DIR, " ".join(s)) for s in repo_sets)
    return """set -e
mkdir -p "$1%(repo)s/partial"
%(downloads)s
rm -rf "$1%(repo)s/partial" "$1%(repo)s/lock"
(cd "$1%(repo)s" && apt-ftparchive packages . > Packages)
rm -f "$1/etc/apt/sources.list" "$1"/etc/apt/sources.list.d/*
echo 'deb [trusted=yes] file:%(repo)s ./' > "$1/etc/apt/sources.list.d/box.list"
chroot "$1" apt-get update -q
chroot "$1" apt-get clean
# The box's own name and name server (a test DNS the checks start on
# 127.0.0.1); nothing of this machine's network set-up is kept.
echo mx.box.test > "$1/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 mx.box.test mx\n::1 localhost ip6-localhost ip6-loopback\n' > "$1/etc/hosts"
rm -f "$1/etc/resolv.conf"
printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:1\n' > "$1/etc/resolv.conf"
""" % {"repo": REPO_DIR, "downloads": downloads}


def make_root(cache_dir, log=print, base=BASE, repo_sets=REPO_SETS, tools=("apt-utils",)):
    """The root file system for this key, made when missing. Returns its
    path. base: the packages installed in it (besides minbase), repo_sets:
    what its offline repository holds, tools: apt-utils (debconf then asks
    its questions before the packages unpack), or nothing for a root as
    Debian's own package tests use."""
    os.makedirs(cache_dir, exist_ok=True)
    key = root_key(base, repo_sets, tools)
    root = os.path.join(cache_dir, "root-" + key)
    with open(os.path.join(cache_dir, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(root, ".complete")):
            log("box: root file system %s (cached)" % root)
            return root
        for old in glob.glob(os.path.join(cache_dir, "root-*")):
            shutil.rmtree(old, ignore_errors=True)
        started = time.monotonic()
        log("box: mmdebstrap %s %s (the mirrors of this machine's apt sources)" % (SUITE, root))
        hook = os.path.join(cache_dir, "customize.sh")
        with open(hook, "w") as f:
            f.write(_customize_hook(repo_sets))
        include = list(base) + list(tools)
        cmd = (["mmdebstrap", "--variant=minbase", "--mode=root", "-q", "--skip=cleanup/apt/lists"] +
               (["--include=" + ",".join(include)] if include else []) +
               ["--customize-hook=sh %s \"$1\"" % shlex.quote(hook),
                SUITE, root + ".new"] + host_sources())
        shutil.rmtree(root + ".new", ignore_errors=True)
        r = run(cmd, timeout=600)
        if r.returncode != 0:
            shutil.rmtree(root + ".new", ignore_errors=True)
            raise BoxError("mmdebstrap failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr[-4000:]))
        os.rename(root + ".new", root)
        open(os.path.join(root, ".complete"), "w").close()
        log("box: root file system made in %.0f s" % (time.monotonic() - started))
        return root


class Box:
    """One booted copy of the root. Use as a context manager."""

    def __init__(self, root, work_dir, name, log=print):
        self.source, self.name, self.log = root, name, log
        self.dir = os.path.join(work_dir, name)
        self.root = os.path.join(self.dir, "root")
        self.nspawn = None
        self.pid = None

    def path(self, inside):
        """The host path of a file inside the box (its root is a folder)."""
        return os.path.join(self.root, inside.lstrip("/"))

    def write(self, inside, text, mode=0o644):
        p = self.path(inside)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        if os.path.islink(p):
            os.unlink(p)
        with open(p, "w") as f:
            f.write(text)
        os.chmod(p, mode)

    def read(self, inside):
        """A file as the box sees it (/proc, /run: its own mounts); "" when
        missing."""
        return self.sh("cat %s 2>/dev/null" % shlex.quote(inside), check=False).stdout

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, prepare=None):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        started = time.monotonic()
        r = run(["cp", "-a", self.source, self.root])
        if r.returncode != 0:
            raise BoxError("copying the root: " + r.stderr)
        os.unlink(os.path.join(self.root, ".complete"))
        if prepare:
            prepare(self)
        self.console = open(os.path.join(self.dir, "console.log"), "w")
        self.nspawn = subprocess.Popen(
            ["systemd-nspawn", "-q", "-b", "--private-network", "--register=no",
             "--keep-unit", "--resolv-conf=off", "--timezone=off", "--link-journal=no",
             "--machine=" + self.name, "--console=passive", "-D", self.root],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.pid is None:
            if self.nspawn.poll() is not None:
                raise BoxError("systemd-nspawn ended (%d): %s" % (
                    self.nspawn.returncode, open(self.console.name).read()[-2000:]))
            self.pid = self._systemd_pid()
            time.sleep(0.1)
        state = ""
        while time.monotonic() < deadline:
            state = self.sh("systemctl is-system-running", check=False).stdout.strip()
            if state in ("running", "degraded"):
                break
            time.sleep(0.2)
        else:
            raise BoxError("box %s did not finish booting (%s)" % (self.name, state))
        self.log("box %s: booted in %.1f s (%s)" % (self.name, time.monotonic() - started, state))

    def _systemd_pid(self):
        r = run(["ps", "-o", "pid=,comm=", "--ppid", str(self.nspawn.pid)])
        for line in r.stdout.splitlines():
            pid, _, comm = line.strip().partition(" ")
            if comm.strip() == "systemd":
                return int(pid)
        return None

    def sh(self, command, check=True, timeout=120, input=None):
        """Runs a shell command inside the box; returns CompletedProcess."""
        cmd = ["nsenter", "--target", str(self.pid), "--mount", "--uts", "--ipc", "--net",
               "--pid", "--cgroup", "--", "env", "-i", "PATH=" + PATH, "HOME=/root",
               "LANG=C.UTF-8", "DEBIAN_FRONTEND=noninteractive", "sh", "-c", command]
        r = run(cmd, timeout=timeout, input=input)
        if check and r.returncode != 0:
            raise BoxError("in box %s: %s\nexit status %d\n%s%s" % (
                self.name, command, r.returncode, r.stdout, r.stderr))
        return r

    def stop(self):
        if self.nspawn is None:
            return
        if self.nspawn.poll() is None and self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGRTMIN + 4)  # systemd: power off
            except OSError:
                pass
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.nspawn.terminate()
                try:
                    self.nspawn.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.nspawn.kill()
                    self.nspawn.wait()
        self.console.close()
        self.nspawn = None
        if os.environ.get("HERONSEND_BOX_KEEP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)
