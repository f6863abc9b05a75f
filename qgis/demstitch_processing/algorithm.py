"""demstitch:stitch, "Stitch elevation tiles": tiles and archives into one raster layer."""

import os
import warnings

from qgis.core import (
    QgsCoordinateReferenceSystem,
    QgsCoordinateTransform,
    QgsCsException,
    QgsPointXY,
    QgsProcessing,
    QgsProcessingAlgorithm,
    QgsProcessingException,
    QgsProcessingParameterDefinition,
    QgsProcessingParameterEnum,
    QgsProcessingParameterExtent,
    QgsProcessingParameterFile,
    QgsProcessingParameterMultipleLayers,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
)

COMPRESSIONS = ["deflate", "zstd", "lzw", "none"]
OVERVIEWS = ["average", "nearest", "none"]
# Points taken along each edge of an extent to find its bounds in degrees.
EDGE_POINTS = 64


class _Cancelled(Exception):
    """Raised in the progress callback: demstitch stops and removes what it wrote."""


def geographic_bounds(rect, crs, transform_context):
    """(west, south, east, north) in degrees covering all of `rect` (in `crs`).

    The extent's edges are followed point by point and their longitudes taken on the side
    of 180 its centre is on, so an extent that a projection shows in one piece across the
    antimeridian gives an east edge past 180 (demstitch's own form for that)."""
    wgs84 = QgsCoordinateReferenceSystem("EPSG:4326")
    if not crs.isValid() or crs.authid() == "EPSG:4326":
        return (rect.xMinimum(), rect.yMinimum(), rect.xMaximum(), rect.yMaximum())
    transform = QgsCoordinateTransform(crs, wgs84, transform_context)
    xs = [rect.xMinimum() + rect.width() * i / EDGE_POINTS for i in range(EDGE_POINTS + 1)]
    ys = [rect.yMinimum() + rect.height() * i / EDGE_POINTS for i in range(EDGE_POINTS + 1)]
    edge = [(x, rect.yMinimum()) for x in xs] + [(x, rect.yMaximum()) for x in xs]
    edge += [(rect.xMinimum(), y) for y in ys] + [(rect.xMaximum(), y) for y in ys]
    try:
        centre = transform.transform(rect.center()).x()
    except QgsCsException as error:
        raise QgsProcessingException(f"The extent's centre has no longitude: {error}") from None
    lons, lats = [], []
    for x, y in edge:
        try:
            point = transform.transform(QgsPointXY(x, y))
        except QgsCsException:
            continue  # beyond the projection's own area
        lon = point.x()
        while lon - centre > 180:
            lon -= 360
        while lon - centre < -180:
            lon += 360
        lons.append(lon)
        lats.append(point.y())
    if not lons:
        raise QgsProcessingException("The extent cannot be had in degrees")
    west, east = min(lons), max(lons)
    if east - west >= 360:
        west, east = -180.0, 180.0
    elif west < -180:
        west, east = west + 360, east + 360
    return (west, max(-90.0, min(lats)), east, min(90.0, max(lats)))


