#include "io/inflate.hpp"

#include <algorithm>
#include <new>
#include <utility>

#ifdef DEMSTITCH_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif
#include <zlib.h>

namespace demstitch {

namespace {
constexpr size_t gzip_trailer = 8;  // a member's CRC and length

// What zlib's message for a failed inflate means, in this program's words.
std::string zlib_error(const char* msg) {
  const std::string message = msg != nullptr ? msg : "";
  return message == "incorrect data check" || message == "incorrect length check" ? "CRC error"
         : message == "incorrect header check" || message == "unknown compression method"
             ? "not a gzip stream"
             : "invalid compressed data";
}
}  // namespace

#ifdef DEMSTITCH_HAVE_ISAL

// ISA-L's state is one plain structure: a copy of it is a checkpoint.
struct Inflater::State {
  inflate_state stream;
  Wrapper wrapper;
  std::string error;
  bool raw_in_gzip = false;  // entered inside a gzip member: decoding it raw
  size_t trailer_left = 0;   // bytes of a member's trailer still to pass

  explicit State(Wrapper w) : stream(), wrapper(w) {
    isal_inflate_init(&stream);
    stream.crc_flag = w == Wrapper::gzip ? ISAL_GZIP : ISAL_DEFLATE;
  }
};

Inflater::Inflater(Wrapper wrapper, std::span<const std::byte> window, int bits, unsigned value)
    : state_(std::make_unique<State>(Wrapper::raw)) {
  state_->wrapper = wrapper;
  state_->raw_in_gzip = wrapper == Wrapper::gzip;
  inflate_state& s = state_->stream;
  if (!window.empty()) {
    isal_inflate_set_dict(&s, reinterpret_cast<uint8_t*>(const_cast<std::byte*>(window.data())),
                          static_cast<uint32_t>(window.size()));
  }
  // The unread bits of the byte before the input go first, as ISA-L keeps bits it has read.
  s.read_in = value & ((1U << bits) - 1);
  s.read_in_length = bits;
}

Inflater::Result Inflater::run(std::span<const std::byte> in, std::span<std::byte> out,
                               size_t* consumed, size_t* produced) {
  const size_t passed = pass_trailer(in);
  if (passed > 0 && (state_->trailer_left > 0 || in.size() == passed)) {
    *consumed = passed;
    *produced = 0;
    return Result::more;
  }
  in = in.subspan(passed);
  inflate_state& s = state_->stream;
  // Spans of more than 4 GiB are never handed over (the readers work in small chunks).
  s.next_in = reinterpret_cast<uint8_t*>(const_cast<std::byte*>(in.data()));
  s.avail_in = static_cast<uint32_t>(in.size());
  s.next_out = reinterpret_cast<uint8_t*>(out.data());
  s.avail_out = static_cast<uint32_t>(out.size());
  const int r = isal_inflate(&s);
  // (ISA-L may report more input left than it was given once it meets damage.)
  *consumed = passed + in.size() - std::min<size_t>(s.avail_in, in.size());
  *produced = out.size() - s.avail_out;
  if (r == ISAL_DECOMP_OK || r == ISAL_END_INPUT || r == ISAL_OUT_OVERFLOW) {
    return s.block_state == ISAL_BLOCK_FINISH ? Result::end : Result::more;
  }
  switch (r) {
    case ISAL_INCORRECT_CHECKSUM:
      state_->error = "CRC error";
      break;
    case ISAL_INVALID_WRAPPER:
    case ISAL_UNSUPPORTED_METHOD:
      state_->error = "not a gzip stream";
      break;
    default:
      state_->error = "invalid compressed data";
  }
  return Result::error;
}

void Inflater::next_member() {
  if (state_->raw_in_gzip) {
    // The trailer's first bytes may already be among the bits ISA-L has read.
    const auto buffered = static_cast<size_t>(std::max(state_->stream.read_in_length, 0) / 8);
    state_->trailer_left = gzip_trailer - std::min(buffered, gzip_trailer);
    state_->raw_in_gzip = false;
  }
  isal_inflate_reset(&state_->stream);
  state_->stream.crc_flag = ISAL_GZIP;
}

std::optional<Inflater::BlockStart> Inflater::block_start() const {
  const inflate_state& s = state_->stream;
  // Stopped in a block's header, ISA-L keeps the bits before the header in read_in and the
  // header's bytes it has taken in tmp_in_buffer; nothing of the block before may be pending.
  if (s.block_state != ISAL_BLOCK_HDR || s.total_out == 0 || s.read_in_length < 0 ||
      s.tmp_in_size < 0 || s.tmp_out_valid != s.tmp_out_processed || s.write_overflow_len != 0 ||
      s.copy_overflow_length != 0) {
    return std::nullopt;
  }
  const int bits = s.read_in_length % 8;
  return BlockStart{static_cast<size_t>(s.tmp_in_size) + static_cast<size_t>(s.read_in_length / 8),
                    bits, static_cast<unsigned>(s.read_in & ((uint64_t{1} << bits) - 1))};
}

bool Inflater::finds_block_starts() { return true; }

Inflater::Inflater(const Inflater& other) : state_(std::make_unique<State>(*other.state_)) {}

Inflater& Inflater::operator=(const Inflater& other) {
  if (this != &other) *state_ = *other.state_;
  return *this;
}

uint32_t crc32_of(uint32_t crc, std::span<const std::byte> bytes) {
  return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

#else

struct Inflater::State {
  z_stream stream{};
  Wrapper wrapper;
  std::string error;
  bool raw_in_gzip = false;  // entered inside a gzip member: decoding it raw
  size_t trailer_left = 0;   // bytes of a member's trailer still to pass

  explicit State(Wrapper w) : wrapper(w) {
    if (inflateInit2(&stream, w == Wrapper::gzip ? 16 + MAX_WBITS : -MAX_WBITS) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  State(const State& other)
      : wrapper(other.wrapper),
        error(other.error),
        raw_in_gzip(other.raw_in_gzip),
        trailer_left(other.trailer_left) {
    if (inflateCopy(&stream, const_cast<z_stream*>(&other.stream)) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  State& operator=(const State&) = delete;
  ~State() { inflateEnd(&stream); }
};

Inflater::Inflater(Wrapper wrapper, std::span<const std::byte> window, int bits, unsigned value)
    : state_(std::make_unique<State>(Wrapper::raw)) {
  state_->wrapper = wrapper;
  state_->raw_in_gzip = wrapper == Wrapper::gzip;
  z_stream& s = state_->stream;
  if (bits > 0) inflatePrime(&s, bits, static_cast<int>(value & ((1U << bits) - 1)));
  if (!window.empty()) {
    inflateSetDictionary(&s, reinterpret_cast<const Bytef*>(window.data()),
                         static_cast<uInt>(window.size()));
  }
}

Inflater::Result Inflater::run(std::span<const std::byte> in, std::span<std::byte> out,
                               size_t* consumed, size_t* produced) {
  const size_t passed = pass_trailer(in);
  if (passed > 0 && (state_->trailer_left > 0 || in.size() == passed)) {
    *consumed = passed;
    *produced = 0;
    return Result::more;
  }
  in = in.subspan(passed);
  z_stream& s = state_->stream;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&s, Z_NO_FLUSH);
  *consumed = passed + in.size() - s.avail_in;
  *produced = out.size() - s.avail_out;
  if (r == Z_STREAM_END) return Result::end;
  if (r == Z_OK || r == Z_BUF_ERROR) return Result::more;
  if (r == Z_MEM_ERROR) throw std::bad_alloc();
  state_->error = zlib_error(s.msg);
  return Result::error;
}

void Inflater::next_member() {
  if (state_->raw_in_gzip) {
    // zlib leaves the bytes after a raw stream's end unread: the whole trailer follows.
    state_->trailer_left = gzip_trailer;
    state_->raw_in_gzip = false;
    inflateReset2(&state_->stream, 16 + MAX_WBITS);
    return;
  }
  inflateReset(&state_->stream);
}

std::optional<Inflater::BlockStart> Inflater::block_start() const { return std::nullopt; }

bool Inflater::finds_block_starts() { return false; }

Inflater::Inflater(const Inflater& other) : state_(std::make_unique<State>(*other.state_)) {}

Inflater& Inflater::operator=(const Inflater& other) {
  if (this != &other) state_ = std::make_unique<State>(*other.state_);
  return *this;
}

uint32_t crc32_of(uint32_t crc, std::span<const std::byte> bytes) {
  // zlib takes at most 4 GiB at a time.
  while (!bytes.empty()) {
    const size_t n = std::min<size_t>(bytes.size(), uInt{1} << 30);
    crc = static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(n)));
    bytes = bytes.subspan(n);
  }
  return crc;
}

#endif

Inflater::Inflater(Wrapper wrapper) : state_(std::make_unique<State>(wrapper)) {}

size_t Inflater::pass_trailer(std::span<const std::byte> in) {
  const size_t n = std::min(state_->trailer_left, in.size());
  state_->trailer_left -= n;
  return n;
}

struct BlockInflater::State {
  z_stream stream{};
  std::string error;

  State() {
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { inflateEnd(&stream); }
};

BlockInflater::BlockInflater() : state_(std::make_unique<State>()) {}
BlockInflater::~BlockInflater() = default;

Inflater::Result BlockInflater::run(std::span<const std::byte> in, std::span<std::byte> out,
                                    size_t* consumed, size_t* produced) {
  z_stream& s = state_->stream;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&s, Z_BLOCK);
  *consumed = in.size() - s.avail_in;
  *produced = out.size() - s.avail_out;
  if (r == Z_STREAM_END) return Inflater::Result::end;
  if (r == Z_OK || r == Z_BUF_ERROR) return Inflater::Result::more;
  if (r == Z_MEM_ERROR) throw std::bad_alloc();
  state_->error = zlib_error(s.msg);
  return Inflater::Result::error;
}

bool BlockInflater::at_block_start(int* bits) const {
  // zlib's data_type: 128 at the end of a block (or of a header), 64 when it was the last.
  const int type = state_->stream.data_type;
  *bits = type & 7;
  return (type & 128) != 0 && (type & 64) == 0 && state_->stream.total_out > 0;
}

bool BlockInflater::at_first_block() const {
  return (state_->stream.data_type & 128) != 0 && state_->stream.total_out == 0 &&
         state_->stream.total_in > 0;
}

void BlockInflater::next_member() { inflateReset(&state_->stream); }

const std::string& BlockInflater::error() const { return state_->error; }
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;
Inflater::~Inflater() = default;

const std::string& Inflater::error() const { return state_->error; }

size_t Inflater::state_bytes() { return sizeof(State) + (size_t{32} << 10); }

}  // namespace demstitch
