#!/usr/bin/python3
"""RFC 7208 conformance of heronsend's SPF verdicts, end to end through the
filter callbacks and the production resolver.

The openspf RFC 7208 test suite (16 scenarios, each a DNS zone and a set of
checks with their acceptable results) is fetched at run time from Debian's
golang-blitiri-go-spf-dev package (apt-get download, dpkg -x) into the work
folder and checked against the SHA-256 pinned below; it is not kept in the
repository. tests/conformance/extra-scenarios.yml adds scenarios of our own
in the same format.

For each scenario: tests/dns/testdns.py serves the scenario's zone on a free
127.x.y.53 port 53, and one spf_verdict process (heronsend's filter
callbacks, lib_init(SPF_DNS_CACHE), the recording libmilter fake) evaluates
all the scenario's checks under `unshare --mount` with /etc/resolv.conf
bind-mounted to a file naming that server. A fresh process per scenario
gives a fresh DNS cache, since scenarios reuse names.

Zone data follows the suite's driver conventions: a name with SPF (type 99)
records and no TXT entry serves them as TXT too ("TXT: NONE" means no TXT
record and no copy); "TIMEOUT: true" makes every query of a type the name
has no record of go unanswered; "CNAMELOOP: true" is a CNAME to itself.
Our own scenarios may also say "REFUSED: TYPE" or "SERVFAIL: TYPE" for a
fault on queries of that type only.

Verdicts: "fail" when the filter refused with 550 5.7.1, else the first word
of the Received-SPF header, which uses the suite's own words. A check
passes when the verdict is one of its acceptable results; the explanation
and receiver fields are not compared.

With --checker, every check also runs through heronsend-check (one process
per check, in the same namespace and against the same test DNS, receiver
mx.example.org like spf_verdict's connections), which must give the same
verdict, the same MAIL FROM answer and the same header texts as the filter
callbacks (for a refused or deferred message, the headers of mark-only
mode), and the exit status of its header's verdict word. Both run every
check again in each of the CONFIGURATIONS below: heronsend-check gets the
daemon's options, half of them from a service environment file
(--service=FILE) and half on its command line, and must answer as the
callbacks do in that configuration. The suite's acceptable results are
compared in the default configuration only.

The run fails when a check fails that tests/conformance/deviations.txt does
not list, when a listed check passes (the list may only shrink), when any
check whose acceptable results exclude fail was refused with 550 (WRONG
REFUSAL, listed or not), and, with --forbid-type-spf, when the DNS server
saw any type SPF (99) query.

Run as root (mount namespace, port 53):
    tests/conformance/conformance_test.py --evaluator BUILD/tests/conformance/spf_verdict
        [--checker BUILD/src/heronsend-check]
        [--work DIR] [--forbid-type-spf] [--only SCENARIO-SUBSTRING]
Without root it exits 77 (CTest: skipped).
"""

import argparse
import collections
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
TESTDNS = os.path.join(REPO, "tests", "dns", "testdns.py")
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness as h  # noqa: E402
DEVIATIONS = os.path.join(HERE, "deviations.txt")
EXTRA = os.path.join(HERE, "extra-scenarios.yml")

SUITE_PACKAGE = "golang-blitiri-go-spf-dev"
SUITE_PATH = "usr/share/gocode/src/blitiri.com.ar/go/spf/testdata/rfc7208-tests.yml"
SUITE_SHA256 = "2073384d4da38ee66f98a752d6b151054130f537ac3bffe3b124082fb49b47ee"

