#include "tools/kzpack/pin_arguments.h"

#include <algorithm>
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

// A program that runs another one: its own options, read as its getopt
// reads them (stopping at the first operand), then `operands` words of its
// own, then the command it runs.
struct Wrapper {
  std::string name;
  std::string shortWithValue;      // letters whose value attaches or follows ("-n 10", "-n10")
  std::string shortAttachedValue;  // letters whose value can only attach (sudo -hHOST)
  std::vector<std::string> longWithValue;  // "--name value", "--name=value", abbreviated
  size_t operands = 0;             // timeout's duration
  bool assignments = false;        // NAME=VALUE words before the command set its environment
};

const Wrapper* WrapperNamed(const std::string& program) {
  static const std::vector<Wrapper> kWrappers = {
      {"env", "uCS", "", {"unset", "chdir", "split-string"}, 0, true},
      {"timeout", "ks", "", {"kill-after", "signal"}, 1, false},
      {"nice", "n", "", {"adjustment"}, 0, false},
      {"ionice", "cnpPu", "", {"class", "classdata", "pid", "pgid", "uid"}, 0, false},
      {"stdbuf", "ioe", "", {"input", "output", "error"}, 0, false},
      {"setsid", "", "", {}, 0, false},
      {"sudo", "aCcDgpRrTtUu", "h",
       {"auth-type", "close-from", "login-class", "chdir", "group", "prompt", "chroot", "role", "command-timeout",
        "type", "other-user", "user"},
       0, true},
      {"doas", "aCu", "", {}, 0, false},
  };
  for (const Wrapper& wrapper : kWrappers)
    if (wrapper.name == program) return &wrapper;
  return nullptr;
}

// The command `wrapper` runs with `args`; sets `*problem` when a word in front
// of it puts a value into the command's environment.
std::vector<std::string> WrappedCommand(const Wrapper& wrapper, const std::vector<std::string>& args,
                                        std::string* problem) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    const std::string next = i + 1 < args.size() ? args[i + 1] : "";
    std::string option, value;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      for (const std::string& known : wrapper.longWithValue) {
        if (name.empty() || known.rfind(name, 0) != 0) continue;
        option = known;
        value = eq != std::string::npos ? arg.substr(eq + 1) : next;
        if (eq == std::string::npos) ++i;
        break;
      }
    } else {
      for (size_t c = 1; c < arg.size(); ++c) {
        if (wrapper.shortAttachedValue.find(arg[c]) != std::string::npos) break;
        if (wrapper.shortWithValue.find(arg[c]) == std::string::npos) continue;
        option = std::string(1, arg[c]);
        value = c + 1 < arg.size() ? arg.substr(c + 1) : next;
        if (c + 1 == arg.size()) ++i;
        break;
      }
    }
    // env -S "cmd args": the text is split into the command, the words after it follow.
    if (wrapper.name == "env" && (option == "S" || option == "split-string")) {
      std::vector<std::string> command = SplitAtBlanks(value);
      command.insert(command.end(), args.begin() + static_cast<long>(std::min(i + 1, args.size())), args.end());
      return command;
    }
  }
  i = std::min(i + wrapper.operands, args.size());
  if (wrapper.assignments && i < args.size() && args[i].find('=') != std::string::npos) {
    const std::string name = args[i].substr(0, args[i].find('='));
    *problem = "\"" + wrapper.name + " " + name + "=...\" puts the value in the signer's arguments; set " + name +
               " in kzpack's environment instead" +
               (wrapper.name == "sudo" ? " (and let sudo keep it: --preserve-env=" + name + ")"
                                       : std::string(" (the signer inherits it)"));
  }
  return std::vector<std::string>(args.begin() + static_cast<long>(i), args.end());
}

}  // namespace

std::string LiteralPinProblem(const std::vector<std::string>& argv) {
  // Wrappers nest ("timeout 60 nice sudo pkcs11-tool ..."): each is taken off in turn.
  std::vector<std::string> command = argv;
  while (!command.empty()) {
    const Wrapper* wrapper = WrapperNamed(ProgramName(command[0]));
    if (!wrapper) break;
    std::string problem;
    command = WrappedCommand(*wrapper, std::vector<std::string>(command.begin() + 1, command.end()), &problem);
    if (!problem.empty()) return problem;
  }
  if (command.empty()) return "";
  const std::string program = ProgramName(command[0]);
  const std::vector<std::string> args(command.begin() + 1, command.end());
  for (const std::string& arg : args) {
    const std::string lower = Lower(arg);
    if (lower.find("pin-value=") != std::string::npos) return Literal("pin-value=");
    if (lower.rfind("pass:", 0) == 0 || lower.find("=pass:") != std::string::npos) return Literal("pass:");
  }
  return program == "pkcs11-tool" ? Pkcs11ToolProblem(args) : OptionProblem(args);
}

}  // namespace kzpack
