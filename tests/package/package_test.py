#!/usr/bin/python3
"""heronsend's Debian package, installed and run as an administrator would.

Builds the package from the build tree (cpack -G DEB), checks its control
data and runs lintian on it (no errors allowed), installs it with apt-get,
checks the installed unit with systemd-analyze, runs /usr/sbin/heronsend -h
and /usr/bin/heronsend-check -h, checks a permitted and a forbidden sender
with heronsend-check, then starts the daemon exactly as heronsend.service
would (the unit's ExecStart with /etc/default/heronsend's values, as root,
in its RuntimeDirectory, with its capability bounding set and no new
privileges; systemd itself is not running here) and sends two
messages through it with the project's milter client: a permitted sender
gets the Received-SPF header, a forbidden one the 550 reply. It does the
same once more with the HERONSEND_OPTIONS line that docs/admin.md shows
for an explanation with blanks and an allowlist, written into
/etc/default/heronsend as an administrator would, and checks that
heronsend-check --service answers as that daemon did: the fail marked, an
allowlisted client's header the very one the daemon inserted. Finally it
stops the
daemon, purges the package and checks that nothing the package installed
or created is left.

The whole test runs in its own network and mount namespaces: the daemon's
default socket (inet:8890@127.0.0.1) and the test DNS (dnsmasq serving
tests/e2e/test_zone.conf) never meet other tests' sockets, and
/etc/resolv.conf is bind-mounted only here. The package is purged in a
clean-up step that also runs when a check fails.

Run as root: tests/package/package_test.py. Without root it prints why and
exits 77 (CTest: skipped). HERONSEND_BUILD_DIR names the build tree (default
build/gcc) and MILTER_CLIENT the milter client.
"""

import glob
import grp
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "docs"))
import doc_examples as docs  # noqa: E402
import harness as h  # noqa: E402

PACKAGE = "heronsend"
ACCOUNT = "heronsend"
UNIT = "/lib/systemd/system/heronsend.service"
DEFAULTS = "/etc/default/heronsend"
RUNTIME_DIR = "/run/heronsend"
# What the maintainer scripts may create besides the package's files.
CREATED = ["/var/lib/heronsend",
           "/etc/systemd/system/multi-user.target.wants/heronsend.service",
           "/var/lib/systemd/deb-systemd-helper-enabled/heronsend.service.dsh-also",
           "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/heronsend.service",
           "/var/lib/systemd/deb-systemd-helper-masked/heronsend.service",
           "/etc/systemd/system/heronsend.service"]
RECEIVER = h.RECEIVER
CLIENT = "192.0.2.10"
# A client of the allowlist the second start adds to the guide's options.
ALLOWLISTED = "192.0.2.77"
APT = ["apt-get", "-y", "-o", "DPkg::Lock::Timeout=120"]


class Failure(Exception):
    pass


def step(text):
    print("package: " + text, flush=True)


def check(cond, what):
    if not cond:
        raise Failure(what)


def run(cmd, **kwargs):
    """Runs cmd, returns CompletedProcess with text output (never raises on
    a non-zero status)."""
    kwargs.setdefault("capture_output", True)
    return subprocess.run(cmd, text=True, timeout=kwargs.pop("timeout", 120), **kwargs)


def must(cmd, what, **kwargs):
    r = run(cmd, **kwargs)
    if r.returncode != 0:
        raise Failure("%s failed (%d): %s\n%s%s" % (what, r.returncode, " ".join(cmd),
                                                     r.stdout, r.stderr))
    return r


def installed():
    r = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE])
    return r.returncode == 0 and r.stdout.endswith(" installed")


def account_exists():
    try:
        pwd.getpwnam(ACCOUNT)
        return True
    except KeyError:
        return False


def group_exists():
    try:
        grp.getgrnam(ACCOUNT)
        return True
    except KeyError:
        return False


def unit_setting(path, name):
    values = []
    with open(path) as f:
        for line in f:
            if line.startswith(name + "="):
                values.append(line[len(name) + 1:].strip())
    return values


# --- the steps -------------------------------------------------------------

