// The Python stubs (torv_package/__init__.pyi): the enums', records' and views' classes,
// generated with their docstrings, placed into the hand-written part of the stubs.
//
// The hand-written part is a stub file in which a line "# @generated enums" (records,
// views) stands for those classes, a class written as `class Name:` where Name is one of
// them adds its body to the generated class (the methods that are not members), and lines
// that start with ## are notes left out.

#include <map>
#include <stdexcept>

#include <fmt/format.h>

#include "backends.hpp"
#include "text.hpp"

namespace torv_codegen {
namespace {

constexpr std::size_t line_width = 88;

// A docstring at `indent`, wrapped, its further lines indented as well.
std::string docstring(std::string_view doc, std::string_view indent) {
  const std::size_t width = line_width - indent.size();
  std::vector<std::string> lines;
  const auto add = [&](const std::string& text) {
    for (const std::string& line : lines_of(text)) lines.push_back(docstring_line(line));
  };
  for (const Block& block : blocks(doc)) {
    if (!lines.empty()) lines.emplace_back();
    if (block.kind == Block::Kind::list) {
      for (const std::string& item : block.items) add(wrapped(item, width, "- ", "  "));
    } else {
      add(wrapped(block.text, width - (lines.empty() ? 3 : 0), "", ""));
    }
  }
  if (lines.empty()) lines.emplace_back();
  std::string out = std::string(indent) + "\"\"\"";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += lines[i].empty() ? "\n" : "\n" + std::string(indent);
    out += lines[i];
  }
  // The closing quotes on the last line where they fit, else on a line of their own.
  if (lines.size() > 1 && indent.size() + lines.back().size() + 3 > line_width) out += "\n" + std::string(indent);
  return out + "\"\"\"\n";
}

struct Types {
  std::string get, set, initial;
};

Types model_types(const Schema& schema, const Field& f) {
  switch (f.kind) {
    case Kind::number: return {"int", "SupportsIndex", std::to_string(f.default_number)};
    case Kind::enumeration:
      return {f.type, f.type + " | SupportsIndex",
              f.type + "." + schema.enumeration(f.type).enumerants.at(f.default_number).name};
    case Kind::text: return {"str", "str", python_string(f.initial.value_or(""))};
    case Kind::data: return {"Data", "_Bytes", "b\"\""};
    case Kind::number_list: return {"list[int]", "Iterable[SupportsIndex]", "[]"};
    case Kind::record_list: return {"list[" + f.type + "]", "Iterable[" + f.type + "]", "..."};
    case Kind::record: return {f.type, f.type, "..."};
  }
  return {};
}

std::string view_type(const Schema& schema, const Field& f) {
  switch (f.kind) {
    case Kind::number: return "int";
    case Kind::enumeration: return f.type;
    case Kind::text: return "str";
    case Kind::data: return "memoryview";
    case Kind::number_list: return "ListView[int]";
    case Kind::record_list: return "ListView[" + schema.record(f.type).view_name + "]";
    case Kind::record: return schema.record(f.type).view_name;
  }
  return {};
}

std::string match_args(const Record& r) {
  std::vector<std::string> names;
  for (const Field& f : r.fields) names.push_back(fmt::format("\"{}\"", f.name));
  const std::string one_line = fmt::format("    __match_args__ = ({}{})\n", fmt::join(names, ", "), names.size() == 1 ? "," : "");
  if (one_line.size() <= line_width + 1) return one_line;
  return fmt::format("    __match_args__ = (\n        {},\n    )\n", fmt::join(names, ",\n        "));
}

std::string record_class(const Schema& schema, const Record& r) {
  std::string out = fmt::format("class {}(metaclass=_pybind11_type):\n", r.name) + docstring(r.doc, "    ");
  out += match_args(r);
  out += "    __signature__: ClassVar[inspect.Signature]\n    __hash__: ClassVar[None]  # type: ignore[assignment]\n";
  out += "    def __init__(\n        self,\n";
  for (const Field& f : r.fields) {
    const Types t = model_types(schema, f);
    out += fmt::format("        {}: {} = {},\n", f.name, t.set, t.initial);
  }
  out += "    ) -> None: ...\n";
  for (const Field& f : r.fields) {
    const Types t = model_types(schema, f);
    out += fmt::format("    @property\n    def {}(self) -> {}:\n", f.name, t.get) + docstring(f.doc, "        ");
    out += fmt::format("    @{0}.setter\n    def {0}(self, value: {1}) -> None: ...\n", f.name, t.set);
  }
  out += fmt::format(R"(    def copy(self) -> {0}: ...
    def __copy__(self) -> {0}: ...
    def __deepcopy__(self, memo: object, /) -> {0}: ...
    def __reduce__(self) -> tuple[type[{0}], tuple[Any, ...]]: ...
    def __eq__(self, other: object, /) -> bool: ...
)",
                     r.name);
  return out;
}

