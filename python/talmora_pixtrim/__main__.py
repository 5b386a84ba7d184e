"""python3 -m talmora_pixtrim batch [--scheduler ADDRESS | --local N] [-r] INDIR OUTDIR Q

Compresses a folder, or with -r a whole tree, on a Dask cluster: the one
whose scheduler is at ADDRESS, or a local one of N worker processes (one per
CPU by default). Prints what `pixtrim batch` prints.
"""

import argparse
import os
import sys
import time

USAGE, FAILED = 2, 1

# glibc's settings for a process that releases and takes pictures again and
# again: blocks up to 32 MiB from the heap, up to 64 MiB of it kept free.
_KEEP_RELEASED_MEMORY = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20),
                         "MALLOC_TRIM_THRESHOLD_": str(64 << 20)}


def human_size(size: int) -> str:
    # As the pixtrim command prints sizes: decimal units, one decimal place.
    if size < 1000:
        return "%d B" % size
    for limit, divisor, unit in ((10**6, 1e3, "kB"), (10**9, 1e6, "MB")):
        if size < limit:
            return "%.1f %s" % (size / divisor, unit)
    return "%.1f GB" % (size / 1e9)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m talmora_pixtrim",
                                     description="Compress a folder or a tree on a Dask cluster.")
    commands = parser.add_subparsers(dest="command", required=True)
    batch = commands.add_parser("batch", help="compress every image in INDIR into OUTDIR")
    where = batch.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler's address")
    where.add_argument("--local", metavar="N", type=int,
                       help="start a local cluster of N worker processes")
    batch.add_argument("-r", "--recursive", action="store_true", help="every folder below INDIR")
    batch.add_argument("--quiet", action="store_true", help="no summary line on stderr")
    batch.add_argument("input_dir", metavar="INDIR")
    batch.add_argument("output_dir", metavar="OUTDIR")
    batch.add_argument("quality", metavar="Q", type=int)
    args = parser.parse_args(argv)
    if args.local is not None and args.local < 1:
        parser.error("--local needs at least 1 worker")

    try:
        import dask
        import distributed
        from .cluster import compress_tree
    except ImportError as error:
        print("pixtrim: the cluster needs Dask's distributed package: %s" % error, file=sys.stderr)
        return FAILED

    start = time.monotonic()
    cluster = None
    if not args.scheduler:
        # Dask's nanny gives its workers MALLOC_TRIM_THRESHOLD_=65536, which
        # turns off glibc's sliding mmap threshold: every picture would be
        # mapped and faulted in afresh, several times slower for small
        # photos. Ours keep released blocks as `pixtrim batch` does.
        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        environ.update(_KEEP_RELEASED_MEMORY)
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            cluster = distributed.LocalCluster(n_workers=args.local or os.cpu_count() or 1,
                                               threads_per_worker=1, processes=True,
                                               dashboard_address=None)
    client = distributed.Client(args.scheduler or cluster)
    try:
        summary = compress_tree(client, args.input_dir, args.output_dir, args.quality,
                                recursive=args.recursive)
    except OSError:
        print("pixtrim: batch: cannot open input dir %s" % args.input_dir, file=sys.stderr)
        return FAILED
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    results = summary.results
    if not results:
        print("0 files compressed into %s" % args.output_dir)
        print("pixtrim: batch: no images found in %s" % args.input_dir, file=sys.stderr)
        return 0
    if summary.compressed == 0:
        print("pixtrim: %s" % (results[-1].message or "operation failed"), file=sys.stderr)
        status = FAILED
    else:
        print("%d file%s compressed into %s" % (summary.compressed,
                                                "" if summary.compressed == 1 else "s",
                                                args.output_dir))
        status = 0
    if not args.quiet:
        line = "%d compressed, %d failed, %s -> %s" % (
            summary.compressed, summary.failed, human_size(summary.bytes_in),
            human_size(summary.bytes_out))
        if summary.bytes_in > 0:
            line += ", %.1f%% saved" % ((summary.bytes_in - summary.bytes_out) * 100.0
                                        / summary.bytes_in)
        print(line + ", %.1f s" % (time.monotonic() - start), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
