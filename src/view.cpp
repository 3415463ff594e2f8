#include "torv_package/view.hpp"

#include <cstring>
#include <optional>
#include <utility>
#include <variant>

#include <capnp/serialize.h>

#include "convert.hpp"
#include "framing.hpp"
#include "path.hpp"
#include "torv_package/events.hpp"
#include "validate.hpp"
#include "view_state.hpp"

namespace torv_package {

namespace {

bool word_aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(capnp::word) == 0; }

void use_bytes(PackageView::State& state, const unsigned char* bytes, std::size_t size) {
  state.bytes = bytes;
  state.size = size;
}

// Frames, walks and validates the bytes of `state`, as Application::read does with the
// same bytes, and makes the reader the view reads through.
// With `faults`, validation faults go there and do not refuse the view.
Result<void> check(PackageView::State& state, bool count_trailing, FaultSink* faults = nullptr) {
  TORV_EVENT(events::Level::Info, "reading application package");
  Path path;
  auto walked = guarded(path, [&]() -> Result<void> {
    state.message_words = framed_message_words(state.bytes, state.size);
    const std::uint64_t message_bytes = std::uint64_t{state.message_words} * sizeof(capnp::word);
    state.message = reinterpret_cast<const capnp::word*>(state.bytes);
    if (!word_aligned(state.bytes)) {
      // The format is read in words: memory that is not aligned to them is copied, the
      // message only, once it is known to be there.
      state.buffer = WordBuffer(state.message_words);
      std::memcpy(state.buffer.data(), state.bytes, message_bytes);
      state.message = state.buffer.data();
    }
    state.details.message_bytes = message_bytes;
    state.framed = true;
    if (count_trailing) {
      state.details.trailing_bytes = state.size - message_bytes;
      state.details.trailing_bytes_exact = true;
    }
    capnp::FlatArrayMessageReader message(state.words(), limited_reader_options(state.message_words));
    std::optional<PageRelease> release;
    if (state.mapping.data() != nullptr) release.emplace(state.mapping.data());
    Converter walk(message_bytes, path, release ? &*release : nullptr);
    if (auto ok = walk.convert(message.getRoot<schema::Application>(), nullptr); !ok) return ok;
    state.reader.emplace(state.words(), capnp_reader_options());
    return {};
  });
  if (!walked) return walked;
  Result<void> valid = guarded(path, [&]() -> Result<void> {
    std::optional<PageRelease> release;
    if (state.mapping.data() != nullptr) release.emplace(state.mapping.data());
    const View<Application> root(state.reader->getRoot<schema::Application>());
    if (faults == nullptr) return validate_view(root, release ? &*release : nullptr);
    validate_view(root, release ? &*release : nullptr, *faults);
    return {};
  });
  if (!valid) return valid;
  const auto root = state.reader->getRoot<schema::Application>();
  const capnp::Text::Reader compiler = root.getCompilerVersion();
  TORV_EVENT(events::Level::Info, "application package read",
             events::Field{"tiles", std::uint64_t{root.getTiles().size()}},
             events::Field{"compiler", std::string(compiler.cStr(), compiler.size())});
  return {};
}

}  // namespace

PackageView::PackageView(std::unique_ptr<State> state)
    : View<Application>(state->reader->getRoot<schema::Application>()), state_(std::move(state)) {}

PackageView::PackageView(PackageView&&) noexcept = default;
PackageView& PackageView::operator=(PackageView&&) noexcept = default;
PackageView::~PackageView() = default;

Result<PackageView> PackageView::open(const std::filesystem::path& path) {
  ReadDetails ignored;
  return open(path, ignored);
}

namespace {

// The view's own small allocations (its state, a stream) happen outside the walk's guard;
// failing them is an error value too.
template <class Open>
Result<PackageView> caught(Open&& open) {
  try {
    return open();
  } catch (const std::bad_alloc&) {
    return std::unexpected(PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                                      kj::heapString("not enough memory to read the package"))));
  }
}

}  // namespace

Result<PackageView> PackageView::open(const std::filesystem::path& path, ReadDetails& details) {
  return caught([&] { return open_checked(path, details, nullptr); });
}

Result<PackageView> PackageView::open(const std::filesystem::path& path, ReadDetails& details,
                                      FaultSink& faults) {
  return caught([&] { return open_checked(path, details, &faults); });
}

