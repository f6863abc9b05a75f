// demstitch._demstitch: one call that runs a stitch (into files, or into memory a NumPy array
// takes over) with the GIL released, and hands back what happened as plain Python values.
// The Python package (demstitch/__init__.py) turns those into results, warnings and
// exceptions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/checked.hpp"
#include "base/strings.hpp"
#include "formats/netcdf_result.hpp"
#include "formats/result_formats.hpp"
#include "io/platform.hpp"
#include "mosaic/result_text.hpp"
#include "mosaic/stitch.hpp"

namespace py = pybind11;

namespace demstitch {
namespace {

using Clock = std::chrono::steady_clock;

// How often the waiting thread looks for Ctrl-C and calls `progress`.
constexpr auto poll_interval = std::chrono::milliseconds(100);
constexpr auto progress_interval = std::chrono::milliseconds(250);

// A file name as Python spells it (undecodable bytes kept as surrogates).
py::str path_text(const std::string& path) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(path.data(), std::ssize(path));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// A line of text (without its end) for a message.
py::str line_text(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return path_text(text);
}

// Raises ValueError with a text that may hold a file name's bytes.
[[noreturn]] void raise_value_error(const std::string& text) {
  PyErr_SetObject(PyExc_ValueError, path_text(text).ptr());
  throw py::error_already_set();
}

// The run as the waiting thread sees it: how far it is, whether it is to stop, and when it
// has finished. The last bytes_written waits until `progress` has been told of it, so that a
// progress that raises still stops the run before anything is installed.
class PythonRun final : public StitchObserver {
 public:
  explicit PythonRun(bool reports) : reports_(reports) {}

  // While archives are listed, their bytes read stand for the progress.
  void archives_read(int64_t done, int64_t total) override {
    done_.store(done);
    total_.store(total);
  }
  void bytes_written(int64_t done, int64_t total) override {
    done_.store(done);
    total_.store(total);
    if (done != total || !reports_) return;
    std::unique_lock lock(mutex_);
    last_pending_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !last_pending_; });
  }
  bool cancelled() override { return stop_.load(); }

  int64_t done() const { return done_.load(); }
  int64_t total() const { return total_.load(); }
  void stop() { stop_.store(true); }

  enum class Wake { timeout, last_bytes, finished };
  // Waits a little for the run to finish or to report its last bytes.
  Wake wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return finished_ || last_pending_; });
    return finished_ ? Wake::finished : last_pending_ ? Wake::last_bytes : Wake::timeout;
  }
  void last_bytes_told() {
    const std::lock_guard lock(mutex_);
    last_pending_ = false;
    changed_.notify_all();
  }
  void finish() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

 private:
  const bool reports_;
  std::atomic<int64_t> done_{0};
  std::atomic<int64_t> total_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  bool last_pending_ = false;
};

// The mosaic's samples, owned here until an array takes them.
class Samples {
 public:
  Samples() = default;
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;
  ~Samples() { std::free(data_); }

  std::span<int16_t> take(const MosaicSize& size) {
    const std::optional<int64_t> count =
        checked_mul(static_cast<int64_t>(size.out_cols), static_cast<int64_t>(size.out_rows));
    const std::optional<int64_t> bytes = count ? checked_mul(*count, int64_t{2}) : std::nullopt;
    if (!bytes || *bytes <= 0) return {};
    data_ = static_cast<int16_t*>(std::malloc(static_cast<size_t>(*bytes)));
    if (data_ == nullptr) return {};
    return {data_, static_cast<size_t>(*count)};
  }
  int16_t* data() const { return data_; }
  int16_t* release() { return std::exchange(data_, nullptr); }

 private:
  int16_t* data_ = nullptr;
};

// Raises ValueError naming the Python argument: "bounds: south must be below north".
[[noreturn]] void raise_argument_error(const std::string& argument, const std::string& why) {
  raise_value_error(argument + ": " + why);
}

// A name as Python's repr would quote it, for messages: 'cog'.
std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// 'a', 'b' or 'c'.
std::string quoted_names(const std::vector<std::string_view>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    text += quoted(names[i]);
  }
  return text;
}

