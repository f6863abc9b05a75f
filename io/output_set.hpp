#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "io/file.hpp"

namespace demstitch {

// The files of one result, each written under a temporary name beside its final one and
// moved into place by install(). Whatever was not installed is removed when the set goes.
class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();

  // Starts the file that is to replace `final_path`. `*file` belongs to the set; messages
  // name it by its final path.
  Status add(const std::string& final_path, File** file);
  // Moves the files into place, in the order they were added. Each must be closed.
  Status install();

 private:
  struct Entry {
    std::string final_path;
    std::string temporary_path;
    File file;
    bool created = false;
  };
  std::vector<std::unique_ptr<Entry>> entries_;
};

}  // namespace demstitch
