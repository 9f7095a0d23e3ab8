// kzpack attach: add attachments to a file, at its end or in a new .KZBNDL section.
#include <CLI/CLI.hpp>

#include <memory>

#include "packing/chain_writer.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/pe_info.h"

namespace kzpack {
namespace {

struct AttachOptions {
  std::string input;
  std::string output;
  std::vector<std::string> files;  // TYPE=PATH
  std::vector<std::string> texts;  // TYPE=TEXT
  bool section = false;
  bool force = false;
};

struct Record {
  std::string type;
  std::vector<uint8_t> payload;
};

Record ParseRecord(const std::string& pair, bool isFile) {
  const size_t eq = pair.find('=');
  if (eq != 4) throw ToolError("\"" + pair + "\": expected TYPE=" + (isFile ? "PATH" : "TEXT") +
                                   " with a four-character type such as LOAD", kExitUsage);
  Record record{pair.substr(0, 4), {}};
  const std::string value = pair.substr(5);
  if (isFile) record.payload = ReadWholeFile(value);
  else record.payload.assign(value.begin(), value.end());
  return record;
}

void RunAttach(const AttachOptions& options, const std::vector<std::string>& order) {
  // Records in the order given on the command line.
  std::vector<Record> records;
  size_t fileIndex = 0, textIndex = 0;
  for (const std::string& kind : order)
    records.push_back(kind == "file" ? ParseRecord(options.files[fileIndex++], true)
                                     : ParseRecord(options.texts[textIndex++], false));
  if (records.empty()) throw ToolError("nothing to attach: give --file TYPE=PATH or --text TYPE=TEXT", kExitUsage);
  PeInfo info;
  std::string reason;
  const bool isPe = ReadPeInfoFromFile(options.input, &info, &reason);
  if (isPe && info.certificateTableSize != 0 && !options.section)
    Warn(options.input + ": carries an Authenticode signature; a chain after it is not where the installer looks, "
         "and the signature no longer covers the file");
  uint64_t chainLength = 0;
  for (const Record& record : records) chainLength += AttachmentRecordSize(record.payload.size());

  OutputFile output(options.output, options.force);
  ChainWriter writer(output.Open());
  std::string error;
  const bool begun = options.section ? writer.BeginImageWithSection(WidePath(options.input), chainLength, &error)
                                     : writer.BeginAfterFile(WidePath(options.input), &error);
  if (!begun) throw ToolError(options.input + ": " + error);
  for (const std::string& note : writer.notes()) Note(options.input + ": " + note);
  for (const Record& record : records) {
    if (!writer.AppendAttachment(record.type, record.payload.data(), record.payload.size(), &error))
      throw ToolError(record.type + ": " + error);
  }
  if (!writer.Finish(&error)) throw ToolError(options.output + ": " + error);
  output.Commit();
}

}  // namespace

void RegisterAttach(CLI::App& app) {
  auto options = std::make_shared<AttachOptions>();
  CLI::App* cmd = app.add_subcommand("attach", "Add attachments (typed payloads) to a file");
  cmd->add_option("input", options->input, "File to copy")->required();
  cmd->add_option("-o,--output", options->output, "File to write")->required();
  CLI::Option* file = cmd->add_option("--file", options->files, "TYPE=PATH: a payload from a file");
  CLI::Option* text = cmd->add_option("--text", options->texts, "TYPE=TEXT: a payload given inline");
  cmd->add_flag("--section", options->section,
                "Put the chain into a new last PE section .KZBNDL instead of after the file");
  cmd->add_flag("-f,--force", options->force, "Replace an existing output file");
  cmd->footer(
      "Attachments are added in the order given; readers walk from the end, so the last one is found first.\n"
      "Examples:\n"
      "  kzpack attach setup.exe -o setup+bundle.exe --file IBND=app.ibnd\n"
      "  kzpack attach Stub.exe -o Installer.exe --section --text TYPE=gui --file LOAD=setup.exe");
  cmd->callback([options, cmd, file, text] {
    // The records go in the order the options were given, across both kinds.
    std::vector<std::string> order;
    for (const CLI::Option* option : cmd->parse_order()) {
      if (option == file) order.push_back("file");
      if (option == text) order.push_back("text");
    }
    RunAttach(*options, order);
  });
}

}  // namespace kzpack