class StitchAlgorithm(QgsProcessingAlgorithm):
    TILES = "TILES"
    TILE_FILES = "TILE_FILES"
    EXTENT = "EXTENT"
    OUTPUT = "OUTPUT"
    COMPRESS = "COMPRESS"
    LEVEL = "LEVEL"
    OVERVIEWS = "OVERVIEWS"

    def name(self):
        return "stitch"

    def displayName(self):  # noqa: N802
        return "Stitch elevation tiles"

    def group(self):
        return ""

    def groupId(self):  # noqa: N802
        return ""

    def shortDescription(self):  # noqa: N802
        return (
            "Stitches tiles of the 30-arc-second elevation grid (a folder, archives as "
            "downloaded, or tile files) into one raster, or cuts out a region."
        )

    def shortHelpString(self):  # noqa: N802
        return (
            "<p>Stitches tiles of the 30-arc-second global elevation grid into one raster "
            "with demstitch, exactly as its command line does.</p>"
            "<p><b>Tiles</b>: a folder of tiles (NAME.hdr with NAME.dem) and archives as "
            "downloaded (.tar.gz, .zip, .tar, read in place), and/or tile or archive files. "
            "A later tile overwrites an earlier one.</p>"
            "<p><b>Region</b>: an extent in any coordinate system (the map canvas's, a "
            "layer's, or drawn). It is turned into degrees so that all of it is covered, then "
            "snapped outward to the grid; one that crosses the antimeridian gives one raster "
            "across it. Empty: the whole mosaic.</p>"
            "<p><b>Output</b>: .tif writes a Cloud-Optimized GeoTIFF (compression, level and "
            "overviews under Advanced), .DEM the raw raster with its .HDR and .prj, .nc a "
            "CF NetCDF file. No-data is -9999, the coordinate system WGS 84 (EPSG:4326).</p>"
            "<p>Tiles not used whole are warnings; Cancel stops the run and leaves no file.</p>"
        )

    def createInstance(self):  # noqa: N802
        return StitchAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        self.addParameter(
            QgsProcessingParameterFile(
                self.TILES,
                "Folder of tiles and archives",
                behavior=QgsProcessingParameterFile.Folder,
                optional=True,
            )
        )
        self.addParameter(
            QgsProcessingParameterMultipleLayers(
                self.TILE_FILES,
                "Tile or archive files (.hdr, .DEM, .tar.gz, .zip, .tar)",
                layerType=QgsProcessing.TypeFile,
                optional=True,
            )
        )
        self.addParameter(
            QgsProcessingParameterExtent(
                self.EXTENT, "Region (empty: the whole mosaic)", optional=True
            )
        )
        self.addParameter(
            QgsProcessingParameterRasterDestination(self.OUTPUT, "Stitched elevation")
        )
        advanced = [
            QgsProcessingParameterEnum(
                self.COMPRESS, "GeoTIFF compression", options=COMPRESSIONS, defaultValue=0
            ),
            QgsProcessingParameterNumber(
                self.LEVEL,
                "GeoTIFF compression level (empty: the compression's default)",
                type=QgsProcessingParameterNumber.Integer,
                optional=True,
            ),
            QgsProcessingParameterEnum(
                self.OVERVIEWS, "GeoTIFF overviews", options=OVERVIEWS, defaultValue=0
            ),
        ]
        for parameter in advanced:
            parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
            self.addParameter(parameter)

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        try:
            import demstitch
        except ImportError as error:
            raise QgsProcessingException(
                "The demstitch Python module is not installed (the python3-demstitch "
                f"package, or pip install of the demstitch source): {error}"
            ) from None
        tiles = []
        folder = self.parameterAsFile(parameters, self.TILES, context)
        if folder:
            tiles.append(folder)
        tiles += [f for f in self.parameterAsFileList(parameters, self.TILE_FILES, context) if f]
        if not tiles:
            raise QgsProcessingException("Name a folder of tiles and archives, or tile files")

        bounds = None
        if parameters.get(self.EXTENT) not in (None, ""):
            rect = self.parameterAsExtent(parameters, self.EXTENT, context)
            if not rect.isNull():
                crs = self.parameterAsExtentCrs(parameters, self.EXTENT, context)
                bounds = geographic_bounds(rect, crs, context.transformContext())
                feedback.pushInfo("Region in degrees (west, south, east, north): %.6f, %.6f, "
                                  "%.6f, %.6f" % bounds)

        output = self.parameterAsOutputLayer(parameters, self.OUTPUT, context)
        extension = os.path.splitext(output)[1].lower()
        options = {}
        if extension in (".tif", ".tiff"):
            options["compress"] = COMPRESSIONS[
                self.parameterAsEnum(parameters, self.COMPRESS, context)
            ]
            if parameters.get(self.LEVEL) not in (None, ""):
                options["level"] = self.parameterAsInt(parameters, self.LEVEL, context)
            options["overviews"] = OVERVIEWS[
                self.parameterAsEnum(parameters, self.OVERVIEWS, context)
            ]
        elif extension not in (".dem", ".nc"):
            raise QgsProcessingException(
                f"{output}: write a .tif (a Cloud-Optimized GeoTIFF), a .DEM (the raw raster) "
                "or a .nc (NetCDF)"
            )

        def progress(done, total):
            if feedback.isCanceled():
                raise _Cancelled()
            feedback.setProgress(100.0 * done / total)

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", demstitch.TileWarning)
            try:
                result = demstitch.stitch(
                    tiles, output=output, bounds=bounds, progress=progress, **options
                )
            except _Cancelled:
                feedback.pushInfo("Cancelled: nothing written")
                return {}
            except (ValueError, OSError, MemoryError) as error:
                # The library's own words (an OSError's without its number and file name).
                words = error.strerror if isinstance(error, OSError) else None
                raise QgsProcessingException(words or str(error)) from None
            finally:
                for warning in caught:
                    if issubclass(warning.category, demstitch.TileWarning):
                        feedback.pushWarning(str(warning.message))
        feedback.setProgress(100)
        feedback.pushInfo(
            f"Wrote {', '.join(result.files)}: {result.width} x {result.height} samples "
            f"from {len(result.tiles)} tiles"
        )
        return {self.OUTPUT: result.files[0]}