def build_package(build_dir, out_dir):
    step("cpack -G DEB")
    must(["cpack", "-G", "DEB", "-B", out_dir, "--config",
          os.path.join(build_dir, "CPackConfig.cmake")], "cpack", timeout=300)
    debs = glob.glob(os.path.join(out_dir, "heronsend_*.deb"))
    check(len(debs) == 1, "expected one heronsend_*.deb in %s, found %s" % (out_dir, debs))
    deb = debs[0]
    arch = must(["dpkg", "--print-architecture"], "dpkg").stdout.strip()
    # The version is the changelog's top entry: the daemon's version 2.2
    # and a Debian revision.
    with open(os.path.join(h.REPO, "packaging", "changelog")) as f:
        version = re.match(r"heronsend \((2\.2-[^)]+)\)", f.read())
    check(version is not None, "packaging/changelog's top entry is not 2.2 with a revision")
    check(os.path.basename(deb) == "heronsend_%s_%s.deb" % (version.group(1), arch) and
          must(["dpkg-deb", "-f", deb, "Version"], "dpkg-deb").stdout.strip() == version.group(1),
          "package file name %s, not version %s" % (os.path.basename(deb), version.group(1)))
    os.chmod(deb, 0o644)  # apt's download sandbox user must read it
    depends = must(["dpkg-deb", "-f", deb, "Depends"], "dpkg-deb").stdout.strip()
    step("Depends: " + depends)
    names = [d.strip().split()[0] for d in re.split(r"[,|]", depends)]
    check(any(n.startswith("libmilter") for n in names), "Depends lacks libmilter")
    check("libc6" in names, "Depends lacks libc6")
    check(not any("spf2" in n for n in names), "Depends names libspf2 (it is built in)")
    conffiles = must(["dpkg-deb", "-I", deb, "conffiles"], "dpkg-deb -I").stdout
    check(conffiles.split() == [DEFAULTS], "conffiles: %r" % conffiles)
    return deb


def run_lintian(deb):
    if shutil.which("lintian") is None:
        raise h.HarnessError("lintian missing (run scripts/install-deps test)")
    step("lintian")
    r = run(["lintian", "--fail-on", "error", deb], timeout=300)
    print(r.stdout + r.stderr, end="", flush=True)
    check(r.returncode == 0, "lintian reports errors")
    check(not re.search(r"^E: ", r.stdout, re.M), "lintian reports errors")


def check_installed_files():
    for path in ("/usr/sbin/heronsend", "/usr/share/man/man8/heronsend.8.gz",
                 "/usr/bin/heronsend-check", "/usr/share/man/man1/heronsend-check.1.gz", UNIT,
                 DEFAULTS, "/usr/share/doc/heronsend/README.md",
                 "/usr/share/doc/heronsend/admin.md",
                 "/usr/share/doc/heronsend/docs/decisions.md",
                 "/usr/share/doc/heronsend/allowlist.example",
                 "/usr/share/doc/heronsend/copyright"):
        check(os.path.exists(path), "not installed: " + path)
    # Built with the source and build trees' names mapped away: the same
    # commit gives the same binaries wherever it is built.
    for path in ("/usr/sbin/heronsend", "/usr/bin/heronsend-check"):
        with open(path, "rb") as f:
            check(h.REPO.encode() not in f.read(), "%s names the build machine's %s"
                  % (path, h.REPO))
    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", PACKAGE]).stdout
    check(DEFAULTS in conffiles, "%s is not a conffile: %r" % (DEFAULTS, conffiles))
    check(account_exists(), "the account %s was not created" % ACCOUNT)
    pw = pwd.getpwnam(ACCOUNT)
    check(pw.pw_uid < 1000 and pw.pw_shell.endswith("nologin"),
          "the account is not a system account: %s" % (pw,))


def verify_unit():
    if shutil.which("systemd-analyze") is None:
        step("systemd-analyze missing: unit not verified")
        return
    step("systemd-analyze verify " + UNIT)
    r = run(["systemd-analyze", "verify", UNIT])
    out = r.stdout + r.stderr
    print(out, end="", flush=True)
    check(r.returncode == 0 and "heronsend" not in out, "systemd-analyze verify complains")


def check_usage():
    step("/usr/sbin/heronsend -h")
    r = run(["/usr/sbin/heronsend", "-h"])
    check(r.returncode == 64, "heronsend -h exit status %d, not 64" % r.returncode)
    lines = r.stderr.splitlines()
    check(lines[:1] == ["usage: heronsend [options] /path/to/socket"], "usage line: %r" % lines[:1])
    check(len(lines) == 43, "usage text has %d lines, not 43" % len(lines))
    for option in ("-l", "--localpolicy=", "-a", "--allowlist=", "-m", "--markonly",
                   "-u", "--user=", "-X", "--nodaemon", "-d", "--debug=", "-A",
                   "--insertauthresults", "-V", "--verdictlog", "-S", "--statistics="):
        check(any(l.lstrip().startswith(option) for l in lines), "usage lacks " + option)


