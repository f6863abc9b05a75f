#!/usr/bin/python3
"""Judges a COG of demstitch by GDAL: cog_check.py COG RAW [average|nearest|none]

RAW is the .DEM of the same run. GDAL's validator must pass; GDAL must read EPSG:4326,
NoData -9999, LAYOUT=COG, the .DEM's size and geotransform (its corner on the 1/120-degree
grid at full precision, where the .DEM's header rounds it to six decimals: within 1e-6; the
rest to 1e-9) and the .DEM's values;
every overview must equal, cell for cell, the one GDAL's COG driver makes from the .DEM."""
import os
import sys
import tempfile

import numpy as np
from osgeo import gdal
from osgeo_utils.samples import validate_cloud_optimized_geotiff as validator

gdal.UseExceptions()


def fail(message):
    print("cog_check: " + message)
    sys.exit(1)


def main():
    cog_path, raw_path = sys.argv[1], sys.argv[2]
    resampling = sys.argv[3] if len(sys.argv) > 3 else "average"
    _, errors, _ = validator.validate(cog_path, full_check=True)
    if errors:
        fail("not a valid COG: " + "; ".join(errors))
    cog = gdal.Open(cog_path)
    raw = gdal.Open(raw_path)
    if cog.GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE") != "COG":
        fail("GDAL does not read the layout as COG")
    srs = cog.GetSpatialRef()
    if srs is None or srs.GetAuthorityCode(None) != "4326":
        fail("not EPSG:4326")
    band = cog.GetRasterBand(1)
    if band.GetNoDataValue() != -9999:
        fail("NoData is %s" % band.GetNoDataValue())
    if (cog.RasterXSize, cog.RasterYSize) != (raw.RasterXSize, raw.RasterYSize):
        fail("size differs from the raw raster's")
    for i, (ours, theirs) in enumerate(zip(cog.GetGeoTransform(), raw.GetGeoTransform())):
        corner = i in (0, 3)
        on_grid = abs(ours * 120 - round(ours * 120)) < 1e-9
        if abs(ours - theirs) > (1e-6 if corner else 1e-9) or (corner and not on_grid):
            fail("geotransform %s, raw raster's %s" % (cog.GetGeoTransform(), raw.GetGeoTransform()))
    if not np.array_equal(band.ReadAsArray(), raw.GetRasterBand(1).ReadAsArray()):
        fail("full resolution differs from the raw raster")
    with tempfile.TemporaryDirectory() as folder:
        reference_path = os.path.join(folder, "gdal.tif")
        options = ["COMPRESS=DEFLATE", "PREDICTOR=2"]
        if resampling == "none":
            options.append("OVERVIEWS=NONE")
        else:
            options.append("RESAMPLING=" + resampling.upper())
        gdal.Translate(reference_path, raw, format="COG", creationOptions=options)
        reference_dataset = gdal.Open(reference_path)  # a band lives only as long as it
        reference = reference_dataset.GetRasterBand(1)
        if band.GetOverviewCount() != reference.GetOverviewCount():
            fail("%d overviews, GDAL makes %d" % (band.GetOverviewCount(), reference.GetOverviewCount()))
        for i in range(band.GetOverviewCount()):
            ours = band.GetOverview(i).ReadAsArray()
            theirs = reference.GetOverview(i).ReadAsArray()
            if ours.shape != theirs.shape:
                fail("overview %d is %s, GDAL's %s" % (i, ours.shape, theirs.shape))
            differ = np.argwhere(ours != theirs)
            if len(differ):
                y, x = differ[0]
                fail("overview %d differs from GDAL's in %d cells, first at row %d column %d: %d, GDAL %d"
                     % (i, len(differ), y, x, ours[y, x], theirs[y, x]))
    print("cog_check: %s matches GDAL (%d overviews)" % (cog_path, band.GetOverviewCount()))


main()
