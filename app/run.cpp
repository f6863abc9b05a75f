#include "app/run.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/report.hpp"
#include "header/tile_header.hpp"
#include "io/file.hpp"
#include "mosaic/extent.hpp"
#include "mosaic/plan.hpp"
#include "mosaic/progress.hpp"
#include "mosaic/raster_writer.hpp"
#include "mosaic/result_header.hpp"

namespace demstitch {
namespace {

constexpr const char* result_raster = "GTResult.DEM";
constexpr const char* result_header = "GTResult.HDR";

volatile std::sig_atomic_t interrupt_signal = 0;

extern "C" void note_interrupt(int signal) { interrupt_signal = signal; }

// Ctrl-C and SIGTERM are noted and acted on between bands, so that the partial result can
// be removed. A file-size limit or a closed pipe makes a call fail instead of killing us.
void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

// A file written under a temporary name beside its final one, removed unless installed.
class PendingFile {
 public:
  explicit PendingFile(std::string final_path)
      : final_path_(std::move(final_path)),
        path_(final_path_ + "." + std::to_string(::getpid()) + ".part") {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    file.close();
    if (created_) ::unlink(path_.c_str());
  }

  Status create() {
    // A folder under the final name would only make the last step fail: say so now.
    struct stat st {};
    if (::stat(final_path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return Status::from_errno(final_path_, EISDIR);
    }
    ::unlink(path_.c_str());  // left by an earlier run of the same process id
    Status s = File::create_new(path_, &file);
    created_ = s.ok();
    return s;
  }

  // Names the file in a message by the name the user knows, not the temporary one.
  std::string describe(const Status& status) const {
    const std::string& text = status.message();
    if (text.starts_with(path_ + ":")) return final_path_ + text.substr(path_.size());
    return text;
  }

  // Whether a failure was this file's own (and not, say, a tile's that was being read).
  bool failed_here(const Status& status) const { return status.message().starts_with(path_ + ":"); }

  Status install() {
    if (::rename(path_.c_str(), final_path_.c_str()) != 0) {
      return Status::from_errno(final_path_, errno);
    }
    created_ = false;
    return {};
  }

  File file;

 private:
  std::string final_path_;
  std::string path_;
  bool created_ = false;
};

struct Tile {
  TileHeader header;
  std::string header_path;
  bool header_read = false;
};

class Stitch {
 public:
  Stitch(const CommandLine& line, Console& console, const RunOptions& options)
      : line_(line), console_(console), options_(options) {}

  int run() {
    read_headers();
    console_.print(final_bounds_text(bounds_, line_.offset_x, line_.offset_y, size_));
    console_.flush();
    if (tiles_read_ == 0) {
      console_.error("No tile header could be read: there is nothing to stitch\n");
      return exit_input_problem;
    }
    if (!size_ || !size_->usable()) {
      console_.error("The tiles' bounds give no usable mosaic size: nothing written\n");
      return exit_input_problem;
    }
    if (interrupt_signal != 0) return exit_signal_base + interrupt_signal;
    return write_results();
  }

 private:
  void read_headers() {
    for (const std::string& name : line_.names) {
      Tile& tile = tiles_.emplace_back();
      tile.header.name = name;
      File file;
      if (!open_either_case(name, ".hdr", ".HDR", &file, &tile.header_path).ok()) {
        console_.error(format("Error opening file %s\n", tile.header_path.c_str()));
        input_problem_ = true;
        continue;
      }
      if (Status s = read_header_file(file, tile.header); !s.ok()) {
        console_.error("Error reading file " + s.message() + "\n");
        tile.header = TileHeader{};
        tile.header.name = name;
        input_problem_ = true;
        continue;
      }
      tile.header_read = true;
      ++tiles_read_;
      tile.header.uly += line_.offset_y;
      tile.header.ulx += line_.offset_x;
      TileRect rect = tile_rect(tile.header);
      bounds_ = fold(bounds_, rect);
      console_.print(tile_bounds_line(rect, line_.offset_x, line_.offset_y, tile.header_path));
    }
    size_ = mosaic_size(bounds_);
  }

  // Opens every usable tile's raster and describes its copy; the tiles that cannot be used
  // get the message that the raster stage prints in their place.
  void plan_copies(MosaicPlan& plan, std::vector<File>& sources,
                   std::vector<TileProgress>& progress) {
    for (const Tile& tile : tiles_) {
      if (!tile.header_read) continue;  // no known place: nothing to copy
      const TileHeader& header = tile.header;
      TileProgress& report = progress.emplace_back();
      report.nrows = header.nrows;
      File file;
      if (!open_either_case(header.name, ".dem", ".DEM", &file, &report.path).ok()) {
        report.error = format("Error opening file %s\n", report.path.c_str());
      } else if (header.total_row_bytes < 0) {
        report.error = format("Skipped %s: its rows are %lld bytes long\n", report.path.c_str(),
                              static_cast<long long>(header.total_row_bytes));
      } else {
        int64_t file_size = 0;
        auto start = placement_start(bounds_, header.ulx, header.uly, plan.row_bytes);
        std::optional<TileCopy> copy;
        if (Status s = file.size(&file_size); !s.ok()) {
          report.error = "Error reading file " + s.message() + "\n";
        } else if (start) {
          copy = plan_tile_copy(sources.size(), file_size, header.total_row_bytes, header.nrows,
                                *start, plan.row_bytes);
        }
        if (copy) {
          plan.copies.push_back(*copy);
          sources.push_back(std::move(file));
        } else if (report.error.empty()) {
          report.error =
              format("Skipped %s: the tile has no place in the mosaic\n", report.path.c_str());
        }
      }
      if (!report.error.empty()) input_problem_ = true;
    }
  }

