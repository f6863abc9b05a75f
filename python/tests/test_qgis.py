"""The QGIS plugin's Processing algorithm, run in a headless QGIS (skipped without QGIS)."""
import json
import math
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
from conftest import random_tile, write_tile

import demstitch

ROOT = Path(__file__).resolve().parents[2]
PLUGINS = ROOT / "qgis"


def qgis_environment(home):
    """QGIS writes under HOME and the XDG folders whatever its profile: all in the test's."""
    env = dict(os.environ)
    env.update(
        QT_QPA_PLATFORM="offscreen",  # without it QGIS aborts with no display
        HOME=str(home),
        XDG_CONFIG_HOME=str(home / "config"),
        XDG_DATA_HOME=str(home / "data"),
        XDG_CACHE_HOME=str(home / "cache"),
        XDG_RUNTIME_DIR=str(home / "runtime"),
        QGIS_CUSTOM_CONFIG_PATH=str(home / "profile"),
    )
    (home / "runtime").mkdir(mode=0o700, exist_ok=True)
    return env


@pytest.fixture(scope="module")
def qgis_runs(tmp_path_factory):
    try:
        import qgis.core  # noqa: F401
    except ImportError:
        pytest.skip("SKIPPED: QGIS's Python bindings (qgis, python3-qgis) are not installed")
    home = tmp_path_factory.mktemp("qgis_home")

    def run(runs):
        (home / "runs.json").write_text(json.dumps(runs))
        done = subprocess.run(
            [sys.executable, str(Path(__file__).with_name("qgis_runner.py")), str(PLUGINS),
             str(home / "runs.json")],
            capture_output=True, text=True, env=qgis_environment(home), timeout=300,
        )
        assert done.returncode == 0, done.stderr[-3000:]
        answer = json.loads(done.stdout.strip().splitlines()[-1])
        # The module under test, not an installed python3-demstitch that would shadow it.
        assert Path(answer["module"]).resolve() == Path(demstitch.__file__).resolve()
        return answer

    return run


EARTH = 6378137.0  # web Mercator's sphere


def grid_of(header_path):
    """(west, north, east, south) of a region's raw header, on the 1/120-degree grid."""
    header = dict(line.split(None, 1) for line in header_path.read_text().splitlines())
    west = round((float(header["ULXMAP"]) - 1 / 240) * 120)
    north = round((float(header["ULYMAP"]) + 1 / 240) * 120)
    east, south = west + int(header["NCOLS"]), north - int(header["NROWS"])
    return west / 120, north / 120, east / 120, south / 120


def command_line_result(binary, folder, *args):
    """The command line's result for the tiles in `folder` (status 4: a tile not used whole)."""
    done = subprocess.run([binary, *args, str(folder)], cwd=folder.parent, capture_output=True)
    assert done.returncode in (0, 4), done.stderr


def test_the_algorithm_gives_the_command_lines_results(qgis_runs, command_line, tmp_path):
    tiles = tmp_path / "tiles"
    tiles.mkdir()
    random_tile(tiles, "W1", 10, 52, 240, 240, seed=1)
    random_tile(tiles, "W2", 12, 52, 240, 240, seed=2)
    write_tile(tiles, "SHORT", 10, 50, np.full((240, 240), 7, np.int16), rows_present=100)
    out = tmp_path / "out"
    out.mkdir()
    region = "10.3,13.1,49.2,51.7 [EPSG:4326]"  # xmin, xmax, ymin, ymax
    # The same region in web Mercator, a little inside: transformed, then snapped outward.
    mercator = "1168854.7,1447059.6,6316151.8,6742013.9 [EPSG:3857]"
    answer = qgis_runs([
        {"params": {"TILES": str(tiles), "EXTENT": region, "OUTPUT": str(out / "q.DEM")}},
        {"params": {"TILES": str(tiles), "EXTENT": region, "OUTPUT": str(out / "q.tif"),
                    "COMPRESS": 2, "OVERVIEWS": 1}},
        {"params": {"TILES": str(tiles), "EXTENT": mercator, "OUTPUT": str(out / "m.DEM")}},
        {"params": {"TILES": str(tiles), "OUTPUT": str(out / "w.nc")}},
        {"params": {"TILES": str(tiles), "OUTPUT": str(out / "c.tif")}, "cancel": True},
        {"params": {"TILES": str(tmp_path / "nothing"), "OUTPUT": str(out / "e.tif")}},
        {"params": {"TILE_FILES": [str(tiles / "W1.hdr"), str(tiles / "W2.hdr")],
                    "OUTPUT": str(out / "f.DEM")}},
        {"params": {"TILES": str(tiles), "EXTENT": region, "OUTPUT": str(out / "l.tif"),
                    "LEVEL": 6}},
    ])
    assert answer["name"] == "Stitch elevation tiles" and answer["unloaded"]
    raw, cog, mercator_raw, netcdf, cancelled, error, files, level = answer["answers"]

    bounds = "--bounds=10.3,49.2,13.1,51.7"
    command_line_result(command_line, tiles, bounds, "--output=out/cli")
    command_line_result(command_line, tiles, bounds, "--output=out/cli.tif", "--compress=lzw",
                        "--overviews=nearest")
    assert raw["results"]["OUTPUT"] == str(out / "q.DEM")
    assert (out / "q.DEM").read_bytes() == (out / "cli.DEM").read_bytes()
    assert (out / "q.HDR").read_bytes() == (out / "cli.HDR").read_bytes()
    assert (out / "q.tif").read_bytes() == (out / "cli.tif").read_bytes()
    command_line_result(command_line, tiles, bounds, "--output=out/cli6.tif", "--level=6")
    assert level["results"]["OUTPUT"] == str(out / "l.tif")
    assert (out / "l.tif").read_bytes() == (out / "cli6.tif").read_bytes()
    assert cog["progress"] == 100 and raw["progress"] == 100
    assert any("Short raster" in w for w in raw["warnings"])

    # Web Mercator: covered whole, on the grid, and the cells the command line gives there.
    west, north, east, south = grid_of(out / "m.HDR")
    lon = [math.degrees(x / EARTH) for x in (1168854.7, 1447059.6)]
    lat = [math.degrees(2 * math.atan(math.exp(y / EARTH)) - math.pi / 2)
           for y in (6316151.8, 6742013.9)]
    assert west <= lon[0] < west + 1 / 120 and east - 1 / 120 < lon[1] <= east
    assert south <= lat[0] < south + 1 / 120 and north - 1 / 120 < lat[1] <= north
    command_line_result(command_line, tiles, f"--bounds={west},{south},{east},{north}",
                        "--output=out/mcli")
    assert (out / "m.DEM").read_bytes() == (out / "mcli.DEM").read_bytes()

    assert netcdf["results"]["OUTPUT"] == str(out / "w.nc")
    assert (out / "w.nc").read_bytes()[:4] == b"CDF\x02"
    assert files["results"]["OUTPUT"] == str(out / "f.DEM")

    # Cancel leaves nothing; an error is the library's words.
    assert not cancelled.get("results", {}).get("OUTPUT")
    assert not list(out.glob("c.*"))
    assert error["error"].startswith("Error opening file ")
    assert "No tile header could be read" in error["error"]
    assert not list(out.glob("e.*"))


