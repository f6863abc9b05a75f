#include "mosaic/tile_finder.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "base/strings.hpp"
#include "formats/result_header.hpp"
#include "io/filesystem.hpp"

namespace demstitch {
namespace {

class TileFinder {
 public:
  TileFinder(const StitchRequest& request, SourceOpener& opener, StitchObserver& observer,
             std::vector<NamedTile>* named)
      : request_(request), opener_(opener), observer_(observer), named_(named) {}

  // Turns the named tiles, folders and archives into the tiles to read, in order; false
  // when the run is cancelled while the archives are listed.
  bool find() {
    std::vector<Pending> pending;
    for (const std::string& name : request_.tiles) {
      if (is_folder(name)) {
        add_folder(name, &pending);
      } else if (!name.empty() &&
                 std::string_view(path_separators).find(name.back()) != std::string_view::npos) {
        // A name ending in a separator can only be a folder.
        pending.push_back(Pending{name, nullptr, folder_failure(name, "no such folder")});
        pending.back().folder = true;
      } else {
        add_file(name, &pending);
      }
    }
    // More loose tiles than a run takes: the run ends with that, no archive listed.
    const auto loose = std::count_if(pending.begin(), pending.end(),
                                     [](const Pending& p) { return p.archive == nullptr; });
    if (request_.max_tiles != 0 && static_cast<size_t>(loose) > request_.max_tiles) {
      for (Pending& p : pending) named_->push_back(NamedTile{std::move(p.name), nullptr, {}});
      return true;
    }
    std::vector<std::unique_ptr<Archive>> archives(pending.size());
    std::vector<Status> listed(pending.size());
    if (!list_archives(pending, &archives, &listed)) return false;
    for (size_t i = 0; i < pending.size(); ++i) {
      Pending& p = pending[i];
      if (!p.archive) {
        named_->push_back(NamedTile{std::move(p.name), nullptr, std::move(p.failure), p.folder});
      } else if (!listed[i].ok()) {
        named_->push_back(NamedTile{std::move(p.name), nullptr, std::move(listed[i])});
      } else {
        std::shared_ptr<Archive> archive = std::move(archives[i]);
        for (const std::string& tile : archive->tiles()) {
          // A tile also extracted beside its archive is the loose one.
          if (p.loose &&
              p.loose->contains(ascii_lower(base_name(tile.substr(p.name.size() + 1))))) {
            continue;
          }
          named_->push_back(NamedTile{tile, archive, {}});
        }
      }
    }
    return true;
  }

 private:
  // A named archive, listed with the others once every name is known.
  struct Pending {
    Pending(std::string n, std::shared_ptr<const Source> a, Status f)
        : name(std::move(n)), archive(std::move(a)), failure(std::move(f)) {}
    std::string name;
    std::shared_ptr<const Source> archive;  // null for a tile by name, or a failure
    Status failure;
    // For what a folder holds: the tiles in it as loose files, by lower-case stem.
    std::shared_ptr<const std::unordered_set<std::string>> loose;
    bool folder = false;  // a folder's failure
  };

  static Status folder_failure(const std::string& folder, std::string why) {
    return Status::error(StatusKind::not_found, Side::input, folder, std::move(why));
  }

  // Whether a name is a tile's own file (NAME.DEM, NAME.hdr, NAME.prj): never taken for an
  // archive, whatever its first bytes.
  static bool is_tile_file(const std::string& name) {
    const std::string extension = extension_of(name);
    return extension == ".dem" || extension == ".hdr" || extension == ".prj";
  }

  // The name without an archive's extension (.tar.gz, .tgz, .zip, .tar, any case); empty
  // for a name that is not an archive's.
  static std::string archive_stem(const std::string& name) {
    const std::string lower = ascii_lower(name);
    for (std::string_view extension : {".tar.gz", ".tgz", ".zip", ".tar"}) {
      if (lower.size() > extension.size() && lower.ends_with(extension)) {
        return name.substr(0, name.size() - extension.size());
      }
    }
    return {};
  }
  static bool named_as_archive(const std::string& name) { return !archive_stem(name).empty(); }

