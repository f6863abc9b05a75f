import errno
import math
import re
import os
import signal
import subprocess
import sys
import tarfile
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import demstitch
from conftest import WORLD_SHAPE, random_tile, write_tile

CELL = 1 / 120


def two_by_two(folder, size=240):
    """Four 2-degree tiles around (10..14 E, 48..52 N), the second overlapping the first by
    a quarter degree; random samples with no no-data among them."""
    corners = [("W1", 10, 52), ("W2", 11.75, 52), ("S1", 10, 50), ("S2", 12, 50)]
    return {
        name: random_tile(folder, name, west, north, size, size, seed=i)
        for i, (name, west, north) in enumerate(corners)
    }


def test_read_is_the_mosaic_the_command_line_writes(in_tmp, command_line):
    names = list(two_by_two(in_tmp))
    write_tile(in_tmp, "SHORT", 14, 52, np.full((240, 240), 7, np.int16), rows_present=100)
    names.append("SHORT")

    with pytest.warns(demstitch.TileWarning, match="Short raster"):
        array, profile = demstitch.read(names)
    assert array.dtype == np.int16 and array.dtype.isnative
    assert not array.flags.owndata and array.base is not None
    assert (profile["height"], profile["width"]) == array.shape
    assert array[100:, -240:].max() == -9999 and array[:100, -240:].min() == 7

    with pytest.warns(demstitch.TileWarning):
        result = demstitch.stitch([Path(n) for n in names], output="py")
    assert result.files == ("py.DEM", "py.HDR", "py.prj")
    assert [(p.tile, p.kind) for p in result.problems] == [(4, "raster_short")]
    np.testing.assert_array_equal(array, np.fromfile("py.DEM", ">i2").reshape(array.shape))

    cli = subprocess.run([command_line, "--output=cli", *names], capture_output=True)
    assert cli.returncode == 4, cli.stderr
    for extension in (".DEM", ".HDR", ".prj"):
        assert Path("py" + extension).read_bytes() == Path("cli" + extension).read_bytes()

    # The array's corner is the grid's; the .DEM's header gives it to six decimals.
    rasterio = pytest.importorskip("rasterio")
    with rasterio.open("py.DEM") as dataset:
        assert tuple(dataset.transform)[:6] == pytest.approx(profile["transform"], abs=1e-6)
    west, north = profile["geotransform"][0], profile["geotransform"][3]
    assert (west * 120, north * 120) == (round(west * 120), round(north * 120))

    # The same tiles from an archive, and a folder, read the same.
    with tarfile.open("tiles.tar.gz", "w:gz") as tar:
        for name in names[:4]:
            tar.add(f"{name}.hdr")
            tar.add(f"{name}.dem")
    from_archive, _ = demstitch.read("tiles.tar.gz")
    from_files, _ = demstitch.read(names[:4])
    np.testing.assert_array_equal(from_archive, from_files)


def test_a_second_read_of_an_archive_uses_its_index_and_cache_false_keeps_none(
    in_tmp, monkeypatch
):
    names = list(two_by_two(in_tmp))
    with tarfile.open("tiles.tar.gz", "w:gz") as tar:
        for name in names:
            tar.add(f"{name}.dem")
            tar.add(f"{name}.hdr")
    monkeypatch.setenv("XDG_CACHE_HOME", str(in_tmp / "cache"))
    bounds = (10.7, 48.6, 13.1, 51.3)
    loose, _ = demstitch.read(names, bounds=bounds)
    first, _ = demstitch.read("tiles.tar.gz", bounds=bounds, cache=False)
    assert not (in_tmp / "cache").exists()
    second, _ = demstitch.read("tiles.tar.gz", bounds=bounds)
    assert len(list((in_tmp / "cache" / "demstitch").iterdir())) == 1
    third = demstitch.open_dataarray("tiles.tar.gz", bounds=bounds).values
    for array in (first, second, third):
        np.testing.assert_array_equal(array, loose)


def test_bounds_cut_what_rasterio_merge_cuts(in_tmp):
    rasterio = pytest.importorskip("rasterio")
    from rasterio.merge import merge

    names = list(two_by_two(in_tmp))
    bounds = (9.5, 49.25, 12.75, 51.5)
    array, profile = demstitch.read(names, bounds=bounds)
    datasets = [rasterio.open(f"{name}.dem") for name in names]
    try:
        merged, transform = merge(
            datasets, bounds=bounds, res=(CELL, CELL), nodata=-9999, method="last"
        )
    finally:
        for dataset in datasets:
            dataset.close()
    np.testing.assert_array_equal(array, merged[0])
    np.testing.assert_allclose(profile["transform"], tuple(transform)[:6], rtol=0, atol=1e-9)

    # Bounds off the grid snap outward.
    snapped, snapped_profile = demstitch.read(names, bounds=(9.501, 49.2501, 12.7499, 51.499))
    np.testing.assert_array_equal(snapped, array)
    assert snapped_profile == profile