def test_an_extent_across_the_antimeridian_is_one_raster(qgis_runs, command_line, tmp_path):
    tiles = tmp_path / "tiles"
    tiles.mkdir()
    random_tile(tiles, "EAST", 178, -10, 240, 240, seed=3)
    random_tile(tiles, "WEST", -180, -10, 240, 240, seed=4)
    out = tmp_path / "out"
    out.mkdir()
    # EPSG:3832 (centred on 150 E) shows 179..-179 as one piece: x 3228262..3450902.
    answer = qgis_runs([{"params": {
        "TILES": str(tiles), "EXTENT": "3228262.5,3450902.3,-1325000,-1215000 [EPSG:3832]",
        "OUTPUT": str(out / "across.DEM")}}])
    assert answer["answers"][0]["results"]["OUTPUT"] == str(out / "across.DEM")
    west, north, east, south = grid_of(out / "across.HDR")
    assert 178.9 < west < 179.01 and 180.99 < east < 181.1  # one raster across 180
    command_line_result(command_line, tiles, f"--bounds={west},{south},{east - 360},{north}",
                        "--output=out/cli")
    assert (out / "across.DEM").read_bytes() == (out / "cli.DEM").read_bytes()


def test_qgis_process_runs_the_algorithm_of_an_enabled_plugin(qgis_runs, tmp_path):
    """QGIS's command-line runner (qgis_process.bin: Debian 12's qgis_process wrapper passes
    an option the runner refuses) loads the plugin from a profile once it is enabled."""
    runner = shutil.which("qgis_process.bin")
    if runner is None:
        pytest.skip("SKIPPED: qgis_process.bin is not installed")
    home = tmp_path / "home"
    home.mkdir()
    env = qgis_environment(home)
    plugins = home / "profile" / "profiles" / "default" / "python" / "plugins"
    # Installed from the zip scripts/build-qgis-plugin makes, as "Install from ZIP" does.
    zip_path = tmp_path / "plugin.zip"
    subprocess.run([str(ROOT / "scripts" / "build-qgis-plugin"), str(zip_path)], check=True,
                   capture_output=True)
    with zipfile.ZipFile(zip_path) as z:
        assert {Path(n).parts[0] for n in z.namelist()} == {"demstitch_processing"}
        z.extractall(plugins)
    env["PYTHONPATH"] = str(Path(demstitch.__file__).resolve().parents[1])
    tiles = tmp_path / "tiles"
    tiles.mkdir()
    samples = random_tile(tiles, "W1", 10, 52, 120, 120, seed=5)
    enable = subprocess.run([runner, "plugins", "enable", "demstitch_processing"], env=env,
                            capture_output=True, text=True, timeout=300)
    assert enable.returncode == 0, enable.stderr[-2000:]
    out = tmp_path / "w.DEM"
    done = subprocess.run([runner, "run", "demstitch:stitch", "--", f"TILES={tiles}",
                           f"OUTPUT={out}"], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert "100 - done" in done.stdout
    written = np.frombuffer(out.read_bytes(), ">i2").reshape(120, 120)
    np.testing.assert_array_equal(written, samples)


def test_the_plugins_metadata():
    fields = dict(
        line.split("=", 1)
        for line in (PLUGINS / "demstitch_processing" / "metadata.txt").read_text().splitlines()
        if "=" in line
    )
    assert fields["version"] == demstitch.__version__
    assert fields["hasProcessingProvider"] == "yes"  # else qgis_process never loads it
    assert tuple(int(p) for p in fields["qgisMinimumVersion"].split(".")) <= (3, 22)
    assert (PLUGINS / "demstitch_processing" / fields["icon"]).is_file()


def test_cancel_part_way_leaves_nothing(qgis_runs, world, tmp_path):
    """Cancel pressed once the bar moves: the run stops at its next report, and the world's
    half-written raster goes with it."""
    folder, _ = world
    answer = qgis_runs([{"params": {"TILES": str(folder), "OUTPUT": str(tmp_path / "p.DEM")},
                         "cancel_at_progress": True}])
    stopped = answer["answers"][0]
    assert 0 < stopped["progress"] < 100, stopped
    assert not stopped.get("results", {}).get("OUTPUT")
    assert list(tmp_path.iterdir()) == []
