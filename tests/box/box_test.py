#!/usr/bin/python3
"""heronsend under a real systemd, behind a real Postfix and Sendmail, set up
the way docs/admin.md tells an administrator to.

Two Debian 12 boxes (box.py: systemd-nspawn, no network, an offline apt
repository), each with the package built from this tree installed by
apt-get, a test DNS (dnsmasq: tests/e2e/test_zone.conf and box_zone.conf)
and a second loopback address, 198.51.100.20, as the SMTP client (the SPF
library lets 127.0.0.1 pass unchecked; Debian's Sendmail refuses
192.0.2.0/24). Mail goes to the local user alice; its headers are read
from /var/mail/alice.

- Upgrades (the first box starts with the previous release,
  tests/package/previous_release.py): this tree's package installed over
  it behind Postfix while two senders keep sending (every message counted:
  delivered with the header, refused, deferred, unchecked, lost; one
  restart; the administrator's edit kept and in force); at the end, an
  upgrade while stopped to a package that adds a default option (the
  edit kept, no conffile question), an upgrade while masked, dpkg --purge
  after upgrades, a reinstallation after purge and a removal while failed.
- systemd: enabled and active after the installation; user, capabilities,
  system-call filter, PID file, the journal's start and stop lines;
  restart, stop (exit status, time); a crash restarted; a failing start
  reported by `systemctl restart` and ending in failed; systemd's reading
  of /etc/default/heronsend (against tests/docs/doc_examples.py's
  emulation); systemd-analyze verify and security.
- Postfix, with the guide's main.cf lines: forbidden, permitted, softfail,
  null sender, local submission, SMTP AUTH, mark-only and an explanation
  with blanks (the guide's /etc/default/heronsend lines), the filter down,
  the unix socket in the queue directory, the unix socket in
  /run/heronsend with smtpd and cleanup unchrooted, and a verified TLS client
  certificate (which Postfix cannot report: still refused).
- Sendmail, with the guide's sendmail.mc lines: the same, F=T with the
  filter down, the unix socket in /run/heronsend, and the TLS client
  certificate exemption (verified: exempt; not verified: refused).

The guide's settings are taken out of docs/admin.md (its marked examples,
tests/docs/doc_examples.py), so the guide cannot drift from what is
tested. Prints one line per check with what it saw.

Needs root, systemd-nspawn and mmdebstrap (scripts/install-deps test);
exit 77 (skipped) without root. HERONSEND_BUILD_DIR: the build tree
(default build/gcc); the root file system is cached in its box/ folder.
"""

import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "docs"))
sys.path.insert(0, os.path.join(REPO, "tests", "package"))
import box as boxes  # noqa: E402
import doc_examples as docs  # noqa: E402
import previous_release  # noqa: E402

CLIENT = "198.51.100.20"
HELO = "client.box.test"
RECEIVER = "mx.box.test"
RCPT = "alice@" + RECEIVER
START_LINE = "heronsend 2.2 with libspf2-1.2.10 starting"
STOP_LINE = "heronsend 2.2 with libspf2-1.2.10 terminating"
DEFAULTS = "/etc/default/heronsend"
SECURITY_LIMIT = 2.6
# The administrator's edit kept through the upgrades, and the default
# option the "next" package turns on (-A: an Authentication-Results header
# too; harmless next to the Received-SPF header).
ADMIN_OPTIONS = "HERONSEND_OPTIONS=\"-e 'see our policy page'\""
NEXT_DEFAULT = "-A"


def unit_default_options():
    """The options this tree's unit turns on by default (its
    HERONSEND_DEFAULT_OPTIONS); they come before the administrator's."""
    with open(os.path.join(REPO, "packaging", "heronsend.service")) as f:
        m = re.search(r"^Environment=HERONSEND_DEFAULT_OPTIONS=(.*)$", f.read(), re.M)
    return m.group(1).split() if m else []


# What an installation leaves besides the package's own files.
LEFT_BY_SCRIPTS = ["/var/lib/heronsend", "/etc/systemd/system/multi-user.target.wants/heronsend.service",
                   "/var/lib/systemd/deb-systemd-helper-enabled/heronsend.service.dsh-also",
                   "/var/lib/systemd/deb-systemd-helper-masked/heronsend.service",
                   "/etc/systemd/system/heronsend.service"]
failures = []


def say(text):
    print("box: " + text, flush=True)


def check(cond, name, saw):
    say("%-4s %s: %s" % ("ok" if cond else "FAIL", name, saw))
    if not cond:
        failures.append("%s: %s" % (name, saw))
    return cond


def guide(kind, contains=None):
    """The text of the one example of docs/admin.md of this kind (holding
    the given text)."""
    found = [e for e in docs.all_examples() if e.source == "docs/admin.md"
             and kind in e.kinds and (contains is None or contains in e.text)]
    if len(found) != 1:
        raise boxes.BoxError("docs/admin.md: %d %s examples with %r" % (len(found), kind, contains))
    return found[0]


# --- in a box -----------------------------------------------------------------

class Mail:
    """The box's journal, its test DNS, SMTP through swaks and alice's mailbox."""

    def __init__(self, box):
        self.box = box
        self.count = 0

    def set_up(self):
        self.box.sh("systemd-run -q --unit=testdns dnsmasq -k "
                    "--conf-file=/srv/boxtest/test_zone.conf --conf-file=/srv/boxtest/box_zone.conf "
                    "--no-resolv --no-poll --no-hosts --listen-address=127.0.0.1 "
                    "--bind-interfaces --port=53 --user=nobody --group=nogroup && "
                    "ip addr add %s/32 dev lo && useradd alice" % CLIENT)

    def cursor(self):
        out = self.box.sh("journalctl -n 0 --show-cursor --no-pager").stdout
        m = re.search(r"-- cursor: (\S+)", out)
        return m.group(1) if m else None

    def journal(self, cursor, unit=None):
        cmd = "journalctl -o cat --no-pager"
        if unit:
            cmd += " -u " + unit
        if cursor:
            cmd += " --after-cursor=" + shlex.quote(cursor)
        return self.box.sh(cmd).stdout

    def wait_journal(self, cursor, pattern, timeout=10):
        """The first journal line after cursor matching the regular
        expression, once it is there; "" if none comes."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.search(pattern, self.journal(cursor), re.M)
            if m:
                return m.group(0)
            time.sleep(0.2)
        return ""

    def send(self, sender, extra="", port=25, client=CLIENT):
        """One message over SMTP. Returns (subject, reply): reply is
        "accepted" or the first refusal line of the server."""
        self.count += 1
        subject = "box-%d" % self.count
        cmd = ("swaks -n --server 127.0.0.1 --port %d --helo %s --from %s --to %s "
               "--header 'Subject: %s' %s" % (port, HELO, shlex.quote(sender), RCPT, subject, extra))
        if client:
            cmd += " --local-interface " + client
        out = self.box.sh(cmd + " 2>&1", check=False, timeout=60).stdout
        # swaks marks the server's lines "<-" ("<~" under TLS), refusals "<**" ("<~*").
        refused = [l[4:].strip() for l in out.splitlines() if l.startswith(("<** ", "<~* "))]
        if refused:
            return subject, refused[0]
        accepted = re.search(r"^<[-~]  250 .*(queued as|accepted for delivery)", out, re.M)
        return subject, "accepted" if accepted else "no answer: " + out[-300:]

    def header(self, subject, timeout=15):
        """The Received-SPF header of the message with this subject in
        alice's mailbox ("none" when it has none), once it is delivered."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for message in re.split(r"\n(?=From )", self.box.read("/var/mail/alice")):
                head = message.split("\n\n", 1)[0]
                if re.search(r"^Subject: %s$" % subject, head, re.M):
                    m = re.search(r"^Received-SPF: (.*(?:\n[ \t].*)*)", head, re.M)
                    return re.sub(r"\s*\n\s*", " ", m.group(1)) if m else "none"
            time.sleep(0.2)
        return "not delivered"


