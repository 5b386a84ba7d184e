"""The pixtrim command: arguments, exit status, output (PIXTRIM_CLI names it)."""

import json
import os
import pathlib
import pty
import re
import resource
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

from images import jpeg_sides, png_chunk, png_sides, write_bmp, write_png

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

    def test_batch_options(self):
        src = self.dir / "src"
        src.mkdir()
        for args in [("-j", "-1", "batch", src, self.dir / "o", 50),
                     ("-j", "two", "batch", src, self.dir / "o", 50),
                     ("--jobs=", "batch", src, self.dir / "o", 50),
                     ("batch", src, self.dir / "o", 50, "--jobs"),
                     ("-j2", "quality", self.photo, self.dir / "o.jpg", 50),
                     ("--quiet", "lossless", self.photo, self.dir / "o.png"),
                     ("--quiet", "--verbose", "-j", "2", "batch", src, self.dir / "o", 50),
                     ("--verbose", "-j", "1", "batch", src, self.dir / "o", 50),
                     ("-r", "lossless", self.photo, self.dir / "o.png")]:
            with self.subTest(args=args):
                self.assert_usage_error(*args)
        self.assertFalse((self.dir / "o").exists())

    def test_help_and_version(self):
        result = pixtrim("--help")
        self.assertEqual(result.returncode, 0)
        for command in ("quality", "target", "lossless", "batch", "--json", "--jobs",
                        "--quiet", "--verbose"):
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