// The window asked for, checked by the library and worded for Python.
GeoWindow window_of(const std::vector<double>& bounds) {
  if (bounds.size() != 4) raise_value_error("bounds must be (west, south, east, north)");
  for (double value : bounds) {
    if (!std::isfinite(value)) raise_argument_error("bounds", "give four finite numbers");
  }
  GeoWindow window{bounds[0], bounds[1], bounds[2], bounds[3]};
  switch (check_window(&window)) {
    case WindowProblem::none:
      return window;
    case WindowProblem::latitude_range:
      raise_argument_error("bounds", "latitudes lie between -90 and 90");
    case WindowProblem::longitude_range:
      raise_argument_error("bounds", "longitudes lie between -180 and 180 (east up to west + 360)");
    case WindowProblem::south_not_below_north:
      raise_argument_error("bounds", "south must be below north");
    case WindowProblem::west_is_east:
      raise_argument_error("bounds",
                           "west and east must differ (west above east crosses the antimeridian)");
    case WindowProblem::empty:
      raise_argument_error("bounds", "the window is empty: 180 and -180 are one meridian");
  }
  raise_argument_error("bounds", "not a window");
}

// What the output arguments ask, checked by the library and worded for Python.
OutputRequest output_of(const std::optional<std::string>& output,
                        const std::optional<std::string>& format,
                        const std::optional<std::string>& compress, std::optional<int> level,
                        const std::optional<std::string>& overviews) {
  OutputChoices choices;
  choices.output = output;
  if (output && output->find('\0') != std::string::npos) raise_value_error("embedded null byte");
  if (format) {
    const ResultFormatEntry* entry = result_format_named(*format);
    if (entry == nullptr) {
      std::vector<std::string_view> names;
      for (const ResultFormatEntry& e : result_formats()) names.push_back(e.name);
      raise_argument_error("format=" + quoted(*format), "give " + quoted_names(names));
    }
    choices.format = entry->format;
  }
  if (compress) {
    choices.compression = compression_by_name(*compress);
    if (!choices.compression) {
      raise_argument_error("compress=" + quoted(*compress),
                           "give " + quoted_names({"deflate", "zstd", "lzw", "none"}));
    }
  }
  choices.level = level;
  if (overviews && !choose_overviews(*overviews, &choices)) {
    raise_argument_error("overviews=" + quoted(*overviews),
                         "give " + quoted_names({"average", "nearest", "none"}));
  }
  OutputProblem p;
  OutputRequest request = resolve_output(choices, &p);
  const std::string compression = quoted(compression_name(p.compression));
  switch (p.kind) {
    case OutputProblem::Kind::none:
      return request;
    case OutputProblem::Kind::no_name:
      raise_argument_error("output=" + quoted(*output),
                           "give the result's path, such as 'regions/alps'");
    case OutputProblem::Kind::format_clash:
      raise_argument_error("format=" + quoted(result_format(p.format).name),
                           "output ends in " + p.extension + ", which names " +
                               std::string(result_format(p.named).description) + "; choose one");
    case OutputProblem::Kind::option_not_taken:
      raise_argument_error(std::string(p.option), "only format='cog' takes it");
    case OutputProblem::Kind::compression_missing:
      raise_argument_error(
          "compress=" + compression,
          "this build of demstitch cannot write it (deflate, lzw and none it can)");
    case OutputProblem::Kind::no_level:
      raise_argument_error("level", "compress=" + compression + " takes no level");
    case OutputProblem::Kind::level_out_of_range:
      raise_argument_error("level=" + std::to_string(p.level),
                           demstitch::format("compress=%s takes a level from %d to %d",
                                             compression.c_str(), p.levels.low, p.levels.high));
  }
  return request;
}

// The request of these arguments, checked by the library and worded for Python.
StitchRequest request_of(const std::vector<std::string>& tiles,
                         const std::optional<std::vector<double>>& bounds,
                         const OutputRequest& output) {
  size_t which = 0;
  switch (check_tile_names(tiles, &which)) {
    case TileNamesProblem::none:
      break;
    case TileNamesProblem::no_tiles:
      raise_value_error("no tiles named");
    case TileNamesProblem::too_many:
      raise_value_error("too many tiles: at most " + std::to_string(max_tiles) +
                        " can be stitched in one call");
    case TileNamesProblem::empty_name:
      raise_value_error("a tile name is empty");
    case TileNamesProblem::null_byte:
      raise_value_error("embedded null byte");
    case TileNamesProblem::name_too_long:
      raise_value_error("tile name too long (at most " + std::to_string(max_name_length) +
                        " characters): " + tiles[which]);
  }
  StitchRequest request;
  request.tiles = tiles;
  request.max_tiles = max_tiles;
  if (bounds) request.window = window_of(*bounds);
  request.output = output;
  return request;
}

