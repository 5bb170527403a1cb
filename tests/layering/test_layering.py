#!/usr/bin/env python3
"""The build keeps the parts of the core in their layers: a copy of the source tree is
configured in a scratch directory, and one source of each part is compiled there as it
is (it must build) and again with an include of a header from a part that is not below
it (the build must stop at that include). Only single objects are compiled, so the test
stays short."""
import glob
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ["VARNEL_SOURCE_DIR"]
CMAKE = os.environ.get("VARNEL_CMAKE", "cmake")
CXX = os.environ.get("VARNEL_CXX", "")

# Each part and the parts it may include, lowest first.
BELOW = {
    "platform": [],
    "query": ["platform"],
    "mime": ["query", "platform"],
    "oauth": ["platform"],
    "smtp": ["oauth", "mime", "query", "platform"],
    "procedure": ["smtp", "oauth", "mime", "query", "platform"],
}

# A part, and a part whose headers it must not see: each higher one, and siblings.
FORBIDDEN = [
    ("platform", "procedure"),
    ("platform", "query"),
    ("query", "mime"),
    ("mime", "smtp"),
    ("mime", "oauth"),
    ("oauth", "smtp"),
    ("oauth", "mime"),
    ("smtp", "procedure"),
]


def smallest_source(part):
    """The part's quickest .cpp to compile (the smallest), as a path below the tree."""
    sources = glob.glob(os.path.join(SOURCE_DIR, part, "*.cpp"))
    return os.path.relpath(min(sources, key=lambda path: (os.path.getsize(path), path)), SOURCE_DIR)


def first_header(part):
    return os.path.relpath(sorted(glob.glob(os.path.join(SOURCE_DIR, part, "*.h")))[0], SOURCE_DIR)


class LayeringTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="varnel-layering-")
        cls.tree = os.path.join(cls.scratch, "tree")
        cls.build = os.path.join(cls.scratch, "build")
        shutil.copytree(SOURCE_DIR, cls.tree, symlinks=True,
                        ignore=lambda directory, names: [n for n in names if n in (".git", "build")
                                                         and os.path.samefile(directory, SOURCE_DIR)])
        command = [CMAKE, "-S", cls.tree, "-B", cls.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                   "-DVARNEL_BUILD_TESTS=OFF", "-DVARNEL_BUILD_HOST=OFF", "-DVARNEL_BUILD_BENCH=OFF",
                   "-DVARNEL_BUILD_FUZZERS=OFF"]
        if CXX:
            command.append("-DCMAKE_CXX_COMPILER=" + CXX)
        configured = subprocess.run(command, capture_output=True, text=True, timeout=300)
        if configured.returncode != 0:
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise AssertionError("configuring the copy failed:\n" + configured.stdout + configured.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def compile(self, part, source):
        """Builds the object of source in part's library; the exit status and the output."""
        target = "CMakeFiles/varnel_%s.dir/%s.o" % (part, source)
        result = subprocess.run([CMAKE, "--build", self.build, "--target", target], capture_output=True, text=True,
                                timeout=300)
        return result.returncode, result.stdout + result.stderr

    def test_each_part_builds_as_it_is(self):
        for part in BELOW:
            with self.subTest(part=part):
                source = smallest_source(part)
                status, output = self.compile(part, source)
                self.assertEqual(status, 0, output)

    def test_allowed_includes_build(self):
        # The lowest and the highest part below each part: the links reach every one.
        for part, below in BELOW.items():
            for lower in {below[0], below[-1]} if below else ():
                with self.subTest(part=part, lower=lower):
                    status, output, _ = self.compile_with_include(part, first_header(lower))
                    self.assertEqual(status, 0, output)

    def test_an_include_from_a_part_not_below_stops_the_build(self):
        for part, higher in FORBIDDEN:
            with self.subTest(part=part, higher=higher):
                header = first_header(higher)
                status, output, source = self.compile_with_include(part, header)
                self.assertNotEqual(status, 0, "%s built with %s included:\n%s" % (source, header, output))
                # It stopped at that include, not for another reason.
                self.assertIn(header, output)
                self.assertRegex(output, r"No such file or directory|file not found")

    def compile_with_include(self, part, header):
        """Compiles part's smallest source with header included first, then restores it."""
        source = smallest_source(part)
        path = os.path.join(self.tree, source)
        with open(path, encoding="utf-8") as file:
            original = file.read()
        try:
            with open(path, "w", encoding="utf-8") as file:
                file.write('#include "%s"\n%s' % (header, original))
            status, output = self.compile(part, source)
        finally:
            with open(path, "w", encoding="utf-8") as file:
                file.write(original)
        return status, output, source


if __name__ == "__main__":
    unittest.main()
