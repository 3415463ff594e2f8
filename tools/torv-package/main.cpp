// torv-package: inspects packages. info summarises one, check validates any number, json
// writes one as JSON, diff compares two. Exit status 0, 1 (refused or different) or 2
// (usage errors, a package that cannot be read or a failed write).
#include <csignal>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "output.hpp"

#ifndef TORV_VERSION
#define TORV_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  using namespace torv_package::cli;
  // A closed pipe must show up as a write error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"Inspects compiled application packages for the tiled device.", "torv-package"};
  app.set_version_flag("--version", std::string("torv-package ") + TORV_VERSION);
  app.require_subcommand(1, 1);

  std::string package, other;
  std::vector<std::string> packages;

  auto* info_command = app.add_subcommand("info", "Summarise a package: tiles, segments, bindings, host exchange.");
  info_command->add_option("PACKAGE", package, "package file")->required();

  auto* check_command =
      app.add_subcommand("check", "Read and validate packages; one line each, \"PATH: ok\" or the error and its place.");
  check_command->add_option("PACKAGE", packages, "package files")->required();

  auto* json_command = app.add_subcommand("json", "Write the whole model of a package as one JSON document.");
  json_command->add_option("PACKAGE", package, "package file")->required();
  std::string data_form = "summary";
  json_command
      ->add_option("--data", data_form, "segment data as its size and SHA-256 (summary), or all its bytes (hex, base64)")
      ->check(CLI::IsMember({"summary", "hex", "base64"}))
      ->capture_default_str();

  auto* diff_command = app.add_subcommand("diff", "Compare two packages; one line per difference.");
  diff_command->add_option("A", package, "first package")->required();
  diff_command->add_option("B", other, "second package")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end with status 0; any other parse error is a usage error.
    const int status = app.exit(e);
    return status == 0 ? exit_ok : exit_trouble;
  }

  if (*info_command) return info(package);
  if (*check_command) return check(packages);
  if (*json_command) {
    return json(package, data_form == "hex" ? DataForm::hex : data_form == "base64" ? DataForm::base64 : DataForm::summary);
  }
  return diff(package, other);
}
