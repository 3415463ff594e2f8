// torv-package's outputs on arbitrary bytes that read as a package. `json`, in every data
// form, must be a document a real JSON parser takes, holding the model: every field of
// every record, in table order, with its value (data by size and SHA-256, or decoded from
// hex or base64). `build` must take the hex and base64 documents back to the model, which
// validates and writes the package's bytes. `diff` must find nothing between the package
// and itself, nor between it and its own rewrite. `map` must write a whole page with one
// section per tile and one drawn element per segment, slice and debug region. The
// commands run as the tool runs them, on a path, with standard output caught in a file in
// memory.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <kj/io.h>
#include <nlohmann/json.hpp>

#include "build_model.hpp"
#include "commands.hpp"
#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"

namespace {

using torv_package::Application;
using torv_package::FieldKind;
using torv_package::cli::DataForm;
using Json = nlohmann::ordered_json;  // keeps the document's key order, which is checked

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

// A file in memory, with a path that the tools open as any other.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) fail("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  void assign(std::span<const std::uint8_t> bytes) {
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) fail("cannot empty a memory file");
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = write(fd_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) fail("cannot write a memory file");
      at += static_cast<std::size_t>(n);
    }
  }
  std::string contents() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) fail("cannot stat a memory file");
    std::string out(static_cast<std::size_t>(st.st_size), '\0');
    for (std::size_t at = 0; at < out.size();) {
      const ssize_t n = pread(fd_, out.data() + at, out.size() - at, static_cast<off_t>(at));
      if (n <= 0) fail("cannot read a memory file");
      at += static_cast<std::size_t>(n);
    }
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

// A command's exit status and what it wrote to standard output.
struct Run {
  int status;
  std::string out;
};

template <class Command>
Run capture(MemoryFile& out, Command command) {
  out.assign({});
  const int saved = dup(STDOUT_FILENO);
  if (saved < 0 || dup2(out.fd(), STDOUT_FILENO) < 0) fail("cannot redirect standard output");
  const int status = command();
  if (dup2(saved, STDOUT_FILENO) < 0) fail("cannot restore standard output");
  close(saved);
  return {status, out.contents()};
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  std::array<unsigned char, 32> digest{};
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : digest) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

// Standard base64 with padding, as RFC 4648 has it.
std::optional<std::vector<std::uint8_t>> from_base64(std::string_view text) {
  static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text.substr(0, text.size() - padding)) {
    const auto value = alphabet.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    bits = (bits << 6 | static_cast<std::uint32_t>(value)) & 0xffffff;
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> held));
    }
  }
  return out;
}

// Checks that `json` holds `record` in the form `json` writes it, naming any mismatch by
// its place.
class Expect {
 public:
  explicit Expect(DataForm form) : form_(form) {}

  template <class Record>
  void record(const Record& model, const Json& json, const std::string& path) {
    if (!json.is_object()) fail(path + " is not an object");
    if (json.size() != torv_package::field_count<Record>) {
      fail(path + " has " + std::to_string(json.size()) + " keys, not " +
           std::to_string(torv_package::field_count<Record>));
    }
    auto at = json.begin();
    torv_package::for_each_field<Record>([&](auto row) {
      const std::string here = path + "." + std::string(row.name);
      if (at.key() != row.name) fail(here + " is missing, or not in its place (found " + at.key() + ")");
      field(row, model.*row.member, at.value(), here);
      ++at;
    });
  }

 private:
  template <class Row, class Value>
  void field(Row, const Value& value, const Json& json, const std::string& path) {
    if constexpr (Row::kind == FieldKind::number) {
      number(value, json, path);
    } else if constexpr (Row::kind == FieldKind::enumeration) {
      if (!json.is_string() || json.get<std::string>() != torv_package::enumerant_name(value)) {
        fail(path + ": " + json.dump() + ", not " + std::string(torv_package::enumerant_name(value)));
      }
    } else if constexpr (Row::kind == FieldKind::text) {
      if (!json.is_string() || json.get<std::string>() != value) fail(path + ": " + json.dump() + ", not the text");
    } else if constexpr (Row::kind == FieldKind::data) {
      data(value, json, path);
    } else if constexpr (Row::kind == FieldKind::number_list) {
      if (!json.is_array() || json.size() != value.size()) fail(path + " is not an array of its length");
      for (std::size_t i = 0; i < value.size(); ++i) number(value[i], json[i], path + "[" + std::to_string(i) + "]");
    } else if constexpr (Row::kind == FieldKind::record_list) {
      if (!json.is_array() || json.size() != value.size()) fail(path + " is not an array of its length");
      for (std::size_t i = 0; i < value.size(); ++i) record(value[i], json[i], path + "[" + std::to_string(i) + "]");
    } else {
      record(value, json, path);
    }
  }

