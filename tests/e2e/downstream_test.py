#!/usr/bin/python3
"""heronsend's verdict as the programs after it read it: OpenDMARC and
SpamAssassin, from Debian's packages, behind the real daemon in a private
Postfix.

The chain is the usual one: Postfix -> heronsend (-m, so that every verdict
reaches the readers) -> OpenDMARC, configured with the settings that
docs/admin.md gives (taken from the guide itself): it takes its SPF result
from the headers and trusts heronsend's authserv-id (the receiver). Every sender domain publishes "v=DMARC1; p=reject" and no
message has a DKIM signature, so DMARC passes only on an aligned SPF pass.
OpenDMARC runs with RejectFailures false, so that every message is
delivered with its verdict (its Authentication-Results dmarc=) and its
history record (the SPF result it took). SpamAssassin then reads each
delivered message with DNS turned off (dns_available no): any SPF rule it
fires comes from heronsend's header.

Two Postfix listeners: one with heronsend's Received-SPF alone, one with
-A (Authentication-Results too). Each case runs through both and must give
the same readings.

Forwarded mail (FORWARDING): two more listeners, heronsend without
options and with -o fail=dmarc, each followed by OpenDKIM (verifying) and
a second OpenDMARC that refuses what fails DMARC (RejectFailures true).
The messages come from a forwarder's address, so SPF fails; some carry a
DKIM signature of the sender's domain (python3-dkim, the key in the test
DNS).

Run as root: tests/e2e/downstream_test.py [-v]. Without root, or without
opendmarc and spamassassin, it says why and exits 77 (CTest: skipped).
HERONSEND_BINARY names the daemon (default: the build/gcc tree).
"""

import base64
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "docs"))
import doc_examples as docs  # noqa: E402
import harness as h  # noqa: E402

R = h.RECEIVER
CLIENT = "192.0.2.10"
HELO = "sender.e2e.test"

# The SPF result OpenDMARC took, as its history file records it (its
# Authentication-Results parser's codes; 3, neutral, is also what it
# records when it finds no result it takes).
DMARC_SPF = {"0": "pass", "2": "softfail", "3": "neutral", "4": "temperror",
             "5": "permerror", "6": "none", "7": "fail"}

# name, HELO, MAIL FROM, From: header; then what the readers must conclude:
# SpamAssassin's SPF rule, OpenDMARC's SPF result (from Received-SPF alone,
# and with Authentication-Results) and its DMARC verdict.
CASES = [
    ("pass", HELO, "a@pass.test", "a@pass.test", "SPF_PASS", "pass", "pass"),
    ("fail", HELO, "a@fail.test", "a@fail.test", "SPF_FAIL", "fail", "fail"),
    ("softfail", HELO, "a@softfail.test", "a@softfail.test", "SPF_SOFTFAIL",
     "softfail", "fail"),
    ("neutral", HELO, "a@neutral.test", "a@neutral.test", "SPF_NEUTRAL", "neutral",
     "fail"),
    ("none", HELO, "a@none.test", "a@none.test", "SPF_NONE", "none", "fail"),
    ("permerror", HELO, "a@permerror.test", "a@permerror.test", "T_SPF_PERMERROR",
     "permerror", "fail"),
    ("temperror", HELO, "a@temperror.test", "a@temperror.test", "T_SPF_TEMPERROR",
     "temperror", "fail"),
    # The null sender is checked as its HELO name (identity=helo). OpenDMARC
    # 1.4.2 takes no HELO result from Received-SPF (it would take one from
    # Authentication-Results alone, but Received-SPF wins) and never aligns
    # a null sender: a bounce passes its DMARC only with a DKIM signature.
    ("null sender", "helo.pass.test", "", "mailer-daemon@helo.pass.test",
     "SPF_HELO_PASS", "neutral", "fail"),
    ("unaligned From", HELO, "a@pass.test", "someone@fail.test", "SPF_PASS", "pass",
     "fail"),
    ("sender holding identity=helo", HELO, "identity=helo@fail.test",
     "identity=helo@fail.test", "SPF_FAIL", "fail", "fail"),
]