  // Opens a file named as an archive: a failure, naming it and why, when it cannot be
  // opened or is none (a download that failed, an error page saved under the name).
  Pending named_archive(const std::string& path) {
    std::unique_ptr<Source> source;
    if (Status s = opener_.open(path, &source); !s.ok()) return Pending{path, nullptr, s};
    if (archive_kind(*source) != ArchiveKind::none) {
      return Pending{path, std::shared_ptr<const Source>(std::move(source)), {}};
    }
    int64_t size = 0;
    const bool empty = source->size(&size).ok() && size == 0;
    return Pending{path, nullptr,
                   Status::error(StatusKind::corrupt, Side::input, path,
                                 empty ? "empty: not an archive (a download that failed?)"
                                       : "not an archive (.tar.gz, .tgz, .zip or .tar)")};
  }

  // A name: an archive by its content, or else a tile by name as it always was. A name
  // that says it is an archive is one, or is told as not.
  void add_file(const std::string& name, std::vector<Pending>* pending) {
    if (named_as_archive(name)) {
      pending->push_back(named_archive(name));
      return;
    }
    std::unique_ptr<Source> source;
    Status s = is_tile_file(name) ? Status() : opener_.open(name, &source);
    if (s.ok() && source && archive_kind(*source) != ArchiveKind::none) {
      pending->push_back(Pending{name, std::shared_ptr<const Source>(std::move(source)), {}});
    } else {
      pending->push_back(Pending{name, nullptr, {}});
    }
  }

  // The tiles of a folder, not looking into the folders in it: each NAME.HDR (any case) that
  // is not the header of an earlier result, and each archive, in name order. Anything else
  // (a raster or .prj without a header, side files, results, an archive whose tile lies
  // beside it extracted) is passed over and counted; a file named as an archive that is
  // none is told.
  void add_folder(const std::string& folder, std::vector<Pending>* pending) {
    std::vector<std::string> names;
    if (Status s = list_folder(folder, &names); !s.ok()) {
      pending->push_back(Pending{folder, nullptr, folder_failure(folder, s.detail())});
      pending->back().folder = true;
      return;
    }
    const size_t before = pending->size();
    // Names in it are written with the separator the folder's name already uses.
    const size_t last = folder.find_last_of(path_separators);
    const char separator = last == std::string::npos ? path_separators[0] : folder[last];
    const std::string prefix = last == folder.size() - 1 ? folder : folder + separator;
    auto stem = [](const std::string& name) {
      return ascii_lower(name.substr(0, name.size() - 4));
    };
    // First the headers: the one a tile is named by (the first of NAME.HDR and NAME.hdr), and
    // those of results, which are counted. Past the most tiles a run takes, headers are no
    // longer opened: the run ends with that.
    std::unordered_set<std::string> headers;
    auto tile_stems = std::make_shared<std::unordered_set<std::string>>();
    std::unordered_set<std::string> seen;
    size_t skipped = 0;
    for (const std::string& name : names) {
      if (extension_of(name) != ".hdr" || is_folder(prefix + name) ||
          !seen.insert(stem(name)).second) {
        continue;
      }
      std::unique_ptr<Source> source;
      const bool over = request_.max_tiles != 0 && headers.size() > request_.max_tiles;
      if (!over && opener_.open(prefix + name, &source).ok() && is_a_result(*source)) {
        ++skipped;
      } else {
        headers.insert(name);
        tile_stems->insert(stem(name));
      }
    }
    for (const std::string& name : names) {
      const std::string path = prefix + name;
      const std::string extension = extension_of(name);
      if (is_folder(path)) continue;
      if (extension == ".hdr") {
        if (headers.contains(name)) {
          pending->push_back(Pending{path.substr(0, path.size() - 4), nullptr, {}});
        }
        continue;  // the other case of a tile's header, or a result's, counted above
      }
      if ((extension == ".dem" || extension == ".prj") && tile_stems->contains(stem(name)))
        continue;
      if (named_as_archive(name)) {
        if (tile_stems->contains(ascii_lower(archive_stem(name)))) {
          ++skipped;  // extracted beside it: the loose files are the tile
        } else {
          pending->push_back(named_archive(path));
        }
        continue;
      }
      std::unique_ptr<Source> source;
      if (!is_tile_file(name) && opener_.open(path, &source).ok() &&
          archive_kind(*source) != ArchiveKind::none) {
        pending->push_back(Pending{path, std::shared_ptr<const Source>(std::move(source)), {}});
      } else {
        ++skipped;
      }
    }
    for (size_t i = before; i < pending->size(); ++i) (*pending)[i].loose = tile_stems;
    if (skipped > 0) observer_.folder_skipped(folder, skipped);
    if (pending->size() == before) {
      pending->push_back(
          Pending{folder, nullptr,
                  folder_failure(
                      folder, names.empty() ? "holds no tiles (it is empty)" : "holds no tiles")});
      pending->back().folder = true;
    }
  }