def set_default(box, name, value_line):
    """Sets one NAME="value" line of /etc/default/heronsend."""
    text = box.read(DEFAULTS)
    text, n = re.subn(r"^%s=.*$" % name, lambda _: value_line, text, flags=re.M)
    if n == 0:
        text += value_line + "\n"
    box.write(DEFAULTS, text)


def main_pid(box):
    return int(box.sh("systemctl show -p MainPID --value heronsend").stdout.strip() or 0)


def connectable(box, port):
    """Whether a TCP connection to 127.0.0.1:port succeeds."""
    return box.sh("perl -MIO::Socket::INET -e 'IO::Socket::INET->new(q(127.0.0.1:%d)) or exit 1'"
                  % port, check=False).returncode == 0


def timed(box, command):
    started = time.monotonic()
    r = box.sh(command + " 2>&1", check=False, timeout=120)
    return r.returncode, time.monotonic() - started, r.stdout.strip()


def wait_state(box, states, timeout):
    started = time.monotonic()
    state = ""
    while time.monotonic() - started < timeout:
        state = box.sh("systemctl is-active heronsend", check=False).stdout.strip()
        if state in states:
            break
        time.sleep(0.2)
    return state, time.monotonic() - started


def install(box, packages):
    rc, took, out = timed(box, "cd /root && apt-get install -y -q --no-install-recommends " + packages)
    check(rc == 0, "apt-get install " + packages,
          "exit status %d in %.1f s%s" % (rc, took, "" if rc == 0 else "\n" + out[-2000:]))


# --- systemd --------------------------------------------------------------

def systemd_checks(box, mail):
    enabled = box.sh("systemctl is-enabled heronsend", check=False).stdout.strip()
    state, _ = wait_state(box, ("active",), 10)
    check(enabled == "enabled" and state == "active", "installed unit", "%s, %s" % (enabled, state))
    pid = main_pid(box)
    status = box.read("/proc/%d/status" % pid) if pid else ""
    user = box.sh("ps -o user= -p %d" % pid, check=False).stdout.strip()
    fields = dict(re.findall(r"^(\w+):\s*(.*)$", status, re.M))
    check(user == "heronsend" and fields.get("CapEff") == "0000000000000000"
          and fields.get("Seccomp") == "2" and fields.get("NoNewPrivs") == "1",
          "process", "MainPID %d user %s CapEff %s Seccomp %s NoNewPrivs %s" % (
              pid, user, fields.get("CapEff"), fields.get("Seccomp"), fields.get("NoNewPrivs")))
    pid_file = box.read("/run/heronsend/heronsend.pid").strip()
    check(pid_file == str(pid), "PID file", "/run/heronsend/heronsend.pid holds %r" % pid_file)
    lines = mail.journal(None, "heronsend")
    check(START_LINE in lines, "journal start line", START_LINE if START_LINE in lines else lines[-500:])

    cursor = mail.cursor()
    rc, took, out = timed(box, "systemctl restart heronsend")
    new_pid = main_pid(box)
    lines = mail.journal(cursor, "heronsend")
    check(rc == 0 and new_pid not in (0, pid) and STOP_LINE in lines and START_LINE in lines,
          "systemctl restart", "exit status %d in %.2f s, MainPID %d -> %d, journal: %s" % (
              rc, took, pid, new_pid, " | ".join(l for l in lines.splitlines()
                                                  if "heronsend 2.2" in l and "heronsend:" not in l)))

    cursor = mail.cursor()
    rc, took, out = timed(box, "systemctl stop heronsend")
    state = box.sh("systemctl is-active heronsend", check=False).stdout.strip()
    lines = mail.journal(cursor, "heronsend")
    gone = box.sh("test -e /run/heronsend", check=False).returncode != 0
    check(rc == 0 and state == "inactive" and STOP_LINE in lines and gone, "systemctl stop",
          "exit status %d in %.2f s, %s, terminating line %s, /run/heronsend %s" % (
              rc, took, state, "logged" if STOP_LINE in lines else "MISSING",
              "removed" if gone else "left"))
    closed = not connectable(box, 8890)
    rc, took, out = timed(box, "systemctl start heronsend")
    check(rc == 0 and closed and connectable(box, 8890), "systemctl start",
          "exit status %d in %.2f s %s; port 8890 %s while stopped" % (
              rc, took, out, "closed" if closed else "STILL OPEN"))

    # Another port set: the restart serves it, not the socket kept for the
    # old setting; and back again.
    saved = box.read(DEFAULTS)
    set_default(box, "HERONSEND_SOCKET", 'HERONSEND_SOCKET="inet:8891@127.0.0.1"')
    cursor = mail.cursor()
    box.sh("systemctl restart heronsend")
    moved = (connectable(box, 8891), connectable(box, 8890))
    box.write(DEFAULTS, saved)
    box.sh("systemctl restart heronsend")
    back = (connectable(box, 8891), connectable(box, 8890))
    discarded = len(re.findall(r"^discarding a kept socket of another socket setting",
                               mail.journal(cursor, "heronsend"), re.M))
    check(moved == (True, False) and back == (False, True) and discarded == 2,
          "HERONSEND_SOCKET changed: a restart follows it",
          "8891/8890 open: %s, then back: %s; kept socket discarded %d times" % (
              moved, back, discarded))

    pid = main_pid(box)
    restarts = box.sh("systemctl show -p NRestarts --value heronsend").stdout.strip()
    box.sh("kill -SEGV %d" % pid)
    started = time.monotonic()
    while time.monotonic() - started < 15 and main_pid(box) in (0, pid):
        time.sleep(0.1)
    state, _ = wait_state(box, ("active",), 5)
    took = time.monotonic() - started
    new_pid = main_pid(box)
    after = box.sh("systemctl show -p NRestarts --value heronsend").stdout.strip()
    check(state == "active" and new_pid != pid and after == str(int(restarts) + 1),
          "crash (kill -SEGV) restarted", "active again after %.1f s, MainPID %d -> %d, NRestarts %s -> %s"
          % (took, pid, new_pid, restarts, after))

    # A connection that closes before a mail session begins (a port probe)
    # leaves no line in the journal.
    cursor = mail.cursor()
    box.sh("perl -MIO::Socket::INET -e 'IO::Socket::INET->new(q(127.0.0.1:8890)) or exit 1'")
    logged = mail.wait_journal(cursor, r"spf_close called but cd is null$", timeout=1)
    check(not logged, "a port probe", logged or "nothing logged")

    # A start that fails: an account that does not exist (exit 71). The
    # start counter begins afresh (the starts above count against the limit).
    box.sh("systemctl reset-failed heronsend")
    saved = box.read(DEFAULTS)
    set_default(box, "HERONSEND_USER", 'HERONSEND_USER="nosuchuser"')
    cursor = mail.cursor()
    rc, took, out = timed(box, "systemctl restart heronsend")
    check(rc != 0 and "failed" in out, "failing start: systemctl restart",
          "exit status %d in %.2f s: %s" % (rc, took, out.splitlines()[0] if out else "(no output)"))
    state, took = wait_state(box, ("failed",), 60)
    restarts = box.sh("systemctl show -p NRestarts --value heronsend").stdout.strip()
    lines = mail.journal(cursor, "heronsend")
    check(state == "failed" and "Start request repeated too quickly" in lines,
          "failing start ends in failed", "%s after %.1f s, NRestarts %s, %r" % (
              state, took, restarts, "unknown user: 'nosuchuser'" if "unknown user: 'nosuchuser'" in lines
              else lines[-300:]))
    rc, took, out = timed(box, "systemctl start heronsend")
    check(rc != 0, "failing start: systemctl start", "exit status %d: %s" % (
        rc, out.splitlines()[0] if out else "(no output)"))
    box.write(DEFAULTS, saved)
    rc, _, out = timed(box, "systemctl reset-failed heronsend && systemctl start heronsend")
    check(rc == 0 and main_pid(box) > 0, "mended: reset-failed, start", "exit status %d %s" % (rc, out))

    r = box.sh("systemd-analyze verify --man=no /lib/systemd/system/heronsend.service 2>&1", check=False)
    complaints = [l for l in r.stdout.splitlines() if "heronsend" in l]
    check(r.returncode == 0 and not complaints, "systemd-analyze verify",
          "exit status %d, %s" % (r.returncode, complaints or "no complaints"))
    out = box.sh("systemd-analyze security --no-pager heronsend", check=False).stdout
    m = re.search(r"Overall exposure level for heronsend.service: ([0-9.]+) (\S+)", out)
    check(m is not None and float(m.group(1)) <= SECURITY_LIMIT, "systemd-analyze security",
          m.group(0) if m else out[-300:])


