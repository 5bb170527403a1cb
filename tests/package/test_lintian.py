"""The Debian package as Debian's own checker sees it, and a stripped install.

Builds the package with CPack and runs `lintian --info --display-info --pedantic` on it: no
error (E) or warning (W) tag may appear, and every other tag (I, P, X) must be one that
packaging/debian/lintian-notes.md explains. Then installs the build with `cmake --install
--strip` into a scratch prefix: the binary carries no symbol table and no .comment section.
Needs neither root nor a change to the machine."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.environ.get("VARNEL_BUILD_DIR", "build/default")
SOURCE_DIR = os.environ.get("VARNEL_SOURCE_DIR", ".")
CPACK = os.environ.get("VARNEL_CPACK", "cpack")
CMAKE = os.environ.get("VARNEL_CMAKE", "cmake")
NOTES = os.path.join(SOURCE_DIR, "packaging", "debian", "lintian-notes.md")
# "E: varnel: no-copyright-file", "I: varnel: hardening-no-bindnow [usr/bin/varnel]"
TAG_LINE = re.compile(r"^([EWIPXO]): varnel(?: \w+)?: (\S+)(.*)$")


def run(args, timeout=600):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError("%s exited %d:\n%s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr))
    return done


def explained_tags():
    """The tags the notes explain: each a heading line "## tag-name"."""
    with open(NOTES, encoding="utf-8") as file:
        return set(re.findall(r"^## ([a-z0-9][-a-z0-9+.]*)\s*$", file.read(), re.M))


def section_names(binary):
    text = run(["readelf", "-S", "-W", binary]).stdout
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", text, re.M))


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("dpkg-deb") or not shutil.which("readelf"):
            raise unittest.SkipTest("dpkg-deb and readelf are needed (not a Debian system?)")
        cls.folder = tempfile.mkdtemp(prefix="varnel-lintian.")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_lintian_finds_no_error_or_warning_and_every_note_is_explained(self):
        self.assertTrue(shutil.which("lintian"), "lintian is not installed (scripts/install-deps installs it)")
        output = os.path.join(self.folder, "deb")
        run([CPACK, "-G", "DEB", "-B", output, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")])
        packages = glob.glob(os.path.join(output, "*.deb"))
        self.assertEqual(len(packages), 1, packages)
        done = subprocess.run(["lintian", "--info", "--display-info", "--pedantic", packages[0]], capture_output=True,
                              text=True, timeout=600)
        print(done.stdout)
        # lintian exits 1 when it reports an error tag and 2 when it could not check at all.
        self.assertIn(done.returncode, (0, 1), done.stderr)
        tags = [TAG_LINE.match(line).groups() for line in done.stdout.splitlines() if TAG_LINE.match(line)]
        failures = ["%s: %s%s" % tag for tag in tags if tag[0] in "EW"]
        self.assertEqual(failures, [], done.stdout)
        notes = explained_tags()
        unexplained = sorted({tag[1] for tag in tags if tag[0] in "IPX" and tag[1] not in notes})
        self.assertEqual(unexplained, [], "tags not explained in %s:\n%s" % (NOTES, done.stdout))
        self.assertEqual(done.returncode, 0, done.stdout)

    def test_stripped_install_keeps_no_symbols_or_compiler_notes(self):
        prefix = os.path.join(self.folder, "prefix")
        run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix, "--strip"])
        binary = os.path.join(prefix, "bin", "varnel")
        sections = section_names(binary)
        self.assertIn(".text", sections)
        self.assertNotIn(".symtab", sections)
        self.assertNotIn(".comment", sections)
        self.assertEqual(run([binary, "--version"]).stdout.split()[0], "varnel")
        for path in ("share/man/man1/varnel.1.gz", "share/doc/varnel/copyright",
                     "share/doc/varnel/changelog.gz"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)


if __name__ == "__main__":
    sys.exit(unittest.main())