def test_bounds_across_the_antimeridian(in_tmp):
    random_tile(in_tmp, "EAST", 178, 50, 240, 240, seed=1)
    random_tile(in_tmp, "WEST", -180, 50, 240, 240, seed=2)
    across, profile = demstitch.read(["EAST", "WEST"], bounds=(179, 49, -179, 50))
    east, _ = demstitch.read(["EAST", "WEST"], bounds=(179, 49, 180, 50))
    west, _ = demstitch.read(["EAST", "WEST"], bounds=(-180, 49, -179, 50))
    np.testing.assert_array_equal(across, np.hstack([east, west]))
    assert profile["transform"][2] == pytest.approx(179, abs=1e-9)


def test_errors_are_pythons(in_tmp):
    names = list(two_by_two(in_tmp, size=24))
    with pytest.raises(FileNotFoundError) as missing:
        demstitch.read(["NOPE", "ALSO_NOT"])
    assert missing.value.errno == errno.ENOENT and "NOPE" in missing.value.filename

    for bounds in [(1, 2, 3), (math.nan, 48, 12, 52), ("a", 1, 2, 3)]:
        with pytest.raises(ValueError):
            demstitch.read(names, bounds=bounds)
    # The library checks the arguments; the messages name Python's, never an option.
    for call, says in [
        (lambda: demstitch.read(names, bounds=(10, 52, 12, 51)), "bounds: south must be below north"),
        (lambda: demstitch.read(names, bounds=(100, 10, 101, 11)), "window given by bounds="),
        (lambda: demstitch.stitch(names, format="png"), "format='png': give 'dem', 'cog' or 'netcdf'"),
        (lambda: demstitch.stitch(names, format="cog", level=99), "level=99: compress='deflate' takes"),
        (lambda: demstitch.stitch(names, level=3), "level: only format='cog' takes it"),
        (lambda: demstitch.stitch(names, output="a.nc", format="cog"), "format='cog': output ends in .nc"),
    ]:
        with pytest.raises(ValueError, match=re.escape(says)) as refused:
            call()
        assert "--" not in str(refused.value)

    # A NUL ends a name in C: refused, as open() refuses it, for tiles and output alike.
    for call in (
        lambda: demstitch.read([names[0] + ".hdr\0x"]),
        lambda: demstitch.stitch(names[0], output="zz\0/../" + names[0]),
        lambda: demstitch.stitch(names[0], output=b"out\0.x"),
    ):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()

    with pytest.raises(OSError) as unwritable:
        demstitch.stitch(names, output="no/such/folder/out")
    assert unwritable.value.errno == errno.ENOENT
    assert unwritable.value.filename == "no/such/folder"
    assert sorted(os.listdir(in_tmp)) == sorted(f"{n}.{e}" for n in names for e in ("hdr", "dem"))


def test_progress_reports_and_its_exception_stops_the_run(in_tmp):
    names = list(two_by_two(in_tmp))
    before = sorted(os.listdir(in_tmp))
    calls = []
    result = demstitch.stitch(names, progress=lambda done, total: calls.append((done, total)))
    total = result.width * result.height * 2
    assert calls and calls[-1] == (total, total)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)

    for f in result.files:
        os.remove(f)

    # From an archive: the total is known, and positive, from the first call on.
    with tarfile.open("tiles.tar.gz", "w:gz") as tar:
        for name in names:
            tar.add(name + ".hdr")
            tar.add(name + ".dem")
    calls.clear()
    demstitch.read("tiles.tar.gz", progress=lambda done, total: calls.append((done, total)))
    assert calls and all(total > 0 and 0 <= done <= total for done, total in calls)
    os.remove("tiles.tar.gz")

    def refuse(done, total):
        raise RuntimeError(f"stop at {done}")

    for call in (
        lambda: demstitch.stitch(names, output="out", progress=refuse),
        lambda: demstitch.stitch(names, output="out.tif", progress=refuse),
        lambda: demstitch.read(names, progress=refuse),
    ):
        with pytest.raises(RuntimeError, match="stop at"):
            call()
        assert sorted(os.listdir(in_tmp)) == before