def environment_file_checks(box):
    """systemd's own reading of EnvironmentFile= lines and of $NAME in
    ExecStart=, against the emulation the documentation's tests use."""
    lines = [
        "V0=\"-m -e 'see our policy page'\"",
        "V1=-m \"-l ip4:192.0.2.0/24 a:relay.example.org\"",
        "V2=\"-a /etc/x\"  # not a comment",
        "V3=\"-e\\ a\\ b \\\"\\q\\\\\\\" 'p\\q'\"",
        "V4=\"-m -e 'a b'\" -d1",
        "V5=x\\ y\\qz   ",
        "V6='p\\q \"r s\"'",
    ]
    box.write("/etc/box-env", "\n".join(lines) + "\n")
    box.write("/etc/systemd/system/box-env@.service",
              "[Service]\nType=oneshot\nEnvironmentFile=/etc/box-env\n"
              "ExecStart=/usr/bin/printf \"<%%s>\\\\n\" $%i\n")
    box.sh("systemctl daemon-reload")
    env = docs.parse_environment_file("\n".join(lines))
    bad = []
    for i, line in enumerate(lines):
        box.sh("systemctl start box-env@V%d" % i)
        out = box.sh("journalctl -o cat --no-pager -u box-env@V%d" % i).stdout
        real = re.findall(r"^<(.*)>$", out, re.M)
        emulated = docs.expand_exec_start("/usr/bin/printf x $V%d" % i, env)[2:]
        if real != emulated:
            bad.append("%s: systemd %r, emulation %r" % (line, real, emulated))
    check(not bad, "EnvironmentFile= and $NAME as systemd 252 reads them",
          "; ".join(bad) or "%d lines read alike by systemd and the emulation" % len(lines))


# --- Postfix --------------------------------------------------------------

def expect(mail, name, sender, reply, header=None, extra="", port=25, client=CLIENT):
    """Sends one message; reply is "accepted" or the start of the refusal,
    header the start of the Received-SPF header expected ("none": none)."""
    subject, got = mail.send(sender, extra, port, client)
    if reply != "accepted" or not got == "accepted":
        return check(got.startswith(reply), name, "MAIL FROM:<%s> -> %s" % (sender, got))
    seen = mail.header(subject)
    return check(seen.startswith(header), name, "MAIL FROM:<%s> -> accepted, Received-SPF: %s" % (
        sender, seen))


def pass_header(sender):
    return "pass (%s: domain of %s designates %s as permitted sender) receiver=%s; client-ip=%s; " \
           "helo=%s; envelope-from=%s;" % (RECEIVER, sender, CLIENT, RECEIVER, CLIENT, HELO, sender)


def mark_only_checks(box, mail):
    """The guide's mark-only set-up, then its way to an explanation with
    blanks that keeps the other options."""
    for ex, expected in ((guide("default", 'HERONSEND_OPTIONS="-m -V"'), ["-m", "-V"]),
                         (guide("default", "-e '"), None)):
        setting = [l for l in ex.text.splitlines() if l.startswith("HERONSEND_OPTIONS=")][0]
        set_default(box, "HERONSEND_OPTIONS", setting)
        rc, took, _ = timed(box, "systemctl restart heronsend")
        argv = box.read("/proc/%d/cmdline" % main_pid(box)).split("\0")[:-1]
        options = argv[argv.index("/run/heronsend/heronsend.pid") + 1:-1] if rc == 0 else []
        want = unit_default_options() + (expected or docs.expand_exec_start(
            "x $O", docs.parse_environment_file(setting.replace("HERONSEND_OPTIONS", "O", 1)))[1:])
        check(rc == 0 and options == want and "-m" in options, "%s in %s" % (setting, DEFAULTS),
              "restart exit status %d, the daemon's options %r" % (rc, options))
        expect(mail, "  mark-only: forbidden sender marked", "bob@fail.test", "accepted",
               "fail (%s: domain of bob@fail.test does not designate %s" % (RECEIVER, CLIENT))
    set_default(box, "HERONSEND_OPTIONS", 'HERONSEND_OPTIONS=""')
    box.sh("systemctl restart heronsend")


