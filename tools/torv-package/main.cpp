// torv-package: inspects and changes packages. info summarises one, check validates any
// number, json writes one as JSON, diff compares two, build turns JSON back into a
// package, map draws one as an HTML page, extract writes a tile's memory or a binding's
// bytes, strip and set write one changed. Exit status 0,
// 1 (refused or different) or 2 (usage errors, a package that cannot be read or a failed
// write).
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.hpp"
#include "number.hpp"
#include "output.hpp"
#include "sigbus.hpp"

#ifndef TORV_VERSION
#define TORV_VERSION "unknown"
#endif

namespace {

using namespace torv_package::cli;

// "--name=" with nothing after the "=": CLI11 would take the next argument as the value.
std::optional<std::string> empty_option_value(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg.starts_with("--") && arg.find('=') == arg.size() - 1) {
      return fmt::format("empty value for option {}", quoted_word(arg.substr(0, arg.size() - 1)));
    }
  }
  return std::nullopt;
}

// The first argument no command or option took, from the tool's or its command's list.
std::optional<std::string> first_left_over(const CLI::App& app) {
  std::vector<std::string> left = app.remaining(false);
  for (const CLI::App* command : app.get_subcommands()) {
    const std::vector<std::string> more = command->remaining(false);
    left.insert(left.end(), more.begin(), more.end());
  }
  for (const std::string& arg : left) {
    if (arg != "--") return arg;
  }
  return std::nullopt;
}

// The usage error for a failed parse, naming what was not understood.
std::string usage_error(const CLI::App& app, const CLI::ParseError& error) {
  if (const auto arg = first_left_over(app)) {
    if (arg->size() > 1 && arg->front() == '-') return "unknown option " + quoted_word(arg->substr(0, arg->find('=')));
    if (app.get_subcommands().empty()) return "unknown command " + quoted_word(*arg);
    return "unexpected argument " + quoted_word(*arg);
  }
  if (app.get_subcommands().empty()) return "missing command: info, check, json, diff, build, map, extract, strip or set";
  return error.what();
}

int usage_failure(std::string_view message) {
  report(fmt::format("{}\nRun with --help for more information.", message));
  return exit_trouble;
}

// Help and version text, written as any other output: a failed write is reported.
int print_text(const std::string& text) {
  Output out;
  out.write(text);
  if (const auto error = out.finish()) return write_failure(*error);
  return exit_ok;
}

// The report for a package file shrunk while it was mapped; it names the package when the
// command reads only one.
std::string changed_report(const std::vector<std::string>& paths) {
  if (paths.size() == 1) return fmt::format("torv-package: package {} changed while it was read\n", shown(paths[0]));
  return "torv-package: a package changed while it was read\n";
}

// The report for an allocation that failed anywhere in a command, written without
// allocating again.
int out_of_memory() {
  static constexpr std::string_view line = "torv-package: out of memory\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  return exit_trouble;
}

}  // namespace

