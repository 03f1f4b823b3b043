#!/usr/bin/python3
"""testdns: a small programmable DNS server for heronsend's tests.

It answers authoritatively from a zone held in a JSON file, over UDP and TCP
on one address and port, and can be told to misbehave per name (time out,
fail, refuse, truncate, answer late). Nothing is ever forwarded: a name that
is not in the zone does not exist. Python 3 standard library only; the DNS
wire format is written by hand. Used by the RFC 7208 conformance runner, the
load-and-fault tests and the benchmarks.

    testdns.py --address 127.0.3.53 --port 53 --zone zone.json
               [--query-log FILE] [--ready-file FILE] [--delay MS] [--ttl S]
               [--fresh SUFFIX=TXT] [--fresh-nxdomain SUFFIX]

--port 0 takes any free port (the same one for UDP and TCP). Once listening
it writes "ready ADDRESS PORT" to the ready file (when given) and to stdout.
SIGHUP reloads the zone file (a file that does not load keeps the old zone
and prints why); SIGTERM and SIGINT stop it.

Zone file
---------
A JSON object mapping names to lists of entries. Names are compared without
regard to case, and a trailing dot is ignored. Each entry is one of:

    {"A": "192.0.2.1"}                 {"AAAA": "2001:db8::1"}
    {"MX": [10, "mx.example.com"]}     {"PTR": "host.example.com"}
    {"CNAME": "other.example.com"}
    {"TXT": "v=spf1 -all"}             one character-string; text longer than
                                       255 bytes is split into several
    {"TXT": ["v=spf1 ", "-all"]}       several character-strings in one
                                       record (each split at 255 bytes too)
    {"SPF": ...}                       type 99, the same shapes as TXT
    {"fault": "TIMEOUT"}               never answer (UDP and TCP)
    {"fault": "SERVFAIL"}              answer SERVFAIL
    {"fault": "REFUSED"}               answer REFUSED
    {"fault": "TRUNCATE"}              over UDP answer with TC set and no
                                       records, over TCP answer in full
    {"fault": "DELAY", "ms": 500}      answer (or fail) that much later
    "TIMEOUT", "SERVFAIL", ...         short for {"fault": ...}

A fault entry may carry "type": "TXT" (any record type name, or a number)
to apply only to queries of that type; without it, it applies to every
type. Text is encoded as UTF-8 (so "\\u0000" gives a zero byte), or with
the codec named by an optional top-level key "$encoding" ("latin-1" turns
"\\u0080" into the single byte 0x80, for records that are not UTF-8).

A name with no record of the asked type gets NOERROR with no answer
(NODATA); so does a name that only exists as a parent of listed names. A
name with a CNAME answers every other type with the CNAME followed by the
target's answer, as an authoritative server for the whole namespace would
(at most 8 steps; the rcode is that of the last name, so a dangling CNAME
gives NXDOMAIN with the CNAME); the faults of every name on the way apply.
Any other name gets NXDOMAIN.

An optional top-level key "$fresh" maps suffixes to a TXT value (as above) or
null: every name under the suffix that is not listed answers TXT queries
with that value (other types: NODATA), or NXDOMAIN for null. --fresh and
--fresh-nxdomain do the same from the command line (benchmarks use a new
sender domain per message).

Answers are limited to 512 bytes over UDP (EDNS0 is ignored): a longer
answer goes out with TC set and no records, so the client retries over TCP.

Query log
---------
With --query-log, one line per query received, appended and flushed at once:
    NAME TYPE TRANSPORT OUTCOME
e.g. "example.com TXT udp NOERROR", "x.test SPF udp REFUSED", where NAME is
lower case with bytes outside printable ASCII (and spaces) as \\DDD, TYPE a
mnemonic (A, AAAA, MX, PTR, TXT, SPF, CNAME, ...) or TYPEnn, TRANSPORT udp or
tcp, and OUTCOME NOERROR, NXDOMAIN, SERVFAIL, REFUSED, TIMEOUT, TRUNCATED or
FORMERR. Malformed packets are logged as "- - TRANSPORT FORMERR".
"""

import argparse
import heapq
import ipaddress
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time

TYPES = {"A": 1, "NS": 2, "CNAME": 5, "SOA": 6, "PTR": 12, "MX": 15, "TXT": 16,
         "AAAA": 28, "SPF": 99, "ANY": 255}