def test_two_reads_in_two_threads(in_tmp):
    names = list(two_by_two(in_tmp, size=1200))
    regions = [(10, 48, 14, 52), (11, 49, 13.5, 51.5)]
    alone = [demstitch.read(names, bounds=b) for b in regions]
    with ThreadPoolExecutor(2) as pool:
        together = list(pool.map(lambda b: demstitch.read(names, bounds=b), regions * 2))
    for (array, profile), (expected, expected_profile) in zip(together, alone * 2):
        np.testing.assert_array_equal(array, expected)
        assert profile == expected_profile


def run_child(script, *args, **popen):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **popen,
    )


def test_world_read_in_the_arrays_memory(world):
    folder, names = world
    child = run_child(
        """
        import resource, sys
        import numpy as np
        import demstitch
        folder, names = sys.argv[1], sys.argv[2:]
        tiles = [f"{folder}/{name}" for name in names]
        # Under a limit of address space that cannot hold the array: MemoryError.
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (1 << 30), hard))
        try:
            demstitch.read(tiles)
            print("no MemoryError")
        except MemoryError:
            pass
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        array, profile = demstitch.read(tiles)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(array.shape[0], array.shape[1], int(array.any()), (after - before) * 1024)
        """,
        folder,
        *names,
    )
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    rows, cols, any_data, grown = map(int, out.split())
    assert (rows, cols) == WORLD_SHAPE and any_data == 0
    assert grown <= rows * cols * 2 + (32 << 20)


def test_ctrl_c_stops_a_run_and_leaves_nothing(world, tmp_path):
    folder, names = world
    child = run_child(
        """
        import sys
        import time
        import demstitch
        folder, names = sys.argv[1], sys.argv[2:]
        tiles = [f"{folder}/{name}" for name in names]
        for call in (demstitch.stitch, demstitch.read):
            started = []
            def progress(done, total):
                if not started:
                    started.append(done)
                    print("started", flush=True)
                    if done == total:
                        time.sleep(5)  # the last call holds the run: let the signal come
            try:
                call(tiles, progress=progress)
                print("finished", flush=True)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """,
        folder,
        *names,
        cwd=tmp_path,
    )
    lines = []
    for line in child.stdout:
        lines.append(line.strip())
        if line.strip() == "started":
            child.send_signal(signal.SIGINT)
    child.wait(timeout=300)
    assert lines == ["started", "interrupted"] * 2, child.stderr.read()
    assert os.listdir(tmp_path) == []


def test_the_stub_matches_the_module():
    pytest.importorskip("mypy")
    check = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "demstitch", "--ignore-unused-allowlist", "--allowlist",
         str(Path(__file__).with_name("stubtest_allowlist.txt"))],
        capture_output=True,
        text=True,
    )
    assert check.returncode == 0, check.stdout + check.stderr


def test_netcdf_and_xarray_give_the_raw_results_cells(in_tmp):
    xarray = pytest.importorskip("xarray")
    names = list(two_by_two(in_tmp, size=24))
    bounds = (10.5, 48.5, 13.5, 51.5)
    written = demstitch.stitch(names, output="region.nc", bounds=bounds)
    assert written.files == ("region.nc",)
    array, profile = demstitch.read(names, bounds=bounds)
    with xarray.open_dataset("region.nc", mask_and_scale=False) as ds:
        np.testing.assert_array_equal(ds["elevation"].values, array)
        assert ds.attrs["Conventions"] == "CF-1.8"
        assert "demstitch.stitch(" in ds.attrs["history"]
        centres = profile["transform"][2] + (np.arange(profile["width"]) + 0.5) / 120
        np.testing.assert_allclose(ds["lon"].values, centres, rtol=0, atol=1e-12)

    da = demstitch.open_dataarray(names, bounds=bounds)
    assert da.dims == ("lat", "lon") and da.attrs["units"] == "m"
    assert da.attrs["nodata"] == demstitch.NODATA
    np.testing.assert_array_equal(da.values, array)
    np.testing.assert_allclose(da["lon"].values, centres, rtol=0, atol=1e-12)
    # The DataArray holds the very memory the read filled: no copy.
    assert not da.values.flags.owndata and da.values.base is not None
    rio = pytest.importorskip("rioxarray")
    assert rio is not None and da.rio.crs.to_epsg() == 4326
    assert tuple(da.rio.transform())[:6] == pytest.approx(profile["transform"], abs=1e-12)
