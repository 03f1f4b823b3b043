"""Real parts for heronsend's end-to-end tests and demo.

Everything runs on loopback addresses and in a private temporary folder:

  TestDns      dnsmasq serving tests/e2e/test_zone.conf on 127.0.x.53:53;
               nothing is forwarded off the machine. With
               HERONSEND_E2E_RESOLVER=unbound, Debian's Unbound stands
               between: resolv.conf names Unbound, which resolves the test
               zone from dnsmasq as a mail server's local resolver would.
  ProgrammableDns
               tests/dns/testdns.py on a free random 127.x.y.53:53 with a
               zone given as a dict, reloadable while it runs, with a query
               log (faults, fresh-name suffixes, delays) and the resolver
               waits of its resolv.conf.
  Heronsend    the real daemon binary, run with -X under `unshare --mount`
               with /etc/resolv.conf bind-mounted to a file naming TestDns,
               so its resolver (libspf2's) only ever sees the test zone.
  Sink         Postfix's smtp-sink, dumping every delivered message to a
               file; messages are read back by Message-ID.
  Postfix      a private Postfix instance (own config, queue and data
               folders, never the machine's default instance) with one
               smtpd listener per heronsend instance, XCLIENT allowed from
               loopback and Cyrus SASL (sasldb) for SMTP AUTH.
  SmtpSession  an SMTP client that presents any client address and HELO
               name through XCLIENT.
  run_milter_client
               runs the project's milter-protocol client (tests/milter_client)
               on a script and returns its parsed answers.

Every process started is registered with a Cleanup stack and stopped by its
PID, in reverse order, even when a test fails. Children that run in the
foreground also get a parent-death signal, so they stop if the harness
itself is killed.

Needs root (bind-mounts, port 53, Postfix); check with require_root().
"""

import contextlib
import ctypes
import email.utils
import grp
import json
import os
import pwd
import random
import re
import shutil
import signal
import smtplib
import socket
import struct
import subprocess
import sys
import tempfile
import time
import uuid

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ZONE_FILE = os.path.join(REPO, "tests", "e2e", "test_zone.conf")

RECEIVER = "mx.test.example"  # Postfix's myhostname, the "{j}" macro
POSTFIX_USER = "postfix"
SASL_USER = "alice"
SASL_PASSWORD = "e2e-secret"


class Skip(Exception):
    """The environment cannot run these tests (reason in the message)."""


class HarnessError(Exception):
    """A part of the test set-up failed; the message says which and why."""


def require_root():
    if os.geteuid() != 0:
        raise Skip("end-to-end tests need root (bind-mounting /etc/resolv.conf, "
                   "DNS on port 53, a private Postfix); not root, skipping")
    tools = ("dnsmasq", "postfix", "smtp-sink", "unshare", "setpriv", "saslpasswd2")
    if os.environ.get("HERONSEND_E2E_RESOLVER") == "unbound":
        tools += ("unbound",)
    missing = [tool for tool in tools
               if shutil.which(tool, path=os.environ.get("PATH", "") +
                               ":/usr/sbin:/sbin") is None]
    if missing:
        raise HarnessError("missing tools: %s (run scripts/install-deps test)"
                           % " ".join(missing))


def binary(env_name, *candidates):
    """The path in $env_name, or the first candidate under the repo that exists."""
    path = os.environ.get(env_name)
    if path:
        return path
    for candidate in candidates:
        full = os.path.join(REPO, candidate)
        if os.path.exists(full):
            return full
    raise HarnessError("%s not set and none of %s built" % (env_name, ", ".join(candidates)))


# --- processes ----------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # Runs in the child between fork and exec.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def popen(cmd, log_path, **kwargs):
    """Starts cmd with stdout and stderr appended to log_path."""
    with open(log_path, "ab") as log:
        return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                preexec_fn=_die_with_parent, **kwargs)


