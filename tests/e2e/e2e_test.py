#!/usr/bin/python3
"""heronsend end to end: a private Postfix, a test DNS server and the real
daemon binary; plus the project's milter client for what Postfix cannot send.

Four heronsend processes run for the whole suite, each under its own mount
namespace with /etc/resolv.conf pointing at the test DNS:
  main         -a ALLOWLIST -V, on a unix socket (started as the postfix
               user, so that Postfix's smtpd may use the socket)
  markonly     -m -u postfix -p PIDFILE -V, on an inet socket
  recipientmx  -r, on an inet socket
  policy       -o softfail=refuse,permerror=refuse,temperror=defer
               -o helofail=refuse -A -V (the receiver's choices, the HELO
               check and Authentication-Results), on an inet socket
  spare        -k postmaster -b -o softfail=quarantine (the choices that spare
               wanted mail: kept recipients, the sender domain's explanation
               in the reply, the quarantine), on an inet socket
  direct       no options, on a unix socket, driven only by the milter client
One Postfix instance has one smtpd listener for each of the first three and
for policy and spare.
heronsend-check (CheckTool) resolves through the same test DNS.

Run as root: tests/e2e/e2e_test.py [-v] [unittest arguments]. Without root
it prints why and exits 77 (CTest: skipped). HERONSEND_BINARY and
MILTER_CLIENT name the binaries (default: the build/gcc tree);
HERONSEND_E2E_KEEP=1 keeps the temporary folder with all logs.
"""

import atexit
import json
import os
import pwd
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

R = h.RECEIVER
CLIENT = "192.0.2.10"
CLIENT_NAME = "client.e2e.test"
HELO = "sender.e2e.test"
# libmilter/mfdef.h
SMFIP_NOBODY = 0x10      # the MTA does not send the body
SMFIP_NOUNKNOWN = 0x100  # ... nor unknown commands
SMFIP_NODATA = 0x200     # ... nor DATA
SMFIP_NR_HDR = 0x80      # the filter does not reply to a header field
SMFIP_NR_CONN = 0x1000   # ... to CONNECT, HELO, MAIL, RCPT, DATA, end of headers
SMFIP_NR_HELO = 0x2000
SMFIP_NR_MAIL = 0x4000
SMFIP_NR_RCPT = 0x8000
SMFIP_NR_DATA = 0x10000
SMFIP_NR_EOH = 0x40000
SMFI_CURR_PROT = 0x1FFFFF  # every step and flag a version 6 MTA offers
NO_REPLY_FLAGS = 0xFF080   # every SMFIP_NR_* flag

ALLOWLIST = """\
# networks whose mail is never checked
198.51.100.0/24   # office
2001:db8:a11::/48

"""

# The explanation of each result name, as the daemon writes it:
# {r} receiver, {f} the sender checked, {i} the client address.
EXPLANATIONS = {
    "pass": "{r}: domain of {f} designates {i} as permitted sender",
    "fail": "{r}: domain of {f} does not designate {i} as permitted sender",
    "softfail": "{r}: domain of transitioning {f} does not designate {i} as permitted sender",
    "neutral": "{r}: {i} is neither permitted nor denied by domain of {f}",
    "none": "{r}: {f} does not designate permitted sender hosts",
    "permerror": "{r}: error in processing during lookup of {f}",
    "temperror": "{r}: temporary error in processing during lookup of {f}",
    "invalid": "{r}: domain of {f} has invalid SPF",
}


def explanation(result, checked, client, receiver=R):
    return EXPLANATIONS[result].format(r=receiver, f=checked, i=client)


def spf_value_prefix(result, expl, client, helo, envelope_from, receiver=R, identity=None):
    """The Received-SPF value up to the x-software field. The identity is
    the sender's, or the HELO name's for the null sender; "x-local" for a
    result RFC 7208 does not define (and for unchecked messages: pass it)."""
    if identity is None:
        if result == "invalid":
            identity = "x-local"
        elif "@" in envelope_from:
            identity = "mailfrom"
        else:
            identity = "helo"
    text = "%s (%s) receiver=%s; client-ip=%s; " % (result, expl, receiver, client)
    if helo is not None:
        text += "helo=%s; " % helo
    return text + "envelope-from=%s; identity=%s; " % (envelope_from or '""', identity)