def check_tool():
    """The installed heronsend-check, against the test DNS."""
    step("/usr/bin/heronsend-check")
    r = run(["/usr/bin/heronsend-check", "-h"])
    check(r.returncode == 64 and r.stderr.startswith(
        "usage: heronsend-check [options] CLIENT-ADDRESS SENDER [HELO]\n"),
        "heronsend-check -h: %d %r" % (r.returncode, r.stderr[:80]))
    for sender, status, word, answer in (("a@pass.test", 0, "pass", "continue"),
                                         ("a@fail.test", 1, "fail", "550 5.7.1 fail")):
        r = run(["/usr/bin/heronsend-check", "-R", RECEIVER, CLIENT, sender])
        lines = r.stdout.splitlines()
        print("package: heronsend-check %s: %s" % (sender, lines), flush=True)
        check(r.returncode == status and lines[:1] == [word] and
              lines[2:3] == ["MAIL FROM: " + answer],
              "heronsend-check %s: %d %r %r" % (sender, r.returncode, lines, r.stderr))


def guide_blanks():
    """The guide's HERONSEND_OPTIONS line with a quoted value (an
    explanation with blanks, next to other options)."""
    found = [e for e in docs.all_examples()
             if e.source == "docs/admin.md" and "default" in e.kinds and "-e '" in e.text]
    check(len(found) == 1, "the guide has %d HERONSEND_OPTIONS lines with -e '" % len(found))
    return docs.parse_environment_file(found[0].text)["HERONSEND_OPTIONS"]


def start_as_unit(ws, cleanup, options=None):
    """The unit's command line, with the values of /etc/default/heronsend
    (HERONSEND_OPTIONS replaced by options, if given), run as root in the
    foreground like systemd would."""
    unit_lines = unit_setting(UNIT, "ExecStart")
    env_files = unit_setting(UNIT, "EnvironmentFile")
    check(len(unit_lines) == 1 and env_files == [DEFAULTS],
          "unexpected unit: ExecStart %r, EnvironmentFile %r" % (unit_lines, env_files))
    check(unit_setting(UNIT, "RuntimeDirectory") == ["heronsend"], "RuntimeDirectory")
    with open(UNIT) as f:
        env = docs.unit_environment(f.read())
    with open(DEFAULTS) as f:
        env.update(docs.parse_environment_file(f.read()))
    if options is not None:
        env["HERONSEND_OPTIONS"] = options
    argv = docs.expand_exec_start(unit_lines[0], env)
    step("starting as the unit would (without systemd): " + " ".join(argv))
    check("-X" in argv and "-u" in argv and argv[argv.index("-u") + 1] == ACCOUNT,
          "the unit does not run -X -u %s" % ACCOUNT)
    check(not os.path.exists(RUNTIME_DIR), RUNTIME_DIR + " exists already")
    os.mkdir(RUNTIME_DIR, 0o755)  # systemd's RuntimeDirectory=, mode 0755
    cleanup.push("remove " + RUNTIME_DIR, lambda: shutil.rmtree(RUNTIME_DIR, ignore_errors=True))
    log = ws.file("heronsend.options.log" if options else "heronsend.log")
    # The unit's capability bounding set and NoNewPrivileges, through
    # setpriv: the user switch must work with only these.
    caps = " ".join(unit_setting(UNIT, "CapabilityBoundingSet")).split()
    check(caps and unit_setting(UNIT, "NoNewPrivileges") == ["yes"],
          "the unit sets no CapabilityBoundingSet or NoNewPrivileges")
    bounding = ",".join(["-all"] + ["+" + c[len("CAP_"):].lower() for c in caps])
    sandbox = ["setpriv", "--bounding-set=" + bounding, "--no-new-privs", "--"]
    proc = h.popen(sandbox + argv, log, cwd="/")
    cleanup.push("stop heronsend", lambda: h.stop_child(proc))
    started = h.wait_until(lambda: proc.poll() is not None or " starting" in h.read_text(log), 15)
    check(started and proc.poll() is None, "heronsend did not start:\n" + h.tail(log))
    uid = pwd.getpwnam(ACCOUNT).pw_uid
    with open("/proc/%d/status" % proc.pid) as f:
        uids = re.search(r"^Uid:\s+(.*)$", f.read(), re.M).group(1).split()
    check(uids == [str(uid)] * 4, "daemon runs with uids %s, not %d" % (uids, uid))
    pid_file = os.path.join(RUNTIME_DIR, "heronsend.pid")
    check(h.read_text(pid_file).strip() == str(proc.pid), "PID file does not hold the PID")
    return proc, log, env["HERONSEND_SOCKET"]


