#!/usr/bin/env python3
"""Runs every example of heronsend's documentation as an administrator
would copy it (the examples and their marks: doc_examples.py).

Each example runs in a box of its own: `unshare` gives it a private mount,
network and PID namespace, with a loopback interface of its own (so the
documented ports are free), private copies of /etc (with the package's
/etc/default/heronsend and its `heronsend` account), and empty /run,
/var/spool and /usr/share/doc (holding the package's allowlist.example).
The example's set-up lines (install -d, cp) run there as written; then the
daemon starts as the example says, the plain command line or the unit's
ExecStart= as systemd would expand it. It must start and answer the milter
protocol on its socket, and stop with status 0 on SIGTERM; or, for an
example marked to fail, exit with the documented text in its output.

A journal example (a journalctl one-liner) runs in bash with `journalctl`
standing for the journal of the unit that logged the lines of
JOURNAL_LINES (real lines of the daemon: the settings and verdict lines of
an end-to-end run), each twice as the unit's journal holds them: from the
system log, and from standard error after "heronsend: ". It must ask for
the unit's lines as text (`-u heronsend -o cat`), exit 0 and print
something, and no line twice.

A heronsend-check example runs in its box against tests/dns/testdns.py on
the box's own 127.0.0.1:53, serving CHECK_ZONE (the guide's example.org),
named in the box's /etc/resolv.conf. It must print a verdict, the header
and the MAIL FROM answer (with -v the lookups and the matched mechanism)
and exit with its verdict's status.

Also fails when a code block that looks like something to run (a heronsend
command line, an options-file setting, an ExecStart= line) carries no
example mark, so that a new example cannot go untested.

Needs root (namespaces, mounts); exit 77 (skipped) otherwise.
Environment: HERONSEND_BINARY, the daemon to run; HERONSEND_CHECK_BINARY,
heronsend-check.
"""

import glob
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import doc_examples as docs  # noqa: E402

RUNNABLE = {"command", "check", "default", "override", "unit", "options", "allowlist",
            "fallback"}
# Lines of a shell example that are not set-up: they act on services the box
# does not run, or open an editor.
NOT_SET_UP = {"editor", "systemctl", "postfix", "postconf", "journalctl", "make",
              "sendmailconfig", "apt-get", "grep", "swaks"}
START_WAIT = 10.0
TESTDNS = os.path.join(docs.REPO, "tests", "dns", "testdns.py")
# The names of the heronsend-check examples: example.org's mail goes out
# through mail.example.org, the only host its record permits.
CHECK_ZONE = {
    "example.org": [{"TXT": "v=spf1 mx -all"}, {"MX": [10, "mail.example.org"]}],
    "mail.example.org": [{"TXT": "v=spf1 a -all"}, {"A": "192.0.2.25"}],
}
JOURNAL_LINES = os.path.join(docs.REPO, "tests", "docs", "journal.txt")
# journalctl as the examples use it: the unit's lines, message text only,
# each from the system log and again from standard error (LOG_PERROR).
FAKE_JOURNALCTL = r'''
journalctl() {
    for want in " -u heronsend " " -o cat "; do
        case " $* " in
        *"$want"*) ;;
        *) echo "journalctl $*: not the unit's system-log lines as text" >&2; return 2 ;;
        esac
    done
    grep -v '^#' "$JOURNAL_LINES" | while IFS= read -r line; do
        printf '%s\nheronsend: %s\n' "$line" "$line"
    done
}
set -o pipefail
'''
# heronsend-check's exit status for each verdict word.
CHECK_STATUS = {"pass": 0, "fail": 1, "softfail": 2, "neutral": 3, "none": 4,
                "permerror": 5, "temperror": 6}


# --- inside the box ---------------------------------------------------------

def sh(cmd):
    subprocess.run(cmd, shell=True, check=True)