void PackageView::validate(FaultSink& faults) const { validate_view(*this, nullptr, faults); }

Result<PackageView> PackageView::open_checked(const std::filesystem::path& path, ReadDetails& details,
                                              FaultSink* faults) {
  auto opened = open_package_file(path);
  if (!opened) return std::unexpected(std::move(opened).error());
  auto state = std::make_unique<State>();
  if (auto* mapping = std::get_if<FileMapping>(&*opened)) {
    state->mapping = std::move(*mapping);
    use_bytes(*state, state->mapping.data(), state->mapping.size());
    const Result<void> ok = check(*state, true, faults);
    if (state->framed) details = state->details;
    if (!ok) return std::unexpected(ok.error());
    return PackageView(std::move(state));
  }
  // Anything else is read into one buffer, as a read from a stream reads it.
  auto& stream = std::get<kj::Own<kj::InputStream>>(*opened);
  Path nowhere;  // framing errors have no location
  Result<void> read = guarded(nowhere, [&]() -> Result<void> {
    state->buffer = read_framed_message(*stream);
    const RemainingBytes trailing = count_remaining_bytes(*stream, trailing_scan_bytes);
    state->details.trailing_bytes = trailing.count;
    state->details.trailing_bytes_exact = trailing.exact;
    return {};
  });
  try {
    stream = nullptr;
  } catch (kj::Exception& exception) {
    if (read) read = std::unexpected(PackageError(kj::mv(exception)));
  }
  if (!read) return std::unexpected(std::move(read).error());
  use_bytes(*state, reinterpret_cast<const unsigned char*>(state->buffer.data()),
            state->buffer.size() * sizeof(capnp::word));
  const Result<void> ok = check(*state, false, faults);
  if (state->framed) details = state->details;
  if (!ok) return std::unexpected(ok.error());
  return PackageView(std::move(state));
}

Result<PackageView> PackageView::from_bytes(std::span<const std::byte> bytes) {
  return from_bytes(bytes, nullptr);
}

Result<PackageView> PackageView::from_bytes(std::span<const std::byte> bytes, std::shared_ptr<const void> owner) {
  return from_bytes_checked(bytes, std::move(owner), {}, nullptr);
}

Result<PackageView> PackageView::from_bytes(std::vector<std::byte> bytes) {
  return from_bytes_checked({}, nullptr, std::move(bytes), nullptr);
}

Result<PackageView> PackageView::from_bytes(std::span<const std::byte> bytes, std::shared_ptr<const void> owner,
                                            FaultSink& faults) {
  return from_bytes_checked(bytes, std::move(owner), {}, &faults);
}

Result<PackageView> PackageView::from_bytes(std::vector<std::byte> bytes, FaultSink& faults) {
  return from_bytes_checked({}, nullptr, std::move(bytes), &faults);
}

Result<PackageView> PackageView::from_bytes_checked(std::span<const std::byte> bytes, std::shared_ptr<const void> owner,
                                                    std::vector<std::byte> owned, FaultSink* faults) {
  return caught([&]() -> Result<PackageView> {
    auto state = std::make_unique<State>();
    state->owner = std::move(owner);
    state->owned = std::move(owned);
    if (!state->owned.empty()) bytes = state->owned;
    use_bytes(*state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (auto ok = check(*state, true, faults); !ok) return std::unexpected(std::move(ok).error());
    return PackageView(std::move(state));
  });
}

const ReadDetails& PackageView::details() const noexcept { return state_->details; }

std::span<const std::uint8_t> PackageView::message_bytes() const noexcept {
  return {reinterpret_cast<const std::uint8_t*>(state_->message), state_->message_words * sizeof(capnp::word)};
}

Result<Application> PackageView::to_application() const {
  Path path;
  Application app;  // allocates nothing until the walk, which is guarded
  Result<void> converted = guarded(path, [&] {
    capnp::FlatArrayMessageReader message(state_->words(), limited_reader_options(state_->message_words));
    Converter converter(state_->message_words * sizeof(capnp::word), path);
    return converter.convert(message.getRoot<schema::Application>(), &app);
  });
  if (!converted) return std::unexpected(std::move(converted).error());
  return app;
}

}  // namespace torv_package