RECORD_TYPES = ("A", "AAAA", "MX", "PTR", "TXT", "SPF", "CNAME")
TIMEOUT_TYPES = ("A", "AAAA", "MX", "PTR", "TXT", "SPF")
EVALUATOR_SECONDS = 120
CHECK_SECONDS = 30
# The receiver ("{j}") of spf_verdict's connections, given to heronsend-check.
CHECK_RECEIVER = "mx.example.org"
# The daemon configurations both evaluators run in besides the default; in
# each, ALLOWLIST stands for a file holding ALLOWLISTED (the suite's
# 192.168.218.40 and CAFE:BABE::1 and ::3 clients, about twenty checks;
# its usual 1.2.3.4 stays checked).
ALLOWLIST = "@allowlist"
ALLOWLISTED = "192.168.218.40/31   # a comment after the network\ncafe:babe::/112\n"
CONFIGURATIONS = [
    ["-m", "-A", "-c"],
    ["-e", "see %{d} and %{i}", "-o", "softfail=refuse,permerror=refuse",
     "-o", "temperror=defer,helofail=refuse", "-a", ALLOWLIST],
]
# heronsend-check's exit status for each verdict word; 7 for any other.
CHECK_STATUS = {"pass": 0, "fail": 1, "softfail": 2, "neutral": 3, "none": 4,
                "permerror": 5, "temperror": 6}


class RunError(Exception):
    pass


# --- the suite --------------------------------------------------------------

def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def fetch_suite(work):
    """The suite's path in the work folder, downloaded when missing."""
    target = os.path.join(work, "rfc7208-tests.yml")
    if os.path.exists(target) and sha256(target) == SUITE_SHA256:
        return target
    tmp = tempfile.mkdtemp(prefix="suite.", dir=work)
    try:
        os.chmod(tmp, 0o777)  # apt-get download hands the file to its _apt user
        got = subprocess.run(["apt-get", "download", SUITE_PACKAGE], cwd=tmp,
                             capture_output=True, text=True)
        debs = glob.glob(os.path.join(tmp, "*.deb"))
        if got.returncode != 0 or not debs:
            raise RunError("cannot download %s with apt-get (exit %d):\n%s" % (
                SUITE_PACKAGE, got.returncode, got.stderr.strip()))
        subprocess.run(["dpkg-deb", "-x", debs[0], os.path.join(tmp, "x")], check=True)
        extracted = os.path.join(tmp, "x", SUITE_PATH)
        if not os.path.exists(extracted):
            raise RunError("%s has no %s" % (os.path.basename(debs[0]), SUITE_PATH))
        digest = sha256(extracted)
        if digest != SUITE_SHA256:
            raise RunError("the RFC 7208 suite in %s has SHA-256 %s, expected %s: "
                           "the package changed; review the new suite and update "
                           "SUITE_SHA256 and deviations.txt" % (
                               os.path.basename(debs[0]), digest, SUITE_SHA256))
        shutil.copyfile(extracted, target)
        return target
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def load_scenarios(path, origin):
    import yaml
    with open(path, "rb") as f:
        docs = [d for d in yaml.safe_load_all(f) if d]
    return [(origin, d) for d in docs]


def zone_json(zonedata):
    """The testdns zone of one scenario (see the module docstring)."""
    zone = {"$encoding": "latin-1"}  # the suite's \\xNN escapes are bytes
    for name, entries in (zonedata or {}).items():
        records, faults, present, txt_none, timeout = [], [], set(), False, False
        spf = []
        for entry in entries:
            (kind, value), = entry.items()
            if kind == "TIMEOUT":
                timeout = bool(value)
            elif kind == "CNAMELOOP":
                records.append({"CNAME": name})
                present.add("CNAME")
            elif kind in ("REFUSED", "SERVFAIL"):
                faults.append({"fault": kind, "type": value})
            elif kind not in RECORD_TYPES:
                raise RunError("%s: unknown zone entry %r" % (name, entry))
            elif kind in ("TXT", "SPF") and value == "NONE":
                txt_none = txt_none or kind == "TXT"
            else:
                records.append({kind: value})
                present.add(kind)
                if kind == "SPF":
                    spf.append(value)
        if spf and "TXT" not in present and not txt_none:
            records += [{"TXT": value} for value in spf]
            present.add("TXT")
        if timeout:
            faults += [{"fault": "TIMEOUT", "type": t} for t in TIMEOUT_TYPES
                       if t not in present]
        zone[name] = faults + records
    return zone


def acceptable(test):
    results = test["result"]
    if isinstance(results, str):
        results = [results]
    return sorted(set(results))


# --- running ----------------------------------------------------------------

def free_address():
    address = h.free_dns_address()
    if address is None:
        raise RunError("no free 127.x.y.53 address for the test DNS")
    return address


