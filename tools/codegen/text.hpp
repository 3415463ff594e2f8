#pragma once

// Doc comments as blocks of text, names in the spellings the outputs use, and the quoting
// of text for each output language.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace torv_codegen {

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_of(std::string_view text);

// A doc comment's parts: an empty line starts a paragraph; a paragraph of one line in
// capitals is a heading; lines that start with "- " make a list, an item's further lines
// indented. Lines of a paragraph or an item are joined with single spaces.
struct Block {
  enum class Kind { paragraph, heading, list };
  Kind kind = Kind::paragraph;
  std::string text;                // a paragraph or a heading
  std::vector<std::string> items;  // a list
};
std::vector<Block> blocks(std::string_view comment);

// The doc comment as one text: a line per paragraph and per list item ("- " first),
// blocks apart by an empty line. What Python's __doc__, the stubs and the JSON Schema hold.
std::string plain(std::string_view comment);

// `text` in lines of at most `width` characters (a longer word alone on its line), the
// first led by `first`, the others by `rest`; each line ends with a line feed.
std::string wrapped(std::string_view text, std::size_t width, std::string_view first, std::string_view rest);

// The doc comment as // lines indented by `indent`, at most 100 characters wide.
std::string cpp_comment(std::string_view comment, std::string_view indent);

// What every generated file says first, after its language's comment marker.
std::string generated_note(std::string_view schema_file);

// The start of a generated C++ header: the note, `about` as a comment, #pragma once, the
// includes (each as written, <...> or "..."), and `space` opened.
std::string cpp_header(std::string_view schema_file, std::string_view about, const std::vector<std::string>& includes,
                       std::string_view space);

// physicalTile -> physical_tile
std::string snake_case(std::string_view camel);
// physicalTile -> PhysicalTile
std::string capitalised(std::string_view name);

// A C++ string literal holding `text`.
std::string cpp_string(std::string_view text);
// A Python string literal holding `text`.
std::string python_string(std::string_view text);
// A line of a docstring: backslashes escaped, and the double quotes that could end it
// (beside another one, or last on the line).
std::string docstring_line(std::string_view line);
// `text` as roff shows it literally (backslashes, leading dots and quotes escaped).
std::string roff(std::string_view text);

}  // namespace torv_codegen