def longest_name(length, tail):
    """A domain name of the given length: labels of 63 characters before
    tail (the names of test_zone.conf's longest records)."""
    name, k = tail, 0
    while len(name) < length:
        label = min(63, length - len(name) - 1)
        name, k = chr(ord("a") + k) * label + "." + name, k + 1
    return name


# The longest inputs a legitimate sender sends: a 64-character local part
# at a 246-character domain (the longest whose _dmarc name a zone can
# hold), a 253-character HELO name, and an IPv6 client written with 38
# characters.
LONG_DOMAIN = longest_name(246, "long.test")
LONG_HELO = longest_name(253, "helo.long.test")
LONG_CLIENT = "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"
# Permitted by the local policy (-l) of the helo-check listener.
POLICY_CLIENT = "203.0.113.77"

# Forwarded mail: name, sender, DKIM-signed?, then what the client sees
# through heronsend without options and with -o fail=dmarc: "MAIL 550"
# (heronsend refuses), "DATA 550" (OpenDMARC refuses at end of message) or
# "dmarc=pass" (delivered, DMARC passing on the signature).
FORWARDING = [
    ("p=reject, signed", "a@fwd.test", True, "MAIL 550", "dmarc=pass"),
    ("p=reject, unsigned (a forgery)", "b@fwd.test", False, "MAIL 550", "DATA 550"),
    ("no DMARC record", "c@nodmarc.test", False, "MAIL 550", "MAIL 550"),
    ("p=none", "d@monitor.test", False, "MAIL 550", "MAIL 550"),
    # A failed policy lookup counts as no policy (docs/decisions.md).
    ("DMARC lookup fails", "f@dmarcfail.test", False, "MAIL 550", "MAIL 550"),
    ("p=reject of the organizational domain, unsigned", "e@forwarded.example.com", False,
     "MAIL 550", "DATA 550"),
]
DKIM_SELECTOR = "sel"

SA_RULES = ["SPF_PASS", "SPF_FAIL", "SPF_SOFTFAIL", "SPF_NEUTRAL", "SPF_NONE",
            "T_SPF_PERMERROR", "T_SPF_TEMPERROR", "SPF_HELO_PASS", "SPF_HELO_FAIL",
            "SPF_HELO_SOFTFAIL", "SPF_HELO_NEUTRAL", "SPF_HELO_NONE",
            "T_SPF_HELO_PERMERROR", "T_SPF_HELO_TEMPERROR"]


def guide_settings():
    """The opendmarc.conf settings of the administrator's guide, with this
    test's receiver for the guide's host name."""
    found = [e for e in docs.all_examples() if "opendmarc" in e.kinds]
    if len(found) != 1:
        raise h.HarnessError("the guide has %d OpenDMARC examples" % len(found))
    settings = {}
    for line in found[0].text.splitlines():
        key, value = line.split(None, 1)
        settings[key] = value.replace("mx.example.net", R)
    return settings


class OpenDmarc:
    """opendmarc in the foreground on a loopback port, resolving through the
    test DNS, with the guide's settings and a history file."""

    def __init__(self, ws, dns, name="opendmarc", reject=False):
        self.dir = ws.dir(name)
        self.dns = dns
        self.reject = reject
        self.history = os.path.join(self.dir, "history")
        self.log = os.path.join(self.dir, "opendmarc.log")
        self.conf = os.path.join(self.dir, "opendmarc.conf")
        self.port = None
        self.proc = None

    def start(self, cleanup):
        self.port = h.free_port()
        ignore = os.path.join(self.dir, "ignore-hosts")
        open(ignore, "w").close()  # nothing is ignored (the default is 127.0.0.1)
        settings = guide_settings()
        settings.update({
            "Socket": "inet:%d@127.0.0.1" % self.port,
            # Deliver every message, with OpenDMARC's verdict in its header.
            "RejectFailures": "true" if self.reject else "false",
            "RequiredHeaders": "false",
            "FailureReports": "false",
            "HistoryFile": self.history,
            "RecordAllMessages": "true",
            "IgnoreHosts": ignore,
            "PidFile": os.path.join(self.dir, "opendmarc.pid"),
            "Syslog": "false",
        })
        with open(self.conf, "w") as f:
            f.writelines("%s %s\n" % kv for kv in settings.items())
        self.proc = h.popen(h.with_resolv_conf(
            self.dns.resolv_conf, ["opendmarc", "-f", "-c", self.conf]), self.log)
        cleanup.push("opendmarc", lambda: h.stop_child(self.proc))
        if not h.wait_until(lambda: self.proc.poll() is not None or
                            h.can_connect(self.port), 10) or self.proc.poll() is not None:
            raise h.HarnessError("opendmarc did not start:\n" + h.tail(self.log))

    def records(self):
        """The history file's records: a dict per message, by job (queue ID)."""
        found, current = {}, None
        for line in h.read_text(self.history).splitlines():
            key, _, value = line.partition(" ")
            if key == "job":
                current = found.setdefault(value.strip(), {})
            elif current is not None:
                current[key] = value.strip()
        return found