class Dns:
    def __init__(self, folder, zone, query_log):
        self.folder = folder
        self.zone_path = os.path.join(folder, "zone.json")
        with open(self.zone_path, "w") as f:
            json.dump(zone, f, indent=1)
        self.query_log = query_log
        self.proc = None

    def start(self):
        ready = os.path.join(self.folder, "ready")
        for _ in range(5):  # another test may take the address meanwhile
            self.address = free_address()
            if os.path.exists(ready):
                os.unlink(ready)
            with open(os.path.join(self.folder, "testdns.out"), "ab") as out:
                self.proc = subprocess.Popen(
                    [sys.executable, TESTDNS, "--address", self.address, "--port", "53",
                     "--zone", self.zone_path, "--query-log", self.query_log,
                     "--ready-file", ready], stdin=subprocess.DEVNULL, stdout=out,
                    stderr=out)
            deadline = time.monotonic() + 10
            while not os.path.exists(ready) and self.proc.poll() is None:
                if time.monotonic() > deadline:
                    break
                time.sleep(0.02)
            if os.path.exists(ready):
                break
            self.stop()
        else:
            raise RunError("testdns did not start; see %s/testdns.out" % self.folder)
        resolv = os.path.join(self.folder, "resolv.conf")
        with open(resolv, "w") as f:
            # One try of one second: timed-out lookups stay quick.
            f.write("nameserver %s\noptions timeout:1 attempts:1\n" % self.address)
        return resolv

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc = None


def service_file(folder, options):
    """An environment file as systemd reads it (comments, quotes) holding
    the first half of options in HERONSEND_OPTIONS; the command-line words
    that follow it in heronsend-check's arguments."""
    half = len(options) // 2
    quoted = " ".join("'%s'" % w if " " in w else w for w in options[:half])
    path = os.path.join(folder, "default")
    with open(path, "w") as f:
        f.write("# heronsend options\n; another comment\n"
                'HERONSEND_SOCKET="inet:8890@127.0.0.1"\nHERONSEND_USER="heronsend"\n'
                'HERONSEND_OPTIONS="-X %s"\n' % quoted)
    return ["--service=" + path] + options[half:]


def evaluate(evaluator, resolv, checks):
    """{name: [verdict, MAIL FROM answer, header, ...]} from one evaluator
    process: spf_verdict, or this script's --run-checker mode."""
    lines = []
    for name, test in checks:
        fields = [name, test["host"], test.get("helo", ""), test.get("mailfrom", "")]
        if any(c in f for f in fields for c in "\t\n"):
            raise RunError("%s: a field holds a tab or a newline" % name)
        lines.append("\t".join(fields))
    cmd = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
           'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv, *evaluator]
    try:
        got = subprocess.run(cmd, input="\n".join(lines).encode("latin-1") + b"\n",
                             capture_output=True, timeout=EVALUATOR_SECONDS)
    except subprocess.TimeoutExpired:
        raise RunError("the evaluator took over %d s" % EVALUATOR_SECONDS)
    if got.returncode != 0:
        raise RunError("the evaluator exited %d:\n%s" % (
            got.returncode, got.stderr.decode("latin-1")[-3000:]))
    verdicts = {}
    for line in got.stdout.decode("latin-1").splitlines():
        name, *fields = line.split("\t")
        verdicts[name] = fields
    return verdicts


def run_checker(checker, options):
    """--run-checker: spf_verdict's input on stdin, one heronsend-check per
    check; prints NAME VERDICT MAIL-ANSWER HEADER EXIT-STATUS lines, the
    first four as spf_verdict words them; the arguments after "--" go
    before the check's own."""
    out = sys.stdout.buffer
    for raw in sys.stdin.buffer.read().decode("latin-1").splitlines():
        if not raw:
            continue
        name, host, helo, mailfrom = raw.split("\t")
        cmd = [checker, "-R", CHECK_RECEIVER, *options, "--", host,
               "<%s>" % mailfrom, helo]
        try:
            got = subprocess.run([a.encode("latin-1") for a in cmd],
                                 capture_output=True, timeout=CHECK_SECONDS)
            lines = got.stdout.decode("latin-1").splitlines() + [""]
            status = got.returncode
        except subprocess.TimeoutExpired:
            lines, status = ["timeout", ""], "timeout"
        shown = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
        header = " || ".join(line.partition(": ")[2] for line in lines
                             if line.startswith("Received-SPF: "))
        if not header or header.startswith("(none"):
            header = "-"
        mail = shown.get("MAIL FROM", "-")
        verdict = "fail" if mail.startswith("550 5.7.1 ") else lines[0]
        if verdict == "unchecked":
            verdict = "no-header"
        out.write(("\t".join([name, verdict, mail, header,
                              shown.get("Authentication-Results", "-"), str(status)])
                   + "\n").encode("latin-1"))
    return 0


