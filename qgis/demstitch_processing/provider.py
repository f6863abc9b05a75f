"""The demstitch Processing provider: one algorithm, demstitch:stitch."""

import os

from qgis.core import QgsProcessingProvider
from qgis.PyQt.QtGui import QIcon

from .algorithm import StitchAlgorithm


class DemstitchProvider(QgsProcessingProvider):
    def id(self):
        return "demstitch"

    def name(self):
        return "demstitch"

    def longName(self):  # noqa: N802
        return "demstitch: 30-arc-second elevation tiles"

    def icon(self):
        return QIcon(os.path.join(os.path.dirname(__file__), "icon.png"))

    def loadAlgorithms(self):  # noqa: N802
        self.addAlgorithm(StitchAlgorithm())

    # The results the algorithm writes: a Cloud-Optimized GeoTIFF, the raw raster, NetCDF.
    def supportedOutputRasterLayerExtensions(self):  # noqa: N802
        return ["tif", "DEM", "nc"]

    def defaultRasterFileExtension(self):  # noqa: N802
        return "tif"
