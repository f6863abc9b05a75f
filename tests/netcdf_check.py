#!/usr/bin/python3
"""Judges a NetCDF result of demstitch: netcdf_check.py NC RAW

RAW is the .DEM of the same run. GDAL must read EPSG:4326, the .DEM's no-data, size,
geotransform (the corner on the 1/120-degree grid, where a plain mosaic's header rounds it
to six decimals: within 1e-6; the rest to 1e-9) and values; xarray must decode the
coordinates as the cells' centres; where CDO and ncdump are installed, `cdo griddes` must
describe a lonlat grid of the size and first values, and `ncdump -h` the conventions."""
import shutil
import subprocess
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()


def fail(message):
    print("netcdf_check: " + message)
    sys.exit(1)


def main():
    nc_path, raw_path = sys.argv[1], sys.argv[2]
    nc = gdal.Open(nc_path)
    raw = gdal.Open(raw_path)
    srs = nc.GetSpatialRef()
    if srs is None or srs.GetAuthorityCode(None) != "4326":
        fail("not EPSG:4326")
    band = nc.GetRasterBand(1)
    if band.GetNoDataValue() != raw.GetRasterBand(1).GetNoDataValue():
        fail("no-data %s, the raw raster's %s" % (band.GetNoDataValue(),
                                                   raw.GetRasterBand(1).GetNoDataValue()))
    if (nc.RasterXSize, nc.RasterYSize) != (raw.RasterXSize, raw.RasterYSize):
        fail("size differs from the raw raster's")
    ours, theirs = nc.GetGeoTransform(), raw.GetGeoTransform()
    for i, (a, b) in enumerate(zip(ours, theirs)):
        corner = i in (0, 3)
        on_grid = abs(a * 120 - round(a * 120)) < 1e-9
        if abs(a - b) > (1e-6 if corner else 1e-9) or (corner and not on_grid):
            fail("geotransform %s, raw raster's %s" % (ours, theirs))
    if not np.array_equal(band.ReadAsArray(), raw.GetRasterBand(1).ReadAsArray()):
        fail("values differ from the raw raster's")

    import xarray

    with xarray.open_dataset(nc_path) as ds:
        west, north = ours[0], ours[3]
        lon = west + (np.arange(nc.RasterXSize) + 0.5) / 120
        lat = north - (np.arange(nc.RasterYSize) + 0.5) / 120
        if np.abs(ds["lon"].values - lon).max() > 1e-9 or np.abs(ds["lat"].values - lat).max() > 1e-9:
            fail("xarray's coordinates are not the cells' centres")
        if ds["elevation"].attrs.get("units") != "m" or ds.attrs.get("Conventions") != "CF-1.8":
            fail("units or conventions missing")

    if shutil.which("cdo"):
        text = subprocess.run(["cdo", "-s", "griddes", nc_path], capture_output=True,
                              text=True, check=True).stdout
        grid = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        grid = {k.strip(): v.strip() for k, v in grid.items()}
        if grid.get("gridtype") != "lonlat" or int(grid["xsize"]) != nc.RasterXSize or \
                int(grid["ysize"]) != nc.RasterYSize:
            fail("cdo griddes: " + text)
        if abs(float(grid["xfirst"]) - lon[0]) > 1e-9 or abs(float(grid["yfirst"]) - lat[0]) > 1e-9:
            fail("cdo griddes first values: " + text)
    if shutil.which("ncdump"):
        header = subprocess.run(["ncdump", "-h", nc_path], capture_output=True, text=True,
                                check=True).stdout
        for needed in (':Conventions = "CF-1.8"', 'elevation:_FillValue = -9999s',
                       'crs:grid_mapping_name = "latitude_longitude"',
                       'lat:units = "degrees_north"', 'lon:units = "degrees_east"'):
            if needed not in header:
                fail("ncdump -h lacks " + needed)
    print("netcdf_check: matches GDAL, xarray%s%s" % (", cdo" if shutil.which("cdo") else "",
                                                      ", ncdump" if shutil.which("ncdump") else ""))


main()