std::string view_class(const Schema& schema, const Record& r) {
  std::string out = fmt::format("class {}(metaclass=_pybind11_type):\n", r.view_name) +
                    docstring(plain(r.doc) + "\n\nA read-only view of it, read in place from a package that open() has validated.", "    ");
  out += "    def __init__(self, *args: object, **kwargs: object) -> NoReturn: ...\n";
  for (const Field& f : r.fields) {
    out += fmt::format("    @property\n    def {}(self) -> {}:\n", f.name, view_type(schema, f)) + docstring(f.doc, "        ");
  }
  return out;
}

std::string enum_class(const Enum& e) {
  std::string out = fmt::format("class {}(enum.IntEnum):\n", e.name) + docstring(e.doc, "    ");
  for (std::size_t i = 0; i < e.enumerants.size(); ++i) {
    out += fmt::format("    {} = {}\n", e.enumerants[i].name, i) + docstring(e.enumerants[i].doc, "    ");
  }
  return out;
}

}  // namespace

std::vector<File> stubs(const Schema& schema, const Inputs& inputs) {
  // The generated classes, by name, in each group's order.
  std::map<std::string, std::string> classes;
  std::map<std::string, std::vector<std::string>> groups;
  for (const Enum& e : schema.enums) {
    classes[e.name] = enum_class(e);
    groups["enums"].push_back(e.name);
  }
  for (const Record& r : schema.records) {
    classes[r.name] = record_class(schema, r);
    groups["records"].push_back(r.name);
  }
  for (const Record& r : schema.records) {
    classes[r.view_name] = view_class(schema, r);
    groups["views"].push_back(r.view_name);
  }

  // The hand-written part: its extensions taken out, its markers kept in place.
  const std::vector<std::string> lines = lines_of(inputs.stubs);
  std::vector<std::string> kept;
  std::map<std::string, std::string> extensions;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.starts_with("class ") && line.ends_with(":") && line.find('(') == std::string::npos) {
      const std::string name = line.substr(6, line.size() - 7);
      if (!classes.contains(name)) throw std::runtime_error(fmt::format("the stubs extend {}, which is not generated", name));
      std::string body;
      while (i + 1 < lines.size() && (lines[i + 1].empty() || lines[i + 1].starts_with(' '))) body += lines[++i] + '\n';
      while (body.ends_with("\n\n")) body.pop_back();
      extensions[name] += body;
      continue;
    }
    if (!line.starts_with("##")) kept.push_back(line);
  }

  std::string out;
  std::map<std::string, bool> placed;
  const auto place = [&](const std::string& group) {
    const auto found = groups.find(group);
    if (found == groups.end()) throw std::runtime_error(fmt::format("the stubs name no generated group {}", group));
    std::string text;
    for (const std::string& name : found->second) text += (text.empty() ? "" : "\n") + classes[name] + extensions[name];
    placed[group] = true;
    return text;
  };
  constexpr std::string_view marker = "# @generated ";
  for (const std::string& line : kept) {
    out += line.starts_with(marker) ? place(line.substr(marker.size())) : line + '\n';
  }
  if (inputs.stubs.empty()) {
    for (const char* group : {"enums", "records", "views"}) out += place(group) + '\n';
  }
  for (const auto& [group, names] : groups) {
    if (!placed[group]) throw std::runtime_error(fmt::format("the stubs have no line \"{}{}\"", marker, group));
  }
  return {{"__init__.pyi", "# " + generated_note(schema.file) + "\n# The hand-written part is python/stubs.pyi.\n" + out}};
}

}  // namespace torv_codegen