def socket_checks(box, mail, subject, cleanup):
    """Mail through one of the guide's socket alternatives: a forbidden and
    a permitted sender over SMTP, and a local submission (through cleanup)."""
    expect(mail, "  forbidden sender refused", "bob@fail.test", "550 5.7.1 fail")
    expect(mail, "  permitted sender delivered", "carol@box.test", "accepted", pass_header("carol@box.test"))
    box.sh("printf 'Subject: %s\\n\\nlocal\\n' | sendmail -f root@%s alice" % (subject, RECEIVER))
    check(mail.header(subject).startswith("pass ("), "  local submission (%s)" % cleanup,
          "Received-SPF: " + mail.header(subject))


def postfix_checks(box, mail):
    box.sh("echo 'postfix postfix/main_mailer_type select Internet Site' | debconf-set-selections; "
           "echo 'postfix postfix/mailname string %s' | debconf-set-selections" % RECEIVER)
    install(box, "postfix sasl2-bin libsasl2-modules")
    ex = guide("postfix", "postconf -e")
    box.sh(ex.text)  # the guide's lines as they stand: postconf -e ..., postfix reload
    say("postfix: %s" % box.sh("postconf smtpd_milters non_smtpd_milters milter_default_action")
        .stdout.strip().replace("\n", "; "))
    cursor = mail.cursor()
    expect(mail, "forbidden sender refused", "bob@fail.test", "550 5.7.1 fail")
    logged = [mail.wait_journal(cursor, r"rejecting mail from \[%s\] - fail$" % CLIENT),
              mail.wait_journal(cursor, r"NOQUEUE: milter-reject: MAIL from \S+\[%s\]: "
                                r"550 5.7.1 fail;.*" % CLIENT),
              # the package's default -V: the verdict line, no queue ID yet
              mail.wait_journal(cursor, r"^verdict: queue=- client=%s .*from=bob@fail\.test "
                                r"identity=mailfrom spf=fail action=refused .*$" % CLIENT)]
    check(all(logged), "  logged", " | ".join(logged))
    expect(mail, "permitted sender delivered", "carol@box.test", "accepted", pass_header("carol@box.test"))
    line = mail.wait_journal(cursor, r"^verdict: queue=\w+ .*from=carol@box\.test .*action=marked .*$")
    qid = re.match(r"verdict: queue=(\w+)", line)
    check(qid is not None and mail.wait_journal(cursor, r"^%s: message-id=" % qid.group(1)) != "",
          "  verdict line with Postfix's queue ID", line or "no verdict line")
    expect(mail, "softfail marked", "dave@softfail.test", "accepted", "softfail (%s: " % RECEIVER)
    expect(mail, "null sender (HELO checked)", "<>", "accepted",
           "pass (%s: domain of mailer_daemon@%s designates %s" % (RECEIVER, HELO, CLIENT))
    box.sh("printf 'Subject: box-local\\n\\nlocal\\n' | sendmail -f root@%s alice" % RECEIVER)
    seen = mail.header("box-local")
    check(seen.startswith("pass (") and "client-ip=127.0.0.1;" in seen, "local submission (sendmail)",
          "Received-SPF: " + seen)
    # SMTP AUTH with Cyrus SASL (sasldb); smtpd runs chrooted in the queue.
    box.write("/etc/postfix/sasl/smtpd.conf",
              "pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN LOGIN\n")
    box.sh("echo secret | saslpasswd2 -p -c -u %s alice && install -d /var/spool/postfix/etc && "
           "install -m 0640 -g postfix /etc/sasldb2 /var/spool/postfix/etc/sasldb2 && "
           "postconf -e smtpd_sasl_auth_enable=yes && postfix reload" % RECEIVER)
    expect(mail, "SMTP AUTH: forbidden sender not checked", "bob@fail.test", "accepted",
           "pass (%s: authenticated connection)" % RECEIVER,
           extra="--auth PLAIN --auth-user alice@%s --auth-password secret" % RECEIVER)
    tls_postfix(box, mail)
    mark_only_checks(box, mail)

    box.sh("systemctl stop heronsend")
    cursor = mail.cursor()
    expect(mail, "filter down: mail flows unchecked", "bob@fail.test", "accepted", "none")
    logged = mail.wait_journal(cursor, r"warning: connect to Milter service inet:127.0.0.1:8890: "
                               r"Connection refused$")
    check(logged, "  logged", logged)
    box.sh("systemctl start heronsend")

    # The unix socket in the queue directory.
    ex = guide("default", "unix:heronsend/heronsend.sock")
    saved = box.read(DEFAULTS)
    for line in ex.text.splitlines():
        if line.startswith("install "):
            box.sh(line)
        elif line.startswith("HERONSEND_"):
            set_default(box, line.split("=")[0], line)
        elif re.match(r"^[a-z_]+ = ", line):
            box.sh("postconf -e " + shlex.quote(line))
    rc, _, out = timed(box, "systemctl restart heronsend && postfix reload")
    check(rc == 0 and os.path.exists(box.path("/var/spool/postfix/heronsend/heronsend.sock")),
          "unix socket in the queue directory", "restart exit status %d, %s" % (
              rc, box.sh("ls -l /var/spool/postfix/heronsend/heronsend.sock", check=False).stdout.strip()))
    socket_checks(box, mail, "box-local2", "cleanup, chrooted")
    box.write(DEFAULTS, saved)

    # A Postfix without chroot, with the socket in the unit's runtime
    # directory (the guide's settings are code spans of one list item).
    ex = guide("default", '/run/heronsend/heronsend.sock"\nHERONSEND_USER="postfix"')
    for line in ex.text.splitlines():
        if line.startswith("HERONSEND_"):
            set_default(box, line.split("=")[0], line)
    socket = docs.parse_environment_file(box.read(DEFAULTS))["HERONSEND_SOCKET"]
    box.sh("postconf -F smtp/inet/chroot=n cleanup/unix/chroot=n && postconf -e "
           + shlex.quote("smtpd_milters = " + socket) + " "
           + shlex.quote("non_smtpd_milters = " + socket))
    # The checks before restarted the unit six times within seconds, more
    # than its start limit lets through (an administrator is slower).
    box.sh("systemctl reset-failed heronsend")
    rc, _, out = timed(box, "systemctl restart heronsend && postfix reload")
    check(rc == 0, "unix socket in /run/heronsend, Postfix without chroot",
          "restart exit status %d, %s %s" % (rc, out, box.sh(
              "ls -l /run/heronsend/heronsend.sock" +
              ("" if rc == 0 else "; journalctl -u heronsend -n 5 --no-pager"),
              check=False).stdout.strip()))
    socket_checks(box, mail, "box-local3", "cleanup")
    box.write(DEFAULTS, saved)
    box.sh("postconf -F smtp/inet/chroot=y cleanup/unix/chroot=y && systemctl reset-failed "
           "heronsend && systemctl restart heronsend && " + guide("postfix", "postconf -e").text)