TYPE_NAMES = {v: k for k, v in TYPES.items()}
FAULTS = ("TIMEOUT", "SERVFAIL", "REFUSED", "TRUNCATE", "DELAY")

NOERROR, FORMERR, SERVFAIL, NXDOMAIN, NOTIMP, REFUSED = 0, 1, 2, 3, 4, 5
RCODE_NAMES = {NOERROR: "NOERROR", FORMERR: "FORMERR", SERVFAIL: "SERVFAIL",
               NXDOMAIN: "NXDOMAIN", NOTIMP: "NOTIMP", REFUSED: "REFUSED"}

MAX_PACKET = 4096         # largest query accepted, UDP or TCP
UDP_LIMIT = 512           # largest answer sent over UDP
MAX_TCP_CONNECTIONS = 256
TCP_IDLE_SECONDS = 10.0
MAX_CNAME_STEPS = 8


class ZoneError(Exception):
    pass


def type_number(name):
    if isinstance(name, int):
        return name
    key = str(name).upper()
    if key in TYPES:
        return TYPES[key]
    if key.startswith("TYPE") and key[4:].isdigit():
        return int(key[4:])
    raise ZoneError("unknown record type %r" % name)


def type_name(number):
    return TYPE_NAMES.get(number, "TYPE%d" % number)


def norm(name):
    """Zone key of a name: lower case, no trailing dot."""
    return name.rstrip(".").lower()


def encode_name(name):
    out = bytearray()
    for label in name.rstrip(".").split(".") if name.strip(".") else []:
        raw = label.encode("utf-8")
        if not raw or len(raw) > 63:
            raise ZoneError("bad label in %r" % name)
        out.append(len(raw))
        out += raw
    out.append(0)
    if len(out) > 255:
        raise ZoneError("name too long: %r" % name)
    return bytes(out)


def character_strings(value, encoding="utf-8"):
    """TXT/SPF record data from a string or a list of strings."""
    parts = [value] if isinstance(value, str) else value
    if not isinstance(parts, list) or not all(isinstance(p, str) for p in parts):
        raise ZoneError("TXT value must be a string or a list of strings: %r" % value)
    out = bytearray()
    for part in parts:
        try:
            raw = part.encode(encoding)
        except (UnicodeEncodeError, LookupError) as e:
            raise ZoneError("cannot encode %r as %s: %s" % (part, encoding, e))
        chunks = [raw[i:i + 255] for i in range(0, len(raw), 255)] or [b""]
        for chunk in chunks:
            out.append(len(chunk))
            out += chunk
    return bytes(out)


def record_data(rtype, value, encoding):
    """The RDATA of one record, checked."""
    try:
        if rtype == "A":
            return ipaddress.IPv4Address(value).packed
        if rtype == "AAAA":
            return ipaddress.IPv6Address(value).packed
        if rtype == "MX":
            pref, host = value
            return struct.pack(">H", int(pref)) + encode_name(host)
        if rtype in ("PTR", "CNAME"):
            return encode_name(value)
        if rtype in ("TXT", "SPF"):
            return character_strings(value, encoding)
    except (ValueError, TypeError, ipaddress.AddressValueError) as e:
        raise ZoneError("bad %s value %r: %s" % (rtype, value, e))
    raise ZoneError("unsupported record type %s" % rtype)