def pid_gone(pid):
    """True once pid has exited. A dead process nobody reaps stays a zombie
    (state Z), which counts as gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return True
    state = stat[stat.rfind(")") + 2:].split(" ", 1)[0]
    return state in ("Z", "X")


def wait_until(cond, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        if cond():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def stop_child(proc, timeout=20.0):
    """SIGTERM, wait, SIGKILL if needed. Returns the exit status (negative
    for a signal), or None if it was still running and had to be killed."""
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)
        return None


class Cleanup:
    """A stack of clean-up steps run in reverse order; a failing step does
    not stop the others. Errors are collected in `errors`."""

    def __init__(self):
        self._steps = []
        self.errors = []

    def push(self, what, fn):
        self._steps.append((what, fn))

    def run(self):
        while self._steps:
            what, fn = self._steps.pop()
            try:
                fn()
            except Exception as e:  # keep cleaning up
                self.errors.append("%s: %s" % (what, e))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def can_connect(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def tail(path, lines=30):
    return "\n".join(read_text(path).splitlines()[-lines:])


class Workspace:
    """A temporary folder traversable by the postfix user. Kept after the run
    when HERONSEND_E2E_KEEP is set (its path is printed)."""

    def __init__(self, prefix="heronsend-e2e."):
        self.path = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.path, 0o755)

    def dir(self, name, owner=None):
        path = os.path.join(self.path, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, 0o755)
        if owner:
            pw = pwd.getpwnam(owner)
            os.chown(path, pw.pw_uid, pw.pw_gid)
        return path

    def file(self, name):
        return os.path.join(self.path, name)

    def remove(self):
        if os.environ.get("HERONSEND_E2E_KEEP"):
            print("e2e: keeping %s" % self.path)
            return
        shutil.rmtree(self.path, ignore_errors=True)


# --- DNS -------------------------------------------------------------------

def dns_query(server, name, qtype=16, timeout=0.3):
    """One UDP query; returns (rcode, answer count) or None without a reply."""
    qid = os.getpid() & 0xFFFF
    packet = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    for label in name.rstrip(".").split("."):
        packet += bytes([len(label)]) + label.encode()
    packet += b"\0" + struct.pack(">HH", qtype, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        try:
            s.sendto(packet, (server, 53))
            reply, _ = s.recvfrom(4096)
        except OSError:
            return None
    if len(reply) < 12 or struct.unpack(">H", reply[:2])[0] != qid:
        return None
    flags, _, ancount = struct.unpack(">HHH", reply[2:8])
    return flags & 0xF, ancount


def free_dns_address():
    """A random 127.x.y.53 whose port 53 is free for both UDP and TCP (other
    test runs on the machine may hold some), or None after 100 tries."""
    rng = random.Random()
    for _ in range(100):
        address = "127.%d.%d.53" % (rng.randint(1, 254), rng.randint(1, 254))
        free = True
        for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
            with socket.socket(socket.AF_INET, kind) as s:
                try:
                    s.bind((address, 53))
                except OSError:
                    free = False
        if free:
            return address
    return None


class TestDns:
    """dnsmasq on a free 127.x.y.53, port 53, answering from the test zone only."""

    def __init__(self, ws, extra_records=()):
        self.ws = ws
        self.dir = ws.dir("dns")
        # More records in dnsmasq.conf syntax (made by a test at run time,
        # such as a DKIM key).
        self.extra_records = list(extra_records)
        self.address = None
        self.resolv_conf = os.path.join(self.dir, "resolv.conf")
        self.log = os.path.join(self.dir, "dnsmasq.log")
        self.proc = None
        self.unbound = None
        self.resolver = None  # Unbound's address when it stands between

    def start(self, cleanup):
        self.address = free_dns_address()
        if self.address is None:
            raise HarnessError("no free loopback address for the test DNS")
        self.start_dnsmasq(cleanup)
        nameserver = self.address
        if os.environ.get("HERONSEND_E2E_RESOLVER") == "unbound":
            nameserver = self.start_unbound(cleanup)
        with open(self.resolv_conf, "w") as f:
            # One try of two seconds per server: failing lookups stay quick.
            f.write("nameserver %s\noptions timeout:2 attempts:1\n" % nameserver)

    def start_unbound(self, cleanup):
        """Unbound on a free 127.x.y.53 with Debian's defaults (validation
        on, the root trust anchor) and what a private zone on loopback
        needs; returns its address."""
        address = free_dns_address()
        if address is None:
            raise HarnessError("no free loopback address for Unbound")
        conf = os.path.join(self.dir, "unbound.conf")
        with open(conf, "w") as f:
            f.write("""server:
  interface: %(address)s
  port: 53
  do-ip6: no
  username: ""
  chroot: ""
  directory: "%(dir)s"
  pidfile: "%(dir)s/unbound.pid"
  logfile: "%(dir)s/unbound.log"
  use-syslog: no
  trust-anchor-file: "/usr/share/dns/root.key"
  access-control: 127.0.0.0/8 allow
  do-not-query-localhost: no
  domain-insecure: "test."
  # Nothing leaves the machine: queries go out from loopback only, and every
  # name outside the test zone does not exist (as with dnsmasq alone), where
  # a connected resolver would ask the root.
  outgoing-interface: 127.0.0.1
  local-zone: "." static
  local-zone: "test." transparent