class OpenDkim:
    """opendkim in the foreground on a loopback port, verifying only,
    resolving through the test DNS, its results under the receiver's
    authserv-id (the one OpenDMARC trusts)."""

    def __init__(self, ws, dns, keys):
        self.dir = ws.dir("opendkim")
        self.dns = dns
        self.keys = keys  # key record name -> record
        self.log = os.path.join(self.dir, "opendkim.log")
        self.port = None
        self.proc = None

    def start(self, cleanup):
        self.port = h.free_port()
        conf = os.path.join(self.dir, "opendkim.conf")
        # Debian's OpenDKIM resolves with libunbound, which did not take the
        # test DNS's answers (told to ask it, it asked, got the key record
        # and still reported "key not found in DNS"): the key records of
        # the test DNS are also given in a file OpenDKIM reads instead.
        keys = os.path.join(self.dir, "keys")
        with open(keys, "w") as f:
            f.writelines("%s %s\n" % kv for kv in self.keys.items())
        with open(conf, "w") as f:
            f.write("Mode v\nSocket inet:%d@127.0.0.1\nAuthservID %s\n"
                    "TestPublicKeys %s\nSyslog no\nPidFile %s\nUserID root\n"
                    % (self.port, R, keys, os.path.join(self.dir, "pid")))
        self.proc = h.popen(h.with_resolv_conf(
            self.dns.resolv_conf, ["opendkim", "-f", "-x", conf]), self.log)
        cleanup.push("opendkim", lambda: h.stop_child(self.proc))
        if not h.wait_until(lambda: self.proc.poll() is not None or
                            h.can_connect(self.port), 10) or self.proc.poll() is not None:
            raise h.HarnessError("opendkim did not start:\n" + h.tail(self.log))


def dkim_key(ws):
    """A new RSA key: (private key in PEM, the public key's DNS record)."""
    key = os.path.join(ws.dir("dkim"), "key.pem")
    subprocess.run(["openssl", "genrsa", "-out", key, "1024"], check=True,
                   capture_output=True, timeout=60)
    der = subprocess.run(["openssl", "rsa", "-in", key, "-pubout", "-outform", "DER"],
                         check=True, capture_output=True, timeout=60).stdout
    with open(key, "rb") as f:
        private = f.read()
    return private, "v=DKIM1; k=rsa; p=" + base64.b64encode(der).decode()


def spamassassin_rules(site_dir, raw):
    """The SPF rules SpamAssassin fires on a message, and its debug lines."""
    r = subprocess.run(["spamassassin", "-t", "-D", "spf", "--siteconfigpath=" + site_dir],
                       input=raw, capture_output=True, text=True, timeout=120)
    # The report's table: " 0.0 SPF_FAIL   SPF: sender does not match ...".
    tests = re.findall(r"^\s*-?\d+\.\d+\s+([A-Z0-9_]+)\s", r.stdout, re.M)
    debug = [l for l in r.stderr.splitlines() if "spf:" in l]
    return [t for t in tests if t in SA_RULES], debug


