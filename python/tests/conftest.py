"""Tiles written by the tests: a header as the dataset's, and big-endian rows."""

import os
import shutil
from pathlib import Path

import numpy as np
import pytest

CELL = 1 / 120


def write_tile(folder, name, west, north, samples=None, rows=None, cols=None, rows_present=None):
    """Writes NAME.hdr and NAME.dem whose upper-left cell edge is (west, north) in degrees.

    `samples` (int16, rows x cols) are the raster; without them the raster is a hole in the
    file (zeros that take no disk). `rows_present` cuts the raster short."""
    folder = Path(folder)
    if samples is not None:
        rows, cols = samples.shape
    header = (
        "BYTEORDER      M\nLAYOUT         BIL\n"
        f"NROWS          {rows}\nNCOLS          {cols}\n"
        "NBANDS         1\nNBITS          16\n"
        f"BANDROWBYTES   {cols * 2}\nTOTALROWBYTES  {cols * 2}\n"
        "BANDGAPBYTES   0\nNODATA         -9999\n"
        f"ULXMAP         {west + CELL / 2:.15g}\nULYMAP         {north - CELL / 2:.15g}\n"
        "XDIM           0.00833333333333\nYDIM           0.00833333333333\n"
    )
    (folder / f"{name}.hdr").write_text(header)
    present = rows if rows_present is None else rows_present
    with open(folder / f"{name}.dem", "wb") as f:
        if samples is None:
            f.truncate(present * cols * 2)
        else:
            f.write(samples[:present].astype(">i2").tobytes())
    return name


def random_tile(folder, name, west, north, rows, cols, seed):
    rng = np.random.default_rng(seed)
    samples = rng.integers(-500, 9000, size=(rows, cols), dtype=np.int16)
    write_tile(folder, name, west, north, samples)
    return samples


# The world as the dataset cuts it: 27 tiles of 40 by 50 degrees north of 60 south, and six
# of 60 by 30 degrees over Antarctica.
WORLD_SHAPE = (21600, 43200)


def write_world(folder):
    names = []
    for north in (90, 40, -10):
        for west in range(-180, 180, 40):
            names.append(write_tile(folder, f"T{west}_{north}", west, north, rows=6000, cols=4800))
    for west in range(-180, 180, 60):
        names.append(write_tile(folder, f"A{west}", west, -60, rows=3600, cols=7200))
    return names


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture(scope="session")
def world(tmp_path_factory):
    folder = tmp_path_factory.mktemp("world")
    return folder, write_world(folder)


@pytest.fixture(scope="session")
def command_line():
    """The demstitch program the module's results are compared with."""
    binary = os.environ.get("DEMSTITCH_BINARY") or shutil.which("demstitch")
    if not binary:
        pytest.skip("no demstitch program to compare with (set DEMSTITCH_BINARY)")
    return binary
