from qgis.PyQt.QtCore import QTimer
from qgis.PyQt.QtWidgets import QApplication
from qgis.core import (QgsColorRampShader, QgsProject, QgsRasterLayer, QgsRasterShader,
                       QgsSingleBandPseudoColorRenderer, QgsStyle)
from qgis.utils import iface
import processing

tiles = "/work/main/bench/data/tiles"
extent = "-20,45,-10,40 [EPSG:4326]"
out = "/tmp/shot/region.tif"
processing.run("demstitch:stitch", {"TILES": tiles, "EXTENT": "-20,45,-10,40 [EPSG:4326]", "OUTPUT": out})
layer = QgsRasterLayer(out, "region.tif (demstitch)")
ramp = QgsStyle.defaultStyle().colorRamp("Spectral")
ramp.invert()
shader_function = QgsColorRampShader(-500, 3000, ramp)
shader_function.classifyColorRamp(12)
shader = QgsRasterShader()
shader.setRasterShaderFunction(shader_function)
layer.setRenderer(QgsSingleBandPseudoColorRenderer(layer.dataProvider(), 1, shader))
QgsProject.instance().addMapLayer(layer)
window = iface.mainWindow()
window.move(0, 0)
window.resize(1400, 900)
iface.mapCanvas().setExtent(layer.extent())
iface.mapCanvas().refresh()
dialog = processing.createAlgorithmDialog(
    "demstitch:stitch", {"TILES": tiles, "EXTENT": extent, "OUTPUT": out})
dialog.show()
# Without a window manager the dialog keeps where it is put after it is shown.
QTimer.singleShot(3000, lambda: dialog.setGeometry(660, 300, 730, 560))


def grab():
    QApplication.primaryScreen().grabWindow(0).save("/tmp/shot/qgis.png")
    QApplication.exit(0)


QTimer.singleShot(10000, grab)