class World:
    """Everything the suite runs; stop() is safe to call more than once."""

    def __init__(self):
        self.ws = None
        self.cleanup = h.Cleanup()
        self.daemons = []
        self.stopped = False

    def start(self):
        self.ws = h.Workspace()
        self.heronsend = h.binary("HERONSEND_BINARY", "build/gcc/src/heronsend")
        self.milter_client = h.binary("MILTER_CLIENT",
                                      "build/gcc/tests/milter_client/milter_client")
        self.dns = h.TestDns(self.ws)
        self.dns.start(self.cleanup)

        sockets = self.ws.dir("sockets", owner=h.POSTFIX_USER)
        allowlist = self.ws.file("allowlist")
        with open(allowlist, "w") as f:
            f.write(ALLOWLIST)
        mark_port, rcpt_port, policy_port = h.free_port(), h.free_port(), h.free_port()
        spare_port = h.free_port()
        main_socket = os.path.join(sockets, "main.sock")
        self.direct_socket = os.path.join(self.ws.dir("direct"), "direct.sock")
        # Started as root on a unix socket and switching to Postfix's user:
        # the socket must then belong to that user, or smtpd cannot use it.
        self.main = h.Heronsend(self.ws, self.dns, "main",
                                ["-a", allowlist, "-u", h.POSTFIX_USER, "-V"],
                                "unix:" + main_socket)
        # Started as root and switching to the postfix user itself, as an
        # administrator would run it, with a PID file.
        self.pid_file = os.path.join(self.ws.dir("run", owner=h.POSTFIX_USER), "markonly.pid")
        self.markonly = h.Heronsend(self.ws, self.dns, "markonly",
                                    ["-m", "-u", h.POSTFIX_USER, "-p", self.pid_file, "-V"],
                                    "inet:%d@127.0.0.1" % mark_port)
        self.recipientmx = h.Heronsend(self.ws, self.dns, "recipientmx", ["-r"],
                                       "inet:%d@127.0.0.1" % rcpt_port)
        self.policy = h.Heronsend(self.ws, self.dns, "policy",
                                  ["-o", "softfail=refuse,permerror=refuse,temperror=defer",
                                   "-o", "helofail=refuse", "-A", "-V"],
                                  "inet:%d@127.0.0.1" % policy_port)
        self.spare_dns = h.ProgrammableDns(self.ws, SPARE_ZONE, name="sparedns")
        self.spare_dns.start(self.cleanup)
        self.spare = h.Heronsend(self.ws, self.spare_dns, "spare",
                                 ["-k", "postmaster", "-b", "-o", "softfail=quarantine"],
                                 "inet:%d@127.0.0.1" % spare_port)
        self.direct = h.Heronsend(self.ws, self.dns, "direct", [],
                                  "unix:" + self.direct_socket)
        # A daemon of its own behind a name server whose answers change
        # during the run (the DNS cache's error and answer lifetimes).
        self.flapping_dns = h.ProgrammableDns(self.ws, FLAP_ZONE_FAILING, name="flapdns")
        self.flapping_dns.start(self.cleanup)
        self.flapping_socket = os.path.join(self.ws.dir("flapping"), "flapping.sock")
        self.flapping = h.Heronsend(self.ws, self.flapping_dns, "flapping", [],
                                    "unix:" + self.flapping_socket)
        # A daemon behind a name server slower than any check may wait,
        # with resolv.conf's default waits (5 s, 2 tries).
        self.slow_dns = h.ProgrammableDns(self.ws, SLOW_ZONE, name="slowdns",
                                          resolver_options=None)
        self.slow_dns.start(self.cleanup)
        slow_socket = os.path.join(sockets, "slow.sock")
        self.slow = h.Heronsend(self.ws, self.slow_dns, "slow", ["-u", h.POSTFIX_USER],
                                "unix:" + slow_socket)
        self.daemons = [self.main, self.markonly, self.recipientmx, self.policy,
                        self.spare, self.direct, self.flapping, self.slow]
        for d in self.daemons:
            d.start(self.cleanup, self.heronsend)
        self.version_text = self.main.version_text

        self.sink = h.Sink(self.ws)
        self.sink.start(self.cleanup)
        self.postfix = h.Postfix(self.ws, self.sink, {
            "main": "unix:" + main_socket,
            "markonly": "inet:127.0.0.1:%d" % mark_port,
            "recipientmx": "inet:127.0.0.1:%d" % rcpt_port,
            "policy": "inet:127.0.0.1:%d" % policy_port,
            "spare": "inet:127.0.0.1:%d" % spare_port,
            "slow": "unix:" + slow_socket,
        })
        self.postfix.start(self.cleanup)

    def stop(self):
        """Stops everything; returns a list of problems found on the way."""
        if self.stopped:
            return []
        self.stopped = True
        problems = []
        if self.postfix_ready():
            if not self.postfix.wait_queue_empty(20):
                problems.append("postfix queue not empty at the end")
        # libmilter takes a few seconds to stop: signal every daemon first.
        for d in self.daemons:
            d.signal_stop()
        self.cleanup.run()
        problems += self.cleanup.errors
        for d in self.daemons:
            log = d.log_text()
            if d.proc is not None and d.exit_status != 0:
                problems.append("heronsend %s exited with status %s:\n%s"
                                % (d.name, d.exit_status, h.tail(d.log)))
            elif d.proc is not None and " terminating" not in log:
                problems.append("heronsend %s logged no terminating line" % d.name)
            for bad in ("AddressSanitizer", "LeakSanitizer", "runtime error:",
                        "ThreadSanitizer"):
                if bad in log:
                    problems.append("heronsend %s: %s report:\n%s" % (d.name, bad, h.tail(d.log, 60)))
        if getattr(self, "pid_file", None) and os.path.exists(self.pid_file):
            problems.append("heronsend markonly left its PID file behind")
        if self.ws is not None:
            self.ws.remove()
        return problems

    def postfix_ready(self):
        return getattr(self, "postfix", None) is not None and self.postfix.master_pid is not None


# flap.test: its name server fails (SERVFAIL) until the test lets it answer.
FLAP_ZONE_FAILING = {"flap.test": ["SERVFAIL"]}
FLAP_ZONE_ANSWERING = {"flap.test": [{"TXT": "v=spf1 ip4:%s -all" % CLIENT}]}

# ptr.deadline.test: "ptr" over the client's ten names, whose address
# lookups never get an answer (ten full resolver waits: about 100 s).
# chain.deadline.test: an include chain whose every answer comes 3 s late
# (ten records: about 30 s). Either would refuse the mail at its "-all".
SLOW_ZONE = {
    "ptr.deadline.test": [{"TXT": "v=spf1 ptr -all"}],
    "10.2.0.192.in-addr.arpa": [{"PTR": "n%d.ptr.deadline.test" % n} for n in range(10)],
    **{"n%d.ptr.deadline.test" % n: ["TIMEOUT"] for n in range(10)},
    **{("chain.deadline.test" if n == 0 else "c%d.deadline.test" % n):
       [{"TXT": "v=spf1 include:c%d.deadline.test -all" % (n + 1)},
        {"fault": "DELAY", "ms": 3000}] for n in range(10)},
    "c10.deadline.test": [{"TXT": "v=spf1 ip4:192.0.2.99 -all"}],
}

# The spare daemon's own name server: the fails it refuses at each
# recipient, with their explanations, one of them hostile (control
# characters, a line break with a reply code after it, a "%", written "%%"
# in the record's macro language, and 5 000 characters in all), and the
# softfail it quarantines.
SPARE_ZONE = {
    "fail.test": [{"TXT": "v=spf1 ip4:192.0.2.99 -all"}],
    "softfail.test": [{"TXT": "v=spf1 ip4:192.0.2.99 ~all"}],
    "exp.test": [{"TXT": "v=spf1 ip4:192.0.2.99 -all exp=why.exp.test"}],
    "why.exp.test": [{"TXT": "%{i} is not allowed to send mail for %{d}"}],
    "hostile.test": [{"TXT": "v=spf1 ip4:192.0.2.99 -all exp=why.hostile.test"}],
    "why.hostile.test": [{"TXT": ("Go away\r\n550 5.7.1 ok\x01\t100%% sure " +
                                  "lorem ipsum dolor sit amet " * 185)[:5000]}],
    # The same within what libspf2 takes from an explanation record (one
    # character-string of up to 255).
    "short.hostile.test": [{"TXT": "v=spf1 ip4:192.0.2.99 -all exp=why.short.hostile.test"}],
    "why.short.hostile.test": [{"TXT": ("Go away\r\n550 5.7.1 ok\x01\t100%% sure " +
                                        "lorem ipsum dolor sit amet " * 20)[:240]}],
}

WORLD = World()


def setUpModule():
    t0 = time.monotonic()
    atexit.register(WORLD.stop)
    try:
        WORLD.start()
    except BaseException:
        problems = WORLD.stop()
        if problems:
            sys.stderr.write("\n".join(problems) + "\n")
        raise
    through = " through Unbound on %s" % WORLD.dns.resolver if WORLD.dns.resolver else ""
    sys.stderr.write("e2e: set-up took %.1f s (DNS on %s%s, heronsend with %s)\n"
                     % (time.monotonic() - t0, WORLD.dns.address, through,
                        WORLD.version_text))


def tearDownModule():
    t0 = time.monotonic()
    problems = WORLD.stop()
    sys.stderr.write("e2e: tear-down took %.1f s\n" % (time.monotonic() - t0))
    if problems:
        raise AssertionError("\n".join(problems))


