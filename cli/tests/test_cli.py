"""The pixtrim command: arguments, exit status, output (PIXTRIM_CLI names it)."""

import json
import os
import pathlib
import re
import subprocess
import tempfile
import unittest

from images import jpeg_sides, png_sides, write_png

CLI = os.environ["PIXTRIM_CLI"]
USAGE, FAILED = 2, 1


def pixtrim(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=120)


class CliTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="pixtrim-cli-")
        self.dir = pathlib.Path(self._dir.name)
        self.photo = self.dir / "photo.png"
        write_png(self.photo, 48, 32)

    def tearDown(self):
        self._dir.cleanup()

    def assert_usage_error(self, *args):
        result = pixtrim(*args)
        self.assertEqual(result.returncode, USAGE, (args, result.stdout, result.stderr))
        self.assertIn("usage: pixtrim", result.stderr)
        self.assertEqual(result.stdout, "")


class UsageErrors(CliTest):
    def test_bad_numbers_never_reach_the_library(self):
        out = self.dir / "never.jpg"
        for number in ["", "abc", "50x", " 50", "50 ", "0x10", "5.0", "2147483648",
                       "-2147483649", "99999999999999999999", "k", "2048M", "2097152k", "5m",
                       "5kk"]:
            with self.subTest(number=number):
                self.assert_usage_error("target", self.photo, out, number)
        for number in ["10k", "60%", "1e3"]:
            with self.subTest(number=number):
                self.assert_usage_error("quality", self.photo, out, number)
        self.assertFalse(out.exists())

    def test_missing_or_extra_arguments_commands_and_options(self):
        for args in [(), ("quality", self.photo, "o.jpg"), ("lossless", self.photo),
                     ("batch", self.dir, self.dir / "o"), ("lossless", "a", "b", "c"),
                     ("shrink", self.photo, "o.jpg", "50"), ("--fast", "lossless", "a", "b")]:
            with self.subTest(args=args):
                self.assert_usage_error(*args)

    def test_help_and_version(self):
        result = pixtrim("--help")
        self.assertEqual(result.returncode, 0)
        for command in ("quality", "target", "lossless", "batch", "--json"):
            self.assertIn(command, result.stdout)
        result = pixtrim("--version")
        self.assertEqual((result.returncode, result.stdout), (0, "pixtrim 0.2.0\n"))


class Operations(CliTest):
    def test_summary_line_reports_sizes_and_saving(self):
        out = self.dir / "small.png"
        result = pixtrim("quality", self.photo, out, 25)
        self.assertEqual(result.returncode, 0, result.stderr)
        size_in, size_out = self.photo.stat().st_size, out.stat().st_size
        self.assertEqual(result.stdout, "%s -> %s: %d -> %d bytes, %.2f%% saved\n"
                         % (self.photo, out, size_in, size_out,
                            (size_in - size_out) * 100.0 / size_in))
        self.assertEqual(png_sides(out), (24, 16))

    def test_json_prints_the_library_record_unchanged(self):
        out = self.dir / "q.jpg"
        result = pixtrim("--json", "quality", self.photo, out, 60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r'^\{"input_size":\d+,"output_size":\d+,'
                                        r'"ratio":-?\d+\.\d\d,"saved_bytes":-?\d+\}\n$')
        record = json.loads(result.stdout)
        self.assertEqual(record["output_size"], out.stat().st_size)
        self.assertEqual(jpeg_sides(out), (48, 32))
        self.assertEqual(pixtrim("lossless", self.photo, self.dir / "l.png", "--json").stdout,
                         pixtrim("--json", "lossless", self.photo, self.dir / "l.png").stdout)

    def test_size_suffixes_mean_1024_and_1048576(self):
        for suffixed, plain in [("3k", 3072), ("1M", 1048576), ("2047M", 2146435072)]:
            with self.subTest(suffixed=suffixed):
                a, b = self.dir / "a.jpg", self.dir / "b.jpg"
                first = pixtrim("--json", "target", self.photo, a, suffixed)
                second = pixtrim("--json", "target", self.photo, b, plain)
                self.assertEqual(first.returncode, 0, first.stderr)
                self.assertEqual(first.stdout, second.stdout)
                self.assertEqual(a.read_bytes(), b.read_bytes())

    def test_failures_print_the_library_message_and_exit_1(self):
        missing = self.dir / "missing.png"
        cases = [
            (("quality", missing, self.dir / "o.png", 50), re.escape("cannot read %s" % missing)),
            (("target", self.photo, self.dir / "o.jpg", 0),
             "target_size: target_bytes must be > 0"),
            (("target", self.photo, self.dir / "no" / "o.jpg", 50000),
             "target_size: encode failed"),
            (("target", self.photo, self.dir / "o.jpg", 1),
             r"target_size: could not get output <= 1 bytes \(best: \d+\)"),
            (("lossless", self.photo, self.dir / "no" / "o.png"),
             re.escape("lossless: encode failed for %s" % (self.dir / "no" / "o.png"))),
            (("batch", missing, self.dir / "out", 50),
             re.escape("batch: cannot open input dir %s" % missing)),
        ]
        for args, message in cases:
            with self.subTest(args=args[0]):
                result = pixtrim(*args)
                self.assertEqual(result.returncode, FAILED)
                self.assertEqual(result.stdout, "")
                self.assertRegex(result.stderr, "^pixtrim: %s\n$" % message)

    def test_batch_prints_the_count(self):
        src = self.dir / "src"
        src.mkdir()
        write_png(src / "a.png", 8, 8)
        write_png(src / "b.png", 9, 5)
        result = pixtrim("batch", src, self.dir / "dst", 80)
        self.assertEqual((result.returncode, result.stdout),
                         (0, "2 files compressed into %s\n" % (self.dir / "dst")))

        empty = self.dir / "empty"
        empty.mkdir()
        result = pixtrim("batch", empty, self.dir / "dst2", 80)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "0 files compressed into %s\n" % (self.dir / "dst2"))
        self.assertEqual(result.stderr, "pixtrim: batch: no images found in %s\n" % empty)

    def test_paths_starting_with_dashes_after_double_dash(self):
        odd = self.dir / "--odd.png"
        write_png(odd, 4, 4)
        os.chdir(self.dir)
        try:
            result = pixtrim("lossless", "--", "--odd.png", "--out.png")
        finally:
            os.chdir("/")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(png_sides(self.dir / "--out.png"), (4, 4))


if __name__ == "__main__":
    unittest.main()