def make_certificates(box):
    """A test CA with a client certificate it signed, and a certificate
    with the same subject and issuer names from a CA of the same name that
    nobody trusts (what anybody can make)."""
    box.sh("cd /srv/boxtest && "
           "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 "
           "-subj '/CN=Box Test CA' && "
           "openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr "
           "-subj '/CN=client.box.test' && "
           "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
           "-out client.crt -days 2 && "
           "openssl req -x509 -newkey rsa:2048 -nodes -keyout rogue-ca.key -out rogue-ca.crt "
           "-days 2 -subj '/CN=Box Test CA' && "
           "openssl req -newkey rsa:2048 -nodes -keyout rogue.key -out rogue.csr "
           "-subj '/CN=client.box.test' && "
           "openssl x509 -req -in rogue.csr -CA rogue-ca.crt -CAkey rogue-ca.key -CAcreateserial "
           "-out rogue.crt -days 2 && "
           "openssl req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.crt -days 2 "
           "-subj '/CN=%s' && chmod 0600 *.key" % RECEIVER)


def tls(cert):
    return "-tls --tls-cert /srv/boxtest/%s.crt --tls-key /srv/boxtest/%s.key" % (cert, cert)


def tls_postfix(box, mail):
    make_certificates(box)
    box.sh("postconf -e smtpd_tls_ask_ccert=yes smtpd_tls_CAfile=/srv/boxtest/ca.crt "
           "smtpd_tls_loglevel=1 && postfix reload")
    cursor = mail.cursor()
    expect(mail, "TLS: verified client certificate, Postfix: still checked", "bob@fail.test",
           "550 5.7.1 fail", extra=tls("client"))
    logged = mail.wait_journal(cursor, r"Trusted TLS connection established from \S+\[%s\]: \S+" % CLIENT)
    check(logged, "  Postfix verified it", logged)


# --- Sendmail -------------------------------------------------------------

def sendmail_mc(box, lines):
    mc = box.read("/etc/mail/sendmail.mc")
    mc = re.sub(r"^(INPUT_MAIL_FILTER|define\(`confMILTER_MACROS).*\n", "", mc, flags=re.M)
    box.write("/etc/mail/sendmail.mc", mc + "".join(l + "\n" for l in lines))
    rc, took, out = timed(box, "make -C /etc/mail && systemctl restart sendmail")
    if rc != 0:
        raise boxes.BoxError("sendmail.mc: %s" % out[-2000:])


def sendmail_checks(box, mail):
    install(box, "sendmail sasl2-bin libsasl2-modules")
    guide_lines = [l for e in docs.all_examples() if e.source == "docs/admin.md"
                   and "sendmail" in e.kinds for l in e.text.splitlines()]
    filter_line = [l for l in guide_lines if l.startswith("INPUT_MAIL_FILTER")]
    check(len(filter_line) == 1, "the guide's sendmail.mc lines", " / ".join(guide_lines))
    make_certificates(box)
    # TLS: the server's certificate and the CA it verifies clients with
    # (Debian's starttls.m4 asks for no client certificate: V).
    tls_lines = ["define(`confSERVER_CERT', `/srv/boxtest/server.crt')dnl",
                 "define(`confSERVER_KEY', `/srv/boxtest/server.key')dnl",
                 "define(`confCACERT', `/srv/boxtest/ca.crt')dnl",
                 "define(`confCACERT_PATH', `/srv/boxtest')dnl",
                 # Cyrus SASL (sasldb) for SMTP AUTH.
                 "define(`confAUTH_MECHANISMS', `PLAIN LOGIN')dnl",
                 "TRUST_AUTH_MECH(`PLAIN LOGIN')dnl"]
    # Debian's Sendmail reads /usr/lib/sasl2/Sendmail.conf, a link to this.
    box.write("/etc/mail/sasl/Sendmail.conf.2",
              "pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN LOGIN\n")
    box.sh("echo secret | saslpasswd2 -p -c -u %s alice" % RECEIVER)
    sendmail_mc(box, tls_lines + guide_lines)

    cursor = mail.cursor()
    expect(mail, "Sendmail: forbidden sender refused", "bob@fail.test", "550 5.7.1 <bob@fail.test>... fail")
    logged = mail.wait_journal(cursor, r"Milter: from=<bob@fail.test>, reject=550 5.7.1 fail$")
    check(logged, "  logged", logged)
    expect(mail, "permitted sender delivered", "carol@box.test", "accepted", pass_header("carol@box.test"))
    expect(mail, "softfail marked", "dave@softfail.test", "accepted", "softfail (%s: " % RECEIVER)
    expect(mail, "null sender (HELO checked)", "<>", "accepted",
           "pass (%s: domain of mailer_daemon@%s designates %s" % (RECEIVER, HELO, CLIENT))
    box.sh("printf 'Subject: box-local\\n\\nlocal\\n' | sendmail -f root@%s alice" % RECEIVER)
    seen = mail.header("box-local", timeout=30)
    check(seen.startswith("pass (") and "client-ip=127.0.0.1;" in seen, "local submission (sendmail)",
          "Received-SPF: " + seen)
    expect(mail, "SMTP AUTH: forbidden sender not checked", "bob@fail.test", "accepted",
           "pass (%s: authenticated connection)" % RECEIVER,
           extra="--auth PLAIN --auth-user alice --auth-password secret")
    cursor = mail.cursor()
    expect(mail, "TLS: verified client certificate exempt", "bob@fail.test", "accepted",
           "pass (%s: authenticated connection)" % RECEIVER, extra=tls("client"))
    expect(mail, "TLS: unverified certificate, same names: checked", "bob@fail.test",
           "550 5.7.1 <bob@fail.test>... fail", extra=tls("rogue"))
    journal = mail.journal(cursor)
    check("verify=OK" in journal and "verify=FAIL" in journal, "  Sendmail's verdicts",
          " | ".join(sorted(set(re.findall(r"STARTTLS=server, relay=[^,]+, version=[^,]+, verify=\w+", journal)))))
    mark_only_checks(box, mail)

    box.sh("systemctl stop heronsend")
    expect(mail, "filter down, F=T: temporary refusal", "carol@box.test", "4")
    box.sh("systemctl start heronsend")

    # The unix socket in the unit's runtime directory.
    ex = guide("default", "S=unix:")
    spans = ex.text.splitlines()
    setting = [s for s in spans if s.startswith("HERONSEND_SOCKET=")][0]
    socket = [s for s in spans if s.startswith("S=")][0]
    saved = box.read(DEFAULTS)
    set_default(box, "HERONSEND_SOCKET", setting)
    box.sh("systemctl restart heronsend")
    sendmail_mc(box, tls_lines + [re.sub(r"S=inet:[^,]*", socket, l) for l in guide_lines])
    expect(mail, "unix socket in /run/heronsend: forbidden sender refused", "bob@fail.test",
           "550 5.7.1 <bob@fail.test>... fail")
    expect(mail, "  permitted sender delivered", "carol@box.test", "accepted", pass_header("carol@box.test"))
    box.write(DEFAULTS, saved)


