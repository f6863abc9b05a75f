"""The plugin: registers the provider with Processing, and removes it when unloaded."""

from qgis.core import QgsApplication

from .provider import DemstitchProvider


class DemstitchPlugin:
    def __init__(self, iface=None):
        self.iface = iface
        self.provider = None

    def initProcessing(self):  # noqa: N802 (QGIS calls it so, headless too)
        if self.provider is None:
            self.provider = DemstitchProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802 (what the desktop calls)
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
