"""demstitch for QGIS: a Processing provider whose algorithm stitches elevation tiles."""


def classFactory(iface):  # noqa: N802 (QGIS's name)
    """QGIS's entry point; `iface` is None when QGIS runs headless (qgis_process)."""
    from .plugin import DemstitchPlugin

    return DemstitchPlugin(iface)
