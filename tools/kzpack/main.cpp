// kzpack: the build tool of the installer stub. Parses the command line,
// runs one subcommand, and turns failures into one error line and an exit
// code (0 success, 1 invalid input or failed verification, 2 usage).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/strings.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/interrupt_cleanup.h"
#include "tools/kzpack/version.h"

namespace {

bool g_verbose = false;

// Library code writes diagnostics to the debug channel (stderr natively);
// kzpack shows them only with --verbose.
void DebugLine(const char* text, void*) {
  if (g_verbose) fprintf(stderr, "  | %s%s", text, (*text && text[strlen(text) - 1] == '\n') ? "" : "\n");
}

int Run(int argc, char** argv) {
  platform::SetDebugSink(DebugLine, nullptr);
  kzpack::InstallInterruptCleanup();
  CLI::App app{"kzpack - makes, signs, inspects and verifies self-verifying installers.\n"
               "Run 'kzpack COMMAND --help' for a command's options and examples."};
  app.name("kzpack");
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.add_flag("-q,--quiet", kzpack::Output().quiet, "No progress bars or notes");
  app.add_flag("-v,--verbose", g_verbose, "Show the library's diagnostic lines");
  app.set_version_flag("--version", kzpack::VersionReport,
                       "Print kzpack's version and the SHA-256 of the stub installed with it, and exit");
  app.footer(
      "Examples:\n"
      "  kzpack keygen --out-dir mykeys\n"
      "  kzpack build myapp.toml -o Installer.exe       # no stub = : the stub installed with kzpack\n"
      "  kzpack inspect Installer.exe\n"
      "  kzpack verify Installer.exe --image-root mykeys/image_root.pub.der --bundle-root mykeys/bundle_root.pub.der\n"
      "  kzpack stub --image-root mykeys/image_root.pub.der --bundle-root mykeys/bundle_root.pub.der -o Stub.exe\n"
      "Exit codes: 0 success, 1 invalid input or failed verification, 2 usage.");
  kzpack::RegisterKeygen(app);
  kzpack::RegisterCert(app);
  kzpack::RegisterBundle(app);
  kzpack::RegisterAttach(app);
  kzpack::RegisterSignImage(app);
  kzpack::RegisterStub(app);
  kzpack::RegisterBuild(app);
  kzpack::RegisterInspect(app);
  kzpack::RegisterVerify(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kzpack::kExitUsage;
  } catch (const kzpack::ToolError& e) {
    fprintf(stderr, "kzpack: error: %s\n", e.what());
    return e.exitCode();
  } catch (const std::exception& e) {
    fprintf(stderr, "kzpack: error: %s\n", e.what());
    return kzpack::kExitInvalid;
  }
  return kzpack::kExitOk;
}

}  // namespace

#ifdef _WIN32
// The command line arrives as UTF-16; everything inside works on UTF-8.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(WideToUtf8(wargv[i]));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return Run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