class Zone:
    """The loaded zone: records, per-name faults and fresh suffixes."""

    def __init__(self, data, fresh=None):
        if not isinstance(data, dict):
            raise ZoneError("the zone must be a JSON object")
        self.records = {}   # name -> [(type number, rdata, target name or None)]
        self.faults = {}    # name -> [(fault, type number or None, ms)]
        self.parents = set()
        self.fresh = []     # [(".suffix", rdata or None)]
        self.encoding = data.get("$encoding", "utf-8")
        for suffix, value in (data.get("$fresh") or {}).items():
            self.add_fresh(suffix, value)
        for suffix, value in (fresh or []):
            self.add_fresh(suffix, value)
        for name, entries in data.items():
            if name.startswith("$"):
                continue
            if not isinstance(entries, list):
                entries = [entries]
            key = norm(name)
            encode_name(key)
            self.records.setdefault(key, [])
            self.faults.setdefault(key, [])
            labels = key.split(".")
            for i in range(1, len(labels)):
                self.parents.add(".".join(labels[i:]))
            for entry in entries:
                self._add(key, entry)

    def add_fresh(self, suffix, value):
        rdata = None if value is None else character_strings(value, self.encoding)
        self.fresh.append(("." + norm(suffix), rdata))

    def _add(self, key, entry):
        if isinstance(entry, str):
            entry = {"fault": entry}
        if not isinstance(entry, dict):
            raise ZoneError("%s: bad entry %r" % (key, entry))
        if "fault" in entry:
            fault = str(entry["fault"]).upper()
            if fault not in FAULTS:
                raise ZoneError("%s: unknown fault %r" % (key, entry["fault"]))
            only = type_number(entry["type"]) if "type" in entry else None
            self.faults[key].append((fault, only, int(entry.get("ms", 0))))
            return
        if len(entry) != 1:
            raise ZoneError("%s: a record entry has exactly one key: %r" % (key, entry))
        (rtype, value), = entry.items()
        rtype = rtype.upper()
        target = norm(value) if rtype == "CNAME" else None
        self.records[key].append((type_number(rtype), record_data(rtype, value, self.encoding), target))

    def faults_for(self, key, qtype):
        return [(f, ms) for f, only, ms in self.faults.get(key, ())
                if only is None or only == qtype]

    def lookup(self, key, qtype):
        """(exists, [(type, rdata)], cname target or None) for one name."""
        recs = self.records.get(key)
        if recs is None:
            for suffix, rdata in self.fresh:
                if key.endswith(suffix):
                    if rdata is None:
                        return False, [], None
                    return True, ([(TYPES["TXT"], rdata)] if qtype in (16, 255) else []), None
            return key in self.parents, [], None
        cname = next((r for r in recs if r[0] == TYPES["CNAME"]), None)
        if cname is not None and qtype != TYPES["CNAME"]:
            return True, [(cname[0], cname[1])], cname[2]
        return True, [(t, d) for t, d, _ in recs if qtype in (t, 255)], None


def load_zone(path, fresh):
    with open(path, encoding="utf-8") as f:
        return Zone(json.load(f), fresh)


# --- wire format ------------------------------------------------------------

def parse_query(packet):
    """(id, flags, qname bytes, qtype, qclass, question bytes) or raises ValueError."""
    if len(packet) < 12:
        raise ValueError("short header")
    qid, flags, qdcount = struct.unpack(">HHH", packet[:6])
    if flags & 0x8000 or qdcount != 1:
        raise ValueError("not a single-question query")
    pos, labels = 12, []
    while True:
        if pos >= len(packet):
            raise ValueError("name runs past the packet")
        n = packet[pos]
        if n == 0:
            pos += 1
            break
        if n & 0xC0:
            raise ValueError("compressed or extended label in question")
        labels.append(packet[pos + 1:pos + 1 + n])
        if len(labels[-1]) != n:
            raise ValueError("label runs past the packet")
        pos += 1 + n
        if pos - 12 > 255:
            raise ValueError("name too long")
    if pos + 4 > len(packet):
        raise ValueError("question runs past the packet")
    qtype, qclass = struct.unpack(">HH", packet[pos:pos + 4])
    return qid, flags, labels, qtype, qclass, packet[12:pos + 4]


def show_name(labels):
    out = []
    for label in labels:
        out.append("".join(chr(b) if 0x21 <= b < 0x7F and b not in (0x5C, 0x2E) else
                           "\\%03d" % b for b in label.lower()))
    return ".".join(out) or "."


def header(qid, flags, rcode, ancount, tc=False):
    # QR, opcode copied, AA, RD copied, RA clear.
    out_flags = 0x8000 | (flags & 0x7800) | 0x0400 | (flags & 0x0100) | rcode
    if tc:
        out_flags |= 0x0200
    return struct.pack(">HHHHHH", qid, out_flags, 1 if qid is not None else 0,
                       ancount, 0, 0)