class SpfTestCase(unittest.TestCase):
    maxDiff = None

    def assertSpfValue(self, value, prefix):
        """value is prefix + "x-software=heronsend 2.2 URL with VERSION;"."""
        pattern = (re.escape(prefix) + r"x-software=heronsend 2\.2 (http://\S+) with "
                   + re.escape(WORLD.version_text) + ";")
        if not re.fullmatch(pattern, value):
            self.assertEqual(value, prefix + "x-software=heronsend 2.2 <http URL> with %s;"
                             % WORLD.version_text)

    def assertDaemonLogged(self, daemon, text):
        ok = h.wait_until(lambda: text in daemon.log_text(), 5)
        self.assertTrue(ok, "heronsend %s did not log %r:\n%s" % (daemon.name, text,
                                                                  h.tail(daemon.log)))


# --- through Postfix -------------------------------------------------------

class ThroughPostfix(SpfTestCase):
    """SMTP into the private Postfix, delivered messages read from the sink."""

    def session(self, client=CLIENT, helo=HELO, listener="main"):
        s = h.SmtpSession(WORLD.postfix.port(listener), client, helo, client_name=CLIENT_NAME)
        self.addCleanup(s.close)
        return s

    def deliver(self, session, sender, recipients=("user@example.net",), extra_headers=()):
        """Sends one message and expects it accepted and delivered; returns it."""
        mid, text = h.make_message(subject="from %s" % (sender or "<>"),
                                   extra_headers=extra_headers)
        replies = session.send(sender, list(recipients), text)
        self.assertEqual(250, replies["mail"][0], replies)
        self.assertIsNotNone(replies["data"], replies)
        self.assertEqual(250, replies["data"][0], replies)
        msg = WORLD.sink.find(mid)
        self.assertIsNotNone(msg, "message %s not delivered" % mid)
        return msg

    def assertMarked(self, msg, result, checked, client, helo, envelope_from, expl=None,
                     identity=None):
        """The message's first header is the filter's Received-SPF, and the
        only one (unless the message carried others that were kept)."""
        self.assertGreater(len(msg.headers), 1)
        name, value = msg.headers[0]
        self.assertEqual("Received-SPF", name, "not the first header:\n" + msg.raw)
        # Postfix's own Received: header comes right after it.
        self.assertEqual("Received", msg.headers[1][0])
        if expl is None:
            expl = explanation(result, checked, client)
        self.assertSpfValue(value, spf_value_prefix(result, expl, client, helo, envelope_from,
                                                    identity=identity))

    def assertVerdict(self, daemon, message_id, client, helo, sender, identity, spf, action):
        """daemon logged the message's verdict line (-V); a delivered
        message's (message_id given) carries the queue ID Postfix logged for
        it, a refused one none."""
        queue = "-"
        if message_id is not None:
            pattern = re.compile(r"\]: ([0-9A-Za-z]+): message-id=%s$" % re.escape(message_id), re.M)
            self.assertTrue(h.wait_until(lambda: pattern.search(WORLD.postfix.log_text()), 5),
                            "Postfix logged no queue ID for %s" % message_id)
            queue = pattern.search(WORLD.postfix.log_text()).group(1)
        line = ("verdict: queue=%s client=%s client_name=%s helo=%s from=%s identity=%s "
                "spf=%s action=%s time_ms=" % (queue, client, CLIENT_NAME, helo or "-",
                                               sender or "<>", identity, spf, action))
        pattern = re.compile(re.escape(line) + r"\d+ lookups=\d+$", re.M)
        ok = h.wait_until(lambda: pattern.search(daemon.log_text()), 5)
        self.assertTrue(ok, "heronsend %s did not log %r:\n%s" % (daemon.name, line,
                                                                  h.tail(daemon.log)))
        return pattern.search(daemon.log_text()).group(0)

    def deliver_logged(self, session, sender, daemon=None, **fields):
        """deliver(), then assertVerdict() for the message (marked unless
        fields say otherwise)."""
        mid, text = h.make_message(subject="from %s" % (sender or "<>"))
        replies = session.send(sender, ["user@example.net"], text)
        self.assertEqual(250, replies["data"][0], replies)
        msg = WORLD.sink.find(mid)
        self.assertIsNotNone(msg, "message %s not delivered" % mid)
        want = dict(client=session.client, helo=session.helo, sender=sender,
                    identity="mailfrom", action="marked")
        want.update(fields)
        self.assertVerdict(daemon or WORLD.main, mid, **want)
        return msg

    def assertNotDelivered(self, message_id):
        self.assertTrue(WORLD.postfix.wait_queue_empty(), "postfix queue does not drain")
        self.assertEqual([], WORLD.sink.all_with_id(message_id))

    def test_pass(self):
        cases = [
            ("ip4", CLIENT, "a@pass.test"),
            ("a: mechanism", "192.0.2.11", "b@pass.test"),
            ("ip6 in a mixed record", "2001:db8:10::5", "c@pass.test"),
            ("ip6", "2001:db8:6::25", "d@ipv6.test"),
        ]
        for what, client, sender in cases:
            with self.subTest(what):
                msg = self.deliver_logged(self.session(client=client), sender, spf="pass")
                self.assertMarked(msg, "pass", sender, client, HELO, sender)
                self.assertEqual(1, len(msg.values("Received-SPF")))

    def test_fail_is_refused_at_mail_from(self):
        cases = [
            ("ip4", CLIENT, "a@fail.test"),
            ("with exp=", CLIENT, "b@exp.test"),
            ("ip6", "2001:db8:7::1", "c@ipv6.test"),
        ]
        for what, client, sender in cases:
            with self.subTest(what):
                s = self.session(client=client)
                mid, text = h.make_message()
                code, reply = s.mail(sender)
                self.assertEqual((550, "5.7.1 fail"), (code, reply))
                # The client carries on regardless: nothing gets in.
                self.assertEqual(503, s.rcpt("user@example.net")[0])
                self.assertEqual(503, s.data(text)[0])
                self.assertDaemonLogged(WORLD.main, "rejecting mail from [%s] - fail" % client)
                self.assertVerdict(WORLD.main, None, client, HELO, sender, "mailfrom", "fail",
                                   "refused")
                # Postfix's log writer may lag behind the SMTP reply.
                line = ("milter-reject: MAIL from %s[%s]: 550 5.7.1 fail"
                        % (CLIENT_NAME, client))
                self.assertTrue(h.wait_until(lambda: line in WORLD.postfix.log_text(), 5),
                                "Postfix did not log %r" % line)
                self.assertNotDelivered(mid)

    def test_kept_recipient_receives_and_the_reply_explains(self):
        """-k postmaster -b: a fail is refused at each RCPT TO but
        postmaster's, with the sender domain's explanation; the message
        reaches postmaster alone, marked fail. (Without -k and -b:
        test_fail_is_refused_at_mail_from.)"""
        cases = [
            ("a@exp.test", "5.7.1 The domain exp.test explains: 192.0.2.10 is not "
             "allowed to send mail for exp.test"),
            # libspf2's default explanation.
            ("b@fail.test", "5.7.1 The domain fail.test explains: Please see "
             "http://www.openspf.org/Why?id=b"),
        ]
        for sender, reply in cases:
            with self.subTest(sender):
                s = self.session(listener="spare")
                mid, text = h.make_message()
                self.assertEqual(250, s.mail(sender)[0])
                code, refused = s.rcpt("user@example.net")
                self.assertEqual(550, code)
                self.assertTrue(refused.startswith(reply), refused)
                self.assertEqual(250, s.rcpt("postmaster@example.net")[0])
                self.assertEqual(250, s.data(text)[0])
                msg = WORLD.sink.find(mid)
                self.assertIsNotNone(msg, "not delivered to postmaster")
                self.assertEqual(1, len(msg.recipients()), msg.sink_fields)
                self.assertIn("postmaster@example.net", msg.recipients()[0])
                self.assertMarked(msg, "fail", sender, CLIENT, HELO, sender)
                self.assertDaemonLogged(WORLD.spare, "accepting mail from [%s] for kept "
                                        "recipient 'postmaster@example.net' - fail" % CLIENT)
                self.assertEqual([], [m for m in WORLD.sink.all_with_id(mid)
                                      if "user@example.net" in " ".join(m.recipients())])

    def test_hostile_explanation_stays_text(self):
        """The sender's explanation with control characters, a line break
        and a reply code in it: the client gets one 550 reply of bounded
        printable lines, each of them 550 5.7.1, the text marked as the
        domain's. An explanation of 5 000 characters is cut (at 600, "..."
        at its end); one of 240 is cut into lines."""
        cases = [("hostile.test", "Go away 550 5.7.1 ok 100% sure lorem ipsum"),
                 ("short.hostile.test", "Go away 550 5.7.1 ok 100% sure lorem ipsum")]
        for domain, words in cases:
            with self.subTest(domain):
                s = self.session(listener="spare")
                self.assertEqual(250, s.mail("a@" + domain)[0])
                code, text = s.rcpt("user@example.net")
                self.assertEqual(550, code, text)
                lines = text.split("\n")
                sys.stderr.write("\ne2e: %s's explanation as the client sees it:\n%s\n"
                                 % (domain, "\n".join("550 " + l for l in lines)))
                self.assertTrue(lines[0].startswith("5.7.1 The domain %s explains:" % domain),
                                lines[0])
                self.assertIn(words, " ".join(l[6:] for l in lines))
                self.assertEqual(domain == "hostile.test", lines[-1].endswith("..."), lines[-1])
                self.assertLessEqual(len(lines), 4)
                for line in lines:
                    self.assertTrue(line.startswith("5.7.1 "), line)
                    self.assertLessEqual(len(line), 6 + 200)
                    self.assertTrue(all(" " <= ch <= "~" for ch in line), repr(line))
                # The session goes on as usual.
                self.assertEqual(250, s.rcpt("postmaster@example.net")[0])

    def test_quarantine_holds_until_released(self):
        """-o softfail=quarantine: accepted, marked, held by Postfix with
        heronsend's reason; postsuper -r releases it to its recipient.
        (Without the option a softfail is delivered at once:
        test_other_results_are_delivered_and_marked.)"""
        s = self.session(listener="spare")
        mid, text = h.make_message()
        replies = s.send("a@softfail.test", ["user@example.net"], text)
        self.assertEqual(250, replies["data"][0], replies)
        # Postfix logs the hold, not the filter's reason.
        self.assertTrue(h.wait_until(lambda: "milter triggers HOLD action; from=<a@softfail.test>"
                                     in WORLD.postfix.log_text(), 5),
                        h.tail(WORLD.postfix.maillog))
        self.assertDaemonLogged(WORLD.spare, "quarantining mail from [%s] - softfail" % CLIENT)
        conf = ["-c", WORLD.postfix.config_dir]
        queue = subprocess.run(["postqueue", *conf, "-j"], capture_output=True, text=True,
                               timeout=30).stdout
        held = [json.loads(l) for l in queue.splitlines() if l.startswith("{")]
        # Released whatever the test finds, so that the queue drains.
        self.addCleanup(subprocess.run, ["postsuper", *conf, "-r", "ALL"], capture_output=True)
        self.assertEqual(["hold"], [q["queue_name"] for q in held], queue)
        self.assertEqual([], WORLD.sink.all_with_id(mid))
        subprocess.run(["postsuper", *conf, "-r", held[0]["queue_id"]], check=True,
                       capture_output=True, timeout=30)
        subprocess.run(["postqueue", *conf, "-f"], capture_output=True, timeout=30)
        msg = WORLD.sink.find(mid)
        self.assertIsNotNone(msg, "not delivered after the release")
        # postsuper -r passes it through cleanup again, which adds a
        # Received: line above heronsend's header.
        self.assertSpfValue(msg.values("Received-SPF")[0], spf_value_prefix(
            "softfail", explanation("softfail", "a@softfail.test", CLIENT), CLIENT, HELO,
            "a@softfail.test"))

    def test_mark_only_marks_a_fail(self):
        for sender in ("a@fail.test", "b@exp.test"):
            with self.subTest(sender):
                msg = self.deliver_logged(self.session(listener="markonly"), sender,
                                          daemon=WORLD.markonly, spf="fail")
                self.assertMarked(msg, "fail", sender, CLIENT, HELO, sender)

    def test_daemon_switched_user_and_wrote_its_pid(self):
        daemon = WORLD.markonly
        self.assertEqual("%d\n" % daemon.proc.pid, h.read_text(WORLD.pid_file))
        uid = str(pwd.getpwnam(h.POSTFIX_USER).pw_uid)
        status = h.read_text("/proc/%d/status" % daemon.proc.pid)
        uids = re.search(r"^Uid:\s+(.*)$", status, re.M).group(1).split()
        self.assertEqual([uid] * 4, uids)

    def test_hostile_records_do_not_stop_the_daemon(self):
        # An explanation that compiles past the library's buffer: the fail
        # stands (the explanation is only lost).
        s = self.session()
        self.assertEqual((550, "5.7.1 fail"), s.mail("a@exp127.evil.test"))
        s.rset()
        # The sender's own record overflows the compiler: a permanent
        # error in the sender's record, "permerror".
        msg = self.deliver(s, "b@mech127.evil.test")
        self.assertMarked(msg, "permerror", "b@mech127.evil.test", CLIENT, HELO,
                          "b@mech127.evil.test")
        # The same daemon serves the next connection.
        msg = self.deliver(self.session(), "c@pass.test")
        self.assertMarked(msg, "pass", "c@pass.test", CLIENT, HELO, "c@pass.test")
        self.assertIsNone(WORLD.main.proc.poll(), "the daemon is still running")

    def test_other_results_are_delivered_and_marked(self):
        cases = [
            ("softfail", "a@softfail.test"),
            ("neutral", "a@neutral.test"),
            ("none", "a@none.test"),
            ("none", "a@nxdomain.test"),
            ("permerror", "a@permerror.test"),
            ("temperror", "a@temperror.test"),
            ("temperror", "a@slowdns.test"),
            # The sender's own record broken, its own lookup failing.
            ("permerror", "a@broken.test"),
            ("temperror", "a@dead.test"),
        ]
        for result, sender in cases:
            with self.subTest(sender=sender):
                msg = self.deliver_logged(self.session(), sender, spf=result)
                self.assertMarked(msg, result, sender, CLIENT, HELO, sender)

    def test_null_sender_with_helo(self):
        msg = self.deliver_logged(self.session(helo="helo.pass.test"), "", spf="pass",
                                  identity="helo")
        self.assertMarked(msg, "pass", "mailer_daemon@helo.pass.test", CLIENT,
                          "helo.pass.test", "")

    def test_null_sender_without_helo(self):
        msg = self.deliver_logged(self.session(helo=None), "", spf="none", identity="helo")
        self.assertMarked(msg, "none", "mailer_daemon@[%s]" % CLIENT, CLIENT, None, "")

    def test_allowlisted_client_networks(self):
        for client in ("198.51.100.7", "2001:db8:a11::7"):
            with self.subTest(client):
                msg = self.deliver_logged(self.session(client=client), "a@fail.test",
                                          spf="pass", identity="allowlist")
                self.assertMarked(msg, "pass", None, client, HELO, "a@fail.test",
                                  expl="%s: %s is allowlisted" % (R, client),
                                  identity="x-local")
                # The log shows the address as the allowlist formats it: an
                # IPv6 address with all eight groups.
                shown = client
                if ":" in client:
                    groups = struct.unpack(">8H", socket.inet_pton(socket.AF_INET6, client))
                    shown = ":".join("%x" % g for g in groups)
                self.assertDaemonLogged(WORLD.main, 'allowlist "%s" [%s]' % (CLIENT_NAME, shown))

    def test_authenticated_submission(self):
        client = "203.0.113.9"
        s = self.session(client=client)
        self.assertEqual(235, s.login()[0])
        msg = self.deliver_logged(s, "alice@fail.test", spf="pass", identity="auth")
        self.assertMarked(msg, "pass", None, client, HELO, "alice@fail.test",
                          expl="%s: authenticated connection" % R, identity="x-local")

    def test_forged_received_spf_headers_are_removed(self):
        forged_a = ("pass (other.example: domain of x@pass.test designates 192.0.2.10 as "
                    "permitted sender) receiver=MX.Test.Example; client-ip=192.0.2.10")
        forged_b = "fail (mx.test.example: this looks like ours) client-ip=192.0.2.1"
        unrelated = ("neutral (other.example: 192.0.2.1 is neither permitted nor denied by "
                     "domain of x@other.example) receiver=other.example; client-ip=192.0.2.1")
        msg = self.deliver(self.session(), "a@pass.test", extra_headers=[
            "Received-SPF: " + forged_a,
            "Received-SPF: " + unrelated,
            "Received-SPF: " + forged_b,
        ])
        self.assertMarked(msg, "pass", "a@pass.test", CLIENT, HELO, "a@pass.test")
        values = msg.values("Received-SPF")
        self.assertEqual(2, len(values), values)
        self.assertEqual(unrelated, values[1])
        self.assertDaemonLogged(WORLD.main, "found possible spoofed header - '%s'" % forged_a)
        self.assertDaemonLogged(WORLD.main, "found possible spoofed header - '%s'" % forged_b)

    def test_ten_forged_headers_remove_every_received_spf(self):
        forged = ["Received-SPF: pass (%s: forged %d) client-ip=192.0.2.1" % (R.upper(), n)
                  for n in range(10)]
        unrelated = "Received-SPF: pass (other.example: kept otherwise) client-ip=192.0.2.1"
        msg = self.deliver(self.session(), "a@pass.test",
                           extra_headers=forged[:5] + [unrelated] + forged[5:])
        self.assertMarked(msg, "pass", "a@pass.test", CLIENT, HELO, "a@pass.test")
        self.assertEqual(1, len(msg.values("Received-SPF")))

    def test_messages_on_one_connection(self):
        s = self.session()
        first = self.deliver(s, "a@pass.test")
        self.assertMarked(first, "pass", "a@pass.test", CLIENT, HELO, "a@pass.test")
        second = self.deliver(s, "b@softfail.test")
        self.assertMarked(second, "softfail", "b@softfail.test", CLIENT, HELO, "b@softfail.test")
        # A refused message does not disturb the next one.
        self.assertEqual(550, s.mail("c@fail.test")[0])
        s.rset()
        # A second, different EHLO: the header keeps the first name.
        s.smtp.ehlo("other-name.e2e.test")
        third = self.deliver(s, "d@neutral.test")
        self.assertMarked(third, "neutral", "d@neutral.test", CLIENT, HELO, "d@neutral.test")
        self.assertDaemonLogged(WORLD.main, "multiple HELOs from %s [%s] - ignoring 'other-name.e2e.test'"
                        % (HELO, CLIENT))

    def test_several_recipients(self):
        recipients = ["one@example.net", "two@example.org", "three@rcpt.test"]
        msg = self.deliver(self.session(), "a@pass.test", recipients=recipients)
        self.assertMarked(msg, "pass", "a@pass.test", CLIENT, HELO, "a@pass.test")
        self.assertEqual(1, len(msg.values("Received-SPF")))
        self.assertEqual(sorted("<%s> ORCPT=rfc822;%s" % (r, r) for r in recipients),
                         sorted(msg.recipients()))

    def test_receivers_choices(self):
        """-o: softfail and permerror refused, temperror deferred, with the
        replies RFC 7208 names; pass and neutral marked as usual."""
        cases = [
            ("a@softfail.test", (550, "5.7.1 softfail")),
            ("a@permerror.test", (550, "5.5.2 permerror")),
            ("a@broken.test", (550, "5.5.2 permerror")),
            ("a@temperror.test", (451, "4.4.3 temperror")),
            ("a@dead.test", (451, "4.4.3 temperror")),
            ("a@fail.test", (550, "5.7.1 fail")),
        ]
        for sender, reply in cases:
            with self.subTest(sender):
                s = self.session(listener="policy")
                self.assertEqual(reply, s.mail(sender))
                what = "deferring" if reply[0] == 451 else "rejecting"
                self.assertDaemonLogged(WORLD.policy, "%s mail from [%s] - %s"
                                        % (what, CLIENT, reply[1][6:]))
                self.assertVerdict(WORLD.policy, None, CLIENT, HELO, sender, "mailfrom",
                                   reply[1][6:], "deferred" if reply[0] == 451 else "refused")
        msg = self.deliver(self.session(listener="policy"), "a@neutral.test")
        self.assertEqual("neutral", msg.values("Received-SPF")[0].split()[0])

    def test_helo_identity(self):
        """The HELO name checked on its own: a fail refused at MAIL FROM, a
        pass and an address literal (none, without a query) recorded in a
        header of their own, below the sender's, and in
        Authentication-Results."""
        s = self.session(listener="policy", helo="fail.test")
        self.assertEqual((550, "5.7.1 HELO fail"), s.mail("a@pass.test"))
        for helo, word in (("helo.pass.test", "pass"), ("[%s]" % CLIENT, "none")):
            with self.subTest(helo):
                msg = self.deliver(self.session(listener="policy", helo=helo), "a@pass.test")
                names = [n for n, _ in msg.headers[:4]]
                self.assertEqual(["Received-SPF", "Received-SPF", "Authentication-Results",
                                  "Received"], names, msg.raw)
                sender, helo_spf = msg.values("Received-SPF")
                self.assertIn(" identity=mailfrom;", sender)
                self.assertTrue(helo_spf.startswith("%s (%s: " % (word, R)), helo_spf)
                self.assertIn("postmaster@%s" % helo, helo_spf)
                self.assertIn(" identity=helo;", helo_spf)
                ar = msg.values("Authentication-Results")[0]
                self.assertIn("smtp.mailfrom=pass.test; spf=%s (" % word, ar)

    def test_a_check_ends_as_temperror_by_its_deadline(self):
        # Both at once, on one daemon: each check ends by its own 20 s.
        results = {}

        def send(sender):
            t0 = time.monotonic()
            s = h.SmtpSession(WORLD.postfix.port("slow"), CLIENT, HELO,
                              client_name=CLIENT_NAME)
            try:
                mid, text = h.make_message(subject="from %s" % sender)
                replies = s.send(sender, ["user@example.net"], text)
                results[sender] = (replies, mid, time.monotonic() - t0)
            finally:
                s.close()

        senders = ["a@ptr.deadline.test", "b@chain.deadline.test"]
        threads = [threading.Thread(target=send, args=(x,)) for x in senders]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        for sender in senders:
            with self.subTest(sender):
                replies, mid, took = results[sender]
                sys.stderr.write("e2e: %s checked in %.1f s\n" % (sender, took))
                # Past Postfix's 30 s wait the mail would go through unmarked.
                self.assertEqual(250, replies["mail"][0], replies)
                self.assertEqual(250, replies["data"][0], replies)
                msg = WORLD.sink.find(mid)
                self.assertIsNotNone(msg)
                self.assertMarked(msg, "temperror", sender, CLIENT, HELO, sender)
                self.assertDaemonLogged(WORLD.slow, "SPF check of '%s' ran out of time "
                                        "(20 s) - temperror" % sender)

    def test_recipient_mx_mode(self):
        # In -r mode the sender is not checked at MAIL FROM (a fail.test
        # sender is let in); the verdict is whether the client is an MX host
        # of the recipient's domain.
        cases = [
            ("the recipient domain's MX host", "192.0.2.25", "pass"),
            ("another host", "192.0.2.26", "neutral"),
        ]
        for what, client, result in cases:
            with self.subTest(what):
                s = self.session(client=client, listener="recipientmx")
                msg = self.deliver(s, "a@fail.test", recipients=["user@rcpt.test"])
                self.assertMarked(msg, result, "a@fail.test", client, HELO, "a@fail.test",
                                  identity="x-local")