def make_box():
    sh("ip link set lo up")
    top = tempfile.mkdtemp(prefix="heronsend-examples.")
    sh("mount -t tmpfs tmpfs %s" % top)
    sh("cp -a /etc %s/etc && mount --bind %s/etc /etc" % (top, top))
    shutil.copy(os.path.join(docs.REPO, docs.DEFAULT_FILE), "/etc/default/heronsend")
    try:
        pwd.getpwnam("heronsend")
    except KeyError:
        # The account the package's postinst would create.
        with open("/etc/group", "a") as f:
            f.write("heronsend:x:64990:\n")
        with open("/etc/passwd", "a") as f:
            f.write("heronsend:x:64990:64990:heronsend:/nonexistent:/usr/sbin/nologin\n")
    for d in ("/run", "/var/spool", "/usr/share/doc"):
        sh("mount -t tmpfs -o mode=0755 tmpfs %s" % d)
    os.makedirs("/var/spool/postfix", mode=0o755)
    os.makedirs("/usr/share/doc/heronsend")
    shutil.copy(os.path.join(docs.REPO, "packaging", "allowlist.example"),
                "/usr/share/doc/heronsend/allowlist.example")


def shell_lines(text):
    """The example's lines with backslash continuations joined and
    comments (whole-line and trailing) dropped."""
    joined, cur = [], ""
    for line in text.splitlines():
        if line.rstrip().endswith("\\"):
            cur += line.rstrip()[:-1] + " "
            continue
        joined.append(cur + line)
        cur = ""
    out = []
    for line in joined:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        out.append(line)
    return out


def run_set_up(line):
    words = shlex.split(line, comments=True)
    if words and os.path.basename(words[0]) not in NOT_SET_UP:
        sh(line)


def unit_env(overrides=()):
    env = docs.unit_environment(docs.packaged_unit())
    env.update(docs.parse_environment_file(open("/etc/default/heronsend").read()))
    env.update(overrides)
    return env


def unit_argv(exec_start, env):
    os.makedirs("/run/heronsend", mode=0o755, exist_ok=True)  # RuntimeDirectory=
    return docs.expand_exec_start(exec_start, env)


def ensure_files(options):
    """Files an options example names (-a, -f) that the administrator is
    told to create first: from the package's allowlist.example, or empty."""
    words = shlex.split(options)
    for i, w in enumerate(words):
        m = re.match(r"^(-[awf]|--allowlist|--whitelist|--fallback)(=(.*))?$", w)
        if not m:
            continue
        path = m.group(3) or (words[i + 1] if i + 1 < len(words) else None)
        if path and not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if w.startswith(("-a", "-w", "--allow", "--white")):
                shutil.copy("/usr/share/doc/heronsend/allowlist.example", path)
            else:
                open(path, "w").close()


def daemon_argv(ex):
    """The set-up done, the daemon's argument vector for an example."""
    kinds, text = ex["kinds"], ex["text"]
    unit = docs.unit_exec_start(docs.packaged_unit())
    if "command" in kinds:
        commands = []
        for line in shell_lines(text):
            words = shlex.split(line, comments=True)
            if words and os.path.basename(words[0]) == "heronsend":
                commands.append(words)
            else:
                run_set_up(line)
        if len(commands) != 1:
            raise ValueError("a command example holds %d heronsend command lines"
                             % len(commands))
        return commands[0]
    if "default" in kinds:
        overrides = {}
        for line in shell_lines(text):
            m = re.match(r"^(HERONSEND_[A-Z_]+)=(.*)$", line)
            if m:
                overrides.update(docs.parse_environment_file(line))
            elif not ex["inline"] and not re.match(r"^[a-z_]+\s*=", line):
                run_set_up(line)  # not main.cf lines, nor other code spans
        env = unit_env(overrides)
        ensure_files(env.get("HERONSEND_OPTIONS", ""))
        return unit_argv(unit, env)
    if "override" in kinds:
        return unit_argv(docs.unit_exec_start(text), unit_env())
    if "unit" in kinds:
        line = docs.unit_exec_start(text)
        if line != unit:
            raise ValueError("differs from the packaged unit's ExecStart=%s" % unit)
        return unit_argv(line, unit_env())
    if "options" in kinds:
        ensure_files(text)
        return unit_argv(unit, unit_env({"HERONSEND_OPTIONS": text}))
    if "allowlist" in kinds or "fallback" in kinds:
        os.makedirs("/etc/heronsend", exist_ok=True)
        name, flag = ("allowlist", "-a") if "allowlist" in kinds else ("fallback", "-f")
        with open("/etc/heronsend/" + name, "w") as f:
            f.write(text + "\n")
        return unit_argv(unit, unit_env(
            {"HERONSEND_OPTIONS": "%s /etc/heronsend/%s" % (flag, name)}))
    raise ValueError("nothing to run for %s" % kinds)