class World:
    def __init__(self):
        self.cleanup = h.Cleanup()
        self.ws = None
        self.daemons = []

    def start(self):
        self.ws = h.Workspace(prefix="heronsend-downstream.")
        binary = h.binary("HERONSEND_BINARY", "build/gcc/src/heronsend")
        self.dkim_private, public = dkim_key(self.ws)
        self.dkim_keys = {"%s._domainkey.fwd.test" % DKIM_SELECTOR: public}
        self.dns = h.TestDns(self.ws, extra_records=[
            'txt-record=%s,"%s"' % kv for kv in self.dkim_keys.items()])
        self.dns.start(self.cleanup)
        ports = {"received-spf": h.free_port(), "authentication-results": h.free_port(),
                 "helo-check": h.free_port()}
        options = {"received-spf": ["-m"], "authentication-results": ["-m", "-A"],
                   "helo-check": ["-m", "-A", "-c", "-l", "ip4:" + POLICY_CLIENT]}
        for name, port in ports.items():
            d = h.Heronsend(self.ws, self.dns, name, options[name],
                            "inet:%d@127.0.0.1" % port)
            d.start(self.cleanup, binary)
            self.daemons.append(d)
        self.opendmarc = OpenDmarc(self.ws, self.dns)
        self.opendmarc.start(self.cleanup)
        # Forwarded mail: heronsend, then OpenDKIM, then an OpenDMARC that
        # refuses what fails.
        forwarding = {"strict": [], "fail-dmarc": ["-o", "fail=dmarc"]}
        forwarding_ports = {}
        for name, args in forwarding.items():
            forwarding_ports[name] = h.free_port()
            d = h.Heronsend(self.ws, self.dns, name, args,
                            "inet:%d@127.0.0.1" % forwarding_ports[name])
            d.start(self.cleanup, binary)
            self.daemons.append(d)
        self.opendkim = OpenDkim(self.ws, self.dns, self.dkim_keys)
        self.opendkim.start(self.cleanup)
        self.rejecting_dmarc = OpenDmarc(self.ws, self.dns, "opendmarc-reject", reject=True)
        self.rejecting_dmarc.start(self.cleanup)
        self.sink = h.Sink(self.ws)
        self.sink.start(self.cleanup)
        listeners = {name: "inet:127.0.0.1:%d,inet:127.0.0.1:%d" % (port, self.opendmarc.port)
                     for name, port in ports.items()}
        listeners.update({
            name: "inet:127.0.0.1:%d,inet:127.0.0.1:%d,inet:127.0.0.1:%d" % (
                port, self.opendkim.port, self.rejecting_dmarc.port)
            for name, port in forwarding_ports.items()})
        self.postfix = h.Postfix(self.ws, self.sink, listeners)
        self.postfix.start(self.cleanup)
        self.site = self.ws.dir("spamassassin")
        # The site configuration replaces /etc/spamassassin, whose .pre files
        # load the plugins.
        for pre in glob.glob("/etc/spamassassin/*.pre"):
            shutil.copy(pre, self.site)
        with open(os.path.join(self.site, "local.cf"), "w") as f:
            # SpamAssassin's own defaults trust the mail server on this host.
            f.write("dns_available no\nuse_bayes 0\n")
            # A score of zero would switch a rule off: give each one.
            f.writelines("score %s 0.001\n" % rule for rule in SA_RULES)

    def stop(self):
        for d in self.daemons:
            d.signal_stop()
        self.cleanup.run()
        problems = list(self.cleanup.errors)
        for d in self.daemons:
            if d.exit_status != 0:
                problems.append("heronsend %s exited with %s" % (d.name, d.exit_status))
        if self.ws is not None and os.environ.get("HERONSEND_E2E_KEEP") != "1":
            self.ws.remove()
        return problems


WORLD = World()


def setUpModule():
    try:
        WORLD.start()
    except BaseException:
        WORLD.stop()
        raise


def tearDownModule():
    problems = WORLD.stop()
    if problems:
        raise AssertionError("\n".join(problems))


