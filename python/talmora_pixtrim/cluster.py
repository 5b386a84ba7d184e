"""Compressing a photo tree on a Dask cluster (needs the distributed package).

    from distributed import Client
    from talmora_pixtrim.cluster import compress_tree
    summary = compress_tree(Client("tcp://scheduler:8786"), "/srv/photos", "/srv/web", 70)
    print(summary.compressed, summary.failed, summary.bytes_out)

The tree is listed once, here, exactly as `pixtrim batch -r` lists it:
image names (.jpg .jpeg .png .bmp, any case) in every folder, links not
followed into folders, the output folder left out when it lies inside the
input. Chunks of files go to the workers as tasks; each file goes through
the library's quality compression in the worker process, which loads the
library once. The workers must see the same paths (a shared filesystem).
A task whose worker dies is run again by Dask, so every file is reported
once, and a file compressed twice is written with the same bytes.
"""

import os
import stat
from dataclasses import dataclass
from typing import List, Optional, Tuple

import distributed

from . import PixtrimError, quality as _quality

__all__ = ["FileResult", "Summary", "list_tree", "compress_tree"]

_IMAGE_EXTENSIONS = (".jpg", ".jpeg", ".png", ".bmp")


@dataclass(frozen=True)
class FileResult:
    """One file: its path below the input folder, whether it was compressed,
    its sizes from the library's record (0 without one) and the library's
    message (empty on success)."""
    path: str
    ok: bool
    input_size: int
    output_size: int
    message: str


@dataclass(frozen=True)
class Summary:
    """Every file's result, in listing order, then one failure per folder
    that could not be listed; with the counts and the bytes in and out."""
    results: List[FileResult]
    compressed: int
    failed: int
    bytes_in: int
    bytes_out: int


def _has_image_name(name: str) -> bool:
    # The library's test: the last dot's extension, letter case ignored.
    dot = name.rfind(".")
    return dot >= 0 and name[dot:].lower() in _IMAGE_EXTENSIONS


def list_tree(input_dir: str, output_dir: str,
              recursive: bool = True) -> Tuple[List[str], List[str]]:
    """The image files below input_dir as paths relative to it, files before
    the folders they sit beside, and the folders that could not be listed.
    Raises OSError when input_dir itself cannot be listed."""
    try:
        output = os.stat(output_dir)
    except OSError:
        output = None
    files: List[str] = []
    unlisted: List[str] = []

    def walk(relative: str) -> None:
        folder = os.path.join(input_dir, relative) if relative else input_dir
        names = os.listdir(folder)
        subfolders = []
        for name in names:
            path = os.path.join(relative, name) if relative else name
            try:
                info = os.lstat(os.path.join(input_dir, path))
                is_folder = stat.S_ISDIR(info.st_mode)
            except OSError:
                is_folder = False
            if is_folder and recursive:
                if output is None or (info.st_dev, info.st_ino) != (output.st_dev, output.st_ino):
                    subfolders.append(path)
            elif _has_image_name(name):
                files.append(path)
        for path in subfolders:
            try:
                walk(path)
            except OSError:
                unlisted.append(path)

    walk("")
    return files, unlisted


def _tasks(files: List[str], chunk: int, workers: int) -> List[List[str]]:
    # Full tasks while every worker has two of them left; then each task
    # takes half a worker's share of the rest, so the workers run out of
    # files together instead of one finishing a full task alone.
    tasks, at = [], 0
    while at < len(files):
        size = max(1, min(chunk, (len(files) - at) // (2 * workers)))
        tasks.append(files[at:at + size])
        at += size
    return tasks


def _compress_chunk(input_dir: str, output_dir: str, quality: int,
                    paths: List[str]) -> List[FileResult]:
    results = []
    for path in paths:
        target = os.path.join(output_dir, path)
        os.makedirs(os.path.dirname(target) or output_dir, exist_ok=True)
        try:
            record = _quality(os.path.join(input_dir, path), target, quality)
            results.append(FileResult(path, True, record.get("input_size", 0),
                                      record.get("output_size", 0), ""))
        except PixtrimError as error:
            results.append(FileResult(path, False, 0, 0, error.message))
    return results


def compress_tree(client: "distributed.Client", input_dir: str, output_dir: str, quality: int,
                  *, recursive: bool = True, chunk: int = 64, retries: int = 2,
                  progress: bool = False) -> Summary:
    """Compresses every image file below input_dir (only those directly in
    it without recursive) at quality into the same relative paths under
    output_dir, in tasks of at most chunk files on the client's cluster (the
    last tasks smaller, so the workers finish together). A task that
    fails is tried again up to retries times. With progress, shows
    distributed.progress while the tasks run. Raises OSError when input_dir
    cannot be listed."""
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    input_dir, output_dir = os.fsdecode(input_dir), os.fsdecode(output_dir)
    files, unlisted = list_tree(input_dir, output_dir, recursive)
    os.makedirs(output_dir, exist_ok=True)
    chunks = _tasks(files, chunk, max(1, sum(client.nthreads().values())))
    futures = client.map(_compress_chunk, [input_dir] * len(chunks), [output_dir] * len(chunks),
                         [quality] * len(chunks), chunks, retries=retries, pure=False)
    if progress:
        distributed.progress(futures)
    results = [result for done in client.gather(futures) for result in done]
    results += [FileResult(path, False, 0, 0,
                           "batch: cannot open input dir %s" % os.path.join(input_dir, path))
                for path in unlisted]
    compressed = sum(r.ok for r in results)
    return Summary(results, compressed, len(results) - compressed,
                   sum(r.input_size for r in results), sum(r.output_size for r in results))
