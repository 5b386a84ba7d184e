"""The Python binding against the built library (PIXTRIM_LIBRARY names it)."""

import concurrent.futures
import itertools
import multiprocessing
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import unittest

import talmora_pixtrim as pt
from images import jpeg_sides, png_sides, write_bmp, write_png


class ScratchTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="pixtrim-py-")
        self.dir = pathlib.Path(self._dir.name)
        self.photo = self.dir / "photo.png"
        write_png(self.photo, 40, 30)

    def tearDown(self):
        self._dir.cleanup()


class FindingTheLibrary(unittest.TestCase):
    def run_fresh(self, code, **env):
        """Runs code in a new interpreter, so no library is loaded yet."""
        full_env = dict(os.environ, **env)
        return subprocess.run([sys.executable, "-c", code], env=full_env,
                              capture_output=True, text=True, timeout=60)

    def test_explicit_path_is_used_and_a_wrong_one_is_named(self):
        lib = pt.load(os.environ[pt.LIBRARY_ENV])
        self.assertEqual(lib.pixtrim_init(), 1)
        with self.assertRaises(OSError) as caught:
            pt.load("/nonexistent/libtalmora-pixtrim.so.0")
        self.assertIn("/nonexistent/libtalmora-pixtrim.so.0", str(caught.exception))

    def test_environment_variable_that_fails_does_not_fall_back(self):
        result = self.run_fresh("import talmora_pixtrim as pt; pt.stats()",
                                PIXTRIM_LIBRARY="/nonexistent/lib.so")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("/nonexistent/lib.so", result.stderr)
        self.assertIn("PIXTRIM_LIBRARY", result.stderr)

    def test_library_loads_on_first_use(self):
        result = self.run_fresh("import talmora_pixtrim as pt; print(pt.stats())")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "{}")

    def test_version_is_the_release_the_build_has(self):
        self.assertEqual(pt.__version__, os.environ["PIXTRIM_VERSION"])


class SingleFileCalls(ScratchTest):
    def test_quality_returns_the_record_of_the_file_written(self):
        out = self.dir / "small.png"
        record = pt.quality(self.photo, out, 25)
        self.assertEqual(png_sides(out), (20, 15))
        self.assertEqual(record["input_size"], self.photo.stat().st_size)
        self.assertEqual(record["output_size"], out.stat().st_size)
        self.assertEqual(record["saved_bytes"], record["input_size"] - record["output_size"])
        self.assertEqual(pt.last_error(), "")

    def test_lossless_and_jpeg_output(self):
        bmp = self.dir / "in.bmp"
        write_bmp(bmp, 17, 9)
        record = pt.lossless(bmp, self.dir / "out.png")
        self.assertEqual(png_sides(self.dir / "out.png"), (17, 9))
        self.assertEqual(record["input_size"], bmp.stat().st_size)
        pt.quality(bmp, self.dir / "out.jpg", 40)
        self.assertEqual(jpeg_sides(self.dir / "out.jpg"), (17, 9))

    def test_failures_carry_the_library_message(self):
        missing = str(self.dir / "missing.png")
        text = self.dir / "notes.png"
        text.write_bytes(b"just some text")
        no_dir = str(self.dir / "no" / "out.png")
        cases = [
            (lambda: pt.quality(missing, self.dir / "o.png", 50), "cannot read " + missing),
            (lambda: pt.lossless(text, self.dir / "o.png"),
             "unsupported image format: %s" % text),
            (lambda: pt.quality(self.photo, no_dir, 50), "quality: encode failed for " + no_dir),
            (lambda: pt.lossless(self.photo, no_dir), "lossless: encode failed for " + no_dir),
            (lambda: pt.target_size(missing, self.dir / "o.jpg", 0),
             "target_size: target_bytes must be > 0"),
        ]
        for call, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(pt.PixtrimError) as caught:
                    call()
                self.assertEqual(caught.exception.message, message)
                self.assertEqual(str(caught.exception), message)

    def test_failed_target_size_reports_the_file_left_on_disk(self):
        out = self.dir / "fit.jpg"
        with self.assertRaises(pt.PixtrimError) as caught:
            pt.target_size(self.photo, out, 1)
        size = out.stat().st_size
        self.assertEqual(caught.exception.message,
                         "target_size: could not get output <= 1 bytes (best: %d)" % size)
        self.assertEqual(caught.exception.stats["output_size"], size)

    def test_a_failure_after_a_success_carries_no_stale_record(self):
        pt.quality(self.photo, self.dir / "ok.png", 50)
        with self.assertRaises(pt.PixtrimError) as caught:
            pt.quality(self.dir / "missing.png", self.dir / "o.png", 50)
        self.assertEqual(caught.exception.stats, {})

    def test_paths_of_every_kind_reach_the_library_unchanged(self):
        raw_name = os.fsencode(str(self.dir)) + b"/caf\xe9.png"  # not valid UTF-8
        for out in (str(self.dir / "s.png"), os.fsencode(str(self.dir / "b.png")),
                    self.dir / "p.png", raw_name):
            with self.subTest(out=out):
                pt.lossless(self.photo, out)
                self.assertTrue(os.path.exists(out))
        with self.assertRaises(pt.PixtrimError) as caught:
            pt.lossless(raw_name + b".missing", raw_name)
        self.assertEqual(os.fsencode(caught.exception.message),
                         b"cannot read " + raw_name + b".missing")

    def test_bad_arguments_are_refused_before_any_call(self):
        out = self.dir / "never.png"
        for call, error in [
            (lambda: pt.quality(None, out, 50), TypeError),
            (lambda: pt.quality(self.photo, out, "50"), TypeError),
            (lambda: pt.quality(self.photo, out, 50.0), TypeError),
            (lambda: pt.quality(self.photo, out, 2**31), OverflowError),
            (lambda: pt.target_size(self.photo, out, -2**31 - 1), OverflowError),
            (lambda: pt.batch(self.dir, None, 50), TypeError),
        ]:
            with self.subTest(error=error):
                with self.assertRaises(error):
                    call()
        self.assertFalse(out.exists())

    def test_calls_from_several_threads_each_get_their_own_record(self):
        inputs = []
        for i in range(4):
            path = self.dir / ("in%d.png" % i)
            write_png(path, 90 + 9 * i, 80 + 5 * i)
            inputs.append(path)
        problems = []

        def work(index):
            for round_ in range(30):
                out = self.dir / ("t%d_%d.png" % (index, round_))
                try:
                    record = pt.quality(inputs[index], out, 64)
                    if record["input_size"] != inputs[index].stat().st_size:
                        problems.append((index, round_, record))
                except Exception as error:  # another thread's reset or failure leaked in
                    problems.append((index, round_, error))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(problems, [])