# --- upgrades and removal -------------------------------------------------

FLOW = """#!/bin/sh
# One sender of the mail flow through an upgrade: a permitted and a
# forbidden sender by turns, until %(stop)s exists (at most 300 messages).
i=0
while [ ! -e %(stop)s ] && [ $i -lt 300 ]; do
  i=$((i + 1))
  if [ $((i %% 2)) = 0 ]; then from=carol@box.test; else from=bob@fail.test; fi
  swaks -n --server 127.0.0.1 --helo %(helo)s --from $from --to %(rcpt)s \\
    --header "Subject: flow-$1-$i" --local-interface %(client)s >%(dir)s/$1-$i.$from 2>&1
done
"""
FLOW_DIR = "/srv/boxtest/flow"
FLOW_STOP = "/srv/boxtest/flow.stop"


def unit_events(mail, cursor):
    """systemd's own lines about the unit since cursor: (stops, starts)."""
    lines = mail.journal(cursor, "heronsend").splitlines()
    return (len([l for l in lines if l.startswith("Stopping heronsend.service")]),
            len([l for l in lines if l.startswith("Started heronsend.service")]))


def daemon_options(box):
    """The daemon's arguments between the PID file and the socket."""
    pid = main_pid(box)
    argv = box.read("/proc/%d/cmdline" % pid).split("\0")[:-1] if pid else []
    if "/run/heronsend/heronsend.pid" not in argv:
        return None
    return argv[argv.index("/run/heronsend/heronsend.pid") + 1:-1]


def apt(box, command):
    """apt-get with nothing on standard input: a conffile question would
    fail it (dpkg reads its answer there)."""
    return timed(box, "cd /root && apt-get -y -q %s </dev/null" % command)


def restart_window(box, cursor):
    """The restart window from the journal's time stamps, from the old
    daemon's "stopping" line to the new one's start line: its drain (up to
    its terminating line), its exit (until systemd saw it end) and the new
    start."""
    out = box.sh("journalctl -o short-unix --no-pager -u heronsend --after-cursor=%s"
                 % shlex.quote(cursor)).stdout
    at = [re.search(r"^([0-9.]+) \S+ %s" % line, out, re.M)
          for line in (r"heronsend\[\d+\]: stopping - finishing", r"heronsend\[\d+\]: " + STOP_LINE,
                       r"systemd\[1\]: heronsend.service: Deactivated successfully",
                       r"heronsend\[\d+\]: " + START_LINE)]
    if not (at[0] and at[3]):
        return "unknown"
    if not all(at):
        return "%.3f s" % (float(at[3].group(1)) - float(at[0].group(1)))
    stop, end, gone, start = (float(m.group(1)) for m in at)
    return "%.3f s (drain %.3f s, exit %.3f s, new start %.3f s)" % (
        start - stop, end - stop, gone - end, start - gone)


def upgrade_under_mail(box, mail, old, new):
    """The previous release behind Postfix (the guide's lines), an
    administrator's edit, then `apt-get install` of this tree's package
    while two senders keep sending: every message counted."""
    box.sh("echo 'postfix postfix/main_mailer_type select Internet Site' | debconf-set-selections; "
           "echo 'postfix postfix/mailname string %s' | debconf-set-selections" % RECEIVER)
    install(box, "./%s postfix sasl2-bin libsasl2-modules" % os.path.basename(old))
    box.sh(guide("postfix", "postconf -e").text)
    set_default(box, "HERONSEND_OPTIONS", ADMIN_OPTIONS)
    box.sh("systemctl restart heronsend")
    edited = box.read(DEFAULTS)
    before = daemon_options(box)
    start_flow(box, "u")
    pid, cursor = main_pid(box), mail.cursor()
    rc, took, out = apt(box, "install ./" + os.path.basename(new))
    version = box.sh("dpkg-query -W -f='${Version}' heronsend").stdout
    check(rc == 0 and "conffile" not in out.lower(), "upgrade under mail: apt-get install ./%s"
          % os.path.basename(new), "exit status %d in %.1f s, now %s%s" % (
              rc, took, version, "" if rc == 0 else "\n" + out[-2000:]))
    time.sleep(2)
    counts, sent, refused_postfix = count_flow(box, mail, cursor, "upgrade under mail")
    check(sent >= 20 and counts["lost"] == 0 and counts["deferred"] == 0 and
          counts["unchecked"] <= refused_postfix,
          "upgrade under mail: nothing lost, unchecked only when Postfix found the socket closed",
          "%d sent, %d lost, %d deferred, %d unchecked, %d refused connections" % (
              sent, counts["lost"], counts["deferred"], counts["unchecked"], refused_postfix))
    stops, starts = unit_events(mail, cursor)
    new_pid = main_pid(box)
    check(stops == 1 and starts == 1 and new_pid not in (0, pid), "upgrade: one restart",
          "journal: %d stop, %d start; MainPID %d -> %d" % (stops, starts, pid, new_pid))
    after = daemon_options(box)
    # The old release's unit had no package defaults; this one's come first.
    check(box.read(DEFAULTS) == edited and after == unit_default_options() + (before or []) and
          "see our policy page" in (after or []),
          "upgrade: the administrator's edit kept and in force", "%s; options %r -> %r" % (
              ADMIN_OPTIONS, before, after))


def start_flow(box, tag):
    """Two senders sending without a pause (FLOW), once both have begun.
    tag: the first part of their message names, which must not repeat in
    alice's mailbox (a message is found there by its subject)."""
    box.write("/srv/boxtest/flow.sh", FLOW % {"stop": FLOW_STOP, "helo": HELO, "rcpt": RCPT,
                                              "client": CLIENT, "dir": FLOW_DIR}, 0o755)
    # A sender whose last message was refused ended failed: its unit name
    # is free again only after reset-failed.
    box.sh("rm -rf %s %s && mkdir -p %s && systemctl reset-failed 'flow*'" % (
        FLOW_DIR, FLOW_STOP, FLOW_DIR))
    for n in (1, 2):
        box.sh("systemd-run -q --unit=flow%d /srv/boxtest/flow.sh %s%d" % (n, tag, n))
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and len(os.listdir(box.path(FLOW_DIR))) < 8:
        time.sleep(0.2)


