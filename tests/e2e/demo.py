#!/usr/bin/python3
"""heronsend at work: starts the test DNS, one heronsend and a private
Postfix (all on loopback addresses, nothing reaches the network), sends a
handful of representative messages through Postfix and prints what happened
to each: the SMTP reply for a refused one, the Received-SPF header of a
delivered one. Then stops everything. Run through scripts/demo (as root).

HERONSEND_BINARY names the daemon (default: build/release, then build/gcc).
"""

import os
import re
import sys
import textwrap

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

HELO = "sender.e2e.test"

# (what, client address, HELO name or None, sender, log in with SMTP AUTH)
MESSAGES = [
    ("the sender's domain permits the client", "192.0.2.10", HELO, "alice@pass.test", False),
    ("the sender's domain forbids the client", "192.0.2.10", HELO, "mallory@fail.test", False),
    ("the sender's domain half-forbids it", "192.0.2.10", HELO, "bob@softfail.test", False),
    ("an IPv6 client the domain permits", "2001:db8:6::25", HELO, "carol@ipv6.test", False),
    ("a domain without SPF", "192.0.2.10", HELO, "dave@none.test", False),
    ("a domain whose SPF lookups fail", "192.0.2.10", HELO, "erin@temperror.test", False),
    ("a bounce (null sender): its HELO name is checked", "192.0.2.10", "helo.pass.test", "", False),
    ("an authenticated submission (SMTP AUTH)", "203.0.113.9", HELO, "alice@fail.test", True),
]


def spf_records():
    """domain -> SPF record text, from the test zone."""
    records = {}
    with open(h.ZONE_FILE) as f:
        for line in f:
            m = re.match(r'txt-record=([^,]+),"(v=spf1[^"]*)"', line.strip())
            if m:
                records[m.group(1)] = m.group(2)
    return records


def show(text, indent="    "):
    print(textwrap.fill(text, width=100, initial_indent=indent,
                        subsequent_indent=indent + "    ", break_on_hyphens=False))


def main():
    try:
        h.require_root()
    except h.Skip as e:
        print("scripts/demo: %s" % e)
        return 1
    binary = h.binary("HERONSEND_BINARY", "build/release/src/heronsend", "build/gcc/src/heronsend")
    ws = h.Workspace(prefix="heronsend-demo.")
    cleanup = h.Cleanup()
    daemon = None
    try:
        dns = h.TestDns(ws)
        dns.start(cleanup)
        sockets = ws.dir("sockets", owner=h.POSTFIX_USER)
        milter = os.path.join(sockets, "heronsend.sock")
        daemon = h.Heronsend(ws, dns, "demo", ["-u", h.POSTFIX_USER], "unix:" + milter)
        daemon.start(cleanup, binary)
        sink = h.Sink(ws)
        sink.start(cleanup)
        postfix = h.Postfix(ws, sink, {"smtpd": "unix:" + milter})
        postfix.start(cleanup)
        print("Running: dnsmasq on %s:53 (the test zone tests/e2e/test_zone.conf),"
              % dns.address)
        print("         heronsend (%s) on %s," % (daemon.version_text, milter))
        print("         Postfix as %s on 127.0.0.1:%d, delivering to smtp-sink.\n"
              % (h.RECEIVER, postfix.port("smtpd")))

        records = spf_records()
        for what, client, helo, sender, login in MESSAGES:
            domain = (sender.rpartition("@")[2] if sender else helo) or ""
            print("* %s" % what)
            print("    client %s, HELO %s, MAIL FROM:<%s>%s" % (
                client, helo or "(none)", sender, ", after AUTH PLAIN" if login else ""))
            print("    SPF record of %s: %s" % (domain, records.get(domain, "(none)")))
            s = h.SmtpSession(postfix.port("smtpd"), client, helo)
            try:
                if login:
                    s.login()
                message_id, text = h.make_message(subject="demo")
                replies = s.send(sender, ["someone@example.net"], text)
            finally:
                s.close()
            if replies["mail"][0] != 250:
                print("    refused at MAIL FROM: %d %s\n" % replies["mail"])
                continue
            msg = sink.find(message_id)
            if msg is None:
                print("    accepted (%d %s) but not delivered?\n" % replies["data"])
                continue
            values = msg.values("Received-SPF")
            if values:
                print("    delivered with (wrapped here for reading):")
                show("Received-SPF: " + values[0], indent="      ")
            else:
                print("    delivered without a Received-SPF header")
            print()
        return 0
    except h.HarnessError as e:
        print("scripts/demo: %s" % e)
        return 1
    finally:
        cleanup.run()
        for problem in cleanup.errors:
            print("scripts/demo: while stopping: %s" % problem)
        if daemon is not None and daemon.exit_status is not None:
            print("heronsend stopped (exit status %d); its log:" % daemon.exit_status)
            for line in daemon.log_text().splitlines():
                print("    " + line)
        ws.remove()


if __name__ == "__main__":
    sys.exit(main())
