"""One timed read of tiles into an array, by demstitch.read or by rasterio's merge, for
bench/run: prints the seconds the call took, the peak memory (KiB) before it (the interpreter,
NumPy and the module) and after it, and the array's bytes.

    python3 bench/python_read.py demstitch [--check RESULT.DEM] TILE...
    python3 bench/python_read.py rasterio [--check RESULT.DEM] RASTER...
"""

import resource
import sys
import time

import numpy as np


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main(args):
    mode, check = args[0], None
    names = args[1:]
    if names and names[0] == "--check":
        check, names = names[1], names[2:]
    if mode == "demstitch":
        import demstitch

        before = peak_kib()
        start = time.perf_counter()
        array, _ = demstitch.read(names)
    else:
        import rasterio
        from rasterio.merge import merge

        before = peak_kib()
        start = time.perf_counter()
        datasets = [rasterio.open(name) for name in names]
        merged, _ = merge(datasets, res=(1 / 120, 1 / 120), nodata=-9999, method="last")
        array = merged[0]
    seconds = time.perf_counter() - start
    after = peak_kib()
    if check:
        written = np.memmap(check, dtype=">i2", mode="r", shape=array.shape)
        if not np.array_equal(array, written):
            sys.exit(f"{mode}: the array differs from {check}")
    print(f"{seconds:.6f} {before} {after} {array.nbytes}")


if __name__ == "__main__":
    main(sys.argv[1:])
