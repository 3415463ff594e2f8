// torv-codegen: a Cap'n Proto compiler plugin that writes every mirror of the package
// schema (the model's records, the schema table, the view's accessors, the C API's
// accessors, the Python docs and stubs, the JSON Schema, the format's man page and the
// layout lock) from one schema file and its doc comments.
//
//   capnp compile -o/path/to/torv-codegen:OUTDIR application.capnp
//
// capnp runs it in OUTDIR with the CodeGeneratorRequest on standard input. The hand-written
// part of the stubs is read from the file that TORV_CODEGEN_STUBS names (capnp passes no
// arguments to a plugin); without it the stubs hold the generated classes alone. A file
// whose text is unchanged is left untouched, so that what depends on it is not rebuilt.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include <capnp/schema.capnp.h>
#include <capnp/serialize.h>
#include <fmt/format.h>

#include "backends.hpp"
#include "schema.hpp"

namespace torv_codegen {
namespace {

constexpr Backend backends[] = {records, table, view, c_api, python_docs, stubs, json_schema, man_page, layout};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("cannot read {}", path.string()));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_if_changed(const File& file) {
  const std::filesystem::path path(file.path);
  std::error_code ignored;
  if (std::filesystem::exists(path, ignored) && slurp(path) == file.text) return;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  const std::filesystem::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << file.text;
    out.flush();
    if (!out) throw std::runtime_error(fmt::format("cannot write {}", temporary.string()));
  }
  std::filesystem::rename(temporary, path);
}

int run() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = 1u << 30;  // the request of a large schema; it is our own input
  capnp::StreamFdMessageReader message(STDIN_FILENO, options);
  const Schema schema = read_schema(message.getRoot<capnp::schema::CodeGeneratorRequest>());
  Inputs inputs;
  if (const char* stubs = std::getenv("TORV_CODEGEN_STUBS"); stubs != nullptr && *stubs != '\0') {
    inputs.stubs = slurp(stubs);
  }
  for (const Backend backend : backends) {
    for (const File& file : backend(schema, inputs)) write_if_changed(file);
  }
  return 0;
}

}  // namespace
}  // namespace torv_codegen

int main() {
  try {
    return torv_codegen::run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "torv-codegen: %s\n", e.what());
  } catch (const kj::Exception& e) {
    std::fprintf(stderr, "torv-codegen: %s\n", e.getDescription().cStr());
  }
  return 1;
}
