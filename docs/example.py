"""The README's Python example: a region of the world read into an array, and plotted.

    python3 docs/example.py TILE_FOLDER PICTURE.png
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import demstitch

folder, picture = sys.argv[1], sys.argv[2]

# Every tile and archive in the folder; only the rows inside the region are read.
elevation, profile = demstitch.read(folder, bounds=(-20, -10, 40, 20))

a, _, west, _, e, north = profile["transform"]
extent = (west, west + a * profile["width"], north + e * profile["height"], north)
land = np.ma.masked_equal(elevation, profile["nodata"])

fig, ax = plt.subplots(figsize=(9, 4.8))
shown = ax.imshow(land, extent=extent, cmap="terrain", vmin=-500)
ax.set_facecolor("#2a5783")  # no-data: the sea
fig.colorbar(shown, ax=ax, label="elevation (m)", shrink=0.8)
ax.set(xlabel="longitude", ylabel="latitude",
       title=f"demstitch.read: {profile['width']} x {profile['height']} samples")
fig.savefig(picture, dpi=80, bbox_inches="tight")
