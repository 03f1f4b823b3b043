#!/usr/bin/python3
"""heronsend's Debian package through piuparts, as Debian tests its packages.

piuparts installs the package built from this tree in a clean Debian 12
chroot and purges it, then installs the previous release from the chroot's
apt repository, upgrades it to this tree's package and purges that; it
fails on a failing maintainer script, a file left behind or owned by no
package, and a process left running. The chroot is a minbase root made
once with mmdebstrap from the mirrors of this machine's apt configuration
(tests/box/box.py) and cached in the build tree's piuparts/ folder; its
offline repository holds the package's dependencies and, put there for
each run, the previous release (tests/package/previous_release.py: built
from git history). No systemd runs in the chroot: the maintainer scripts
must cope with that as they do in any chroot.

Before piuparts it checks that the two packages ship the same
/etc/default/heronsend: a changed conffile stops the upgrade of every
administrator who edited it with dpkg's question (new defaults go into the
unit, see packaging/heronsend.service).

Run as root (exit 77, skipped, otherwise). HERONSEND_BUILD_DIR names the
build tree (default build/gcc).
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "box"))
import box as boxes  # noqa: E402
import previous_release  # noqa: E402

# The chroot's offline repository: what the package depends on (minbase
# has the rest).
CONFFILE = "etc/default/heronsend"


def say(text):
    print("piuparts: " + text, flush=True)


def run(cmd, timeout=120, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(cmd, text=True, timeout=timeout, **kwargs)


def build_package(build_dir, out_dir):
    r = run(["cpack", "-G", "DEB", "-B", out_dir, "--config",
             os.path.join(build_dir, "CPackConfig.cmake")], timeout=300)
    debs = glob.glob(os.path.join(out_dir, "heronsend_*.deb"))
    if r.returncode != 0 or len(debs) != 1:
        raise boxes.BoxError("cpack failed: %s%s" % (r.stdout, r.stderr))
    return debs[0]


def field(deb, name):
    return run(["dpkg-deb", "-f", deb, name]).stdout.strip()


def depends(*debs):
    """The packages the given packages depend on (the first of each set of
    alternatives), for the chroot's offline repository."""
    names = set()
    for deb in debs:
        for item in field(deb, "Depends").split(","):
            name = item.split("|")[0].split("(")[0].strip()
            if name:
                names.add(name)
    return sorted(names)


def conffile_text(deb, work):
    d = tempfile.mkdtemp(dir=work)
    run(["dpkg-deb", "-x", deb, d])
    with open(os.path.join(d, CONFFILE), "rb") as f:
        return f.read()


def main():
    if os.geteuid() != 0:
        print("piuparts test: needs root (chroots); not root, skipping")
        return 77
    for tool in ("piuparts", "mmdebstrap", "apt-ftparchive"):
        if shutil.which(tool) is None:
            print("piuparts test FAILED: %s missing (scripts/install-deps test)" % tool)
            return 1
    build_dir = os.environ.get("HERONSEND_BUILD_DIR", os.path.join(REPO, "build", "gcc"))
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="heronsend-piuparts.", dir=build_dir)
    try:
        new = build_package(build_dir, os.path.join(work, "deb"))
        old = previous_release.build(build_dir, log=say)
        old_version, new_version = field(old, "Version"), field(new, "Version")
        say("previous release %s, this tree %s" % (old_version, new_version))
        if run(["dpkg", "--compare-versions", new_version, "gt", old_version]).returncode != 0:
            raise boxes.BoxError("version %s is not above the previous release's %s"
                                 % (new_version, old_version))
        if conffile_text(old, work) != conffile_text(new, work):
            raise boxes.BoxError(
                "/%s differs from the previous release's: dpkg would stop the upgrade of "
                "everyone who edited it with a question. Put new defaults into the unit's "
                "HERONSEND_DEFAULT_OPTIONS instead." % CONFFILE)
        say("/%s: the same in both (no conffile question on upgrade)" % CONFFILE)
        # Without apt-utils, as Debian's piuparts roots: with it, debconf's
        # preconfiguration leaves /var/cache/debconf/tmp.ci behind, owned
        # by no package, for whatever apt installs.
        base = boxes.make_root(os.path.join(build_dir, "piuparts"), log=say, base=[],
                               repo_sets=[depends(old, new)], tools=[])
        # The previous release joins the chroot's repository, so that apt
        # knows it and piuparts tests the upgrade from it.
        repo = os.path.join(base, boxes.REPO_DIR.lstrip("/"))
        for stale in glob.glob(os.path.join(repo, "heronsend_*.deb")):
            os.unlink(stale)
        shutil.copy(old, repo)
        r = run(["sh", "-c", "apt-ftparchive packages . > Packages"], cwd=repo)
        if r.returncode != 0:
            raise boxes.BoxError("apt-ftparchive: " + r.stderr)
        log = os.path.join(work, "piuparts.log")
        cmd = ["piuparts", "--existing-chroot", base, "--keep-sources-list",
               "--distribution", boxes.SUITE, "--no-adequate", "--log-file", log, new]
        say(" ".join(cmd))
        r = run(cmd, timeout=900)
        text = open(log).read() if os.path.exists(log) else r.stdout + r.stderr
        summary = [l for l in text.splitlines()
                   if re.search(r"\b(PASS|FAIL|ERROR|WARN|SKIP)\b|piuparts run ends|"
                                r"left after purge|not owned|Processes are running|"
                                r"Setting up heronsend \(|Purging configuration files for heronsend", l)]
        for line in summary:
            say(re.sub(r"^\d+m\d+\.\ds ", "", line))
        if r.returncode != 0:
            print(text[-6000:])
            raise boxes.BoxError("piuparts exit status %d" % r.returncode)
        for needed in ("PASS: Installation and purging test.",
                       "PASS: Installation, upgrade and purging tests."):
            if needed not in text:
                raise boxes.BoxError("piuparts did not report %r" % needed)
    except (boxes.BoxError, previous_release.PreviousReleaseError,
            subprocess.SubprocessError) as e:
        print("piuparts test FAILED: %s" % e, flush=True)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    say("passed in %.0f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