def send_messages(client, socket_spec, mark_only=False):
    step("two messages through the milter client on " + socket_spec)
    script = ["macros j=%s" % RECEIVER,
              "connect client.package.test %s 4321" % CLIENT,
              "helo sender.package.test",
              "mail <a@pass.test>", "rcpt <user@example.net>",
              "header Subject package test", "eoh", "body Hello.\\r\\n", "eom",
              "mail <a@fail.test>", "abort", "quit"]
    rc, answers, err = h.run_milter_client(client, socket_spec, script)
    check(rc == 0, "milter_client failed (%d): %s %s" % (rc, err, answers))
    eom = [a for a in answers if a["step"] == "eom"]
    check(len(eom) == 1, "no end-of-message answer: %s" % answers)
    mods = eom[0].get("modifications", [])
    spf = [m["value"] for m in mods if m.get("action") == "insheader" and m.get("name") == "Received-SPF"]
    check(len(spf) == 1, "no Received-SPF header inserted: %s" % eom)
    print("package: Received-SPF: " + spf[0], flush=True)
    expected = ("pass (%s: domain of a@pass.test designates %s as permitted sender) "
                "receiver=%s; client-ip=%s; helo=sender.package.test; envelope-from=a@pass.test; "
                "identity=mailfrom; x-software=heronsend 2.2 http://www.heronsend.org/ with libspf2-"
                % (RECEIVER, CLIENT, RECEIVER, CLIENT))
    check(spf[0].startswith(expected), "header %r does not start with %r" % (spf[0], expected))
    refused = [a for a in answers if a["step"] == "mail"][1]
    print("package: MAIL FROM:<a@fail.test> -> %s" % refused, flush=True)
    if mark_only:
        check(refused.get("reply") == "continue", "mark-only (-m), yet the hard fail was "
              "refused: %s" % refused)
    else:
        check((refused.get("reply"), refused.get("text")) == ("replycode", "550 5.7.1 fail"),
              "the hard fail was not refused with 550 5.7.1: %s" % refused)


def set_default_options(options):
    """Writes options into HERONSEND_OPTIONS of the installed
    /etc/default/heronsend, as an administrator edits it."""
    with open(DEFAULTS) as f:
        text = f.read()
    line = 'HERONSEND_OPTIONS="%s"' % options.replace("\\", "\\\\").replace('"', '\\"')
    text, n = re.subn(r"^HERONSEND_OPTIONS=.*$", lambda _m: line, text, flags=re.M)
    check(n == 1, "%s has %d HERONSEND_OPTIONS lines" % (DEFAULTS, n))
    with open(DEFAULTS, "w") as f:
        f.write(text)


def tool_as_service(client, socket_spec):
    """heronsend-check --service against the running daemon started from
    the same /etc/default/heronsend: a fail from CLIENT and any sender from
    the allowlisted client get the daemon's answers and header."""
    step("heronsend-check --service next to the daemon")
    script = ["macros j=%s" % RECEIVER,
              "connect client.package.test %s 4321" % ALLOWLISTED,
              "helo sender.package.test", "mail <a@fail.test>",
              "rcpt <user@example.net>", "eoh", "eom", "quit"]
    rc, answers, err = h.run_milter_client(client, socket_spec, script)
    check(rc == 0, "milter_client failed (%d): %s %s" % (rc, err, answers))
    mail = [a for a in answers if a["step"] == "mail"][0].get("reply")
    eom = [a for a in answers if a["step"] == "eom"][0].get("modifications", [])
    daemon = [m["value"] for m in eom if m.get("name") == "Received-SPF"]
    for ip, sender, word, answer, header in (
            (CLIENT, "a@fail.test", "fail", "continue", None),
            (ALLOWLISTED, "a@fail.test", "pass", mail, daemon[:1])):
        r = run(["/usr/bin/heronsend-check", "--service", "-R", RECEIVER, ip, sender,
                 "sender.package.test"])
        lines = r.stdout.splitlines() + ["", "", "", ""]
        print("package: heronsend-check --service %s %s: %s" % (ip, sender, lines[:4]),
              flush=True)
        check(lines[0] == word and lines[2] == "MAIL FROM: " + answer and
              lines[3].startswith("Options: -m ") and " -a " in lines[3],
              "heronsend-check --service %s %s: %r %r" % (ip, sender, lines, r.stderr))
        if header is not None:
            print("package: the daemon's Received-SPF: %s" % header, flush=True)
            check(["Received-SPF: " + v for v in header] == lines[1:2],
                  "heronsend-check's header %r is not the daemon's %r" % (lines[1], header))