# --- through the milter client --------------------------------------------

def connection_script(client=CLIENT, helo=HELO, j=R, host=CLIENT_NAME):
    lines = []
    if j is not None:
        lines.append("macros j=%s {daemon_name}=e2e v=milter_client" % j)
    lines.append("connect %s %s 4321" % (host, client))
    if helo is not None:
        lines.append("helo %s" % helo)
    return lines


def message_script(sender, mail_macros=(), refused=False, headers=(("Subject", "test"),)):
    """One message; a refused one ends after MAIL, as an MTA would."""
    lines = []
    if mail_macros:
        lines.append("macros " + " ".join(mail_macros))
    lines.append("mail <%s>" % sender)
    if refused:
        return lines + ["abort"]
    lines += ["rcpt <user@example.net>", "data"]
    for name, value in headers:
        lines.append("header %s %s" % (name, value))
    return lines + ["eoh", "body Hello.\\r\\n", "eom"]


class ThroughMilterClient(SpfTestCase):
    """The `direct` daemon, driven by the project's milter client. Its first
    connection comes without the "{j}" macro, so its receiver is the host
    name of this machine for the rest of the run."""

    @classmethod
    def setUpClass(cls):
        cls.host = socket.gethostname()
        cls.first = cls.run_script(connection_script(j=None) + message_script("a@pass.test"))

    @classmethod
    def run_script(cls, lines):
        rc, answers, err = h.run_milter_client(WORLD.milter_client,
                                               "unix:" + WORLD.direct_socket, lines + ["quit"])
        if rc != 0:
            raise AssertionError("milter_client failed (%d): %s\n%s" % (rc, err, answers))
        return answers

    def steps(self, answers, step):
        return [a for a in answers if a["step"] == step]

    def assertHeaderInserted(self, eom, prefix):
        self.assertEqual("answered", eom["status"], eom)
        self.assertEqual("continue", eom.get("reply"), eom)
        mods = eom["modifications"]
        self.assertEqual(1, len(mods), mods)
        self.assertEqual(("insheader", 0, "Received-SPF"),
                         (mods[0]["action"], mods[0]["index"], mods[0]["name"]))
        self.assertSpfValue(mods[0]["value"], prefix)

    def expected(self, result, sender, client=CLIENT, helo=HELO, checked=None, expl=None,
                 identity=None):
        if expl is None:
            expl = explanation(result, checked or sender, client, receiver=self.host)
        return spf_value_prefix(result, expl, client, helo, sender, receiver=self.host,
                                identity=identity)

    def test_a_failed_lookup_is_retried_within_seconds(self):
        def message(sender):
            rc, answers, err = h.run_milter_client(
                WORLD.milter_client, "unix:" + WORLD.flapping_socket,
                connection_script() + message_script(sender) + ["quit"])
            self.assertEqual(0, rc, err)
            return self.steps(answers, "eom")[0]
        def passed(sender):  # this daemon's receiver comes from "{j}"
            return spf_value_prefix("pass", explanation("pass", sender, CLIENT), CLIENT,
                                    HELO, sender)
        dns = WORLD.flapping_dns
        failed_at = time.monotonic()
        eom = message("a@flap.test")
        self.assertRegex(eom["modifications"][0]["value"], r"^temperror ",
                         "the failed lookup decides the first message")
        asked = dns.queries("flap.test")
        self.assertGreater(asked, 0)
        dns.reload(FLAP_ZONE_ANSWERING)
        # The error is kept for 5 seconds, no longer. Messages keep coming
        # meanwhile, as they would (and libmilter's idle worker threads,
        # which end racily, stay busy).
        while time.monotonic() < failed_at + 5.5:
            message("c@flap.test")
            time.sleep(0.25)
        self.assertHeaderInserted(message("a@flap.test"), passed("a@flap.test"))
        self.assertGreater(dns.queries("flap.test"), asked)
        # The answer itself is kept: the next message asks nobody.
        asked = dns.queries("flap.test")
        self.assertHeaderInserted(message("b@flap.test"), passed("b@flap.test"))
        self.assertEqual(asked, dns.queries("flap.test"))

    def test_negotiation_asks_to_add_and_change_headers(self):
        neg = self.steps(self.first, "negotiate")[0]
        self.assertEqual(6, neg["version"])
        self.assertEqual(0x11, neg["actions"])

    def test_negotiation_asks_for_replies_only_where_the_filter_decides(self):
        # No body, no unknown commands, no reply at CONNECT, HELO, RCPT TO,
        # the header fields and end of headers (through Postfix the other
        # tests show the verdicts, the forged headers removed and -r).
        self.assertEqual(SMFIP_NOBODY | SMFIP_NOUNKNOWN | SMFIP_NR_CONN | SMFIP_NR_HELO |
                         SMFIP_NR_RCPT | SMFIP_NR_HDR | SMFIP_NR_EOH,
                         self.steps(self.first, "negotiate")[0]["protocol"])
        self.assertEqual([("connect", "no_reply"), ("helo", "no_reply"), ("mail", "answered"),
                          ("rcpt", "no_reply"), ("data", "answered"), ("header", "no_reply"),
                          ("eoh", "no_reply"), ("body", "not_sent"), ("eom", "answered")],
                         [(a["step"], a["status"]) for a in self.first
                          if a["step"] not in ("negotiate", "quit")])
        # An MTA that offers no no-reply flag gets a reply at every step, as
        # before (libmilter answers for the filter), and the same verdict.
        answers = self.run_script(["negotiate 0x1ff 0x%x" % (SMFI_CURR_PROT & ~NO_REPLY_FLAGS)]
                                  + connection_script() + message_script("a@pass.test"))
        self.assertEqual(0, self.steps(answers, "negotiate")[0]["protocol"] & NO_REPLY_FLAGS)
        self.assertEqual(["continue"] * 7, [a.get("reply") for a in answers
                                            if a["step"] not in ("negotiate", "body")][:7])
        self.assertHeaderInserted(self.steps(answers, "eom")[0],
                                  self.expected("pass", "a@pass.test"))

    def test_data_step_is_answered(self):
        # The MTA is asked to send DATA and to wait for the filter's reply
        # (a DATA packet nobody answers stalls the next write under Nagle).
        self.assertEqual(0, self.steps(self.first, "negotiate")[0]["protocol"]
                         & (SMFIP_NODATA | SMFIP_NR_DATA))
        data = self.steps(self.first, "data")
        self.assertEqual([("answered", "continue")],
                         [(a["status"], a.get("reply")) for a in data])

    def test_receiver_from_gethostname_without_j(self):
        self.assertHeaderInserted(self.steps(self.first, "eom")[0],
                                  self.expected("pass", "a@pass.test"))

    def test_receiver_stays_after_the_first_connection(self):
        answers = self.run_script(connection_script(j="other.example") +
                                  message_script("b@pass.test"))
        self.assertHeaderInserted(self.steps(answers, "eom")[0],
                                  self.expected("pass", "b@pass.test"))

    def test_verified_certificate_counts_as_authenticated(self):
        answers = self.run_script(connection_script() +
                                  message_script("a@fail.test", mail_macros=["{verify}=OK"]))
        self.assertEqual("continue", self.steps(answers, "mail")[0].get("reply"))
        self.assertHeaderInserted(self.steps(answers, "eom")[0], self.expected(
            "pass", "a@fail.test", expl="%s: authenticated connection" % self.host,
            identity="x-local"))

    def test_unverified_certificate_is_checked(self):
        answers = self.run_script(connection_script() +
                                  message_script("a@fail.test", mail_macros=["{verify}=FAIL"],
                                                 refused=True))
        mail = self.steps(answers, "mail")[0]
        self.assertEqual(("replycode", "550 5.7.1 fail"), (mail.get("reply"), mail.get("text")))

    def test_auth_type_macro_counts_as_authenticated(self):
        answers = self.run_script(connection_script() +
                                  message_script("a@fail.test", mail_macros=["{auth_type}=PLAIN"]))
        self.assertHeaderInserted(self.steps(answers, "eom")[0], self.expected(
            "pass", "a@fail.test", expl="%s: authenticated connection" % self.host,
            identity="x-local"))

    def test_abort_between_messages(self):
        lines = connection_script()
        lines += ["mail <a@softfail.test>", "rcpt <user@example.net>", "abort"]
        lines += message_script("b@pass.test")
        answers = self.run_script(lines)
        eoms = self.steps(answers, "eom")
        self.assertEqual(1, len(eoms))
        self.assertHeaderInserted(eoms[0], self.expected("pass", "b@pass.test"))

    def test_many_messages_on_one_connection(self):
        kinds = ["pass", "softfail", "neutral", "none", "fail"]
        lines = connection_script()
        plan = []
        for n in range(100):
            kind = kinds[n % len(kinds)]
            sender = "m%d@%s.test" % (n, kind)
            plan.append((kind, sender))
            lines += message_script(sender, refused=(kind == "fail"))
        t0 = time.monotonic()
        answers = self.run_script(lines)
        elapsed = time.monotonic() - t0
        mails = self.steps(answers, "mail")
        eoms = iter(self.steps(answers, "eom"))
        self.assertEqual(len(plan), len(mails))
        for (kind, sender), mail in zip(plan, mails):
            if kind == "fail":
                self.assertEqual(("replycode", "550 5.7.1 fail"),
                                 (mail.get("reply"), mail.get("text")), sender)
            else:
                self.assertEqual("continue", mail.get("reply"), sender)
                self.assertHeaderInserted(next(eoms), self.expected(kind, sender))
        self.assertIsNone(next(eoms, None))
        sys.stderr.write("e2e: 100 messages on one milter connection in %.2f s\n" % elapsed)

    def test_ipv4_mapped_client_is_checked_as_ipv4(self):
        answers = self.run_script(connection_script(client="::ffff:192.0.2.10") +
                                  message_script("a@pass.test"))
        self.assertHeaderInserted(self.steps(answers, "eom")[0],
                                  self.expected("pass", "a@pass.test", client="192.0.2.10"))

    def test_sender_without_at_is_checked_as_mailer_daemon_at_helo(self):
        answers = self.run_script(connection_script(helo="helo.pass.test") +
                                  message_script("postmaster"))
        self.assertHeaderInserted(self.steps(answers, "eom")[0], self.expected(
            "pass", "postmaster", helo="helo.pass.test",
            checked="mailer_daemon@helo.pass.test"))

    def test_connection_without_address_is_accepted(self):
        # CONNECT does not reply: the acceptance comes at MAIL FROM.
        answers = self.run_script(["connect %s -" % CLIENT_NAME, "mail <a@fail.test>"])
        self.assertEqual("no_reply", self.steps(answers, "connect")[0]["status"])
        self.assertEqual("accept", self.steps(answers, "mail")[0].get("reply"))


