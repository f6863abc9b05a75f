"""Runs demstitch:stitch in a headless QGIS: qgis_runner.py PLUGINS RUNS.json

PLUGINS is the folder holding demstitch_processing. Each run is {"params": {...}, "cancel":
bool, "cancel_at_progress": bool}; the plugin is loaded as qgis_process loads it (classFactory(None), initProcessing).
Prints one JSON line: for each run its results or error, the highest progress, the
warnings; and the algorithm's name, and where the demstitch module came from."""
import json
import sys

from qgis.core import QgsApplication, QgsProcessingException, QgsProcessingFeedback

QgsApplication.setPrefixPath("/usr", True)
app = QgsApplication([], False)
app.initQgis()
sys.path.append("/usr/share/qgis/python/plugins")
import processing  # noqa: E402
from processing.core.Processing import Processing  # noqa: E402

Processing.initialize()
sys.path.insert(0, sys.argv[1])
import demstitch  # noqa: E402
import demstitch_processing  # noqa: E402

plugin = demstitch_processing.classFactory(None)
plugin.initProcessing()


class Recorder(QgsProcessingFeedback):
    """Keeps the highest progress and the warnings; cancels at the first progress when asked."""

    def __init__(self, cancel_at_progress=False):
        super().__init__()
        self.most = 0.0
        self.warnings = []
        self.cancel_at_progress = cancel_at_progress
        self.progressChanged.connect(self.progressed)

    def progressed(self, percent):
        self.most = max(self.most, percent)
        if self.cancel_at_progress and percent > 0:
            self.cancel()

    def pushWarning(self, text):  # noqa: N802
        self.warnings.append(text)
        super().pushWarning(text)


answers = []
for run in json.loads(open(sys.argv[2]).read()):
    feedback = Recorder(run.get("cancel_at_progress", False))
    if run.get("cancel"):
        feedback.cancel()
    answer = {}
    try:
        answer["results"] = processing.run("demstitch:stitch", run["params"], feedback=feedback)
    except QgsProcessingException as error:
        answer["error"] = str(error)
    answer["progress"] = feedback.most
    answer["warnings"] = feedback.warnings
    answers.append(answer)

algorithm = QgsApplication.processingRegistry().algorithmById("demstitch:stitch")
plugin.unload()
unloaded = QgsApplication.processingRegistry().algorithmById("demstitch:stitch") is None
print(json.dumps({"answers": answers, "name": algorithm.displayName(), "unloaded": unloaded,
                  "module": demstitch.__file__}, default=str))
sys.stdout.flush()
app.exitQgis()