def stop(proc, log):
    step("SIGTERM")
    status = h.stop_child(proc, timeout=30)
    check(status == 0, "heronsend exit status %s after SIGTERM:\n%s" % (status, h.tail(log)))
    check(" terminating" in h.read_text(log), "no terminating line:\n" + h.tail(log))
    shutil.rmtree(RUNTIME_DIR)  # systemd removes the RuntimeDirectory= at a stop


def purge_and_check(files, account_before):
    step("apt-get purge heronsend")
    must(APT + ["purge", PACKAGE], "apt-get purge")
    check(not installed(), "the package is still installed")
    left = [p for p in files if os.path.lexists(p)]
    check(not left, "left behind after purge: %s" % left)
    left = [p for p in CREATED if os.path.lexists(p)]
    check(not left, "left behind after purge: %s" % left)
    if not account_before:
        check(not account_exists() and not group_exists(),
              "the account or group %s is left after purge" % ACCOUNT)
    else:
        check(account_exists(), "purge removed the account %s it did not create" % ACCOUNT)


def package_files():
    """Files and package-own directories of the installed package."""
    listed = run(["dpkg-query", "-L", PACKAGE]).stdout.split()
    own = [p for p in listed if not os.path.isdir(p) or "heronsend" in p]
    return own


def main_inside():
    build_dir = os.environ.get("HERONSEND_BUILD_DIR", os.path.join(h.REPO, "build", "gcc"))
    client = h.binary("MILTER_CLIENT", "build/gcc/tests/milter_client/milter_client")
    check(not installed(), "the heronsend package is installed on this machine already; "
          "not touching it (remove it to run this test)")
    account_before = account_exists()
    must(["ip", "link", "set", "lo", "up"], "ip link set lo up")
    ws = h.Workspace(prefix="heronsend-package.")
    cleanup = h.Cleanup()
    cleanup.push("remove workspace", ws.remove)
    try:
        out = ws.dir("deb")
        deb = build_package(build_dir, out)
        run_lintian(deb)
        step("apt-get install ./" + os.path.basename(deb))
        cleanup.push("purge the package", lambda: installed() and run(APT + ["purge", PACKAGE]))
        must(APT + ["install", "./" + os.path.basename(deb)], "apt-get install", cwd=out,
             env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        check_installed_files()
        files = package_files()
        verify_unit()
        check_usage()
        dns = h.TestDns(ws)
        dns.start(cleanup)
        must(["mount", "--bind", dns.resolv_conf, "/etc/resolv.conf"], "bind-mount resolv.conf")
        cleanup.push("unmount resolv.conf", lambda: run(["umount", "/etc/resolv.conf"]))
        check_tool()
        proc, log, socket_spec = start_as_unit(ws, cleanup)
        send_messages(client, socket_spec)
        stop(proc, log)
        options = guide_blanks()
        allowlist = ws.file("allowlist")
        with open(allowlist, "w") as f:
            f.write("# the package test's allowlisted client\n%s\n" % ALLOWLISTED)
        options += " -a " + allowlist
        set_default_options(options)  # for heronsend-check --service
        proc, log, socket_spec = start_as_unit(ws, cleanup, options)
        send_messages(client, socket_spec, mark_only="-m" in options.split())
        tool_as_service(client, socket_spec)
        stop(proc, log)
        purge_and_check(files, account_before)
    finally:
        cleanup.run()
        for e in cleanup.errors:
            print("package: clean-up: " + e, file=sys.stderr)
    step("passed")
    return 0


def main():
    if os.geteuid() != 0:
        print("package test: needs root (installs and purges the package, binds "
              "/etc/resolv.conf); not root, skipping")
        return 77
    if os.environ.get("HERONSEND_PACKAGE_NS") != "1":
        # Own network and mount namespaces for the whole test.
        env = dict(os.environ, HERONSEND_PACKAGE_NS="1")
        os.execvpe("unshare", ["unshare", "--net", "--mount", "--propagation", "private",
                               "--", sys.executable, os.path.abspath(__file__)], env)
    try:
        return main_inside()
    except (Failure, h.HarnessError) as e:
        print("package test FAILED: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # run the clean-up
    sys.exit(main())