def checker_differences(name, filtered, checked):
    """What heronsend-check got differently from the filter callbacks."""
    if checked is None:
        return ["no answer"]
    problems = ["%s %r, not %r" % (what, got, want) for what, want, got in
                zip(("verdict", "MAIL FROM answer", "header", "Authentication-Results"),
                    filtered[:4], checked[:4])
                if got != want]
    status = str(CHECK_STATUS.get(filtered[2].split(" ")[0], 7))
    if checked[4:5] != [status]:
        problems.append("exit status %s, not %s" % (checked[4:5], status))
    return problems


def read_deviations(path):
    names = {}
    with open(path) as f:
        for line in f:
            text = line.split("#", 1)[0].strip()
            if text:
                names[text] = line.partition("#")[2].strip()
    return names


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--evaluator", required=True, help="the spf_verdict binary")
    p.add_argument("--work", help="work folder (default: a temporary one)")
    p.add_argument("--forbid-type-spf", action="store_true",
                   help="fail when the DNS server saw any type SPF (99) query")
    p.add_argument("--only", help="run only scenarios whose description holds this")
    p.add_argument("--checker", help="heronsend-check, to run every check through too")
    p.add_argument("--run-checker", help=argparse.SUPPRESS)
    p.add_argument("options", nargs="*", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.run_checker:
        return run_checker(args.run_checker, args.options)

    if os.geteuid() != 0:
        print("conformance: skipped, needs root (mount namespace for resolv.conf, "
              "a DNS server on port 53)")
        return 77
    for tool in ("unshare", "apt-get", "dpkg-deb"):
        if shutil.which(tool) is None:
            print("conformance: skipped, %s is missing" % tool)
            return 77
    try:
        import yaml  # noqa: F401
    except ImportError:
        print("conformance: python3-yaml is missing (scripts/install-deps test)")
        return 1

    started = time.monotonic()
    work = args.work or tempfile.mkdtemp(prefix="heronsend-conformance.")
    os.makedirs(work, exist_ok=True)
    try:
        suite = fetch_suite(work)
        scenarios = load_scenarios(suite, "rfc7208") + load_scenarios(EXTRA, "extra")
        deviations = read_deviations(DEVIATIONS)
    except (RunError, OSError, subprocess.CalledProcessError) as e:
        print("conformance: %s" % e)
        return 1

    query_log = os.path.join(work, "queries.log")
    open(query_log, "w").close()
    rows, failures, wrong_refusals, results = [], [], [], {}
    differences, same, compared = [], 0, 0
    # per configuration, how the callbacks answered (so a comparison that
    # exercised nothing shows)
    answers = collections.defaultdict(collections.Counter)
    for index, (origin, scenario) in enumerate(scenarios, 1):
        title = scenario["description"] + (" (heronsend)" if origin == "extra" else "")
        if args.only and args.only.lower() not in title.lower():
            continue
        folder = os.path.join(work, "scenario-%02d" % index)
        os.makedirs(folder, exist_ok=True)
        checks = list(scenario["tests"].items())
        repeated = [name for name, _ in checks if name in results]
        if repeated:
            print("conformance: check names used twice: %s" % ", ".join(repeated))
            return 1
        dns = Dns(folder, zone_json(scenario.get("zonedata")), query_log)
        scenario_started = time.monotonic()
        allowlist = os.path.join(folder, "allowlist")
        with open(allowlist, "w") as f:
            f.write(ALLOWLISTED)
        # (configuration, the callbacks' verdicts, heronsend-check's) per configuration
        runs = []
        try:
            resolv = dns.start()
            for configuration in [[]] + (CONFIGURATIONS if args.checker else []):
                options = [allowlist if w == ALLOWLIST else w for w in configuration]
                verdicts = evaluate([args.evaluator, *options], resolv, checks)
                checked = None
                if args.checker:
                    checked = evaluate([sys.executable, os.path.abspath(__file__),
                                        "--evaluator", args.evaluator,
                                        "--run-checker", args.checker, "--",
                                        *service_file(folder, options)], resolv, checks)
                runs.append((" ".join(configuration) or "default", verdicts, checked))
        except (RunError, OSError) as e:
            print("conformance: scenario '%s': %s" % (title, e))
            return 1
        finally:
            dns.stop()
        verdicts = runs[0][1]
        for label, filtered, checked in runs if args.checker else []:
            for name, _ in checks:
                got = filtered.get(name, ["", "", "-"])
                answers[label]["allowlisted" if "is allowlisted" in got[2]
                               else got[1][:9]] += 1
                problems = checker_differences(
                    name, filtered.get(name, ["(no answer)", "", "", ""]),
                    checked.get(name))
                compared += 1
                same += not problems
                differences += ["%s [%s]: %s" % (name, label, p) for p in problems]
        passed = 0
        for name, test in checks:
            want = acceptable(test)
            got = verdicts.get(name, ["(no answer)"])[0]
            ok = got in want
            results[name] = ok
            passed += ok
            if not ok:
                failures.append((title, name, want, got))
            if got == "fail" and "fail" not in want:
                wrong_refusals.append((name, want))
        rows.append((title, passed, len(checks), time.monotonic() - scenario_started))

    width = max(len(r[0]) for r in rows)
    print("RFC 7208 conformance, per scenario:")
    for title, passed, total, seconds in rows:
        print("  %-*s  %3d/%-3d  %5.1f s" % (width, title, passed, total, seconds))
    suite_rows = [r for r, (o, _) in zip(rows, scenarios) if o == "rfc7208"]
    if len(rows) == len(scenarios):
        print("  %-*s  %3d/%d" % (width, "RFC 7208 suite total",
                                  sum(r[1] for r in suite_rows),
                                  sum(r[2] for r in suite_rows)))

    bad = False
    if failures:
        print("\nFailing checks (expected -> got):")
        for title, name, want, got in failures:
            tag = "" if name in deviations else "   NOT IN deviations.txt"
            print("  %s: %s expected %s, got %s%s" % (title, name, "|".join(want), got, tag))
            bad = bad or name not in deviations
    stale = sorted(n for n in deviations if results.get(n))
    for name in stale:
        print("%s: now passes, remove it from deviations.txt" % name)
    unknown = sorted(n for n in deviations if n not in results and not args.only)
    for name in unknown:
        print("%s: listed in deviations.txt but no such check" % name)
    for name, want in wrong_refusals:
        print("WRONG REFUSAL: %s refused with 550 5.7.1, acceptable %s" % (
            name, "|".join(want)))

    if args.checker:
        print("\nheronsend-check: %d/%d checks with the filter callbacks' verdict, "
              "MAIL FROM answer and headers (%d configurations: the default, %s)" % (
                  same, compared, 1 + len(CONFIGURATIONS),
                  "; ".join(" ".join(c) for c in CONFIGURATIONS)))
        for config, counts in answers.items():
            print("  %s: %s" % (config, ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
        for line in differences:
            print("  DIFFERENT: " + line)
        bad = bad or bool(differences)

    types = collections.Counter()
    with open(query_log) as f:
        for line in f:
            fields = line.split()
            if len(fields) == 4:
                types[fields[1]] += 1
    print("\nDNS query types seen: %s" % (
        ", ".join("%s %d" % kv for kv in sorted(types.items())) or "none"))
    if args.forbid_type_spf and types.get("SPF"):
        print("type SPF (99) queries seen: %d, none are allowed" % types["SPF"])
        bad = True

    npass = sum(1 for ok in results.values() if ok)
    print("run time %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (npass, len(results) - npass))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if bad or stale or unknown or wrong_refusals else 0


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main())