# --- heronsend-check --------------------------------------------------------

class CheckTool(SpfTestCase):
    """heronsend-check against the same test DNS, with no -R: its receiver
    is this machine's host name, as the daemon finds it without "{j}"."""

    @classmethod
    def setUpClass(cls):
        cls.tool = h.binary("HERONSEND_CHECK", "build/gcc/src/heronsend-check")
        cls.host = socket.gethostname()

    def check(self, *args):
        r = subprocess.run(h.with_resolv_conf(WORLD.dns.resolv_conf, [self.tool, *args]),
                           capture_output=True, text=True, errors="replace", timeout=30)
        return r.returncode, r.stdout, r.stderr

    def test_verbose_output(self):
        x = "x-software=heronsend 2.2 http://www.heronsend.org/ with %s;" % WORLD.version_text
        cases = [
            (["-v", CLIENT, "a@pass.test", "mail.test"], 0, [
                "pass",
                "Received-SPF: " + spf_value_prefix(
                    "pass", explanation("pass", "a@pass.test", CLIENT, self.host), CLIENT,
                    "mail.test", "a@pass.test", receiver=self.host) + x,
                "MAIL FROM: continue",
                "Options: none",
                "DNS TXT pass.test: NOERROR, 1 record, not cached, T ms",
                '    "v=spf1 ip4:192.0.2.10 ip6:2001:db8:10::/48 a:mail.pass.test -all"',
                "matched: pass.test: ip4:192.0.2.10"]),
            # Refused: the header is the one -m would insert; the
            # explanation record is looked up too.
            (["-v", "-R", R, "192.0.2.11", "a@exp.test"], 1, [
                "fail",
                "Received-SPF: " + spf_value_prefix(
                    "fail", explanation("fail", "a@exp.test", "192.0.2.11"), "192.0.2.11",
                    None, "a@exp.test") + x,
                "MAIL FROM: 550 5.7.1 fail",
                "Options: none",
                "DNS TXT exp.test: NOERROR, 1 record, not cached, T ms",
                '    "v=spf1 ip4:192.0.2.99 -all exp=why.exp.test"',
                "DNS TXT why.exp.test: NOERROR, 1 record, not cached, T ms",
                '    "%{i} is not allowed to send mail for %{d}"',
                "matched: exp.test: -all"]),
        ]
        for args, status, lines in cases:
            with self.subTest(args=args):
                rc, out, err = self.check(*args)
                self.assertEqual(status, rc, err)
                self.assertEqual(lines, re.sub(r"\d+\.\d ms", "T ms", out).splitlines())

    def test_exit_status_is_the_verdicts(self):
        cases = [
            ([CLIENT, "a@pass.test"], 0, "pass", "client-ip=%s;" % CLIENT),
            (["::ffff:192.0.2.10", "a@pass.test"], 0, "pass", "client-ip=%s;" % CLIENT),
            ([CLIENT, "<>", "helo.pass.test"], 0, "pass", "identity=helo;"),
            ([CLIENT, "", "helo.pass.test"], 0, "pass", 'envelope-from="";'),
            ([CLIENT, "postmaster", "helo.pass.test"], 0, "pass",
             "domain of mailer_daemon@helo.pass.test designates"),
            ([CLIENT, "a@fail.test"], 1, "fail", "identity=mailfrom;"),
            ([CLIENT, "a@softfail.test"], 2, "softfail", ""),
            ([CLIENT, "a@neutral.test"], 3, "neutral", ""),
            ([CLIENT, "a@none.test"], 4, "none", ""),
            ([CLIENT, ""], 4, "none", "mailer_daemon@[%s]" % CLIENT),
            ([CLIENT, "a@permerror.test"], 5, "permerror", ""),
            ([CLIENT, "a@temperror.test"], 6, "temperror", ""),
            (["-r", "-T", "user@rcpt.test", "192.0.2.25", "a@fail.test"], 0, "pass",
             "identity=x-local;"),
            # A recipient domain the library is not given: accepted unchecked.
            (["--to=user@rcpt%test", "-r", "192.0.2.25", "a@pass.test"], 7, "unchecked", ""),
            # The service's option line as it stands; -u, -p, -X are ignored.
            (["-X", "-u", "heronsend", "-p", "/nonexistent/pid", "-m", CLIENT,
              "a@fail.test"], 1, "fail", "identity=mailfrom;"),
            # A legal sender longer than RFC 5321's 256-character path.
            ([CLIENT, "a" * 64 + "@" + ("d" * 63 + ".") * 3 + "pass.test"], 4, "none", ""),
        ]
        for args, status, word, text in cases:
            with self.subTest(args=args):
                rc, out, err = self.check(*args)
                self.assertEqual(status, rc, out + err)
                lines = out.splitlines()
                self.assertEqual(word, lines[0])
                self.assertIn(text, lines[1])

    def test_bad_input_is_one_line(self):
        cases = [
            (["192.0.2.300", "a@pass.test"], "not an IPv4 or IPv6 address - '192.0.2.300'"),
            (["2001:db8::1%eth0", "a@pass.test"], "not an IPv4 or IPv6 address"),
            ([CLIENT, "a" * 2100 + "@pass.test"], "the sender is longer than 2048 characters"),
            ([CLIENT, "a@pass.test\r\nX-Forged: 1"], "the sender holds a control character"),
            ([CLIENT, "a@pass.test", "mail\ttest"], "the HELO name holds a control character"),
            ([CLIENT, "a@pass.test", "h" * 300], "the HELO name is longer than 255"),
            (["-R", "", CLIENT, "a@pass.test"], "the receiver name is empty"),
            (["-r", CLIENT, "a@pass.test"], "-r (recipient-MX mode) needs the recipient"),
        ]
        for args, text in cases:
            with self.subTest(args=args[:2]):
                rc, out, err = self.check(*args)
                self.assertEqual((64, ""), (rc, out))
                self.assertEqual(["heronsend-check: " + text],
                                 [l[:len(text) + 17] for l in err.splitlines()])
        for args in ([], [CLIENT], [CLIENT, "a@pass.test", "h", "extra"], ["-x", CLIENT, "a"]):
            with self.subTest(args=args):
                rc, out, err = self.check(*args)
                self.assertEqual((64, ""), (rc, out))
                self.assertIn("usage: heronsend-check [options] CLIENT-ADDRESS SENDER [HELO]",
                              err.splitlines())


