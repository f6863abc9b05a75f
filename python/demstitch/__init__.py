"""Stitch tiles of the 30-arc-second global elevation grid, in Python.

``read`` gives the mosaic (or a region of it) as a NumPy array with its georeferencing;
``stitch`` writes the same files the ``demstitch`` command writes. Tiles are named as on the
command line: base names (``"W020N40"`` for W020N40.hdr and W020N40.dem), names with an
extension, folders, and .tar.gz, .zip or .tar archives.

Stitching runs with the GIL released. Ctrl-C stops it (``KeyboardInterrupt``), and so does an
exception raised by the ``progress`` callback; either way nothing is left behind.
"""

from __future__ import annotations

import errno as _errno
import os
import warnings
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional, Sequence, Tuple, TypedDict, Union

# NumPy is imported here, once, and not by the first read: a Ctrl-C while it loads would
# leave it half imported.
import numpy as _numpy  # noqa: F401

from . import _demstitch

__all__ = ["read", "open_dataarray", "stitch", "StitchResult", "TileProblem", "TileWarning"]
__version__: str = _demstitch.version

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Bounds = Tuple[float, float, float, float]
Progress = Callable[[int, int], object]

NODATA = -9999
CRS = "EPSG:4326"


class Profile(TypedDict):
    """What read() tells of its array, in rasterio's spirit."""

    width: int
    height: int
    count: int
    dtype: str
    nodata: int
    crs: str
    transform: Tuple[float, float, float, float, float, float]
    geotransform: Tuple[float, float, float, float, float, float]


class TileWarning(UserWarning):
    """A tile was not used, or not used whole; the mosaic is made without it (no-data)."""


@dataclass(frozen=True)
class TileProblem:
    """Why a tile was not used, or not used whole.

    ``tile`` indexes ``StitchResult.tiles``; ``kind`` is one of folder_not_read, header_not_opened,
    header_not_read, header_doubtful, result_not_tile, raster_not_opened, raster_not_read,
    bad_row_length, no_place, raster_short, raster_long, raster_changed; ``message`` is the
    line the command line prints for it.
    """

    tile: int
    path: str
    kind: str
    message: str


@dataclass(frozen=True)
class StitchResult:
    """What a stitch did: its outcome ("written"), the files it put in place, every tile by
    name (folders and archives opened) and the problem of every tile not used whole."""

    outcome: str
    files: Tuple[str, ...]
    tiles: Tuple[str, ...]
    problems: Tuple[TileProblem, ...] = field(default_factory=tuple)
    width: int = 0
    height: int = 0


def _path_bytes(path: PathLike) -> bytes:
    """A file name as the system takes it; a NUL in it is refused as open() refuses it."""
    name = os.fsencode(os.fspath(path))
    if b"\0" in name:
        raise ValueError("embedded null byte")
    return name


def _tile_names(tiles: Union[PathLike, Iterable[PathLike]]) -> list:
    if isinstance(tiles, (str, bytes, os.PathLike)):
        tiles = [tiles]
    return [_path_bytes(t) for t in tiles]


def _text(name: str, value: Optional[str]) -> Optional[str]:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str")
    return value


def _run(
    tiles,
    bounds: Optional[Sequence[float]],
    into_memory: bool,
    progress: Optional[Progress],
    call: str,
    output: Optional[PathLike] = None,
    format: Optional[str] = None,
    compress: Optional[str] = None,
    level: Optional[int] = None,
    overviews: Optional[str] = None,
    cache: bool = True,
) -> dict:
    """Runs one stitch or read; the library checks the arguments and words what is wrong."""
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    names = _tile_names(tiles)
    if level is not None and (isinstance(level, bool) or not isinstance(level, int)):
        raise ValueError("level must be an integer")
    history = f"demstitch.{call}({', '.join(repr(os.fsdecode(n)) for n in names)})"
    return _demstitch.run(
        names,
        _bounds(bounds),
        None if output is None else _path_bytes(output),
        _text("format", format),
        _text("compress", compress),
        level,
        _text("overviews", overviews),
        history,
        into_memory,
        bool(cache),
        progress,
    )


def _bounds(bounds: Optional[Sequence[float]]) -> Optional[list]:
    if bounds is None:
        return None
    values = list(bounds)
    if len(values) != 4:
        raise ValueError("bounds must be (west, south, east, north)")
    try:
        return [float(v) for v in values]
    except (TypeError, ValueError):
        raise ValueError("bounds must be four numbers: (west, south, east, north)") from None