stub-zone:
  name: "test."
  stub-addr: %(dns)s
remote-control:
  control-enable: no
""" % {"address": address, "dir": self.dir, "dns": self.address})
        self.unbound = popen(["unbound", "-d", "-c", conf],
                             os.path.join(self.dir, "unbound.out"))
        cleanup.push("unbound", lambda: stop_child(self.unbound))
        ready = wait_until(lambda: self.unbound.poll() is not None or
                           dns_query(address, "pass.test") == (0, 1), 10)
        if not ready or self.unbound.poll() is not None:
            raise HarnessError("unbound did not come up on %s:53:\n%s\n%s" % (
                address, read_text(os.path.join(self.dir, "unbound.out")),
                tail(os.path.join(self.dir, "unbound.log"))))
        self.resolver = address
        return address

    def start_dnsmasq(self, cleanup):
        cmd = ["dnsmasq", "--keep-in-foreground",
               "--conf-file=" + ZONE_FILE,  # also stops it reading /etc/dnsmasq.conf
               "--no-resolv", "--no-poll", "--no-hosts",
               "--listen-address=" + self.address, "--bind-interfaces", "--port=53",
               "--user=nobody", "--group=nogroup",
               "--pid-file=" + os.path.join(self.dir, "dnsmasq.pid"),
               "--log-queries", "--log-facility=" + self.log]
        if self.extra_records:
            extra = os.path.join(self.dir, "extra.conf")
            with open(extra, "w") as f:
                f.write("\n".join(self.extra_records) + "\n")
            cmd.append("--conf-file=" + extra)
        self.proc = popen(cmd, os.path.join(self.dir, "dnsmasq.out"))
        cleanup.push("dnsmasq", self.stop)
        ready = wait_until(lambda: self.proc.poll() is not None or
                           dns_query(self.address, "pass.test") == (0, 1), 10)
        if not ready or self.proc.poll() is not None:
            raise HarnessError("dnsmasq did not come up on %s:53:\n%s\n%s" % (
                self.address, read_text(os.path.join(self.dir, "dnsmasq.out")),
                tail(self.log)))

    def stop(self):
        if self.proc is not None:
            stop_child(self.proc)


class ProgrammableDns:
    """tests/dns/testdns.py on a free random 127.x.y.53, port 53. zone is a
    dict in testdns's JSON zone format; extra_args go to testdns (e.g.
    ["--fresh", "SUFFIX=TXT", "--ttl", "3600"]). resolv_conf names it."""

    TESTDNS = os.path.join(REPO, "tests", "dns", "testdns.py")

    def __init__(self, ws, zone, extra_args=(), name="testdns", query_log=True,
                 resolver_options="timeout:2 attempts:1"):
        self.dir = ws.dir(name)
        self.zone_file = os.path.join(self.dir, "zone.json")
        self.query_log = os.path.join(self.dir, "queries.log") if query_log else None
        self.resolv_conf = os.path.join(self.dir, "resolv.conf")
        self.out = os.path.join(self.dir, "testdns.out")
        self.zone = zone
        self.extra_args = list(extra_args)
        # The resolver's waits in resolv.conf; None: glibc's defaults (5 s,
        # 2 tries).
        self.resolver_options = resolver_options
        self.address = None
        self.proc = None

    def _write_zone(self):
        with open(self.zone_file + ".new", "w") as f:
            json.dump(self.zone, f)
        os.replace(self.zone_file + ".new", self.zone_file)

    def start(self, cleanup):
        self.address = free_dns_address()
        if self.address is None:
            raise HarnessError("no free loopback address for testdns")
        self._write_zone()
        ready = os.path.join(self.dir, "ready")
        cmd = [sys.executable, self.TESTDNS, "--address", self.address, "--port", "53",
               "--zone", self.zone_file, "--ready-file", ready,
               *(["--query-log", self.query_log] if self.query_log else []),
               *self.extra_args]
        self.proc = popen(cmd, self.out)
        cleanup.push("testdns", self.stop)
        if not wait_until(lambda: self.proc.poll() is not None or os.path.exists(ready), 10) \
                or self.proc.poll() is not None:
            raise HarnessError("testdns did not start:\n" + tail(self.out))
        with open(self.resolv_conf, "w") as f:
            f.write("nameserver %s\n" % self.address)
            if self.resolver_options:
                f.write("options %s\n" % self.resolver_options)

    def reload(self, zone):
        """Serves zone from now on (SIGHUP; waits until testdns has read it)."""
        self.zone = zone
        self._write_zone()
        before = read_text(self.out).count("reloaded")
        self.proc.send_signal(signal.SIGHUP)
        if not wait_until(lambda: read_text(self.out).count("reloaded") > before, 5):
            raise HarnessError("testdns did not reload its zone:\n" + tail(self.out))

    def queries(self, name, qtypes=("TXT", "SPF")):
        """How many queries for name, of those types, testdns has received."""
        return sum(1 for line in read_text(self.query_log).splitlines()
                   if line.split()[:1] == [name.lower()] and line.split()[1] in qtypes)

    def stop(self):
        if self.proc is not None:
            stop_child(self.proc)


# --- heronsend -------------------------------------------------------------

def with_resolv_conf(resolv_conf, cmd):
    """cmd run under `unshare --mount` with resolv_conf bind-mounted on
    /etc/resolv.conf, so that its resolver sees only the test DNS. unshare
    execs the shell, which execs cmd: the process started is cmd's."""
    return ["unshare", "--mount", "--propagation", "private", "--",
            "/bin/sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
            resolv_conf, *cmd]