const char* outcome_name(StitchOutcome outcome) {
  switch (outcome) {
    case StitchOutcome::written:
      return "written";
    case StitchOutcome::bad_request:
      return "bad_request";
    case StitchOutcome::too_many_tiles:
      return "too_many_tiles";
    case StitchOutcome::tile_is_result:
      return "tile_is_result";
    case StitchOutcome::no_header:
      return "no_header";
    case StitchOutcome::no_usable_size:
      return "no_usable_size";
    case StitchOutcome::outside_window:
      return "outside_window";
    case StitchOutcome::output_failed:
      return "output_failed";
    case StitchOutcome::input_failed:
      return "input_failed";
    case StitchOutcome::cancelled:
      return "cancelled";
  }
  return "unknown";
}

const char* kind_name(StatusKind kind) {
  switch (kind) {
    case StatusKind::ok:
      return "ok";
    case StatusKind::not_found:
      return "not_found";
    case StatusKind::io_error:
      return "io_error";
    case StatusKind::corrupt:
      return "corrupt";
    case StatusKind::no_space:
      return "no_space";
    case StatusKind::no_memory:
      return "no_memory";
    case StatusKind::cancelled:
      return "cancelled";
    case StatusKind::busy:
      return "busy";
  }
  return "unknown";
}

const char* problem_name(ProblemKind kind) {
  switch (kind) {
    case ProblemKind::folder_not_read:
      return "folder_not_read";
    case ProblemKind::header_not_opened:
      return "header_not_opened";
    case ProblemKind::header_not_read:
      return "header_not_read";
    case ProblemKind::header_doubtful:
      return "header_doubtful";
    case ProblemKind::result_not_tile:
      return "result_not_tile";
    case ProblemKind::raster_not_opened:
      return "raster_not_opened";
    case ProblemKind::raster_not_read:
      return "raster_not_read";
    case ProblemKind::bad_row_length:
      return "bad_row_length";
    case ProblemKind::no_place:
      return "no_place";
    case ProblemKind::raster_short:
      return "raster_short";
    case ProblemKind::raster_long:
      return "raster_long";
    case ProblemKind::raster_changed:
      return "raster_changed";
  }
  return "unknown";
}

py::dict status_dict(const Status& status) {
  py::dict d;
  d["kind"] = kind_name(status.kind());
  d["errno"] = status.error_number();
  d["path"] = path_text(status.path());
  d["reason"] = path_text(status.detail());
  return d;
}

py::dict result_dict(const StitchResult& result) {
  py::dict d;
  d["outcome"] = outcome_name(result.outcome);
  d["names_clash"] = result.failed_step == OutputStep::check_names;
  d["error"] = status_dict(result.error);
  d["message"] =
      line_text(failure_text(result, OptionWords{"output=", "bounds="}) + install_notes(result));
  py::list tiles;
  for (const std::string& tile : result.tiles) tiles.append(path_text(tile));
  d["tiles"] = tiles;
  py::list problems;
  for (const TileProblem& problem : result.problems) {
    py::dict p;
    p["tile"] = problem.tile;
    p["path"] = path_text(problem.path);
    p["kind"] = problem_name(problem.kind);
    p["message"] = line_text(problem_text(problem));
    p["cause"] = status_dict(problem.cause);
    problems.append(p);
  }
  d["problems"] = problems;
  py::list files;
  for (const std::string& file : result.files) files.append(path_text(file));
  d["files"] = files;
  d["size"] = result.size ? py::make_tuple(result.size->out_rows, result.size->out_cols)
                          : py::object(py::none());
  if (result.geotransform) {
    const GeoTransform& g = *result.geotransform;
    d["geotransform"] = py::make_tuple(g.west, g.cell_width, 0.0, g.north, 0.0, -g.cell_height);
  } else {
    d["geotransform"] = py::none();
  }
  return d;
}