def count_flow(box, mail, cursor, title):
    """Stops the senders and counts every message they sent; prints the
    counts. Returns (counts, sent, connections Postfix found refused)."""
    box.write(FLOW_STOP, "")
    for n in (1, 2):
        wait = time.monotonic() + 60
        while time.monotonic() < wait and box.sh("systemctl is-active flow%d" % n,
                                                   check=False).stdout.strip() == "active":
            time.sleep(0.2)
    counts = {"delivered with the header": 0, "refused": 0, "unchecked": 0, "deferred": 0,
              "lost": 0}
    unchecked = []
    for name in sorted(os.listdir(box.path(FLOW_DIR))):
        with open(os.path.join(box.path(FLOW_DIR), name), errors="replace") as f:
            out = f.read()
        refused = [l for l in out.splitlines() if l.startswith("<** ")]
        if refused:
            counts["refused" if refused[0][4:].startswith("5") else "deferred"] += 1
            continue
        header = mail.header("flow-" + name.split(".")[0], timeout=20)
        if header == "not delivered":
            counts["lost"] += 1
        elif header == "none":
            counts["unchecked"] += 1
            unchecked.append(name)
        else:
            counts["delivered with the header"] += 1
    sent = sum(counts.values())
    window = restart_window(box, cursor)
    journal = mail.journal(cursor)
    refused_postfix = len(re.findall(r"connect to Milter service inet:127.0.0.1:8890: Connection refused",
                                     journal))
    # What else Postfix said about the filter (a session it gave up on).
    milter_warnings = sorted(set(re.sub(r"^.*warning: ", "", l) for l in journal.splitlines()
                                 if "warning:" in l and "ilter" in l))
    say("%s: %d messages: %s; restart window %s; Postfix found the filter's "
        "socket closed %d times; unchecked: %s; Postfix's warnings: %s" % (
            title, sent, ", ".join("%s %d" % kv for kv in counts.items()),
            window, refused_postfix,
            " ".join(unchecked) or "none", " | ".join(milter_warnings[:5]) or "none"))
    box.sh("rm -rf %s %s" % (FLOW_DIR, FLOW_STOP))
    return counts, sent, refused_postfix


RESTARTS_UNDER_MAIL = 4


def restarts_under_mail(box, mail):
    """Restarts between two processes that both keep the socket in systemd's
    store, while the senders keep sending: no message finds the filter
    closed, none passes unchecked."""
    start_flow(box, "r")
    cursor = mail.cursor()
    for _ in range(RESTARTS_UNDER_MAIL):
        box.sh("systemctl restart heronsend")
        time.sleep(1)
    time.sleep(1)
    counts, sent, refused_postfix = count_flow(box, mail, cursor, "restarts under mail")
    kept = len(re.findall(r"^filter socket kept across the restart$", mail.journal(cursor, "heronsend"),
                          re.M))
    check(sent >= 10 and kept == RESTARTS_UNDER_MAIL and refused_postfix == 0 and
          counts["unchecked"] == 0 and counts["lost"] == 0 and counts["deferred"] == 0,
          "%d restarts under mail: the socket kept, nothing unchecked" % RESTARTS_UNDER_MAIL,
          "%d sent, socket kept %d times, %d refused connections, %d unchecked, %d lost, "
          "%d deferred" % (sent, kept, refused_postfix, counts["unchecked"], counts["lost"],
                           counts["deferred"]))


def gone(box):
    """What the package or its scripts made that is still there."""
    paths = ["/usr/sbin/heronsend", "/lib/systemd/system/heronsend.service", DEFAULTS] + LEFT_BY_SCRIPTS
    left = [p for p in paths if box.sh("test -e %s -o -L %s" % (p, p), check=False).returncode == 0]
    if box.sh("getent passwd heronsend || getent group heronsend", check=False).returncode == 0:
        left.append("the account heronsend")
    return left


def lifecycle_checks(box, mail, new, nxt):
    """Upgrades while the service is stopped or masked, a purge after
    upgrades, a reinstallation after it and a removal while failed."""
    nxt_name = os.path.basename(nxt)
    # Stopped (still enabled): the upgrade starts it again, as debhelper's
    # scripts do; the next package's new default is in force, with the
    # administrator's edit, without a question.
    box.sh("systemctl reset-failed heronsend; systemctl stop heronsend")
    set_default(box, "HERONSEND_OPTIONS", ADMIN_OPTIONS)
    edited = box.read(DEFAULTS)
    rc, took, out = apt(box, "install ./" + nxt_name)
    state, _ = wait_state(box, ("active",), 10)
    options = daemon_options(box) or []
    check(rc == 0 and state == "active" and box.read(DEFAULTS) == edited and
          options[:1] == [NEXT_DEFAULT] and "see our policy page" in options,
          "upgrade while stopped: started, new default and the edit both in force",
          "exit status %d, %s, options %r%s" % (rc, state, options, "" if rc == 0 else out[-1500:]))
    set_default(box, "HERONSEND_DEFAULT_OPTIONS", 'HERONSEND_DEFAULT_OPTIONS=""')
    box.sh("systemctl restart heronsend")
    options = daemon_options(box) or []
    check(NEXT_DEFAULT not in options, "HERONSEND_DEFAULT_OPTIONS=\"\" turns the default off",
          "options %r" % options)
    # Masked by the administrator: stays masked and down.
    box.sh("systemctl stop heronsend && systemctl mask heronsend")
    rc, took, out = apt(box, "install --reinstall ./" + nxt_name)
    state = box.sh("systemctl is-active heronsend", check=False).stdout.strip()
    enabled = box.sh("systemctl is-enabled heronsend", check=False).stdout.strip()
    check(rc == 0 and state == "inactive" and enabled == "masked", "upgrade while masked",
          "exit status %d, %s, %s%s" % (rc, state, enabled, "" if rc == 0 else out[-1500:]))
    box.sh("systemctl unmask heronsend")
    # dpkg --purge of the upgraded package, then a fresh installation.
    rc, took, out = timed(box, "dpkg --purge heronsend")
    left = gone(box)
    check(rc == 0 and not left and "warn" not in out.lower(), "dpkg --purge after upgrades",
          "exit status %d, left: %s%s" % (rc, left or "nothing", "" if rc == 0 and "warn" not in
                                          out.lower() else "\n" + out[-1500:]))
    rc, took, out = apt(box, "install ./" + os.path.basename(new))
    state, _ = wait_state(box, ("active",), 10)
    enabled = box.sh("systemctl is-enabled heronsend", check=False).stdout.strip()
    fresh = box.read(DEFAULTS) == docs.packaged_default()
    check(rc == 0 and state == "active" and enabled == "enabled" and fresh and not
          box.sh("getent passwd heronsend", check=False).returncode,
          "reinstallation after purge", "exit status %d, %s, %s, %s %s" % (
              rc, state, enabled, DEFAULTS + (" as shipped" if fresh else " NOT as shipped"),
              box.sh("getent passwd heronsend", check=False).stdout.strip()))
    # Removal while failed, then purge.
    set_default(box, "HERONSEND_USER", 'HERONSEND_USER="nosuchuser"')
    box.sh("systemctl restart heronsend", check=False)
    state, _ = wait_state(box, ("failed",), 30)
    rc, took, out = apt(box, "remove heronsend")
    # Left masked (debhelper's mask of a removed package's unit, until the
    # purge), no longer failed.
    after = box.sh("systemctl is-failed heronsend; systemctl is-enabled heronsend",
                   check=False).stdout.split()
    kept = box.sh("test -e " + DEFAULTS, check=False).returncode == 0
    check(state == "failed" and rc == 0 and after == ["inactive", "masked"] and kept,
          "removal while failed", "%s, apt-get remove exit status %d, then %s, %s %s" % (
              state, rc, "/".join(after), DEFAULTS, "kept" if kept else "GONE"))
    rc, took, out = apt(box, "purge heronsend")
    left = gone(box)
    check(rc == 0 and not left, "purge after removal", "exit status %d, left: %s" % (
        rc, left or "nothing"))