class Heronsend:
    """One heronsend process in the foreground (-X), resolving through TestDns."""

    def __init__(self, ws, dns, name, args, socket_spec):
        self.ws, self.dns, self.name = ws, dns, name
        self.args = list(args)
        self.socket_spec = socket_spec
        self.log = os.path.join(ws.dir("heronsend"), name + ".log")
        self.proc = None
        self.version_text = None
        self.exit_status = None

    def start(self, cleanup, binary_path):
        cmd = with_resolv_conf(self.dns.resolv_conf,
                               [binary_path, "-X", *self.args, self.socket_spec])
        self.proc = popen(cmd, self.log)
        cleanup.push("heronsend " + self.name, self.stop)
        started = wait_until(lambda: self.proc.poll() is not None or
                             " starting" in read_text(self.log), 15)
        if not started or self.proc.poll() is not None:
            raise HarnessError("heronsend %s did not start (%s):\n%s" % (
                self.name, " ".join(cmd), tail(self.log)))
        m = re.search(r"heronsend 2\.2 with (\S+) starting", read_text(self.log))
        if not m:
            raise HarnessError("heronsend %s: no start line:\n%s" % (self.name, tail(self.log)))
        self.version_text = m.group(1)

    def signal_stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)

    def stop(self):
        """Stops the daemon (SIGTERM; libmilter takes a few seconds) and
        records its exit status (None when it had to be killed)."""
        if self.proc is None:
            return
        if self.exit_status is None and self.proc.returncode is None:
            self.exit_status = stop_child(self.proc, timeout=20)
        elif self.exit_status is None:
            self.exit_status = self.proc.returncode

    def log_text(self):
        return read_text(self.log)


# --- smtp-sink and delivered messages -------------------------------------