class Readers(unittest.TestCase):
    maxDiff = None

    def reading(self, listener, helo, sender, from_address, client=CLIENT):
        """Sends one message; returns heronsend's header(s), the message as
        the second hop received it, and what each reader made of them."""
        s = h.SmtpSession(WORLD.postfix.port(listener), client, helo)
        self.addCleanup(s.close)
        mid, text = h.make_message(subject="%s %s" % (listener, sender or "<>"),
                                   sender=from_address)
        replies = s.send(sender, ["user@example.net"], text)
        self.assertEqual(250, (replies["data"] or (0,))[0], replies)
        msg = WORLD.sink.find(mid)
        self.assertIsNotNone(msg, "message not delivered")
        queue_id = re.search(r"with E?SMTPS?A? id (\w+)", msg.values("Received")[0]).group(1)
        record = {}
        h.wait_until(lambda: record.update(WORLD.opendmarc.records().get(queue_id, {}))
                     or "spf" in record, 5)
        results = " ".join(msg.values("Authentication-Results"))
        dmarc = re.search(r"dmarc=(\w+)", results)
        rules, debug = spamassassin_rules(WORLD.site, msg.raw)
        return {
            "received-spf": msg.values("Received-SPF"),
            "authentication-results": msg.values("Authentication-Results"),
            "spamassassin": rules,
            "sa-debug": debug,
            "opendmarc spf": DMARC_SPF.get(record.get("spf"), record.get("spf")),
            "dmarc": dmarc.group(1) if dmarc else None,
            # The header lines as the second hop received them (without
            # the ones smtp-sink adds).
            "lines": [line for n, v in msg.headers for line in ("%s: %s" % (n, v)).split("\n")],
        }

    def test_readers_take_the_verdict(self):
        table = []
        for listener in ("received-spf", "authentication-results"):
            for name, helo, sender, from_address, rule, spf, dmarc in CASES:
                with self.subTest(listener=listener, case=name):
                    got = self.reading(listener, helo, sender, from_address)
                    table.append((listener, name, got))
                    self.assertEqual([rule], got["spamassassin"], got)
                    self.assertEqual(spf, got["opendmarc spf"], got)
                    self.assertEqual(dmarc, got["dmarc"], got)
                    ours = [v for v in got["authentication-results"]
                            if v.startswith(R + "; spf=")]
                    self.assertEqual(1 if listener == "authentication-results" else 0,
                                     len(ours), got)
        sys.stderr.write("\n%-24s %-30s %-18s %-14s %-6s\n" % (
            "header", "case", "SpamAssassin", "OpenDMARC SPF", "DMARC"))
        for listener, name, got in table:
            sys.stderr.write("%-24s %-30s %-18s %-14s %-6s\n" % (
                listener, name, ",".join(got["spamassassin"]) or "-",
                got["opendmarc spf"], got["dmarc"]))

    def test_helo_verdict_beside_the_senders(self):
        """-c adds the HELO name's own verdict (a second Received-SPF with
        identity=helo, a second result in Authentication-Results): the
        readers still take the sender's verdict for it, and SpamAssassin
        the HELO verdict as the HELO name's."""
        for helo, helo_rule in (("helo.pass.test", "SPF_HELO_PASS"), ("fail.test", "SPF_HELO_FAIL")):
            with self.subTest(helo):
                got = self.reading("helo-check", helo, "a@pass.test", "a@pass.test")
                self.assertEqual(2, len(got["received-spf"]), got)
                self.assertEqual(sorted(["SPF_PASS", helo_rule]), sorted(got["spamassassin"]), got)
                self.assertEqual(("pass", "pass"), (got["opendmarc spf"], got["dmarc"]), got)

    def test_longest_inputs_keep_their_lines_and_values(self):
        """The longest legal inputs, and a crafted 835-character local part,
        relayed by Postfix to a second hop: every header line there within
        998 characters (RFC 5322 2.1.1), so Postfix's SMTP client breaks
        none; each value, unfolded, whole (a crafted sender's
        envelope-from= left out whole); the readers take the verdict as
        from a short header."""
        software = " x-software=heronsend 2.2 http://www.heronsend.org/ with %s;" % (
            WORLD.daemons[0].version_text)
        table = []
        for listener in ("received-spf", "helo-check"):
            for local, spf, dmarc in ((64, "pass", "pass"), (835, "neutral", "fail")):
                with self.subTest(listener=listener, local_part=local):
                    sender = "l" * local + "@" + LONG_DOMAIN
                    got = self.reading(listener, LONG_HELO, sender, sender, client=LONG_CLIENT)
                    # Lengths as received: unfolded, the longest line, lines.
                    fields = [("Received-SPF", v) for v in got["received-spf"]] + [
                        ("Authentication-Results", v) for v in got["authentication-results"]
                        if v.startswith(R + "; spf=")]
                    for name, value in fields:
                        lines = ("%s: %s" % (name, value)).split("\n")
                        table.append((listener, local, name, len("".join(lines)),
                                      max(map(len, lines)), len(lines)))
                    self.assertLessEqual(max(map(len, got["lines"])), 998)
                    permits = " designates %s as permitted sender" % LONG_CLIENT
                    said = sender if local == 64 else LONG_DOMAIN
                    from_key = " envelope-from=%s;" % sender if local == 64 else ""
                    keys = " receiver=%s; client-ip=%s; helo=%s;%s" % (
                        R, LONG_CLIENT, LONG_HELO, from_key)
                    spf_headers = ["pass (%s: domain of %s%s)%s identity=mailfrom;%s"
                                   % (R, said, permits, keys, software)]
                    ours = []
                    if listener == "helo-check":
                        helo_comment = "(%s: domain of postmaster@%s%s)" % (R, LONG_HELO, permits)
                        spf_headers.append("pass %s%s identity=helo;%s"
                                           % (helo_comment, keys, software))
                        ours = ["%s; spf=pass (%s: domain of %s%s) smtp.mailfrom=%s; "
                                "spf=pass %s smtp.helo=%s"
                                % (R, R, said, permits, LONG_DOMAIN, helo_comment, LONG_HELO)]
                    unfold = lambda values: [v.replace("\n", "") for v in values]
                    self.assertEqual(spf_headers, unfold(got["received-spf"]))
                    self.assertEqual(ours, unfold([v for v in got["authentication-results"]
                                                   if v.startswith(R + "; spf=")]))
                    rules = ["SPF_HELO_PASS", "SPF_PASS"] if listener == "helo-check" else ["SPF_PASS"]
                    self.assertEqual(rules, sorted(got["spamassassin"]), got["sa-debug"])
                    # A crafted sender's Received-SPF lacks envelope-from=,
                    # which OpenDMARC needs to take its result.
                    self.assertEqual((spf, dmarc), (got["opendmarc spf"], got["dmarc"]))
        sys.stderr.write("\n%-14s %-6s %-24s %-9s %-8s %s\n" % (
            "listener", "local", "header", "one line", "longest", "lines"))
        for row in table:
            sys.stderr.write("%-14s %-6d %-24s %-9d %-8d %d\n" % row)

    def test_passes_this_host_made_are_not_the_domains(self):
        """libspf2 passes a loopback client without a lookup, and a local
        policy (-l) passes what the sender's record does not allow: sent as
        a p=reject domain whose record permits neither, the message gets
        the receiver's pass (identity=x-local, no spf=pass
        smtp.mailfrom=), which no reader takes for the domain's: DMARC
        fails. On the same listener the domain's own pass still passes
        DMARC (test_helo_verdict_beside_the_senders)."""
        for listener, client, comment in (
                ("received-spf", "127.0.0.1", "127.0.0.1 is this host"),
                ("helo-check", "127.0.0.1", "127.0.0.1 is this host"),
                ("helo-check", POLICY_CLIENT, POLICY_CLIENT + " is permitted by local policy")):
            with self.subTest(listener=listener, client=client):
                got = self.reading(listener, HELO, "ceo@fail.test", "ceo@fail.test", client=client)
                self.assertEqual(["pass (%s: %s)" % (R, comment)],
                                 [v.split(" receiver=")[0] for v in got["received-spf"]], got)
                self.assertIn(" identity=x-local;", got["received-spf"][0])
                self.assertEqual([], [v for v in got["authentication-results"]
                                      if v.startswith(R + "; spf=")], got)
                self.assertEqual([], got["spamassassin"], got)
                self.assertEqual(("neutral", "fail"), (got["opendmarc spf"], got["dmarc"]), got)

    def test_forged_authentication_results_are_removed(self):
        """With -A an incoming Authentication-Results claiming this host
        is removed before OpenDMARC sees it: a forged spf=pass does not
        make DMARC pass."""
        s = h.SmtpSession(WORLD.postfix.port("authentication-results"), CLIENT, HELO)
        self.addCleanup(s.close)
        forged = "Authentication-Results: %s; spf=pass smtp.mailfrom=fail.test" % R
        mid, text = h.make_message(sender="a@fail.test", extra_headers=[forged])
        self.assertEqual(250, s.send("a@fail.test", ["user@example.net"], text)["data"][0])
        msg = WORLD.sink.find(mid)
        results = msg.values("Authentication-Results")
        self.assertNotIn(forged.split(": ", 1)[1], results)
        self.assertIn("dmarc=fail", " ".join(results))