def main():
    try:
        h.require_root()
    except h.Skip as e:
        print("SKIP: heronsend end-to-end tests: %s" % e)
        return 77
    # Never outlive a stuck run (CTest's own timeout would leave Postfix
    # behind), and clean up when stopped from outside. unittest would only
    # record an exception raised here as one test's error and carry on, so
    # stop everything right in the handler and leave.
    abandoning = []

    def abandon(signum, _frame):
        # A second signal (timeout(1) signals the child and then its whole
        # process group) may arrive while this runs: it must not cut it short.
        # The same goes for the normal tear-down: let it finish.
        if abandoning or WORLD.stopped:
            abandoning.append(signum)
            return
        abandoning.append(signum)
        reason = "took longer than 270 s" if signum == signal.SIGALRM else "stopped by a signal"
        sys.stderr.write("\ne2e: run %s: stopping every process it started\n" % reason)
        for problem in WORLD.stop():
            sys.stderr.write(problem + "\n")
        sys.stderr.flush()
        os._exit(1 if signum == signal.SIGALRM else 128 + signum)

    for sig in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, abandon)
    signal.alarm(270)
    t0 = time.monotonic()
    program = unittest.main(exit=False, verbosity=2)
    signal.alarm(0)
    result = program.result
    print("e2e: %d tests in %.1f s" % (result.testsRun, time.monotonic() - t0))
    if abandoning:
        return 128 + abandoning[0]
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