  int write_results() {
    PendingFile raster(result_raster);
    if (Status s = raster.create(); !s.ok()) {
      console_.error("Unable to open output file\n" + s.message() + "\n");
      return exit_output_failed;
    }
    MosaicPlan plan{size_->row_bytes(), size_->out_rows, {}};
    std::vector<File> sources;
    std::vector<TileProgress> progress;
    plan_copies(plan, sources, progress);
    MosaicCorner corner = result_corner(bounds_, line_.offset_x, line_.offset_y);
    std::string header_text = result_header_text(*size_, corner.result_ulx, corner.result_uly);

    const int64_t total = plan.final_size();
    if (Status s = check_free_space(total + static_cast<int64_t>(header_text.size())); !s.ok()) {
      console_.error(s.message() + "\n");
      return exit_output_failed;
    }

    ProgressScript script(size_->out_rows, std::move(progress));
    auto on_progress = [&](int64_t done) {
      auto lines = static_cast<int64_t>(static_cast<double>(script.size()) *
                                        static_cast<double>(done) / static_cast<double>(total));
      script.play_until(done == total ? script.size() : lines, console_);
      return interrupt_signal == 0;
    };
    Status written = options_.reference_writer
                         ? write_mosaic_by_patching(raster.file, plan, sources)
                         : write_mosaic(raster.file, plan, sources, on_progress, options_.bands);
    if (options_.reference_writer) on_progress(total);
    if (written.ok()) written = raster.file.close();
    if (interrupt_signal != 0) return exit_signal_base + interrupt_signal;
    if (!written.ok() && raster.failed_here(written)) {
      console_.error("Unable to write output file\n" + raster.describe(written) + "\n");
      return exit_output_failed;
    }
    if (!written.ok()) {
      // A tile that could be opened but not read: the mosaic would be incomplete.
      console_.error("Error reading file " + written.message() + "\nNothing written\n");
      return exit_input_problem;
    }

    PendingFile header(result_header);
    Status s = header.create();
    if (s.ok()) {
      s = header.file.write_all(std::as_bytes(std::span(header_text)));
    }
    if (s.ok()) s = header.file.close();
    if (!s.ok()) {
      console_.error("Unable to write header file for result\n" + header.describe(s) + "\n");
      return exit_output_failed;
    }
    if (interrupt_signal != 0) return exit_signal_base + interrupt_signal;
    if (s = raster.install(); s.ok()) s = header.install();
    if (!s.ok()) {
      console_.error("Unable to install the result\n" + s.message() + "\n");
      return exit_output_failed;
    }
    return input_problem_ ? exit_input_problem : exit_ok;
  }

  static Status check_free_space(int64_t needed) {
    struct statvfs fs {};
    if (::statvfs(".", &fs) != 0) return {};  // nothing known: let the writes tell
    auto available = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
    if (needed <= available) return {};
    return Status::error(format("Not enough space for %s: %lld bytes needed, %lld bytes free",
                                result_raster, static_cast<long long>(needed),
                                static_cast<long long>(available)));
  }

  const CommandLine& line_;
  Console& console_;
  const RunOptions& options_;
  std::vector<Tile> tiles_;
  MosaicBounds bounds_;
  std::optional<MosaicSize> size_;
  int tiles_read_ = 0;
  bool input_problem_ = false;
};

}  // namespace

int run(std::span<const std::string_view> args, Console& console, const RunOptions& options) {
  std::string_view program = args.empty() ? "demstitch" : args.front();
  CommandLine line = parse_command_line(args.empty() ? args : args.subspan(1));
  switch (line.outcome) {
    case CommandLine::Outcome::no_argument:
      console.error(usage_text(program));
      return exit_no_argument;
    case CommandLine::Outcome::no_tile:
      console.error(usage_text(program));
      return exit_command_line;
    case CommandLine::Outcome::too_many_tiles:
      console.error(format("Too many tiles: at most %zu can be stitched in one run\n", max_tiles));
      return exit_command_line;
    case CommandLine::Outcome::name_too_long:
      console.error(format("Tile name too long (at most %zu characters): %s\n", max_name_length,
                           line.long_name.c_str()));
      return exit_command_line;
    case CommandLine::Outcome::run:
      break;
  }
  install_signal_handlers();
  try {
    return Stitch(line, console, options).run();
  } catch (const std::bad_alloc&) {
    console.error("Out of memory for the output buffers\n");
    return exit_output_failed;
  }
}

}  // namespace demstitch
