#pragma once

// Where a result's cells lie, for every format that says so (a GeoTIFF's tags, a header's
// corner, an array's profile).

namespace demstitch {

// The outer corner of the upper-left cell and the cells' size, in degrees (rows go south).
struct GeoTransform {
  double west = 0;
  double north = 0;
  double cell_width = 0;
  double cell_height = 0;
};

}  // namespace demstitch
