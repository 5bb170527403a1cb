"""The manual page renders without a warning and documents what the code accepts: every
named parameter of the procedure, every option of the command, every status code and every
setting, with the environment variable the code reads. The example settings (Debian) and the
registry file (Windows) name only settings the page documents."""

import os
import re
import shutil
import subprocess
import sys
import unittest

SOURCE_DIR = os.environ.get("VARNEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MANUAL = os.path.join(SOURCE_DIR, "packaging", "man", "varnel.1")


def source(*parts):
    with open(os.path.join(SOURCE_DIR, *parts), encoding="utf-8") as file:
        return file.read()


def all_sources():
    texts = []
    for folder in ("procedure", "smtp", "mime", "query", "platform", "host"):
        for root, _, names in os.walk(os.path.join(SOURCE_DIR, folder)):
            texts += [source(root, name) for name in names if name.endswith((".cpp", ".h"))]
    return "\n".join(texts)


def render():
    """The page as man shows it: wide, so that no name is broken over two lines."""
    environment = dict(os.environ, MANWIDTH="200", LC_ALL="C.UTF-8")
    done = subprocess.run(["man", "--warnings", "-l", MANUAL], capture_output=True, text=True, env=environment,
                          timeout=60)
    return done.returncode, done.stdout, done.stderr


def section(text, title):
    match = re.search(r"^%s\n(.*?)(?=^[A-Z][A-Z ]+$)" % re.escape(title), text, re.S | re.M)
    if not match:
        raise AssertionError("section %s missing" % title)
    return match.group(1)


@unittest.skipUnless(shutil.which("man") and shutil.which("groff"), "man and groff are needed to render the page")
class ManualTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.status, cls.text, cls.warnings = render()

    def test_renders_without_warnings(self):
        self.assertEqual(self.status, 0, self.warnings)
        self.assertEqual(self.warnings, "")
        for title in ("NAME", "SYNOPSIS", "OPTIONS", "PARAMETERS", "SETTINGS", "STATUS CODES", "EXIT STATUS",
                      "EXAMPLES"):
            self.assertRegex(self.text, re.compile("^%s$" % title, re.M))

    def test_every_parameter_is_documented(self):
        names = set(re.findall(r'"(@\w+)"', source("procedure", "ParameterReader.cpp")))
        self.assertIn("@recipient", names)
        documented = set(re.findall(r"@\w+", section(self.text, "PARAMETERS")))
        self.assertEqual(names - documented, set())

    def test_every_option_is_documented(self):
        options = set(re.findall(r'argument == "(-[-\w]+)"', source("host", "HostOptions.cpp"))) - {"--", "-?"}
        self.assertIn("--version", options)
        documented = set(re.findall(r"(?<![\w-])(--?[a-zA-Z][-a-zA-Z]*)", section(self.text, "OPTIONS")))
        self.assertEqual(options - documented, set())

    def test_every_status_code_is_documented(self):
        switch = source("smtp", "SMTPChannel.cpp").split("GetStatusText", 1)[1].split("default:", 1)[0]
        codes = set(re.findall(r"case (\d+):", switch)) | {"-1"}
        documented = set()
        for entry in re.findall(r"^ {7}(-?\d+(?:, -?\d+)*)(?: |$)", section(self.text, "STATUS CODES"), re.M):
            documented |= set(entry.split(", "))
        self.assertEqual(codes - documented, set())

    def test_every_setting_is_documented_with_its_variable(self):
        settings = section(self.text, "SETTINGS")
        read = re.findall(r'Value\("(\w+)",\s*"(VARNEL_\w+)"', all_sources())
        read += re.findall(r'ReadSetting\("(VARNEL_\w+)",\s*"(\w+)"', source("platform", "posix", "PosixSettings.cpp"))
        self.assertIn(("VARNEL_BINDIP", "BindIP"), read)
        for first, second in read:
            name, variable = (second, first) if first.startswith("VARNEL_") else (first, second)
            self.assertRegex(settings, r"\b%s\b" % name)
            self.assertTrue(re.search(r"\b%s\b" % variable, settings), "the page lacks %s of %s" % (variable, name))

    def test_examples_name_only_documented_settings(self):
        settings = section(self.text, "SETTINGS")
        examples = os.path.join(SOURCE_DIR, "packaging", "settings")
        readme = source("packaging", "settings", "README")
        for name in os.listdir(examples):
            if name != "README":
                self.assertIn(name, settings)
                self.assertIn(name, readme)
        for name in re.findall(r'^;?"(\w+)"=', source("packaging", "windows", "varnel-settings.reg"), re.M):
            self.assertIn(name, settings)


if __name__ == "__main__":
    unittest.main()