def _problems(answer: dict) -> Tuple[TileProblem, ...]:
    return tuple(
        TileProblem(p["tile"], p["path"], p["kind"], p["message"]) for p in answer["problems"]
    )


def _os_error(error: dict, message: str) -> OSError:
    number = error["errno"] or {
        "not_found": _errno.ENOENT,
        "no_space": _errno.ENOSPC,
        "busy": _errno.EBUSY,
    }.get(error["kind"], _errno.EIO)
    return OSError(number, message, error["path"] or None)


def _check(answer: dict, stacklevel: int) -> Tuple[TileProblem, ...]:
    """Raises the Python exception for a run that wrote nothing, or warns of every tile that
    was not used whole, and gives the problems."""
    outcome = answer["outcome"]
    problems = _problems(answer)
    error = answer["error"]
    details = "\n".join([p.message for p in problems] + [answer["message"]]).strip()
    if outcome == "written":
        for problem in problems:
            warnings.warn(TileWarning(problem.message), stacklevel=stacklevel + 1)
        return problems
    if error["kind"] == "no_memory":
        raise MemoryError(details)
    if outcome == "no_header" and all(
        p.kind in ("header_not_opened", "folder_not_read") for p in problems
    ):
        # No header could be opened, or no folder read: missing, or kept from us.
        causes = [p["cause"] for p in answer["problems"]]
        other = next((c for c in causes if c["kind"] != "not_found"), None)
        if other is not None:
            raise _os_error(other, details)
        raise FileNotFoundError(_errno.ENOENT, details, problems[0].path if problems else None)
    if outcome in ("input_failed", "output_failed") and error["kind"] != "corrupt":
        if not answer["names_clash"]:
            raise _os_error(error, details)
    # Headers that are not tiles' or make no mosaic, a window no tile touches, too many
    # tiles, a result that would replace a tile: the arguments cannot be stitched.
    raise ValueError(details)


def read(
    tiles: Union[PathLike, Iterable[PathLike]],
    bounds: Optional[Sequence[float]] = None,
    progress: Optional[Progress] = None,
    cache: bool = True,
):
    """Reads the tiles' mosaic, or the region ``bounds``, into a NumPy array.

    Returns ``(array, profile)``. ``array`` is a 2-D ``int16`` array in native byte order,
    rows north to south, -9999 where no tile lies; it owns its memory through ``array.base``
    (the samples are written there once, straight from the tiles). ``profile`` holds
    ``width``, ``height``, ``count`` (1), ``dtype`` ("int16"), ``nodata`` (-9999), ``crs``
    ("EPSG:4326"), ``transform`` (the affine coefficients a, b, c, d, e, f, as rasterio orders
    them) and ``geotransform`` (the same in GDAL's order): where GDAL puts the cells of the
    .DEM that ``stitch`` writes.

    ``bounds=(west, south, east, north)`` in degrees cuts out a region as ``--bounds`` does:
    snapped outward to the grid, across the antimeridian when west is above east.
    ``progress(done, total)`` is called a few times a second at most, ``total`` always
    positive: while archives are read, their bytes read of all their bytes; then the
    mosaic's bytes written of all of them.

    The first read of a .tar.gz keeps its index in the user's cache (as the command line
    does), so that later reads of it decode only what their region needs; ``cache=False``
    neither reads nor keeps one.

    A tile not used whole gives a ``TileWarning``. Raises FileNotFoundError when no tile
    header can be opened, ValueError for bad bounds or tiles that give no mosaic,
    MemoryError when the array cannot be had, OSError when a tile fails while it is read.
    """
    return _read(tiles, bounds, progress, "read", stacklevel=3, cache=cache)


def _read(tiles, bounds, progress, call: str, stacklevel: int, cache: bool = True):
    answer = _run(tiles, bounds, True, progress, call, cache=cache)
    _check(answer, stacklevel=stacklevel)
    array = answer["array"]
    height, width = answer["size"]
    g = answer["geotransform"]
    profile: Profile = {
        "width": width,
        "height": height,
        "count": 1,
        "dtype": "int16",
        "nodata": NODATA,
        "crs": CRS,
        "transform": (g[1], g[2], g[0], g[4], g[5], g[3]),
        "geotransform": tuple(g),
    }
    return array, profile