def milter_answers(spec, timeout=0.5):
    """True when the socket answers libmilter's option negotiation."""
    if spec.startswith(("inet:", "inet6:")):
        family = socket.AF_INET if spec.startswith("inet:") else socket.AF_INET6
        port, _, host = spec.split(":", 1)[1].partition("@")
        address = (host or "127.0.0.1", int(port))
    else:
        family, address = socket.AF_UNIX, re.sub(r"^(unix|local):", "", spec)
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(address)
            s.sendall(struct.pack(">IcIII", 13, b"O", 6, 0x1FF, 0x1FFFFF))
            head = s.recv(5)
            return len(head) == 5 and head[4:5] == b"O"
    except OSError:
        return False


def daemons(binary):
    """PIDs of the daemons in the box."""
    real = os.path.realpath(binary)
    found = []
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            if os.readlink(exe) == real:
                found.append(int(exe.split("/")[2]))
        except OSError:
            pass
    return found


def reap():
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass


def run_check_inside(ex):
    """A heronsend-check example against CHECK_ZONE on the box's loopback."""
    make_box()
    zone = tempfile.NamedTemporaryFile("w", suffix=".json", delete=False)
    json.dump(CHECK_ZONE, zone)
    zone.close()
    ready = zone.name + ".ready"
    dns = subprocess.Popen([sys.executable, TESTDNS, "--address", "127.0.0.1", "--port", "53",
                            "--zone", zone.name, "--ready-file", ready],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + START_WAIT
        while not os.path.exists(ready) and dns.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if os.path.lexists("/etc/resolv.conf"):
            os.unlink("/etc/resolv.conf")  # the box's copy (it may be a link)
        with open("/etc/resolv.conf", "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        lines = shell_lines(ex["text"])
        if len(lines) != 1 or os.path.basename(shlex.split(lines[0])[0]) != "heronsend-check":
            raise ValueError("a check example is one heronsend-check command line")
        argv = shlex.split(lines[0])
        argv[0] = ex["check_binary"]
        p = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    finally:
        dns.terminate()
        dns.wait(10)
    return {"argv": argv[1:], "rc": p.returncode, "stdout": p.stdout, "stderr": p.stderr}


def check_verdict(r):
    """None when a heronsend-check example answered as documented."""
    lines = r["stdout"].splitlines() + ["", "", ""]
    if CHECK_STATUS.get(lines[0]) != r["rc"]:
        return "verdict %r with exit status %s" % (lines[0], r["rc"])
    if not lines[1].startswith("Received-SPF: ") or not any(
            l.startswith("MAIL FROM: ") for l in lines[2:4]):  # after -A's header
        return "no header or MAIL FROM answer: %r" % lines[1:4]
    if not any(l.startswith("Options: ") for l in lines):
        return "no Options line"
    if "-v" in r["argv"] and not (any(l.startswith("DNS ") for l in lines) and
                                  any(l.startswith("matched: ") for l in lines)):
        return "-v shows no lookups or no matched mechanism"
    if re.search(r"failed|error", r["stderr"]):
        return "complained: %s" % r["stderr"].strip()
    return None


def run_inside(ex):
    if "check" in ex["kinds"]:
        return run_check_inside(ex)
    make_box()
    argv = daemon_argv(ex)
    argv[0] = ex["binary"]
    log = tempfile.NamedTemporaryFile(prefix="heronsend-example.", delete=False)
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    spec = argv[-1]
    listening, deadline = False, time.monotonic() + START_WAIT
    while time.monotonic() < deadline:
        if milter_answers(spec):
            listening = True
            break
        if proc.poll() is not None and proc.returncode != 0:
            break
        time.sleep(0.05)
    started_rc = proc.poll()
    for pid in daemons(ex["binary"]):
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 15
    while daemons(ex["binary"]) and time.monotonic() < deadline:
        reap()
        time.sleep(0.05)
    stop_rc = proc.wait(timeout=5)
    with open(log.name, errors="replace") as f:
        output = f.read()
    return {"argv": argv[1:], "listening": listening, "start_rc": started_rc,
            "stop_rc": stop_rc, "left": daemons(ex["binary"]), "output": output}


def verdict(ex, r):
    """None when the example behaved as documented, else what went wrong."""
    if "check" in ex.kinds:
        return check_verdict(r)
    if ex.fails is not None:
        if r["listening"]:
            return "started, but the documentation says it fails"
        if ex.fails not in r["output"]:
            return "did not fail with %r" % ex.fails
        return None
    if not r["listening"]:
        return "did not start and listen (exit status %s)" % r["start_rc"]
    if r["stop_rc"] != 0:
        return "stop: exit status %s" % r["stop_rc"]
    if r["left"]:
        return "still running after SIGTERM"
    bad = [l for l in r["output"].splitlines()
           if re.search(r"unparsable|failed|\berror\b|unknown user|warning: (?!started as root)", l)]
    if bad:
        return "complained: %s" % bad[0]
    return None


# --- outside ----------------------------------------------------------------

def run_example(ex, binary, check_binary):
    payload = {"kinds": ex.kinds, "text": ex.text, "fails": ex.fails,
               "inline": ex.inline, "binary": binary, "check_binary": check_binary}
    cmd = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child",
           "--mount-proc", "--propagation", "private", "--",
           sys.executable, os.path.abspath(__file__), "--inside"]
    p = subprocess.run(cmd, input=json.dumps(payload), capture_output=True, text=True,
                       timeout=60)
    try:
        return json.loads(p.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"error": "the box failed (%d): %s" % (p.returncode, p.stderr.strip())}


def run_journal_example(ex):
    """None when a journalctl one-liner reads the log lines as documented."""
    p = subprocess.run(["bash", "-c", FAKE_JOURNALCTL + ex.text],
                       env=dict(os.environ, JOURNAL_LINES=JOURNAL_LINES),
                       capture_output=True, text=True, timeout=30)
    if p.returncode != 0 or p.stderr:
        return "exit status %d: %s" % (p.returncode, p.stderr.strip())
    if not p.stdout.strip():
        return "printed nothing"
    if "heronsend: " in p.stdout:
        return "shows the standard-error copies of the lines too"
    return None


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        ex = json.load(sys.stdin)
        try:
            print(json.dumps(run_inside(ex)))
        except Exception as e:  # reported outside, with the example's place
            print(json.dumps({"error": "%s: %s" % (type(e).__name__, e)}))
        return 0
    if os.geteuid() != 0:
        print("the examples run in namespaces of their own and need root; skipping")
        return 77
    binary = os.environ.get("HERONSEND_BINARY") or os.path.join(
        docs.REPO, "build", "gcc", "src", "heronsend")
    check_binary = os.environ.get("HERONSEND_CHECK_BINARY") or os.path.join(
        docs.REPO, "build", "gcc", "src", "heronsend-check")
    failures = ["%s: a code block that looks runnable has no example mark" % w
                for w in docs.unmarked_blocks()]
    examples = docs.all_examples()
    with open(os.path.join(docs.REPO, "packaging", "allowlist.example")) as f:
        examples.append(docs.Example("packaging/allowlist.example", 1, ["allowlist"],
                                     f.read()))
    tried = 0
    for ex in examples:
        if "journal" in ex.kinds:
            tried += 1
            problem = run_journal_example(ex)
            print("%-28s %-9s %s" % (ex.where(), "journal",
                                     "FAILED " + problem if problem else "reads the log"))
            if problem:
                failures.append("%s: %s" % (ex.where(), problem))
            continue
        if not RUNNABLE & set(ex.kinds):
            print("%-28s %-9s left to the tests that run that program" % (ex.where(),
                                                                   "+".join(ex.kinds)))
            continue
        tried += 1
        r = run_example(ex, binary, check_binary)
        problem = r.get("error") or verdict(ex, r)
        shown = " ".join(shlex.quote(a) for a in r.get("argv", []))
        if "check" in ex.kinds:
            outcome, program = "answers %s" % r.get("rc"), "heronsend-check"
        else:
            outcome = "fails as documented" if ex.fails else "starts and listens"
            program = "heronsend"
        print("%-28s %-9s %s: %s %s" % (ex.where(), "+".join(ex.kinds),
                                        "FAILED " + problem if problem else outcome,
                                        program, shown))
        if problem:
            failures.append("%s: %s\n%s" % (ex.where(), problem,
                                             r.get("output", r.get("stdout", ""))))
    print("%d examples run, %d failed" % (tried, len(failures)))
    for f in failures:
        print("FAILED " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
