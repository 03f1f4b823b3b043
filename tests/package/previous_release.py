"""The package of the release before this tree's, built from git history.

packaging/changelog names the package's versions, newest first. The
previous release is the tree as it was just before the commit that put
this tree's version on top of the changelog (or HEAD, while that entry is
not committed yet): that commit's parent on the first-parent line. It is
built there (git archive, the daemon and its tool only, no tests) and
packaged with cpack; the package is kept under the build tree, keyed by the
commit, so the stages of one run build it once.

    python3 tests/package/previous_release.py [BUILD_DIR]

prints the path of that package (building it when missing).
"""

import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHANGELOG = "packaging/changelog"


class PreviousReleaseError(Exception):
    pass


def versions(changelog_text):
    """The versions of a Debian changelog, newest first."""
    return re.findall(r"^heronsend \(([^)]+)\)", changelog_text, re.M)


def git(*args):
    r = subprocess.run(["git", "-C", REPO] + list(args), capture_output=True, text=True,
                       timeout=120)
    if r.returncode != 0:
        raise PreviousReleaseError("git %s: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


def top_version(commit):
    return (versions(git("show", "%s:%s" % (commit, CHANGELOG))) or [None])[0]


def find():
    """(previous version, its commit)."""
    with open(os.path.join(REPO, CHANGELOG)) as f:
        known = versions(f.read())
    if len(known) < 2:
        raise PreviousReleaseError("%s names no release before %s" % (CHANGELOG, known[:1]))
    current, previous = known[0], known[1]
    commit = "HEAD"
    for c in git("rev-list", "--first-parent", "HEAD", "--", CHANGELOG).split():
        if top_version(c) != current:
            break
        commit = c + "^"
    commit = git("rev-parse", "--verify", commit + "^{commit}").strip()
    found = top_version(commit)
    if found != previous:
        raise PreviousReleaseError("the tree before %s's entry (%s) is at version %s, not %s"
                                   % (current, commit[:12], found, previous))
    return previous, commit


def build(build_dir, log=print):
    """The previous release's package (built when missing)."""
    version, commit = find()
    cache = os.path.join(build_dir, "previous-release")
    os.makedirs(cache, exist_ok=True)
    out = os.path.join(cache, commit[:12])
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        debs = glob.glob(os.path.join(out, "deb", "heronsend_*.deb"))
        if len(debs) == 1:
            log("previous release %s: %s (cached)" % (version, debs[0]))
            return debs[0]
        for old in glob.glob(os.path.join(cache, "*")):
            if os.path.isdir(old):
                shutil.rmtree(old, ignore_errors=True)
        log("previous release %s: building commit %s" % (version, commit[:12]))
        src = os.path.join(out, "src")
        os.makedirs(src)
        archive = subprocess.run(["git", "-C", REPO, "archive", commit], capture_output=True,
                                 timeout=120)
        if archive.returncode != 0:
            raise PreviousReleaseError("git archive: %s" % archive.stderr.decode())
        subprocess.run(["tar", "-x", "-C", src], input=archive.stdout, check=True)
        # The libspf2 tarball is fetched, not kept in git: this tree's copy
        # (the old tree checks it against its own checksum).
        os.makedirs(os.path.join(src, "third_party"), exist_ok=True)
        for t in glob.glob(os.path.join(REPO, "third_party", "*.orig.tar.gz")):
            shutil.copy(t, os.path.join(src, "third_party"))
        tree = os.path.join(out, "build")
        for cmd in (["cmake", "-S", src, "-B", tree, "-G", "Ninja", "-DHERONSEND_TESTS=OFF",
                     "-DCMAKE_C_COMPILER=gcc", "-DCMAKE_CXX_COMPILER=g++"],
                    ["cmake", "--build", tree, "--parallel", str(os.cpu_count() or 1)],
                    ["cpack", "-G", "DEB", "-B", os.path.join(out, "deb"),
                     "--config", os.path.join(tree, "CPackConfig.cmake")]):
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
            if r.returncode != 0:
                raise PreviousReleaseError("%s failed (%d):\n%s%s" % (
                    " ".join(cmd), r.returncode, r.stdout[-3000:], r.stderr[-3000:]))
        debs = glob.glob(os.path.join(out, "deb", "heronsend_*.deb"))
        if len(debs) != 1:
            raise PreviousReleaseError("no package built: %s" % debs)
        shutil.rmtree(src)
        shutil.rmtree(tree)
        os.chmod(debs[0], 0o644)  # apt's download sandbox user must read it
        return debs[0]


if __name__ == "__main__":
    try:
        print(build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build", "gcc"),
                    log=lambda text: print(text, file=sys.stderr)))
    except (PreviousReleaseError, subprocess.SubprocessError) as e:
        print("previous_release: %s" % e, file=sys.stderr)
        sys.exit(1)