  static void number(std::uint64_t value, const Json& json, const std::string& path) {
    if (!json.is_number_unsigned() || json.get<std::uint64_t>() != value) {
      fail(path + ": " + json.dump() + ", not " + std::to_string(value));
    }
  }

  void data(const std::vector<std::uint8_t>& value, const Json& json, const std::string& path) const {
    if (form_ == DataForm::summary) {
      if (!json.is_object() || json.size() != 2 || json.begin().key() != "size" ||
          std::next(json.begin()).key() != "sha256") {
        fail(path + ": " + json.dump() + " is not {size, sha256}");
      }
      number(value.size(), json["size"], path + ".size");
      if (!json["sha256"].is_string() || json["sha256"].get<std::string>() != sha256_hex(value)) {
        fail(path + ".sha256: " + json["sha256"].dump() + ", not " + sha256_hex(value));
      }
      return;
    }
    if (!json.is_string()) fail(path + " is not a string");
    const std::string text = json.get<std::string>();
    const auto decoded = form_ == DataForm::hex ? from_hex(text) : from_base64(text);
    if (!decoded) fail(path + ": \"" + text + "\" does not decode");
    if (*decoded != value) fail(path + ": \"" + text + "\" decodes to other bytes");
  }

  DataForm form_;
};

std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// Names in the page are escaped, so "<g>" and "<section id=" are only ever its own markup.
void check_map(const MemoryFile& package, MemoryFile& out, const Application& model) {
  const Run map = capture(out, [&] { return torv_package::cli::map(package.path(), torv_package::cli::MapOptions{}); });
  if (map.status != 0) fail("map exits with " + std::to_string(map.status));
  if (!map.out.starts_with("<!DOCTYPE html>\n") || !map.out.ends_with("</body></html>\n")) {
    fail("map writes no whole page");
  }
  std::size_t elements = model.debug_regions.size();
  for (const auto& tile : model.tiles) elements += tile.segments.size();
  for (const auto* list : {&model.inputs, &model.outputs, &model.weights}) {
    for (const auto& binding : *list) elements += binding.slices.size();
  }
  if (occurrences(map.out, "<g>") != elements) fail("map draws another number of elements than the package has");
  if (occurrences(map.out, "<section id=") != model.tiles.size()) fail("map writes another number of tile sections");
  for (const auto& tile : model.tiles) {
    if (map.out.find("<section id=\"tile-" + std::to_string(tile.physical_tile) + "\">") == std::string::npos) {
      fail("map has no section for tile " + std::to_string(tile.physical_tile));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemoryFile package("package"), rewrite("rewrite"), out("stdout");
  const auto model = Application::read(kj::heap<kj::ArrayInputStream>(kj::ArrayPtr<const kj::byte>(data, size)));
  if (!model) return 0;
  package.assign({data, size});
  kj::VectorOutputStream written;
  if (!model->write(written)) fail("a package that reads does not write");
  const auto bytes = written.getArray();

  for (const DataForm form : {DataForm::summary, DataForm::hex, DataForm::base64}) {
    const Run json = capture(out, [&] {
      torv_package::cli::JsonOptions options;
      options.data = form;
      return torv_package::cli::json(package.path(), options);
    });
    if (json.status != 0) fail("json exits with " + std::to_string(json.status));
    Json document;
    try {
      document = Json::parse(json.out);
    } catch (const Json::exception& e) {
      fail(std::string("json writes what does not parse: ") + e.what());
    }
    Expect(form).record(*model, document, "application");
    if (form == DataForm::summary) continue;

    const std::string form_name = form == DataForm::hex ? "hex" : "base64";
    const auto built = torv_package::cli::model_from_json(json.out, form);
    if (!built) {
      fail("build refuses the " + form_name + " document at byte " + std::to_string(built.error().offset) + ": " +
           built.error().message);
    }
    if (!(*built == *model)) fail("build of the " + form_name + " document gives another model");
    if (const auto valid = built->validate(); !valid) fail("build of the " + form_name + " document does not validate");
    kj::VectorOutputStream rebuilt;
    if (!built->write(rebuilt) || rebuilt.getArray() != bytes) {
      fail("build of the " + form_name + " document does not write the package's bytes");
    }
  }

  check_map(package, out, *model);

  rewrite.assign({bytes.begin(), bytes.size()});
  for (const MemoryFile* other : {&package, &rewrite}) {
    const Run diff = capture(out, [&] { return torv_package::cli::diff(package.path(), other->path(), {}); });
    if (diff.status != 0 || !diff.out.empty()) {
      fail("diff of the package with " + std::string(other == &package ? "itself" : "its rewrite") +
           " exits with " + std::to_string(diff.status) + ":\n" + diff.out);
    }
  }
  return 0;
}