  // Lists the named archives, two at a time: each is read through once, and they are
  // independent. False when the observer cancels the run (asked before each archive).
  bool list_archives(const std::vector<Pending>& pending,
                     std::vector<std::unique_ptr<Archive>>* archives, std::vector<Status>* listed) {
    std::atomic<size_t> next{0};
    std::atomic<bool> cancelled{false};
    std::mutex asking;  // the observer is told and asked by one thread at a time
    // Progress is the archives' bytes read, of all their files' bytes.
    std::vector<int64_t> sizes(pending.size(), 0);
    int64_t total = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      if (pending[i].archive && pending[i].archive->size(&sizes[i]).ok()) total += sizes[i];
    }
    int64_t done = 0;
    auto tell = [&](int64_t more) {
      std::lock_guard lock(asking);
      done += more;
      if (total > 0) observer_.archives_read(std::min(done, total), total);
      if (observer_.cancelled()) cancelled = true;
      return !cancelled;
    };
    auto work = [&]() noexcept {
      for (size_t i = next++; i < pending.size() && !cancelled; i = next++) {
        if (!pending[i].archive) continue;
        if (!tell(0)) break;
        int64_t told = 0;
        const ListProgress progress = [&](int64_t bytes) {
          const int64_t more = std::min(bytes, sizes[i]) - told;
          told += more;
          return tell(more);
        };
        try {
          (*listed)[i] =
              Archive::list(pending[i].archive, &(*archives)[i], progress, request_.index_cache);
          tell(sizes[i] - told);
        } catch (const std::bad_alloc&) {
          (*listed)[i] =
              Status::error(StatusKind::no_memory, Side::input, pending[i].name, "out of memory");
        } catch (const std::exception& e) {
          (*listed)[i] =
              Status::error(StatusKind::io_error, Side::input, pending[i].name, e.what());
        }
      }
    };
    const auto count = std::count_if(pending.begin(), pending.end(),
                                     [](const Pending& p) { return p.archive != nullptr; });
    std::thread other;
    if (count > 1) {
      try {
        other = std::thread(work);
      } catch (const std::system_error&) {
        // No second thread: this one lists them all.
      }
    }
    work();
    if (other.joinable()) other.join();
    return !cancelled;
  }

  const StitchRequest& request_;
  SourceOpener& opener_;
  StitchObserver& observer_;
  std::vector<NamedTile>* named_;
};

}  // namespace

// A name's last four characters in lower case: ".dem", ".hdr" and ".prj" are a tile's.
std::string extension_of(const std::string& name) {
  return ascii_lower(name.size() > 4 ? name.substr(name.size() - 4) : "");
}

bool is_a_result(const Source& source) {
  std::string text;
  return read_whole(source, 1024, &text) && is_result_header(text);
}

bool find_tiles(const StitchRequest& request, SourceOpener& opener, StitchObserver& observer,
                std::vector<NamedTile>* tiles) {
  return TileFinder(request, opener, observer, tiles).find();
}

}  // namespace demstitch
