"""The manual pages: lint clean, and every export and every option documented.

PIXTRIM_CLI names the command, PIXTRIM_HEADER the public header and
PIXTRIM_MAN_LINKS the build folder holding the per-function page links."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import unittest

MAN = pathlib.Path(__file__).resolve().parent.parent
PAGES = [MAN / "pixtrim.1", MAN / "pixtrim.3"]
SKIP = 77  # CTest reports the test as skipped


def lint_command():
    if shutil.which("mandoc"):
        return ["mandoc", "-Tlint", "-Wstyle"]
    if shutil.which("groff"):
        return ["groff", "-ww", "-z", "-man"]
    return None


def plain(page):
    """The page's text with roff's escaped hyphens made plain."""
    return page.read_text().replace("\\-", "-")


def section(page_text, title):
    return "\n" + page_text.split(".SH %s\n" % title, 1)[1].split("\n.SH ", 1)[0]


def exported_functions():
    header = pathlib.Path(os.environ["PIXTRIM_HEADER"]).read_text()
    return re.findall(r"^PIXTRIM_API [^;]*?\b(pixtrim_\w+)\(", header, re.M | re.S)


class ManPages(unittest.TestCase):
    def test_pages_lint_clean(self):
        for page in PAGES:
            with self.subTest(page=page.name):
                result = subprocess.run(lint_command() + [str(page)], capture_output=True,
                                        text=True, timeout=30)
                self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_every_export_is_described_and_has_its_own_page_name(self):
        functions = exported_functions()
        self.assertEqual(len(functions), 8, functions)
        api = plain(MAN / "pixtrim.3")
        names, synopsis = section(api, "NAME"), section(api, "SYNOPSIS")
        described = set(re.findall(r"\n\.TP\n\.BR (\w+) \(\)\n", section(api, "DESCRIPTION")))
        links = pathlib.Path(os.environ["PIXTRIM_MAN_LINKS"])
        for function in functions:
            with self.subTest(function=function):
                self.assertIn(function, names)
                self.assertRegex(synopsis, r"[ *]%s\(" % function)
                self.assertIn(function, described)
                link = links / (function + ".3")
                self.assertEqual(os.readlink(link), "pixtrim.3")

    def test_every_command_and_option_of_the_help_is_described(self):
        help_text = subprocess.run([os.environ["PIXTRIM_CLI"], "--help"], capture_output=True,
                                   text=True, timeout=30, check=True).stdout
        options = set(re.findall(r"(?<![\w-])(--?[a-z]+)", help_text))
        self.assertTrue({"--json", "-j", "--jobs", "--quiet", "--verbose"} <= options, options)
        command = plain(MAN / "pixtrim.1")
        described = set(re.findall(r"\n\.TP\n\.BI? (--?[a-z]+)", section(command, "OPTIONS")))
        described |= set(re.findall(r"\\fP\"? (--[a-z]+)", section(command, "OPTIONS")))
        self.assertEqual(options - described, set())
        commands = set(re.findall(r"\n\.TP\n\.B (\w+) \\fI", section(command, "COMMANDS")))
        self.assertEqual(commands, {"quality", "target", "lossless", "batch"})
        for title in ("SYNOPSIS", "EXIT STATUS", "EXAMPLES"):
            self.assertTrue(section(command, title).strip(), title)


if __name__ == "__main__":
    if lint_command() is None:
        print("SKIP: neither mandoc nor groff is installed (scripts/setup.sh installs mandoc)")
        sys.exit(SKIP)
    unittest.main(verbosity=2)