class Batch(ScratchTest):
    def test_counts_the_images_compressed(self):
        src = self.dir / "src"
        src.mkdir()
        write_png(src / "a.png", 10, 10)
        write_bmp(src / "b.BMP", 6, 4)
        (src / "readme.txt").write_text("not an image")
        self.assertEqual(pt.batch(src, self.dir / "dst", 50), 2)
        self.assertEqual(sorted(os.listdir(self.dir / "dst")), ["a.png", "b.BMP"])

    def test_no_images_is_a_count_of_zero_not_an_error(self):
        src = self.dir / "empty"
        src.mkdir()
        self.assertEqual(pt.batch(src, self.dir / "dst", 50), 0)
        self.assertEqual(pt.last_error(), "batch: no images found in %s" % src)

    def test_failures_raise_with_the_library_message(self):
        missing = self.dir / "missing"
        with self.assertRaises(pt.PixtrimError) as caught:
            pt.batch(missing, self.dir / "dst", 50)
        self.assertEqual(caught.exception.message, "batch: cannot open input dir %s" % missing)
        self.assertFalse((self.dir / "dst").exists())

        damaged = self.dir / "damaged"
        damaged.mkdir()
        (damaged / "x.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
        with self.assertRaises(pt.PixtrimError) as caught:
            pt.batch(damaged, self.dir / "dst", 50)
        self.assertTrue(caught.exception.message.startswith(
            "cannot decode %s/x.png (" % damaged), caught.exception.message)


class ProcessPool(ScratchTest):
    """Each worker process has its own library and texts, so a pool runs the
    quality calls side by side; the files must be those batch writes."""

    def make_folder(self):
        src = self.dir / "src"
        src.mkdir()
        for i in range(6):
            write_png(src / ("p%d.png" % i), 50 + 7 * i, 40 + 3 * i)
        write_bmp(src / "scan.bmp", 33, 21)
        write_png(src / "as-jpeg.JPG", 45, 30, alpha=128)
        return src

    def test_pool_outputs_match_batch_byte_for_byte(self):
        src = self.make_folder()
        names = sorted(os.listdir(src))
        self.assertEqual(pt.batch(src, self.dir / "batch", 55), len(names))
        for method in ("fork", "spawn"):
            with self.subTest(start_method=method):
                out = self.dir / method
                out.mkdir()
                with concurrent.futures.ProcessPoolExecutor(
                        2, mp_context=multiprocessing.get_context(method)) as pool:
                    records = list(pool.map(pt.quality, [src / n for n in names],
                                            [out / n for n in names], itertools.repeat(55)))
                for name, record in zip(names, records):
                    written = (out / name).read_bytes()
                    self.assertEqual(written, (self.dir / "batch" / name).read_bytes(), name)
                    self.assertEqual(record["output_size"], len(written))

    def test_a_child_forked_while_another_thread_calls_is_not_blocked(self):
        busy, release = threading.Event(), threading.Event()

        def hold_the_binding():
            with pt._lock:
                busy.set()
                release.wait(60)

        holder = threading.Thread(target=hold_the_binding)
        holder.start()
        busy.wait(60)
        pool = concurrent.futures.ProcessPoolExecutor(
            1, mp_context=multiprocessing.get_context("fork"))
        try:
            future = pool.submit(pt.lossless, self.photo, self.dir / "o.png")
            try:
                record = future.result(30)
            except concurrent.futures.TimeoutError:
                for child in multiprocessing.active_children():  # stuck on the lock
                    child.kill()
                raise
        finally:
            release.set()
            holder.join()
            pool.shutdown()
        self.assertEqual(record["output_size"], (self.dir / "o.png").stat().st_size)


if __name__ == "__main__":
    unittest.main()