class Server:
    def __init__(self, args):
        self.args = args
        self.fresh = [(s.split("=", 1)[0], s.split("=", 1)[1]) for s in args.fresh]
        self.fresh += [(s, None) for s in args.fresh_nxdomain]
        self.zone = load_zone(args.zone, self.fresh)
        self.log = open(args.query_log, "a", buffering=1) if args.query_log else None
        self.sel = selectors.DefaultSelector()
        self.timers = []     # heap of (due, seq, fn)
        self.seq = 0
        self.conns = {}      # socket -> [buffer, last activity]

    # --- answers ------------------------------------------------------------

    def answer(self, packet, transport):
        """(reply bytes or None, delay seconds)."""
        try:
            qid, flags, labels, qtype, qclass, question = parse_query(packet)
        except ValueError:
            self.note("- - %s FORMERR" % transport)
            if len(packet) >= 12 and not packet[2] & 0x80:
                qid, flags = struct.unpack(">HH", packet[:4])
                return struct.pack(">HHHHHH", qid, 0x8000 | (flags & 0x7900) | FORMERR,
                                   0, 0, 0, 0), 0
            return None, 0
        shown = show_name(labels)
        if (flags >> 11) & 0xF != 0 or qclass not in (1, 255):
            self.note("%s %s %s NOTIMP" % (shown, type_name(qtype), transport))
            return header(qid, flags, NOTIMP, 0) + question, 0
        try:
            key = norm(b".".join(labels).decode("utf-8"))
        except UnicodeDecodeError:
            key = None  # not a name this zone can hold
        delay = self.args.delay / 1000.0
        rrs, rcode, fault = [], NOERROR, None
        seen = set()
        owner = None  # None: the question name, compressed as a pointer
        while key is not None:
            for f, ms in self.zone.faults_for(key, qtype):
                if f == "DELAY":
                    delay += ms / 1000.0
                elif fault is None:
                    fault = f
            if fault in ("TIMEOUT", "SERVFAIL", "REFUSED"):
                break
            exists, found, target = self.zone.lookup(key, qtype)
            if not exists:
                rcode = NXDOMAIN  # of the last name in the chain (RFC 6604)
                break
            name_bytes = b"\xc0\x0c" if owner is None else encode_name(owner)
            for t, rdata in found:
                rrs.append(name_bytes + struct.pack(">HHIH", t, 1, self.args.ttl, len(rdata))
                           + rdata)
            seen.add(key)
            if target is None or target in seen or len(seen) > MAX_CNAME_STEPS:
                break
            key, owner = target, target
        outcome = fault or RCODE_NAMES[rcode]
        if fault == "TIMEOUT":
            self.note("%s %s %s TIMEOUT" % (shown, type_name(qtype), transport))
            return None, 0
        if fault in ("SERVFAIL", "REFUSED"):
            reply = header(qid, flags, SERVFAIL if fault == "SERVFAIL" else REFUSED, 0)
            self.note("%s %s %s %s" % (shown, type_name(qtype), transport, fault))
            return reply + question, delay
        reply = header(qid, flags, rcode, len(rrs)) + question + b"".join(rrs)
        if transport == "udp" and (fault == "TRUNCATE" or len(reply) > UDP_LIMIT):
            reply = header(qid, flags, rcode, 0, tc=True) + question
            outcome = "TRUNCATED"
        elif fault == "TRUNCATE":
            outcome = RCODE_NAMES[rcode]
        self.note("%s %s %s %s" % (shown, type_name(qtype), transport, outcome))
        return reply, delay

    def note(self, line):
        if self.log:
            self.log.write(line + "\n")

    # --- event loop ---------------------------------------------------------

    def later(self, delay, fn):
        if delay <= 0:
            fn()
            return
        self.seq += 1
        heapq.heappush(self.timers, (time.monotonic() + delay, self.seq, fn))

    def bind(self):
        address, port = self.args.address, self.args.port
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        for _ in range(50):
            udp = socket.socket(family, socket.SOCK_DGRAM)
            udp.bind((address, port))
            actual = udp.getsockname()[1]
            tcp = socket.socket(family, socket.SOCK_STREAM)
            tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                tcp.bind((address, actual))
            except OSError:
                udp.close()
                tcp.close()
                if port:
                    raise
                continue
            tcp.listen(64)
            udp.setblocking(False)
            tcp.setblocking(False)
            self.udp, self.tcp, self.port = udp, tcp, actual
            self.sel.register(udp, selectors.EVENT_READ, self.on_udp)
            self.sel.register(tcp, selectors.EVENT_READ, self.on_accept)
            return
        raise OSError("no port free for both UDP and TCP on %s" % address)

    def on_udp(self, sock):
        for _ in range(64):  # drain a burst, then let timers and TCP run
            try:
                packet, peer = sock.recvfrom(MAX_PACKET)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            reply, delay = self.answer(packet, "udp")
            if reply is not None:
                self.later(delay, lambda r=reply, p=peer: self.send_udp(r, p))

    def send_udp(self, reply, peer):
        try:
            self.udp.sendto(reply, peer)
        except OSError:
            pass

    def on_accept(self, sock):
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        if len(self.conns) >= MAX_TCP_CONNECTIONS:
            conn.close()
            return
        conn.setblocking(False)
        self.conns[conn] = [b"", time.monotonic()]
        self.sel.register(conn, selectors.EVENT_READ, self.on_tcp)

    def close_conn(self, conn):
        if conn in self.conns:
            del self.conns[conn]
            self.sel.unregister(conn)
            conn.close()

    def on_tcp(self, conn):
        try:
            data = conn.recv(MAX_PACKET + 2)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self.close_conn(conn)
            return
        state = self.conns[conn]
        state[0] += data
        state[1] = time.monotonic()
        while len(state[0]) >= 2:
            length = struct.unpack(">H", state[0][:2])[0]
            if length > MAX_PACKET:
                self.close_conn(conn)
                return
            if len(state[0]) < 2 + length:
                if len(state[0]) > MAX_PACKET + 2:
                    self.close_conn(conn)
                return
            packet, state[0] = state[0][2:2 + length], state[0][2 + length:]
            reply, delay = self.answer(packet, "tcp")
            if reply is not None:
                self.later(delay, lambda r=reply, c=conn: self.send_tcp(c, r))

    def send_tcp(self, conn, reply):
        if conn not in self.conns:
            return
        try:
            conn.settimeout(2.0)
            conn.sendall(struct.pack(">H", len(reply)) + reply)
            conn.setblocking(False)
            self.conns[conn][1] = time.monotonic()
        except OSError:
            self.close_conn(conn)

    def reload(self, *_):
        try:
            self.zone = load_zone(self.args.zone, self.fresh)
            print("reloaded %s" % self.args.zone, flush=True)
        except (OSError, ValueError, ZoneError) as e:
            print("reload failed, keeping the old zone: %s" % e, flush=True)

    def stop(self, *_):
        # Raised out of the select() the signal interrupts, so the server
        # stops at once rather than at the loop's next turn.
        raise SystemExit(0)

    def run(self):
        self.bind()
        signal.signal(signal.SIGHUP, self.reload)
        signal.signal(signal.SIGTERM, self.stop)
        signal.signal(signal.SIGINT, self.stop)
        if self.args.ready_file:
            with open(self.args.ready_file + ".tmp", "w") as f:
                f.write("ready %s %d\n" % (self.args.address, self.port))
            os.rename(self.args.ready_file + ".tmp", self.args.ready_file)
        print("ready %s %d" % (self.args.address, self.port), flush=True)
        while True:
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                heapq.heappop(self.timers)[2]()
            timeout = 1.0
            if self.timers:
                timeout = min(timeout, max(0.0, self.timers[0][0] - now))
            for key, _ in self.sel.select(timeout):
                if key.fileobj in self.conns or key.fileobj in (self.udp, self.tcp):
                    key.data(key.fileobj)
            idle = [c for c, s in self.conns.items() if now - s[1] > TCP_IDLE_SECONDS]
            for conn in idle:
                self.close_conn(conn)


def main(argv=None):
    p = argparse.ArgumentParser(description="programmable test DNS server")
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--port", type=int, default=53)
    p.add_argument("--zone", required=True, help="zone file (JSON)")
    p.add_argument("--query-log", help="append one line per query to this file")
    p.add_argument("--ready-file", help="write 'ready ADDRESS PORT' here once listening")
    p.add_argument("--delay", type=int, default=0, help="milliseconds before every answer")
    p.add_argument("--ttl", type=int, default=300)
    p.add_argument("--fresh", action="append", default=[], metavar="SUFFIX=TXT",
                   help="names under SUFFIX answer TXT queries with TXT")
    p.add_argument("--fresh-nxdomain", action="append", default=[], metavar="SUFFIX",
                   help="names under SUFFIX do not exist (even if a parent is listed)")
    args = p.parse_args(argv)
    try:
        server = Server(args)
    except (OSError, ValueError, ZoneError) as e:
        print("testdns: cannot load %s: %s" % (args.zone, e), file=sys.stderr)
        return 1
    try:
        server.run()
    except OSError as e:
        print("testdns: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