def next_package(deb, work):
    """This tree's package once more, with a higher version whose unit turns
    on NEXT_DEFAULT: a release that adds a package default."""
    root = os.path.join(work, "next")
    subprocess.run(["dpkg-deb", "-R", deb, root], check=True)
    unit = os.path.join(root, "lib/systemd/system/heronsend.service")
    text = open(unit).read()
    text, n = re.subn(r"^Environment=HERONSEND_DEFAULT_OPTIONS=.*$",
                      "Environment=HERONSEND_DEFAULT_OPTIONS=" + NEXT_DEFAULT, text, flags=re.M)
    if n != 1:
        raise boxes.BoxError("the unit has %d HERONSEND_DEFAULT_OPTIONS lines" % n)
    open(unit, "w").write(text)
    sums = subprocess.run(["md5sum", "lib/systemd/system/heronsend.service"], cwd=root,
                          capture_output=True, text=True, check=True).stdout
    md5 = os.path.join(root, "DEBIAN/md5sums")
    lines = [l for l in open(md5).read().splitlines() if not l.endswith(" lib/systemd/system/heronsend.service")]
    open(md5, "w").write("\n".join(lines + [sums.strip()]) + "\n")
    control = os.path.join(root, "DEBIAN/control")
    text = re.sub(r"^Version: (.*)$", r"Version: \1+next1", open(control).read(), flags=re.M)
    open(control, "w").write(text)
    out = os.path.join(work, "next.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", root, out], check=True,
                   capture_output=True)
    return out


# --- the run --------------------------------------------------------------

def build_package(build_dir, out_dir):
    r = subprocess.run(["cpack", "-G", "DEB", "-B", out_dir, "--config",
                        os.path.join(build_dir, "CPackConfig.cmake")],
                       capture_output=True, text=True, timeout=300)
    debs = glob.glob(os.path.join(out_dir, "heronsend_*.deb"))
    if r.returncode != 0 or len(debs) != 1:
        raise boxes.BoxError("cpack failed: %s%s" % (r.stdout, r.stderr))
    return debs[0]


def run_box(root, work, name, debs, checks):
    def prepare(b):
        for deb in debs:
            shutil.copy(deb, b.path("/root/"))
        os.makedirs(b.path("/srv/boxtest"))
        shutil.copy(os.path.join(REPO, "tests", "e2e", "test_zone.conf"), b.path("/srv/boxtest/"))
        shutil.copy(os.path.join(HERE, "box_zone.conf"), b.path("/srv/boxtest/"))
    b = boxes.Box(root, work, name, log=say)
    started = time.monotonic()
    try:
        b.start(prepare)
        mail = Mail(b)
        mail.set_up()
        checks(b, mail)
    except (boxes.BoxError, subprocess.SubprocessError, previous_release.PreviousReleaseError) as e:
        failures.append("%s: %s" % (name, e))
        say("FAIL %s: %s" % (name, e))
    finally:
        b.stop()
    say("box %s: %.0f s" % (name, time.monotonic() - started))


def systemd_and_postfix(b, mail, old, deb, nxt):
    upgrade_under_mail(b, mail, old, deb)
    restarts_under_mail(b, mail)
    b.sh("systemctl reset-failed heronsend")  # the start limit counts afresh
    systemd_checks(b, mail)
    environment_file_checks(b)
    postfix_checks(b, mail)
    lifecycle_checks(b, mail, deb, nxt)


def sendmail(b, mail, deb):
    install(b, "./" + os.path.basename(deb))
    sendmail_checks(b, mail)


def main():
    if os.geteuid() != 0:
        print("box test: needs root (mmdebstrap, systemd-nspawn); not root, skipping")
        return 77
    for tool in ("mmdebstrap", "systemd-nspawn", "apt-ftparchive"):
        if shutil.which(tool) is None:
            print("box test FAILED: %s missing (scripts/install-deps test)" % tool)
            return 1
    build_dir = os.environ.get("HERONSEND_BUILD_DIR", os.path.join(REPO, "build", "gcc"))
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="heronsend-box.", dir=os.path.join(build_dir))
    try:
        deb = build_package(build_dir, os.path.join(work, "deb"))
        old = previous_release.build(build_dir, log=say)
        nxt = next_package(deb, work)
        root = boxes.make_root(os.path.join(build_dir, "box"), log=say)
        # Machine names of this run's own: other runs may boot boxes at the
        # same time.
        tag = "-%d" % os.getpid()
        run_box(root, work, "heronsend-systemd" + tag, [old, deb, nxt],
                lambda b, mail: systemd_and_postfix(b, mail, old, deb, nxt))
        run_box(root, work, "heronsend-sendmail" + tag, [deb],
                lambda b, mail: sendmail(b, mail, deb))
    except (boxes.BoxError, previous_release.PreviousReleaseError, subprocess.SubprocessError) as e:
        failures.append(str(e))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    say("%.0f s in all" % (time.monotonic() - started))
    if failures:
        print("box test FAILED:\n" + "\n".join(failures))
        return 1
    say("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
