#pragma once

#include <string>

#include "base/status.hpp"
#include "io/source.hpp"

namespace demstitch {

// The coordinate system written beside a result whose tiles bring none: geographic WGS 84
// in the ESRI form of WKT that GIS tools read from a .prj file.
inline constexpr const char* wgs84_esri_wkt =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,"
    "298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

// Reads a tile's .prj file whole, as it is; at most a megabyte (a coordinate system is a
// line or two of text).
Status read_projection(const Source& source, std::string* text);

}  // namespace demstitch
