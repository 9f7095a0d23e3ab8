// The subcommands, one file each; main registers them in this order.
#pragma once

namespace CLI {
class App;
}

namespace kzpack {

void RegisterKeygen(CLI::App& app);
void RegisterCert(CLI::App& app);
void RegisterBundle(CLI::App& app);
void RegisterAttach(CLI::App& app);
void RegisterSignImage(CLI::App& app);
void RegisterStub(CLI::App& app);
void RegisterBuild(CLI::App& app);
void RegisterInspect(CLI::App& app);
void RegisterVerify(CLI::App& app);

}  // namespace kzpack