int main(int argc, char** argv) try {
  // A closed pipe, or a file grown past the size limit, must show up as a write error, not
  // end the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  CLI::App app{"Inspects and changes compiled application packages for the tiled device.", "torv-package"};
  app.set_version_flag("--version", std::string("torv-package ") + TORV_VERSION);
  app.require_subcommand(1, 1);

  std::string package, other;
  std::vector<std::string> packages;

  auto* info_command = app.add_subcommand("info", "Summarise a package: file, header, tiles, segments, bindings, host exchange.");
  info_command->add_option("PACKAGE", package, "package file, or - for standard input")->required();
  InfoOptions info_options;
  info_command->add_flag("--json", info_options.json, "one JSON document, with exact byte counts");
  info_command->add_flag("--all", info_options.all, "every row of long tables");
  info_command->add_flag("--no-validate", info_options.no_validate,
                         "summarise the package whatever the consistency rules find, with their faults");

  auto* check_command =
      app.add_subcommand("check", "Read and validate packages; one line each, \"PATH: ok\" or the error and its place.");
  check_command->add_option("PACKAGE", packages, "package files, - for standard input")->required();
  CheckOptions check_options;
  check_command->add_flag("--all", check_options.all, "every fault of each package, one line each");
  check_command->add_flag("-q,--quiet", check_options.quiet, "print only packages that fail");
  check_command->add_flag("--json", check_options.json, "one JSON object per package, one per line");
  check_command->add_flag("--strict", check_options.strict, "refuse a package that bytes follow");

  auto* json_command = app.add_subcommand("json", "Write the whole model of a package as one JSON document.");
  json_command->add_option("PACKAGE", package, "package file, or - for standard input")->required();
  std::string data_form = "summary";
  // As CLI::IsMember, but with the value escaped in the message.
  const CLI::Validator data_forms(
      [](std::string& value) -> std::string {
        if (value == "summary" || value == "hex" || value == "base64" || value == "none") return {};
        return quoted_word(value) + " not in {summary,hex,base64,none}";
      },
      "{summary,hex,base64,none}");
  json_command
      ->add_option("--data", data_form,
                   "segment data as its size and SHA-256 (summary), its size alone (none), or all its bytes (hex, base64)")
      ->check(data_forms)
      ->capture_default_str();
  JsonOptions json_options;
  json_command->add_flag("--compact", json_options.compact, "the document on one line");
  json_command->add_option("-o,--output", json_options.output,
                           "JSON file, replaced atomically (default: standard output)");
  json_command->add_flag("--no-validate", json_options.no_validate,
                         "write the model whatever the consistency rules find; their faults to standard error");

  auto* diff_command = app.add_subcommand("diff", "Compare two packages; one line per difference.");
  diff_command->add_option("A", package, "first package, or - for standard input")->required();
  diff_command->add_option("B", other, "second package, or - for standard input")->required();
  DiffOptions diff_options;
  diff_command->add_flag("-q,--quiet", diff_options.quiet, "no output: the exit status alone says whether they differ");
  diff_command->add_flag("--json", diff_options.json, "the differences as one JSON list");
  std::size_t max_lines = 0;
  // Digits only: a sign or a count that does not fit is refused, not wrapped.
  const CLI::Validator line_count(
      [](std::string& value) -> std::string {
        std::size_t n = 0;
        const char* end = value.data() + value.size();
        const auto [at, error] = std::from_chars(value.data(), end, n);
        if (!value.empty() && error == std::errc() && at == end) return {};
        return quoted_word(value) + fmt::format(" is not a count from 0 to {}", std::numeric_limits<std::size_t>::max());
      },
      "N");
  auto* max_lines_option =
      diff_command->add_option("--max-lines", max_lines, "write at most N differences and count the rest")
          ->check(line_count)
          ->type_name("N");

  auto* build_command =
      app.add_subcommand("build", "Write a package from the JSON document json --data=hex or --data=base64 writes.");
  std::string build_form = "hex";
  std::optional<std::string> output;
  build_command->add_option("JSON", package, "JSON document, or - for standard input")->required();
  build_command->add_option("-o,--output", output, "package file, replaced atomically (default: standard output)");
  const CLI::Validator byte_forms(
      [](std::string& value) -> std::string {
        if (value == "hex" || value == "base64") return {};
        return quoted_word(value) + " not in {hex,base64}";
      },
      "{hex,base64}");
  build_command->add_option("--data", build_form, "how the document spells segment data (hex, base64)")
      ->check(byte_forms)
      ->capture_default_str();

  auto* map_command =
      app.add_subcommand("map", "Draw a package as one self-contained HTML page: tiles, segments, slices, regions.");
  MapOptions map_options;
  map_command->add_option("PACKAGE", package, "package file")->required();
  map_command->add_option("-o,--output", map_options.output, "HTML file, replaced atomically (default: standard output)");
  map_command->add_flag("--no-validate", map_options.no_validate,
                        "draw the package whatever the consistency rules find, with their faults marked");

  auto* extract_command = app.add_subcommand(
      "extract", "Write a tile's memory window (--tile N), every tile's (--tiles -o DIR), or a binding's bytes "
                 "(--binding NAME, --npy for a NumPy file).");
  ExtractOptions extract_options;
  extract_command->add_option("PACKAGE", package, "package file, or - for standard input")->required();
  // Decimal or 0x hex, as set takes numbers.
  const CLI::Validator tile_number(
      [](std::string& value) -> std::string {
        const auto n = parse_number<std::uint32_t>(value);
        return n ? std::string() : n.error();
      },
      "N");
  // Taken as text: CLI11 would read "010" as octal.
  std::string tile_text;
  auto* tile_option =
      extract_command
          ->add_option("--tile", tile_text,
                       "the memory of the tile with this physical number: 0x9c000 bytes for 0x4c000..0xe8000")
          ->check(tile_number)
          ->type_name("N");
  auto* tiles_option =
      extract_command->add_flag("--tiles", extract_options.tiles, "every tile's memory, as DIR/tile-N.bin (needs -o DIR)");
  auto* binding_option = extract_command->add_option(
      "--binding", extract_options.binding, "the bytes of the input, output or weight with this name");
  auto* npy_option = extract_command->add_flag("--npy", extract_options.npy,
                                               "with --binding: a NumPy .npy file of the binding's dtype and shape");
  extract_command->add_option("-o,--output", extract_options.output,
                              "file, replaced atomically (default: standard output); with --tiles, the folder");
  tile_option->excludes(tiles_option)->excludes(binding_option);
  tiles_option->excludes(binding_option);
  npy_option->needs(binding_option);

  // strip and set write a package to -o, or over PACKAGE with -i.
  EditTarget edit_target;
  const auto edit_outputs = [&](CLI::App* command) {
    auto* to_file = command->add_option("-o,--output", edit_target.output, "package file to write, replaced atomically");
    command->add_flag("-i,--in-place", edit_target.in_place, "replace PACKAGE itself, atomically, keeping its mode")
        ->excludes(to_file);
  };
  auto* strip_command = app.add_subcommand(
      "strip", "Write a package without its debug symbols and regions (--debug), its profile plans (--profile), or both.");
  strip_command->add_option("PACKAGE", package, "package file, or - for standard input with -o")->required();
  StripOptions strip_options;
  strip_command->add_flag("--debug", strip_options.debug, "remove debug_symbols and debug_regions");
  strip_command->add_flag("--profile", strip_options.profile, "remove profile_tiles");
  edit_outputs(strip_command);

  auto* set_command = app.add_subcommand(
      "set", "Write a package with numbers, enums or texts changed: tiles[3].entry_point=0x4c100, "
             "host_exchange.calls[0].name=fetch, profile_tiles[0].steps[1].kind=Compute.");
  std::vector<std::string> assignments;
  set_command->add_option("PACKAGE", package, "package file, or - for standard input with -o")->required();
  set_command
      ->add_option("PATH=VALUE", assignments,
                   "a location and its new value: a number (decimal or 0x hex), an enumerant's name or a text")
      ->required();
  edit_outputs(set_command);

  if (const auto message = empty_option_value(argc, argv)) return usage_failure(*message);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end with status 0; any other parse error is a usage error.
    if (e.get_exit_code() != 0) return usage_failure(usage_error(app, e));
    std::ostringstream text, unused;
    app.exit(e, text, unused);
    return print_text(text.str());
  }

  torv_package::tools::install_sigbus_report(
      changed_report(*check_command ? packages
                     : *diff_command ? std::vector<std::string>{package, other}
                                     : std::vector<std::string>{package}),
      exit_trouble);
  if (*info_command) return info(package, info_options);
  if (*check_command) return check(packages, check_options);
  if (*json_command) {
    json_options.data = data_form == "hex"      ? DataForm::hex
                        : data_form == "base64" ? DataForm::base64
                        : data_form == "none"   ? DataForm::none
                                                : DataForm::summary;
    return json(package, json_options);
  }
  if (*map_command) return map(package, map_options);
  if (*extract_command) {
    if (tile_option->count() != 0) extract_options.tile = *parse_number<std::uint32_t>(tile_text);
    if (!extract_options.tile && !extract_options.tiles && !extract_options.binding) {
      return usage_failure("give --tile N, --tiles or --binding NAME");
    }
    if (extract_options.tiles && !extract_options.output) return usage_failure("--tiles writes a folder; give -o DIR");
    return extract(package, extract_options);
  }
  if (*strip_command || *set_command) {
    if (!edit_target.output && !edit_target.in_place) return usage_failure("give -o PACKAGE to write, or -i to replace PACKAGE");
    if (edit_target.in_place && package == "-") return usage_failure("-i cannot replace standard input; give -o PACKAGE");
    if (*strip_command) return strip(package, strip_options, edit_target);
    return set(package, assignments, edit_target);
  }
  if (*build_command) {
    return build(package, output, build_form == "base64" ? DataForm::base64 : DataForm::hex);
  }
  if (max_lines_option->count() != 0) diff_options.max_lines = max_lines;
  return diff(package, other, diff_options);
} catch (const std::bad_alloc&) {
  // A failed allocation anywhere in a command is a report and status 2, never a signal.
  return out_of_memory();
} catch (const std::length_error&) {
  return out_of_memory();
}
