#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "output.hpp"
#include "torv_package/error.hpp"

namespace torv_package::cli {

// Writes one JSON document as it goes, indented by two spaces, with arrays of numbers on
// one line; or, made `one_line`, the whole document on one line without spaces. Written here rather than taken from a JSON library: those build the document
// as a tree first, and a package's JSON must stream out in the memory the package itself
// takes.
class JsonWriter {
 public:
  explicit JsonWriter(Output& out, bool one_line = false) : out_(out), one_line_(one_line) {}

  void begin_object() { open('{', false); }
  void end_object() { close('}'); }
  // A compact array stays on one line.
  void begin_array(bool compact = false) { open('[', compact); }
  void end_array() { close(']'); }
  void key(std::string_view name);

  void number(std::uint64_t value);
  // true, false, null or a number already in JSON's form.
  void literal(std::string_view text);
  void boolean(bool value) { literal(value ? "true" : "false"); }
  void string(std::string_view text);
  // Begins a string whose contents are then written with raw(), already JSON-safe, or
  // with string_part(), escaped.
  void begin_raw_string();
  void raw(std::string_view safe_text) { out_.write(safe_text); }
  void string_part(std::string_view text);
  void end_raw_string() { out_.write("\""); }

  void end_document() { out_.write("\n"); }

 private:
  struct Level {
    bool compact;
    bool empty = true;
  };
  void open(char bracket, bool compact);
  void close(char bracket);
  void separate();

  Output& out_;
  bool one_line_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

// An error as one JSON object: its kind, location, debug form and sentence, as check
// --json writes them.
void error_json(JsonWriter& json, const PackageError& error);

}  // namespace torv_package::cli