// Runs `work` on a thread of its own while this one, holding the GIL between waits, looks
// for Ctrl-C and calls `progress`. A KeyboardInterrupt or an exception from `progress` stops
// the run (which then removes what it made) and is raised once it has stopped.
template <typename Work>
StitchResult run_released(PythonRun& run, const py::object& progress, Work work) {
  StitchResult result;
  std::thread worker;
  try {
    worker = std::thread([&] {
      try {
        result = work();
      } catch (const std::exception& e) {  // nothing thrown may end the interpreter
        result = StitchResult{};
        result.outcome = StitchOutcome::output_failed;
        result.error = Status::error(StatusKind::io_error, Side::none, {}, e.what());
      }
      run.finish();
    });
  } catch (const std::system_error& e) {
    errno = e.code().value();
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
  std::optional<py::error_already_set> raised;
  Clock::time_point last_call = Clock::now();
  int64_t last_done = -1;
  for (;;) {
    PythonRun::Wake wake = PythonRun::Wake::timeout;
    {
      const py::gil_scoped_release release;
      wake = run.wait(poll_interval);
    }
    if (wake == PythonRun::Wake::finished) break;
    const int64_t done = run.done();
    // Nothing is told until a total is known (the archives' bytes, or the mosaic's).
    const bool due =
        wake == PythonRun::Wake::last_bytes ||
        (run.total() > 0 && done != last_done && Clock::now() - last_call >= progress_interval);
    if (!raised && PyErr_CheckSignals() != 0) {
      raised.emplace();
      run.stop();
    } else if (!raised && !progress.is_none() && due) {
      last_call = Clock::now();
      last_done = done;
      try {
        progress(done, run.total());
      } catch (py::error_already_set& e) {
        raised.emplace(std::move(e));
        run.stop();
      }
    }
    if (wake == PythonRun::Wake::last_bytes) run.last_bytes_told();
  }
  {
    const py::gil_scoped_release release;
    worker.join();
  }
  if (raised) {
    raised->restore();
    throw py::error_already_set();
  }
  return result;
}

// One stitch of `tiles` (file names as bytes), the region `bounds` when given, into the
// output the other arguments choose (None where not given); into_memory for the mosaic as an
// array (under "array" in the answer) instead of files.
py::dict run(const std::vector<std::string>& tiles,
             const std::optional<std::vector<double>>& bounds,
             const std::optional<std::string>& output, const std::optional<std::string>& format,
             const std::optional<std::string>& compress, std::optional<int> level,
             const std::optional<std::string>& overviews, const std::string& history,
             bool into_memory, bool cache, const py::object& progress) {
  OutputRequest out = output_of(output, format, compress, level, overviews);
  out.history = history_line(std::chrono::system_clock::now(), history);
  StitchRequest request = request_of(tiles, bounds, out);
  if (cache) request.index_cache = user_cache_folder();
  PythonRun observer(!progress.is_none());
  Samples samples;
  StitchResult result;
  if (into_memory) {
    const MosaicMemory memory = [&](const MosaicSize& size) { return samples.take(size); };
    result =
        run_released(observer, progress, [&] { return read_mosaic(request, observer, memory); });
  } else {
    result = run_released(observer, progress, [&] { return stitch(request, observer); });
  }
  py::dict answer = result_dict(result);
  answer["array"] = py::none();
  if (into_memory && result.outcome == StitchOutcome::written) {
    const py::ssize_t rows = result.size->out_rows;
    const py::ssize_t cols = result.size->out_cols;
    // The capsule owns the samples from the moment it stands (its making may fail).
    const py::capsule owner(samples.data(), [](void* p) { std::free(p); });
    int16_t* data = samples.release();
    answer["array"] =
        py::array_t<int16_t>({rows, cols}, {cols * py::ssize_t{2}, py::ssize_t{2}}, data, owner);
  }
  return answer;
}

}  // namespace
}  // namespace demstitch

PYBIND11_MODULE(_demstitch, module) {
  module.doc() = "The stitcher itself; use the demstitch package's read() and stitch().";
  module.attr("version") = DEMSTITCH_VERSION;
  module.def("run", &demstitch::run, py::arg("tiles"), py::arg("bounds"), py::arg("output"),
             py::arg("format"), py::arg("compress"), py::arg("level"), py::arg("overviews"),
             py::arg("history"), py::arg("into_memory"), py::arg("cache"), py::arg("progress"),
             "Runs one stitch with the GIL released; returns what happened as a dict.");
}
