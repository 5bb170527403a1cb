"""Builds the Debian package with CPack, installs it into this machine with dpkg, runs the
installed /usr/bin/varnel (--version, a send to an aiosmtpd relay on 127.0.0.1, a query
through the SQLite ODBC driver) and purges it again.

Exits 77 (skipped) unless run as root where dpkg is, and never touches a varnel package that
it did not install itself. Whatever happens after the install (a failed check, an exception,
SIGTERM or SIGINT, even SIGKILL through a detached guard) the package is purged again."""

import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
PACKAGE = "varnel"
# Present exactly while this test's package may be installed: a run that was killed before
# it could purge lets the next run (or the guard) finish the job.
MARKER = "/var/lib/varnel-package-test.installed"

BUILD_DIR = os.environ.get("VARNEL_BUILD_DIR", "build/default")
SOURCE_DIR = os.environ.get("VARNEL_SOURCE_DIR", ".")
CPACK = os.environ.get("VARNEL_CPACK", "cpack")
VERSION = os.environ.get("VARNEL_VERSION", "")
INSTALLED = "/usr/bin/varnel"

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))


def run(args, timeout=300, check=True, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check and done.returncode != 0:
        raise AssertionError("%s exited %d:\n%s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr))
    return done


def package_status():
    done = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False)
    return done.stdout.strip() if done.returncode == 0 else ""


# Signals that arrive while dpkg runs are held until it has ended: a dpkg stopped halfway
# leaves the package in a state that needs forcing to remove.
HELD = {"active": False, "signals": []}


def stop(number, frame):
    if HELD["active"]:
        HELD["signals"].append(number)
    else:
        raise SystemExit("stopped by signal %d" % number)


def dpkg(*args):
    """dpkg in a session of its own, its output in a file (never a pipe that could close
    under it), the lock waited for: apt or another dpkg may be busy for a while."""
    deadline = time.monotonic() + 180
    while True:
        with tempfile.TemporaryFile(mode="w+") as output:
            HELD["active"] = True
            try:
                process = subprocess.Popen(["dpkg", *args], stdin=subprocess.DEVNULL, stdout=output,
                                           stderr=subprocess.STDOUT, start_new_session=True)
                returncode = process.wait()
            finally:
                HELD["active"] = False
            output.seek(0)
            text = output.read()
        if HELD["signals"]:
            raise SystemExit("stopped by signal %d" % HELD["signals"][0])
        if returncode == 0 or "lock" not in text or time.monotonic() > deadline:
            return returncode, text
        time.sleep(2)


def present():
    status = package_status()
    return bool(status) and not status.endswith("not-installed")


def purge():
    """Removes the package and its files; the marker goes only once that has worked."""
    if present():
        # The force covers a package that an interrupted dpkg left half installed.
        returncode, text = dpkg("--purge", "--force-remove-reinstreq", PACKAGE)
        if returncode != 0:
            raise AssertionError("dpkg --purge failed:\n" + text)
    if os.path.exists(MARKER):
        os.remove(MARKER)


def start_guard():
    """A process outside this one's tree that purges the package if this test dies without
    doing so itself (SIGKILL from a time-out). It ends as soon as this process has ended."""
    # It waits out a dpkg still running for the dead test (the lock), at most three minutes.
    script = ('while kill -0 %d 2>/dev/null; do sleep 1; done; n=0; '
              'while [ -e %s ] && [ $n -lt 180 ]; do '
              'dpkg --purge --force-remove-reinstreq %s >/dev/null 2>&1 && rm -f %s; n=$((n+1)); sleep 1; done'
              % (os.getpid(), MARKER, PACKAGE, MARKER))
    # setsid and a shell that forks again: the guard's parent is gone before anyone could
    # kill this test's process tree.
    subprocess.run(["setsid", "sh", "-c", "sh -c '%s' </dev/null >/dev/null 2>&1 &" % script], check=True,
                   timeout=30)


def linked_libraries(binary):
    """The shared libraries the binary needs (its NEEDED entries), each with its path."""
    dynamic = run(["readelf", "-d", binary]).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    resolved = {}
    for line in run(["ldd", binary]).stdout.splitlines():
        # "libodbc.so.2 => /lib/.../libodbc.so.2 (0x...)", or the loader as "/lib64/ld-linux-x86-64.so.2 (0x...)"
        match = re.match(r"\s*(\S+) => (/\S+)", line) or re.match(r"\s*((/\S+))", line)
        if match:
            resolved[os.path.basename(match.group(1))] = match.group(2)
    missing = [name for name in needed if name not in resolved]
    assert not missing, "ldd cannot find %r" % missing
    return {name: resolved[name] for name in needed}


# Libraries the binary loads with dlopen rather than links, so no NEEDED entry names them:
# OpenSSL, loaded on the first TLS use.
LOADED_LIBRARIES = ["libssl.so.3"]


def loaded_libraries(binary):
    """The dlopen'ed libraries, each with its path in the loader's cache. Each name must be
    in the binary, or this list has drifted from the code."""
    with open(binary, "rb") as program:
        image = program.read()
    cache = run(["ldconfig", "-p"]).stdout
    resolved = {}
    for name in LOADED_LIBRARIES:
        assert name.encode() + b"\0" in image, "%s no longer names %s" % (binary, name)
        # "\tlibssl.so.3 (libc6,x86-64) => /lib/x86_64-linux-gnu/libssl.so.3"
        match = re.search(r"^\s*%s \(.*\) => (/\S+)$" % re.escape(name), cache, re.M)
        assert match, "%s is not in the loader's cache" % name
        resolved[name] = match.group(1)
    return resolved


def owning_package(path):
    """The Debian package that ships a library file (dpkg may know it by either name)."""
    for candidate in (path, os.path.realpath(path)):
        done = run(["dpkg-query", "-S", candidate], check=False)
        if done.returncode == 0:
            return done.stdout.split(":")[0].strip()
    raise AssertionError("no package ships " + path)


def build_package(directory):
    run([CPACK, "-G", "DEB", "-B", directory, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")], timeout=600)
    packages = glob.glob(os.path.join(directory, "*.deb"))
    if len(packages) != 1:
        raise AssertionError("expected one .deb in %s, found %r" % (directory, packages))
    return packages[0]


def check_control(deb):
    fields = {}
    for name in ("Package", "Version", "Depends", "Recommends", "Architecture"):
        fields[name] = run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    assert fields["Package"] == PACKAGE, fields
    # A native package: the project's version, as the changelog's last entry names it.
    assert fields["Version"] == VERSION, "package version %r, project version %r" % (fields["Version"], VERSION)
    with open(os.path.join(SOURCE_DIR, "packaging", "debian", "changelog"), encoding="utf-8") as changelog:
        entry = re.match(r"varnel \(([^)]+)\)", changelog.readline())
    assert entry and entry.group(1) == fields["Version"], "changelog names %r, the package is %r" % (
        entry and entry.group(1), fields["Version"])
    assert fields["Recommends"] == "libsqliteodbc", fields
    assert fields["Architecture"] == run(["dpkg", "--print-architecture"]).stdout.strip(), fields
    # Depends is what the binary links or loads: every library it needs comes from a package
    # named there (unixODBC's libodbc2, the C library, OpenSSL's libssl3).
    depends = {re.split(r"[\s(]", item.strip())[0] for part in fields["Depends"].split(",")
               for item in part.split("|")}
    binary = os.path.join(BUILD_DIR, "varnel")
    libraries = dict(linked_libraries(binary), **loaded_libraries(binary))
    assert "libssl.so.3" not in linked_libraries(binary), "libssl is linked, not loaded on first use"
    for library, path in libraries.items():
        owner = owning_package(path)
        assert owner in depends, "%s (%s) is not in Depends: %s" % (library, owner, fields["Depends"])
    assert any(name.startswith("libodbc") for name in depends), fields["Depends"]

    contents = run(["dpkg-deb", "-c", deb]).stdout
    for path in ("./usr/bin/varnel", "./usr/share/man/man1/varnel.1.gz", "./usr/share/doc/varnel/README.md",
                 "./usr/share/doc/varnel/copyright", "./usr/share/doc/varnel/changelog.gz",
                 "./usr/share/doc/varnel/examples/settings/README",
                 "./usr/share/doc/varnel/examples/settings/BindIP"):
        assert re.search(r"\s%s$" % re.escape(path), contents, re.M), "%s missing from the package:\n%s" % (
            path, contents)
    # Nothing under /etc: settings are the administrator's, never the package's.
    assert "./etc/" not in contents, contents


def check_installed():
    version = run([INSTALLED, "--version"]).stdout
    lines = version.splitlines()
    assert lines[0] == "varnel " + VERSION, version
    assert lines[1].startswith("TLS: "), version

    from relay import SENT_ROW, Relay, sql_text
    environment = dict(os.environ, VARNEL_HOSTNAME="localhost")
    with Relay() as relay:
        statement = ("exec xp_Varnel @recipient='dba@example.com', @from='package@example.com', "
                     "@address='127.0.0.1', @smtpport=%d, @subject='From the package', "
                     "@body='Rows: <<query>>', @query=%s"
                     % (relay.port, sql_text("select 6 * 7 as answer")))
        done = run([INSTALLED, "--json", statement], env=environment, check=False, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    outcome = json.loads(done.stdout)
    assert (outcome["format"], outcome["accepted"], outcome["rows"]) == (1, True, [SENT_ROW]), outcome
    assert len(relay.envelopes) == 1, relay.envelopes
    content = relay.envelopes[0].content
    assert b"Subject: From the package" in content, content
    assert b"answer" in content and b"42" in content, content

    manual = run(["man", "-w", "varnel"], check=False).stdout.strip()
    assert manual.startswith("/usr/share/man/man1/varnel.1"), manual


def main():
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return SKIPPED
    for tool in ("dpkg", "dpkg-deb", "dpkg-query", "readelf", "setsid"):
        if run(["sh", "-c", "command -v " + tool], check=False).returncode != 0:
            print("skipped: %s is not available (not a Debian system?)" % tool)
            return SKIPPED
    if not VERSION:
        print("VARNEL_VERSION is not set (run this test through ctest)")
        return 1

    if os.path.exists(MARKER):
        # Left over from a run that was killed before it could purge.
        purge()
    elif present():
        print("skipped: a varnel package is on this machine already (%s); not touching it" % package_status())
        return SKIPPED

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    with tempfile.TemporaryDirectory(prefix="varnel-package.") as directory:
        deb = build_package(directory)
        check_control(deb)
        print("built", os.path.basename(deb))
        try:
            with open(MARKER, "w") as marker:
                marker.write(deb + "\n")
            start_guard()
            returncode, text = dpkg("-i", deb)
            assert returncode == 0, "dpkg -i failed:\n" + text
            check_installed()
            print("installed, ran --version and a send from", INSTALLED)
        finally:
            purge()
    assert not present(), package_status()
    assert not os.path.exists(INSTALLED), INSTALLED + " is still there after the purge"
    print("purged again")
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