class Message:
    """A delivered message as smtp-sink dumped it."""

    def __init__(self, path, raw):
        self.path = path
        self.raw = raw
        head, _, self.body = raw.replace("\r\n", "\n").partition("\n\n")
        fields = []
        for line in head.split("\n"):
            if line[:1] in (" ", "\t") and fields:
                fields[-1][1] += "\n" + line
            elif ":" in line:
                name, _, value = line.partition(":")
                fields.append([name, value])
        # smtp-sink puts its own lines first: X-Client-Addr, X-Mail-Args,
        # X-Rcpt-Args, and a Received: header ending "(smtp-sink)" (or
        # naming smtp-sink); the message as Postfix relayed it follows.
        cut = 0
        for i, (name, value) in enumerate(fields):
            if name.lower() == "received" and "smtp-sink" in value:
                cut = i + 1
                break
        self.sink_fields = [(n, v.strip()) for n, v in fields[:cut]]
        # Header values with the one space after the colon removed and
        # folding kept as it is.
        self.headers = [(n, v[1:] if v.startswith(" ") else v) for n, v in fields[cut:]]

    def values(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def recipients(self):
        return [v for n, v in self.sink_fields if n == "X-Rcpt-Args"]

    def message_id(self):
        ids = self.values("Message-ID")
        return ids[0].strip() if ids else None


class Sink:
    """smtp-sink on a free loopback port, run as the postfix user, dumping
    each delivered message into one file of its folder."""

    def __init__(self, ws):
        self.dir = ws.dir("sink", owner=POSTFIX_USER)
        self.log = os.path.join(ws.path, "smtp-sink.log")
        self.port = None
        self.proc = None
        self._seen = {}

    def start(self, cleanup):
        self.port = free_port()
        cmd = ["setpriv", "--reuid=" + POSTFIX_USER, "--regid=" + POSTFIX_USER,
               "--init-groups", "--pdeathsig=TERM", "--",
               "smtp-sink", "-d", os.path.join(self.dir, "msg."),
               "127.0.0.1:%d" % self.port, "64"]
        self.proc = popen(cmd, self.log)
        cleanup.push("smtp-sink", lambda: stop_child(self.proc))
        if not wait_until(lambda: self.proc.poll() is not None or can_connect(self.port), 10) \
                or self.proc.poll() is not None:
            raise HarnessError("smtp-sink did not start:\n" + tail(self.log))

    def _scan(self):
        for entry in os.listdir(self.dir):
            path = os.path.join(self.dir, entry)
            if path in self._seen:
                continue
            raw = read_text(path)
            # Written in one go when the transaction ends; a half-written
            # file has no Message-ID yet or no blank line, so look again later.
            msg = Message(path, raw)
            if msg.message_id() and "\n\n" in raw.replace("\r\n", "\n"):
                self._seen[path] = msg

    def find(self, message_id, timeout=15.0):
        """The delivered message with that Message-ID, waiting for it; None
        if it does not arrive in time."""
        found = []

        def look():
            self._scan()
            found[:] = [m for m in self._seen.values() if m.message_id() == message_id]
            return bool(found)

        wait_until(look, timeout, interval=0.05)
        return found[0] if found else None

    def all_with_id(self, message_id):
        self._scan()
        return [m for m in self._seen.values() if m.message_id() == message_id]


# --- Postfix ---------------------------------------------------------------

MASTER_CF_SERVICES = """\
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


class Postfix:
    """A private Postfix instance. listeners maps a name to the milter
    specification (Postfix syntax: unix:/path or inet:host:port) that name's
    smtpd listener uses; port(name) gives its SMTP port."""

    def __init__(self, ws, sink, listeners, myhostname=RECEIVER):
        self.ws = ws
        self.sink = sink
        self.listeners = dict(listeners)
        self.myhostname = myhostname
        self.config_dir = ws.dir("postfix/etc")
        self.queue_dir = ws.dir("postfix/queue")
        # "postfix check" creates the data folder owned by the postfix user.
        self.data_dir = os.path.join(ws.path, "postfix", "data")
        self.log_dir = ws.dir("postfix/log")
        self.maillog = os.path.join(self.log_dir, "maillog")
        self.ports = {}
        self.master_pid = None

    def _postfix(self, *args, timeout=60):
        r = subprocess.run(["postfix", "-c", self.config_dir, *args], capture_output=True,
                           text=True, timeout=timeout, stdin=subprocess.DEVNULL)
        if r.returncode != 0:
            raise HarnessError("postfix %s failed (%d):\n%s%s\n%s" % (
                " ".join(args), r.returncode, r.stdout, r.stderr, tail(self.maillog)))
        return r

    def _write_config(self):
        for name in self.listeners:
            self.ports[name] = free_port()
        sasl_dir = os.path.join(self.config_dir, "sasl")
        os.makedirs(sasl_dir, exist_ok=True)
        sasldb = os.path.join(self.ws.dir("postfix/sasl"), "sasldb2")
        main_cf = {
            "compatibility_level": "3.6",
            "queue_directory": self.queue_dir,
            "data_directory": self.data_dir,
            "maillog_file": self.maillog,
            "maillog_file_prefixes": self.log_dir,
            "myhostname": self.myhostname,
            "mydomain": "test.example",
            "myorigin": "$myhostname",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "all",
            "mydestination": "",
            "local_recipient_maps": "",
            "alias_maps": "",
            "alias_database": "",
            "mynetworks": "127.0.0.0/8",
            "relay_domains": "static:ALL",
            "transport_maps": "static:smtp:[127.0.0.1]:%d" % self.sink.port,
            "smtpd_authorized_xclient_hosts": "127.0.0.0/8",
            "smtpd_milters": "",
            "non_smtpd_milters": "",
            "milter_default_action": "accept",
            "milter_protocol": "6",
            # Never look anything up in the machine's DNS.
            "smtp_dns_support_level": "disabled",
            "smtpd_peername_lookup": "no",
            "smtpd_sasl_auth_enable": "yes",
            "smtpd_sasl_type": "cyrus",
            "smtpd_sasl_path": "smtpd",
            "smtpd_sasl_local_domain": self.myhostname,
            "smtpd_tls_security_level": "none",
            "smtpd_tls_auth_only": "no",
            "smtp_tls_security_level": "none",
            "smtpd_error_sleep_time": "0",
            "smtpd_client_connection_rate_limit": "0",
            "in_flow_delay": "0",
            "biff": "no",
            "readme_directory": "no",
            "smtputf8_enable": "no",
        }
        with open(os.path.join(self.config_dir, "main.cf"), "w") as f:
            for key, value in main_cf.items():
                f.write("%s = %s\n" % (key, value))
        with open(os.path.join(self.config_dir, "master.cf"), "w") as f:
            for name, milter in self.listeners.items():
                f.write("127.0.0.1:%d inet n - n - - smtpd\n" % self.ports[name])
                f.write("  -o syslog_name=postfix/%s\n  -o smtpd_milters=%s\n" % (name, milter))
            f.write(MASTER_CF_SERVICES)
        # This Debian build reads $config_directory/sasl/smtpd.conf.
        with open(os.path.join(sasl_dir, "smtpd.conf"), "w") as f:
            f.write("pwcheck_method: auxprop\nauxprop_plugin: sasldb\n"
                    "mech_list: PLAIN LOGIN\nsasldb_path: %s\n" % sasldb)
        subprocess.run(["saslpasswd2", "-f", sasldb, "-c", "-p", "-u", self.myhostname,
                        SASL_USER], input=SASL_PASSWORD, text=True, check=True,
                       capture_output=True, timeout=30)
        os.chown(sasldb, 0, grp.getgrnam(POSTFIX_USER).gr_gid)
        os.chmod(sasldb, 0o640)

    def start(self, cleanup):
        self._write_config()
        self._postfix("check")  # creates the queue folders with their owners
        # Just checked: let "postfix start" skip its own (slow) checks.
        open(os.path.join(self.queue_dir, "quick-start"), "w").close()
        cleanup.push("postfix", self.stop)
        self._postfix("start")
        pid_file = os.path.join(self.queue_dir, "pid", "master.pid")
        if not wait_until(lambda: read_text(pid_file).strip().isdigit(), 10):
            raise HarnessError("postfix master wrote no PID:\n" + tail(self.maillog))
        self.master_pid = int(read_text(pid_file).strip())
        for name, port in self.ports.items():
            if not wait_until(lambda: can_connect(port), 10):
                raise HarnessError("postfix listener %s (port %d) not up:\n%s"
                                   % (name, port, tail(self.maillog)))

    def stop(self):
        if self.master_pid is None:
            return
        pid, self.master_pid = self.master_pid, None
        if pid_gone(pid):
            return
        try:
            self._postfix("stop", timeout=30)
        except (HarnessError, subprocess.TimeoutExpired):
            pass
        # "postfix stop" returns before the master has exited.
        if not wait_until(lambda: pid_gone(pid), 15, interval=0.05):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
            wait_until(lambda: pid_gone(pid), 5)
            raise HarnessError("postfix master %d did not stop; killed" % pid)

    def port(self, name):
        return self.ports[name]

    def queue_empty(self):
        for sub in ("maildrop", "incoming", "active", "deferred", "hold"):
            for _, _, files in os.walk(os.path.join(self.queue_dir, sub)):
                if files:
                    return False
        return True

    def wait_queue_empty(self, timeout=20.0):
        return wait_until(self.queue_empty, timeout, interval=0.05)

    def log_text(self):
        return read_text(self.maillog)


# --- SMTP client ----------------------------------------------------------

def make_message(subject="e2e test", sender="someone@example.org",
                 to="user@example.net", extra_headers=(), body="Hello.\n"):
    """An RFC 5322 message with a fresh Message-ID. Returns (message_id, text)."""
    message_id = "<%s@e2e.test>" % uuid.uuid4().hex
    lines = list(extra_headers) + [
        "From: <%s>" % sender,
        "To: <%s>" % to,
        "Subject: %s" % subject,
        "Date: %s" % email.utils.formatdate(localtime=False),
        "Message-ID: %s" % message_id,
        "",
    ]
    return message_id, "\r\n".join(lines) + "\r\n" + body.replace("\n", "\r\n")


class SmtpSession:
    """One SMTP connection to a Postfix listener. client: the address that
    Postfix (and so the filter) sees, through XCLIENT ("192.0.2.10" or an
    IPv6 address); helo: the EHLO name sent after XCLIENT, or None for no
    HELO at all (the filter then gets no HELO callback)."""

    def __init__(self, port, client, helo, client_name=None):
        self.client, self.helo = client, helo
        self.smtp = smtplib.SMTP("127.0.0.1", port, local_hostname="localhost", timeout=60)
        self.smtp.ehlo("localhost")
        addr = "IPV6:" + client if ":" in client else client
        name = client_name or "client.e2e.test"
        code, reply = self.smtp.docmd("XCLIENT", "ADDR=%s NAME=%s" % (addr, name))
        if code != 220:
            raise HarnessError("XCLIENT refused: %d %s" % (code, reply.decode()))
        if helo is not None:
            self.smtp.ehlo(helo)

    def login(self, user=SASL_USER, password=SASL_PASSWORD):
        self.smtp.user, self.smtp.password = user, password
        code, reply = self.smtp.auth("PLAIN", self.smtp.auth_plain, initial_response_ok=True)
        return code, reply.decode()

    def mail(self, sender):
        code, reply = self.smtp.mail(sender)
        return code, reply.decode()

    def rcpt(self, recipient):
        code, reply = self.smtp.rcpt(recipient)
        return code, reply.decode()

    def data(self, text):
        code, reply = self.smtp.docmd("DATA")
        if code != 354:
            return code, reply.decode()
        # smtplib's data() would send DATA again; send the dot-stuffed body here.
        stuffed = re.sub(r"(?m)^\.", "..", text)
        if not stuffed.endswith("\r\n"):
            stuffed += "\r\n"
        self.smtp.send(stuffed.encode() + b".\r\n")
        code, reply = self.smtp.getreply()
        return code, reply.decode()

    def send(self, sender, recipients, text):
        """MAIL, RCPT for each recipient, DATA. Returns a dict of replies:
        mail (code, text), rcpt [(code, text)...], data (code, text) or None
        when DATA was not reached."""
        result = {"mail": self.mail(sender), "rcpt": [], "data": None}
        if result["mail"][0] != 250:
            return result
        for r in recipients:
            result["rcpt"].append(self.rcpt(r))
        if any(code == 250 for code, _ in result["rcpt"]):
            result["data"] = self.data(text)
        return result

    def rset(self):
        return self.smtp.rset()

    def close(self):
        with contextlib.suppress(Exception):
            self.smtp.quit()
        with contextlib.suppress(Exception):
            self.smtp.close()


# --- milter-protocol client ----------------------------------------------

def run_milter_client(client_binary, socket_spec, script, timeout=60):
    """Runs tests/milter_client's command-line tool on a script (a list of
    lines) and returns (exit status, list of answer dicts, stderr)."""
    r = subprocess.run([client_binary, socket_spec], input="\n".join(script) + "\n",
                       capture_output=True, text=True, timeout=timeout)
    answers = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
    return r.returncode, answers, r.stderr