class Forwarding(unittest.TestCase):
    """-o fail=dmarc: forwarded mail of a DMARC domain is left to DMARC."""
    maxDiff = None

    def outcome(self, listener, sender, signed):
        s = h.SmtpSession(WORLD.postfix.port(listener), CLIENT, HELO)
        self.addCleanup(s.close)
        mid, text = h.make_message(subject="forwarded", sender=sender)
        if signed:
            import dkim  # python3-dkim
            domain = sender.split("@")[1]
            signature = dkim.sign(text.encode(), DKIM_SELECTOR.encode(), domain.encode(),
                                  WORLD.dkim_private,
                                  include_headers=[b"From", b"To", b"Subject", b"Date",
                                                   b"Message-ID"])
            text = signature.decode().replace("\r\n", "\r\n") + text
        replies = s.send(sender, ["user@example.net"], text)
        if replies["mail"][0] != 250:
            return "MAIL %d" % replies["mail"][0], replies
        if replies["data"][0] != 250:
            return "DATA %d" % replies["data"][0], replies
        msg = WORLD.sink.find(mid)
        if msg is None:
            return "lost", replies
        results = " ".join(msg.values("Authentication-Results"))
        dmarc = re.search(r"dmarc=(\w+)", results)
        return "dmarc=%s" % (dmarc.group(1) if dmarc else None), (replies, msg.raw)

    def test_forwarded_mail_of_dmarc_domains(self):
        table = []
        for name, sender, signed, strict, fail_dmarc in FORWARDING:
            for listener, expected in (("strict", strict), ("fail-dmarc", fail_dmarc)):
                with self.subTest(case=name, listener=listener):
                    got, detail = self.outcome(listener, sender, signed)
                    table.append((name, listener, got, detail))
                    self.assertEqual(expected, got, detail)
        # Why each fail was or was not refused, in the daemon's log.
        log = [d for d in WORLD.daemons if d.name == "fail-dmarc"][0].log_text()
        for line in ("leaving mail from [%s] to DMARC - fail, but 'fwd.test' publishes "
                     "p=reject at _dmarc.fwd.test" % CLIENT,
                     "DMARC policy lookup for 'dmarcfail.test' failed - the fail stands",
                     "'monitor.test' publishes no enforcing DMARC policy (p=none) - the fail "
                     "stands"):
            self.assertIn(line, log)
        sys.stderr.write("\n%-50s %-11s %s\n" % ("case", "heronsend", "outcome"))
        for name, listener, got, detail in table:
            reply = ""
            if isinstance(detail, dict):
                step = "mail" if got.startswith("MAIL") else "data"
                reply = " %d %s" % detail[step]
            sys.stderr.write("%-50s %-11s %s%s\n" % (name, listener, got, reply))


def main():
    try:
        h.require_root()
        missing = [t for t in ("opendmarc", "opendkim", "spamassassin")
                   if shutil.which(t, path=os.environ.get("PATH", "") + ":/usr/sbin") is None]
        if missing:
            raise h.Skip("missing %s (scripts/install-deps test installs them)"
                         % " ".join(missing))
    except h.Skip as e:
        print("SKIP: downstream readers: %s" % e)
        return 77

    def abandon(signum, _frame):
        sys.stderr.write("\ndownstream: stopped (signal %d): stopping every process\n" % signum)
        for problem in WORLD.stop():
            sys.stderr.write(problem + "\n")
        os._exit(1)

    for sig in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, abandon)
    signal.alarm(270)
    program = unittest.main(exit=False, verbosity=2)
    signal.alarm(0)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