def tree(root):
    """Every file under root with its bytes, so two output folders compare whole."""
    return {str(path.relative_to(root)): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


class ParallelBatch(CliTest):
    """-j N must give what the library's own batch (-j 1) gives."""

    def setUp(self):
        super().setUp()
        self.src = self.dir / "src"
        self.src.mkdir()
        for i in range(6):
            write_png(self.src / ("p%d.png" % i), 20 + i, 12 + 2 * i)
        write_png(self.src / "PHOTO.PNG", 30, 20)
        write_png(self.src / "Shot.JpEg", 17, 9)  # a PNG under a JPEG name: written as JPEG
        write_bmp(self.src / "scan.bmp", 11, 7)
        (self.src / "broken.png").write_bytes(b"\x89PNG not really")
        (self.src / "old.png").mkdir()  # selected by its name, fails as a file
        (self.src / "notes.txt").write_text("not an image")
        write_png(self.src / "photo.gif", 5, 5)

    def batch(self, jobs, src, dst, *options, quality=60):
        return pixtrim(*options, "-j", jobs, "batch", src, dst, quality)

    def assert_same_as_library(self, src, *options, jobs=(2, 3, 0), quality=60):
        reference = self.batch(1, src, self.dir / "ref", "--quiet", *options, quality=quality)
        for n in jobs:
            with self.subTest(jobs=n, options=options):
                dst = self.dir / ("j%d%s" % (n, "".join(options)))
                result = self.batch(n, src, dst, "--quiet", *options, quality=quality)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (reference.returncode,
                                  reference.stdout.replace(str(self.dir / "ref"), str(dst)),
                                  reference.stderr))
                self.assertEqual(dst.exists(), (self.dir / "ref").exists())
                if dst.exists():
                    self.assertEqual(tree(dst), tree(self.dir / "ref"))
        return reference

    def test_outputs_count_and_status_match_the_library_batch(self):
        reference = self.assert_same_as_library(self.src)
        self.assertEqual(reference.stdout, "9 files compressed into %s\n" % (self.dir / "ref"))
        self.assertEqual(sorted(tree(self.dir / "ref")),
                         sorted(["PHOTO.PNG", "Shot.JpEg", "scan.bmp"]
                                + ["p%d.png" % i for i in range(6)]))
        self.assertEqual(jpeg_sides(self.dir / "ref" / "Shot.JpEg"), (17, 9))
        for quality in (0, 250):
            self.assert_same_as_library(self.src, jobs=(2,), quality=quality)

    def test_in_place_batch_matches_the_library_batch(self):
        copies = {}
        for n in (1, 2):
            copies[n] = self.dir / ("in-place-%d" % n)
            shutil.copytree(self.src, copies[n])
            result = self.batch(n, copies[n], copies[n], "--quiet")
            self.assertEqual(result.stdout, "9 files compressed into %s\n" % copies[n])
        self.assertEqual(tree(copies[1]), tree(copies[2]))
        self.assertNotEqual(tree(copies[1]), tree(self.src))

    def test_json_record_is_the_last_success_in_listing_order(self):
        self.assert_same_as_library(self.src, "--json")
        last = [name for name in os.listdir(self.src)
                if name.lower().endswith((".png", ".bmp", ".jpeg"))
                and name not in ("broken.png", "old.png")][-1]
        single = pixtrim("--json", "quality", self.src / last, self.dir / last, 60)
        result = self.batch(2, self.src, self.dir / "out", "--json")
        self.assertEqual(result.stdout, single.stdout)

    def test_nothing_found_and_everything_failed(self):
        empty, text_only, all_bad = self.dir / "empty", self.dir / "text", self.dir / "bad"
        empty.mkdir()
        text_only.mkdir()
        (text_only / "readme.txt").write_text("hi")
        all_bad.mkdir()
        (all_bad / "a.png").write_bytes(b"nope")
        (all_bad / "b.jpg").mkdir()
        (all_bad / "c.bmp").write_bytes(b"BM")
        for src in (empty, text_only):
            reference = self.assert_same_as_library(src)
            self.assertEqual(reference.stderr, "pixtrim: batch: no images found in %s\n" % src)
            self.assertEqual(reference.returncode, 0)
        reference = self.assert_same_as_library(all_bad)
        self.assertEqual((reference.returncode, reference.stdout), (FAILED, ""))
        last = os.listdir(all_bad)[-1]
        self.assertIn(str(all_bad / last), reference.stderr)

    def test_unreadable_input_and_missing_output_parent(self):
        reference = self.assert_same_as_library(self.dir / "missing")
        self.assertEqual(reference.stderr,
                         "pixtrim: batch: cannot open input dir %s\n" % (self.dir / "missing"))
        for n in (1, 2):
            with self.subTest(jobs=n):
                result = self.batch(n, self.src, self.dir / "no" / "out", "--quiet")
                self.assertEqual(result.returncode, FAILED)
                self.assertRegex(result.stderr, "^pixtrim: .*%s.*\n$" % re.escape(str(self.dir)))

    def test_verbose_lists_every_file_in_listing_order(self):
        result = self.batch(2, self.src, self.dir / "out", "--verbose")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stderr.splitlines()
        selected = [name for name in os.listdir(self.src)
                    if re.search(r"\.(png|jpe?g|bmp)$", name, re.I)]
        self.assertEqual([line.split(": ")[0] for line in lines[:-1]], selected)
        for name, line in zip(selected, lines):
            if name in ("broken.png", "old.png"):
                self.assertRegex(line, "^%s: .*%s" % (re.escape(name), re.escape(name)))
            else:
                self.assertEqual(line, "%s: %d -> %d bytes" % (
                    name, (self.src / name).stat().st_size,
                    (self.dir / "out" / name).stat().st_size))
        total_in = sum((self.src / n).stat().st_size for n in selected if n in tree(self.dir / "out"))
        self.assertRegex(lines[-1], r"^9 compressed, 2 failed, [\d.]+ kB -> [\d.]+ kB, "
                                    r"[\d.]+% saved, [\d.]+ s$")
        self.assertIn("%.1f kB ->" % (total_in / 1000), lines[-1])

    def test_summary_on_a_pipe_and_nothing_with_quiet(self):
        result = self.batch(2, self.src, self.dir / "out")
        self.assertRegex(result.stderr, r"^9 compressed, 2 failed, .* s\n$")
        self.assertEqual(self.batch(2, self.src, self.dir / "out", "--quiet").stderr, "")
        result = self.batch(1, self.src, self.dir / "out")
        self.assertRegex(result.stderr, r"^9 compressed in [\d.]+ s\n$")

    def test_progress_line_on_a_terminal_only(self):
        master, slave = pty.openpty()
        process = subprocess.Popen([CLI, "-j", "2", "batch", str(self.src), str(self.dir / "out"),
                                    "60"], stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other side has closed
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        self.assertEqual(process.wait(timeout=120), 0)
        process.stdout.close()
        text = seen.decode()
        counters = re.findall(r"\r\[\s*(\d+)/11\] \S+  [\d.]+ [kM]?B -> [\d.]+ [kM]?B\x1b\[K",
                              text)
        self.assertEqual([int(c) for c in counters], list(range(1, 12)))
        self.assertRegex(text, r"\r\x1b\[K9 compressed, 2 failed, .* s\r?\n$")
        self.assertNotIn("\r[", self.batch(2, self.src, self.dir / "out2").stderr)


    def test_a_worker_killed_on_its_last_file_still_reports_that_file(self):
        # A CPU limit stops the worker busy with the large file, as an
        # out-of-memory kill would; the parent and the other worker live on.
        slow = self.dir / "slow"
        slow.mkdir()
        side = 3000  # noise: six encodes of it take seconds
        raw = b"".join(b"\0" + os.urandom(side * 3) for _ in range(side))
        header = struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)
        (slow / "large.png").write_bytes(
            b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(raw, 0)) + png_chunk(b"IEND", b""))
        write_png(slow / "small.png", 8, 8)

        def limit_cpu():
            resource.setrlimit(resource.RLIMIT_CPU, (1, 2))

        result = subprocess.run([CLI, "-j", "2", "--verbose", "batch", str(slow),
                                 str(self.dir / "out"), "100"], capture_output=True, text=True,
                                timeout=120, preexec_fn=limit_cpu)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("large.png: worker process stopped before finishing %s\n"
                      % (slow / "large.png"), result.stderr)
        self.assertRegex(result.stderr, r"\n1 compressed, 1 failed, ")


