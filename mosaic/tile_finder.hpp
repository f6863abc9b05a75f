#pragma once

// Where a run's tiles come from: the names it is given, as tiles, folders and archives.
#include <memory>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "io/archive.hpp"
#include "io/source.hpp"
#include "mosaic/stitch.hpp"

namespace demstitch {

// A tile to read: by name (as given, or found in a folder), or inside an archive; or a
// folder or archive that could not be read.
struct NamedTile {
  std::string name;
  std::shared_ptr<Archive> archive;
  Status failure;
  bool folder = false;  // the failure is a folder's
};

// Turns the request's names into the tiles to read, in order. A folder stands for its
// tiles (NAME.HDR, not an earlier result's) and archives in name order, passing over and
// counting the rest (folder_skipped); a tile both loose and in an archive there is the loose
// one; a file named as an archive that is none, and a folder that is not there or holds no
// tiles, are failures. Archives are listed two at a time, their bytes read told through
// archives_read. With more loose tiles than request.max_tiles no archive is listed. False
// when the observer cancels the run.
bool find_tiles(const StitchRequest& request, SourceOpener& opener, StitchObserver& observer,
                std::vector<NamedTile>* tiles);

// A name's last four characters in lower case: ".dem", ".hdr" and ".prj" are a tile's.
std::string extension_of(const std::string& name);

// Whether a header is one this program writes for its results.
bool is_a_result(const Source& source);

}  // namespace demstitch
