#!/usr/bin/python3
"""Checks tests/dns/testdns.py over the wire: records, CNAMEs, faults, UDP
truncation and TCP, delays that do not hold up other queries, malformed
packets, fresh names, the query log and reloading on SIGHUP. Runs without
root on a free port of 127.0.0.1."""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
A, CNAME, MX, PTR, TXT, AAAA, SPF = 1, 5, 15, 12, 16, 28, 99

ZONE = {
    "A.test.": [{"A": "192.0.2.1"}, {"AAAA": "2001:db8::1"}, {"MX": [10, "mx.a.test"]},
                {"TXT": ["v=spf1 ", "-all"]}, {"SPF": "v=spf1 +all"}],
    "ptr.test": [{"PTR": "host.a.test"}],
    "long.test": [{"TXT": "x" * 300}],
    "big.test": [{"TXT": "y" * 200}, {"TXT": "z" * 200}, {"TXT": "w" * 200}],
    "alias.test": [{"CNAME": "a.test"}],
    "dangling.test": [{"CNAME": "nowhere.test"}],
    "to.test": ["TIMEOUT"],
    "sf.test": [{"fault": "SERVFAIL"}, {"TXT": "unseen"}],
    "spfref.test": [{"TXT": "v=spf1 a -all"}, {"fault": "REFUSED", "type": "SPF"}],
    "tc.test": [{"fault": "TRUNCATE"}, {"TXT": "via tcp"}],
    "slow.test": [{"fault": "DELAY", "ms": 600}, {"TXT": "late"}],
    "deep.sub.parent.test": [{"A": "192.0.2.9"}],
    "$fresh": {"bench.test": "v=spf1 +all", "gone.test": None},
}


def query(name, qtype, qid=0x1234):
    packet = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    for label in name.rstrip(".").split("."):
        packet += bytes([len(label)]) + label.encode()
    return packet + b"\0" + struct.pack(">HH", qtype, 1)


def read_name(msg, pos):
    labels, end = [], None
    for _ in range(64):
        n = msg[pos]
        if n & 0xC0 == 0xC0:
            end = end or pos + 2
            pos = struct.unpack(">H", msg[pos:pos + 2])[0] & 0x3FFF
            continue
        if n == 0:
            return ".".join(labels), end or pos + 1
        labels.append(msg[pos + 1:pos + 1 + n].decode())
        pos += 1 + n
    raise ValueError("name loop")


def decode(msg):
    """(rcode, tc, [(type, value)])"""
    flags, qd, an = struct.unpack(">HHH", msg[2:8])
    pos = 12
    for _ in range(qd):
        pos = read_name(msg, pos)[1] + 4
    answers = []
    for _ in range(an):
        pos = read_name(msg, pos)[1]
        rtype, _, _, rdlen = struct.unpack(">HHIH", msg[pos:pos + 10])
        pos += 10
        rdata = msg[pos:pos + rdlen]
        if rtype == A:
            value = socket.inet_ntop(socket.AF_INET, rdata)
        elif rtype == AAAA:
            value = socket.inet_ntop(socket.AF_INET6, rdata)
        elif rtype in (TXT, SPF):
            value, i = [], 0
            while i < len(rdata):
                value.append(rdata[i + 1:i + 1 + rdata[i]].decode())
                i += 1 + rdata[i]
        elif rtype == MX:
            value = (struct.unpack(">H", rdata[:2])[0], read_name(msg, pos + 2)[0])
        else:
            value = read_name(msg, pos)[0]
        answers.append((rtype, value))
        pos += rdlen
    return flags & 0xF, bool(flags & 0x0200), answers


class TestDnsServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="testdns.")
        cls.zone = os.path.join(cls.dir.name, "zone.json")
        cls.log = os.path.join(cls.dir.name, "queries.log")
        ready = os.path.join(cls.dir.name, "ready")
        with open(cls.zone, "w") as f:
            json.dump(ZONE, f)
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "testdns.py"), "--address", "127.0.0.1",
             "--port", "0", "--zone", cls.zone, "--query-log", cls.log,
             "--ready-file", ready], stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if cls.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("testdns did not start")
            time.sleep(0.02)
        with open(ready) as f:
            cls.port = int(f.read().split()[2])

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)
        cls.dir.cleanup()

    def udp(self, packet, timeout=2.0):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(timeout)
            s.sendto(packet, ("127.0.0.1", self.port))
            try:
                return s.recvfrom(65535)[0]
            except socket.timeout:
                return None

    def tcp(self, packet, timeout=2.0):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(struct.pack(">H", len(packet)) + packet)
            try:
                head = s.recv(2, socket.MSG_WAITALL)
                if len(head) < 2:
                    return None
                return s.recv(struct.unpack(">H", head)[0], socket.MSG_WAITALL)
            except socket.timeout:
                return None

    def test_answers(self):
        spf_txt = (TXT, ["v=spf1 ", "-all"])
        cases = [
            # transport, name, type -> rcode, tc, answers (None: no reply at all)
            ("udp", "a.test", A, (0, False, [(A, "192.0.2.1")])),
            ("udp", "A.TEST.", AAAA, (0, False, [(AAAA, "2001:db8::1")])),
            ("udp", "a.test", MX, (0, False, [(MX, (10, "mx.a.test"))])),
            ("udp", "a.test", TXT, (0, False, [spf_txt])),
            ("udp", "a.test", SPF, (0, False, [(SPF, ["v=spf1 +all"])])),
            ("udp", "a.test", PTR, (0, False, [])),
            ("udp", "ptr.test", PTR, (0, False, [(PTR, "host.a.test")])),
            ("udp", "long.test", TXT, (0, False, [(TXT, ["x" * 255, "x" * 45])])),
            ("udp", "big.test", TXT, (0, True, [])),
            ("tcp", "big.test", TXT, (0, False, [(TXT, [c * 200]) for c in "yzw"])),
            ("udp", "alias.test", TXT, (0, False, [(CNAME, "a.test"), spf_txt])),
            ("udp", "alias.test", CNAME, (0, False, [(CNAME, "a.test")])),
            ("udp", "dangling.test", A, (3, False, [(CNAME, "nowhere.test")])),
            ("udp", "missing.test", TXT, (3, False, [])),
            ("udp", "parent.test", A, (0, False, [])),
            ("udp", "to.test", TXT, None),
            ("tcp", "to.test", TXT, None),
            ("udp", "sf.test", TXT, (2, False, [])),
            ("udp", "spfref.test", SPF, (5, False, [])),
            ("udp", "spfref.test", TXT, (0, False, [(TXT, ["v=spf1 a -all"])])),
            ("udp", "tc.test", TXT, (0, True, [])),
            ("tcp", "tc.test", TXT, (0, False, [(TXT, ["via tcp"])])),
            ("udp", "m1.bench.test", TXT, (0, False, [(TXT, ["v=spf1 +all"])])),
            ("udp", "m2.bench.test", A, (0, False, [])),
            ("udp", "x.gone.test", TXT, (3, False, [])),
        ]
        for transport, name, qtype, want in cases:
            with self.subTest(transport=transport, name=name, qtype=qtype):
                send = self.udp if transport == "udp" else self.tcp
                reply = send(query(name, qtype), timeout=0.5 if want is None else 2.0)
                self.assertEqual(want, reply and decode(reply))
                if reply:
                    self.assertEqual(0x1234, struct.unpack(">H", reply[:2])[0])

    def test_delay_does_not_hold_up_others(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(3)
            started = time.monotonic()
            s.sendto(query("slow.test", TXT, qid=1), ("127.0.0.1", self.port))
            s.sendto(query("a.test", A, qid=2), ("127.0.0.1", self.port))
            first = s.recv(4096)
            fast = time.monotonic() - started
            second = s.recv(4096)
            slow = time.monotonic() - started
        self.assertEqual([2, 1], [struct.unpack(">H", m[:2])[0] for m in (first, second)])
        self.assertLess(fast, 0.3)
        self.assertGreaterEqual(slow, 0.55)
        self.assertEqual((0, False, [(TXT, ["late"])]), decode(second))

    def test_malformed_packets_and_log(self):
        junk = [b"", b"\x01", b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05ab",
                b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\xc0\x0c\x00\x10\x00\x01",
                os.urandom(600), b"\xff" * 4096]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for packet in junk:
                s.sendto(packet, ("127.0.0.1", self.port))
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall(b"\xff\xff" + b"\0" * 100)  # oversized length: dropped
        self.assertEqual(0, decode(self.tcp(query("a.test", A)))[0])
        self.assertEqual(0, decode(self.udp(query("spfref.test", TXT, qid=7)))[0])
        with open(self.log) as f:
            lines = f.read().splitlines()
        self.assertIn("- - udp FORMERR", lines)
        self.assertIn("spfref.test TXT udp NOERROR", lines)
        self.assertIn("a.test A tcp NOERROR", lines)

    def test_reload_on_sighup(self):
        self.assertEqual(2, decode(self.udp(query("sf.test", TXT)))[0])
        changed = dict(ZONE, **{"sf.test": [{"TXT": "healthy"}]})
        try:
            with open(self.zone, "w") as f:
                json.dump(changed, f)
            self.proc.send_signal(signal.SIGHUP)
            deadline = time.monotonic() + 5
            while decode(self.udp(query("sf.test", TXT)))[0] != 0:
                self.assertLess(time.monotonic(), deadline, "zone not reloaded")
                time.sleep(0.05)
            self.assertEqual([(TXT, ["healthy"])], decode(self.udp(query("sf.test", TXT)))[2])
        finally:
            with open(self.zone, "w") as f:
                json.dump(ZONE, f)
            self.proc.send_signal(signal.SIGHUP)
            time.sleep(0.2)


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    unittest.main()