class TreeBatch(CliTest):
    """-r: every image below INDIR, into the same relative paths under OUTDIR."""

    def setUp(self):
        super().setUp()
        self.src = self.dir / "src"
        (self.src / "a" / "b").mkdir(parents=True)
        (self.src / "with space é").mkdir()
        write_png(self.src / "top.png", 12, 8)
        write_png(self.src / "a" / "Mid.PNG", 9, 9)
        write_bmp(self.src / "a" / "b" / "deep.Bmp", 7, 5)
        write_png(self.src / "with space é" / "x ü.jpg", 10, 6)
        (self.src / "a" / "broken.jpeg").write_bytes(b"\xff\xd8 not really")
        (self.src / "a" / "b" / "notes.txt").write_text("no image")
        os.symlink("..", self.src / "a" / "b" / "up")  # a loop, never followed

    def batch(self, *args, quality=60):
        return pixtrim("-r", "--quiet", *args, quality)

    def test_every_level_lands_in_the_same_relative_path(self):
        result = self.batch("-j", 2, "batch", self.src, self.dir / "out")
        self.assertEqual((result.returncode, result.stdout),
                         (0, "4 files compressed into %s\n" % (self.dir / "out")), result.stderr)
        self.assertEqual(sorted(tree(self.dir / "out")),
                         ["a/Mid.PNG", "a/b/deep.Bmp", "top.png", "with space é/x ü.jpg"])
        self.assertEqual(jpeg_sides(self.dir / "out" / "with space é" / "x ü.jpg"), (10, 6))
        one = self.batch("-j", 1, "batch", self.src, self.dir / "one")
        self.assertEqual((one.returncode, one.stdout.replace("one", "out")),
                         (result.returncode, result.stdout))
        self.assertEqual(tree(self.dir / "one"), tree(self.dir / "out"))

    def test_the_output_folder_inside_the_input_is_left_out(self):
        inside = self.src / "out"
        for run in range(2):
            result = self.batch("-j", 2, "batch", self.src, inside)
            self.assertEqual(result.stdout, "4 files compressed into %s\n" % inside, run)
        self.assertEqual(sorted(tree(inside)),
                         ["a/Mid.PNG", "a/b/deep.Bmp", "top.png", "with space é/x ü.jpg"])

    def test_a_folder_that_cannot_be_listed_is_one_failure(self):
        locked = self.src / "locked"
        locked.mkdir()
        write_png(locked / "hidden.png", 4, 4)
        locked.chmod(0)
        # Root reads every folder; without these capabilities it cannot.
        drop = (["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
                if os.geteuid() == 0 else [])
        try:
            result = subprocess.run(drop + [CLI, "-r", "--verbose", "batch", str(self.src),
                                            str(self.dir / "out"), "60"],
                                    capture_output=True, text=True, timeout=120)
        finally:
            locked.chmod(0o755)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("locked: batch: cannot open input dir %s\n" % locked, result.stderr)
        self.assertRegex(result.stderr, r"\n4 compressed, 2 failed, ")
        self.assertNotIn("hidden.png", str(sorted(tree(self.dir / "out"))))


if __name__ == "__main__":
    unittest.main()