def stitch(
    tiles: Union[PathLike, Iterable[PathLike]],
    output: Optional[PathLike] = None,
    bounds: Optional[Sequence[float]] = None,
    format: Optional[str] = None,
    progress: Optional[Progress] = None,
    compress: Optional[str] = None,
    level: Optional[int] = None,
    overviews: Optional[str] = None,
    cache: bool = True,
) -> StitchResult:
    """Writes the tiles' mosaic as the ``demstitch`` command does, byte for byte.

    ``output`` is the result's base name (by default GTResult: GTResult.DEM, .HDR and .prj),
    or a path ending in .tif for a GeoTIFF or .nc for a NetCDF file. ``format`` is "dem"
    (the default, unless ``output`` ends in .tif or .nc), "cog" (a Cloud-Optimized GeoTIFF,
    BASE.tif) or "netcdf" (a CF-1.8 NetCDF file, BASE.nc: the elevation as int16 with
    latitude and longitude at the cells' centres, rows north to south). ``compress``
    ("deflate", "zstd", "lzw", "none"), ``level`` and ``overviews`` ("average", "nearest",
    "none") tune the GeoTIFF as --compress, --level and --overviews do. ``cache=False``
    neither reads nor keeps a .tar.gz's index, as --no-cache. The result is installed whole
    or not at all, under the same lock as the command line's.

    Returns a ``StitchResult``; tiles not used whole give ``TileWarning``s and are listed on
    it. Raises FileNotFoundError when no tile header can be opened, ValueError for bad bounds
    or options, OSError (with ``errno`` and ``filename``) when the result cannot be written.
    """
    answer = _run(
        tiles, bounds, False, progress, "stitch", output, format, compress, level, overviews, cache
    )
    problems = _check(answer, stacklevel=2)
    height, width = answer["size"]
    return StitchResult(
        outcome=answer["outcome"],
        files=tuple(answer["files"]),
        tiles=tuple(answer["tiles"]),
        problems=problems,
        width=width,
        height=height,
    )


def open_dataarray(
    tiles: Union[PathLike, Iterable[PathLike]],
    bounds: Optional[Sequence[float]] = None,
    progress: Optional[Progress] = None,
    cache: bool = True,
):
    """Reads the tiles' mosaic, or the region ``bounds``, as an ``xarray.DataArray``.

    The same read as ``read`` (its arguments, warnings and exceptions), wrapped without a
    copy: the DataArray's values are the very array ``read`` fills. It is named
    ``elevation``, with dimensions ``lat`` (north to south) and ``lon``, both coordinates
    at the cells' centres (longitudes go on past 180 for a region across the antimeridian),
    ``units`` ("m") and ``nodata`` (-9999) in its attributes, and a ``spatial_ref``
    coordinate that rioxarray reads (``da.rio.crs`` is EPSG:4326, ``da.rio.transform()``
    the profile's transform). xarray is imported only here: ``read`` needs only NumPy.
    """
    import xarray

    array, profile = _read(tiles, bounds, progress, "open_dataarray", stacklevel=3, cache=cache)
    west, _, _, north, _, _ = profile["geotransform"]
    # The centres of the 1/120-degree grid's cells, as a NetCDF result holds them.
    rows = _numpy.arange(profile["height"], dtype=_numpy.float64)
    columns = _numpy.arange(profile["width"], dtype=_numpy.float64)
    lat = north - (rows + 0.5) / 120
    lon = west + (columns + 0.5) / 120
    spatial_ref = xarray.Variable(
        (),
        _numpy.int32(0),
        {
            "crs_wkt": _WGS84_WKT,
            "spatial_ref": _WGS84_WKT,
            "grid_mapping_name": "latitude_longitude",
            "GeoTransform": " ".join(repr(float(v)) for v in profile["geotransform"]),
        },
    )
    return xarray.DataArray(
        array,
        dims=("lat", "lon"),
        coords={
            "lat": ("lat", lat, {"standard_name": "latitude", "units": "degrees_north"}),
            "lon": ("lon", lon, {"standard_name": "longitude", "units": "degrees_east"}),
            "spatial_ref": spatial_ref,
        },
        name="elevation",
        attrs={
            "units": "m",
            "nodata": NODATA,
            "_FillValue": NODATA,
            "grid_mapping": "spatial_ref",
            "standard_name": "surface_altitude",
        },
    )


# EPSG:4326 as GDAL writes it.
_WGS84_WKT = (
    'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563,'
    'AUTHORITY["EPSG","7030"]],AUTHORITY["EPSG","6326"]],PRIMEM["Greenwich",0,'
    'AUTHORITY["EPSG","8901"]],UNIT["degree",0.0174532925199433,'
    'AUTHORITY["EPSG","9122"]],AXIS["Latitude",NORTH],AXIS["Longitude",EAST],'
    'AUTHORITY["EPSG","4326"]]'
)
