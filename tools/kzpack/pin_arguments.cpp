#include "tools/kzpack/pin_arguments.h"

#include <cctype>

#include "tools/kzpack/external_signer.h"

namespace kzpack {
namespace {

const char kByReference[] =
    "; give it by reference (--pin env:NAME, -passin env:NAME) or let the signer prompt for it";

// The refusal names where the PIN is, never the PIN.
std::string Literal(const std::string& where) {
  return "the signer's arguments carry a PIN or password (at \"" + where + "\")" + kByReference;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "pkcs11-tool" for "/usr/bin/pkcs11-tool" and "C:\OpenSC\PKCS11-TOOL.EXE".
std::string ProgramName(const std::string& path) {
  std::string name = Lower(path.substr(path.find_last_of("/\\") + 1));
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
  return name;
}

// The verdict on the value of a PIN option; "" when it is a reference.
std::string ValueProblem(const std::string& option, const std::string& value, bool fileAndFdToo) {
  const std::string lower = Lower(value);
  if (value.empty() || lower.rfind("env:", 0) == 0) return "";
  if (fileAndFdToo && (lower.rfind("file:", 0) == 0 || lower.rfind("fd:", 0) == 0)) return "";
  if (fileAndFdToo && lower == "stdin")  // openssl reads the pass phrase from stdin
    return "\"" + option + " stdin\" would read the PIN from the signer's stdin, which carries the digest; use " +
           option + " env:NAME or file:PATH";
  return Literal(option);
}

// pkcs11-tool's options as its getopt_long reads them: short options cluster
// ("-lp1234"), values attach or follow, long options take "=" and may be
// abbreviated.
std::string Pkcs11ToolProblem(const std::vector<std::string>& args) {
  static const char* const kLongPin[] = {"pin", "so-pin", "puk", "new-pin"};
  static const std::string kShortWithValue = "adeimofyzw";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string next = i + 1 < args.size() ? args[i + 1] : "";
    if (arg == "--") break;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      const std::string name = Lower(arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
      for (const char* pin : kLongPin) {
        if (name.size() < 2 || std::string(pin).rfind(name, 0) != 0) continue;
        const std::string problem =
            ValueProblem("--" + std::string(pin), eq == std::string::npos ? next : arg.substr(eq + 1), false);
        if (!problem.empty()) return problem;
      }
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') continue;
    for (size_t c = 1; c < arg.size(); ++c) {
      const std::string rest = arg.substr(c + 1);
      if (arg[c] == 'p') return ValueProblem("-p", rest.empty() ? next : rest, false);
      if (kShortWithValue.find(arg[c]) != std::string::npos) {
        if (rest.empty()) ++i;  // the value is the next argument
        break;
      }
    }
  }
  return "";
}

// openssl and any other program: the PIN options by name, single or double
// dash, value attached with "=" or following.
std::string OptionProblem(const std::vector<std::string>& args) {
  static const char* const kPinOptions[] = {"-passin", "-passout", "-pass", "-password", "-pin",
                                            "-so-pin", "-puk",     "-new-pin", "-p"};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string lower = Lower(args[i]);
    if (lower.size() < 2 || lower[0] != '-') continue;
    const size_t eq = lower.find('=');
    std::string name = lower.substr(0, eq);
    if (name.rfind("--", 0) == 0) name.erase(0, 1);
    for (const char* option : kPinOptions) {
      if (name != option) continue;
      const std::string value = eq != std::string::npos ? args[i].substr(eq + 1) : i + 1 < args.size() ? args[i + 1] : "";
      const std::string problem = ValueProblem(option, value, true);
      if (!problem.empty()) return problem;
    }
    // "-p1234": a short PIN option with its value attached.
    if (name.size() > 2 && name[1] == 'p' && name.find_first_not_of("0123456789", 2) == std::string::npos)
      return ValueProblem("-p", name.substr(2), true);
  }
  return "";
}

// What `env` runs: its options and NAME=VALUE assignments come first.
std::string EnvProblem(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return LiteralPinProblem(std::vector<std::string>(args.begin() + i + 1, args.end()));
    const size_t eq = arg.find('=');
    if (arg.rfind("-S", 0) == 0 || arg.rfind("--split-string", 0) == 0) {
      // -S "cmd args": env splits the text into the command.
      const std::string text = arg.rfind("-S", 0) == 0 && arg.size() > 2 ? arg.substr(2)
                               : eq != std::string::npos                 ? arg.substr(eq + 1)
                               : i + 1 < args.size()                     ? args[++i]
                                                                         : "";
      std::vector<std::string> command = SplitAtBlanks(text);
      command.insert(command.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      return command.empty() ? "" : LiteralPinProblem(command);
    }
    if (arg.rfind("-", 0) == 0) {
      if (arg == "-u" || arg == "-C" || arg == "--unset" || arg == "--chdir") ++i;
      continue;
    }
    if (eq != std::string::npos)
      return "\"env " + arg.substr(0, eq) +
             "=...\" puts the value in the signer's arguments; set " + arg.substr(0, eq) +
             " in kzpack's environment instead (the signer inherits it)";
    return LiteralPinProblem(std::vector<std::string>(args.begin() + static_cast<long>(i), args.end()));
  }
  return "";
}

}  // namespace

std::string LiteralPinProblem(const std::vector<std::string>& argv) {
  if (argv.empty()) return "";
  const std::string program = ProgramName(argv[0]);
  const std::vector<std::string> args(argv.begin() + 1, argv.end());
  if (program == "env") return EnvProblem(args);
  for (const std::string& arg : args) {
    const std::string lower = Lower(arg);
    if (lower.find("pin-value=") != std::string::npos) return Literal("pin-value=");
    if (lower.rfind("pass:", 0) == 0 || lower.find("=pass:") != std::string::npos) return Literal("pass:");
  }
  return program == "pkcs11-tool" ? Pkcs11ToolProblem(args) : OptionProblem(args);
}

}  // namespace kzpack
