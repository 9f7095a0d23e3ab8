#include "tools/kzpack/installer_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bundle/certificate.h"
#include "packing/bundle_writer.h"
#include "packing/certificate_writer.h"
#include "packing/chain_writer.h"
#include "packing/setup_stream.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/pe_info.h"
#include "tools/kzpack/progress_bar.h"
#include "tools/kzpack/sbom.h"
#include "tools/kzpack/stub_keys.h"

namespace kzpack {
namespace {

constexpr int64_t kMaxPosition = 0x7FFFFFFF;

void Check(bool ok, const std::string& what, const std::string& error) {
  if (!ok) throw ToolError(what + ": " + error);
}

// The setup program as it goes into the chain: refused or stripped when it
// already carries an Authenticode table (the chain must end the file).
std::string PrepareSetup(const Project& project, const std::string& strippedPath) {
  PeInfo info;
  std::string reason;
  if (!ReadPeInfoFromFile(project.setup, &info, &reason)) throw ToolError(project.setup + ": " + reason);
  if (info.sections.size() > kMaxCheckedSections)
    throw ToolError(project.setup + ": " + std::to_string(info.sections.size()) +
                    " sections; the installer's signature check accepts at most " +
                    std::to_string(kMaxCheckedSections));
  if (info.certificateTableSize == 0) return project.setup;
  if (!project.stripSetupSignature)
    throw ToolError(project.setup +
                    ": already carries an Authenticode signature; its attachment chain must end the file, so sign "
                    "setup after kzpack, or set installer.setup_signature = \"strip\" to remove the signature");
  std::vector<uint8_t> image = ReadWholeFile(project.setup);
  if (!StripCertificateTable(&image, &reason)) throw ToolError(project.setup + ": " + reason);
  Warn(project.setup + ": its Authenticode signature was removed (setup_signature = \"strip\")");
  WriteFileAtomically(strippedPath, image);
  return strippedPath;
}

std::vector<uint8_t> CertificateFor(const Project& project, const KeySource& signingKey, const KeySource& root) {
  if (!project.certificate.empty()) {
    std::vector<uint8_t> certificate = ReadWholeFile(project.certificate);
    CheckCertificateFits(certificate, signingKey.publicKey, project.certificate);
    return certificate;
  }
  return IssueCertificateWith("IBND", project.certificateExpiry, signingKey.publicKey, root);
}

const ProjectSigner* SignerOf(const Project& project, const std::string& role) {
  const auto found = project.signers.find(role);
  return found == project.signers.end() ? nullptr : &found->second;
}

void RunAuthenticode(const AuthenticodeSettings& a, const std::string& input, const std::string& output) {
  std::vector<std::string> args = {a.program, "sign"};
  if (!a.pkcs12.empty()) {
    args.insert(args.end(), {"-pkcs12", a.pkcs12});
    if (!a.passwordFile.empty()) args.insert(args.end(), {"-readpass", a.passwordFile});
  } else {
    args.insert(args.end(), {"-certs", a.certificate, "-key", a.key});
    if (!a.passwordFile.empty()) args.insert(args.end(), {"-readpass", a.passwordFile});
  }
  args.insert(args.end(), {"-h", "sha256"});
  if (!a.description.empty()) args.insert(args.end(), {"-n", a.description});
  if (!a.url.empty()) args.insert(args.end(), {"-i", a.url});
  if (!a.timestampUrl.empty()) args.insert(args.end(), {"-t", a.timestampUrl});
  if (!a.rfc3161Url.empty()) args.insert(args.end(), {"-ts", a.rfc3161Url});
  args.insert(args.end(), {"-in", input, "-out", output});
  // An argument vector, never a shell; a timestamp server may be slow.
  const platform::ProcessResult run = platform::RunProcess(args, {}, "", 1 << 20, 10 * 60 * 1000);
  if (!Output().quiet) {
    fputs(run.output.c_str(), stdout);
    fputs(run.errors.c_str(), stderr);
  }
  if (!run.started)
    throw ToolError("authenticode: cannot run " + a.program + " (is osslsigncode installed?): " + run.startError);
  if (run.timedOut) throw ToolError("authenticode: " + a.program + " did not finish within 10 minutes");
  if (run.exitCode != 0)
    throw ToolError("authenticode: " + a.program + " failed with exit status " + std::to_string(run.exitCode));
}

// The roots to stamp: the public halves of the keys that sign; for a project
// that brings its own certificate, the bundle root's public key it names.
RootKeys StampedRoots(const Project& project, const SigningOptions& signing, const KeySource& bundleRoot,
                      const KeySource& imageRoot) {
  RootKeys roots;
  roots.imageRoot = BlockImageRoot(imageRoot.publicKey, imageRoot.name);
  if (!bundleRoot.empty()) {
    roots.bundleRoot = BlockBundleRoot(bundleRoot.publicKey, bundleRoot.name);
    return roots;
  }
  const std::string path = PublicKeyPathFor(signing, "bundle_root", SignerOf(project, "bundle_root"));
  if (path.empty())
    throw ToolError(project.path + ": keys.bundle_certificate: the stub's key block needs the public key of the root "
                    "that issued the certificate; name it with keys.bundle_root_public (or --public-key "
                    "bundle_root=FILE)");
  roots.bundleRoot = BlockBundleRoot(LoadPublicKey(path), path);
  RefuseDevelopmentKey(roots.bundleRoot, path, signing.developmentKeys);
  return roots;
}

}  // namespace

void CheckCertificateFits(const std::vector<uint8_t>& certificate, const std::vector<uint8_t>& signingPublicKey,
                          const std::string& certificateName) {
  PublicKeyCertificate parsed;
  if (!ParsePublicKeyCertificate(certificate.data(), certificate.size(), &parsed))
    throw ToolError(certificateName + ": not a bundle key certificate (truncated fields)");
  if (memcmp(parsed.goal, "IBND", 4) != 0)
    throw ToolError(certificateName + ": the certificate's goal is \"" + std::string(parsed.goal, 4) +
                    "\"; an installer's bundle needs \"IBND\"");
  if (parsed.keyDer != signingPublicKey)
    throw ToolError(certificateName + ": the certificate is for another key than the bundle signing key");
}

void WriteBundle(const std::string& path, const std::vector<BundleInput>& inputs, uint32_t chunkSize, int level,
                 const KeySource& signingKey, const std::vector<uint8_t>& certificate) {
  BundleWriterOptions options;
  options.chunkSize = chunkSize;
  options.deflateLevel = level;
  BundleSigning signing;
  if (signingKey.external())
    signing.signDigest = BundleDigestSigner(signingKey);
  else
    signing.signingKeyPkcs8 = signingKey.privateKey;
  signing.certificate = certificate;
  uint64_t total = 0;
  for (const BundleInput& input : inputs)
    total += input.sourcePath.empty() ? input.content.size() : static_cast<uint64_t>(FileSizeOf(input.sourcePath));
  ProgressBar bar("bundle", total);
  BundleWriter writer;
  std::string error;
  Check(writer.Create(WidePath(path), options, &signing, &error), path, error);
  for (const BundleInput& input : inputs) {
    if (input.sourcePath.empty()) {
      Check(writer.AddEntryFromMemory(input.name, input.content.data(), input.content.size(), &error),
            "entry \"" + input.name + "\"", error);
      bar.Add(input.content.size());
    } else {
      Check(writer.AddEntryFromFile(input.name, WidePath(input.sourcePath), &error), input.sourcePath, error);
      bar.Add(static_cast<uint64_t>(FileSizeOf(input.sourcePath)));
    }
  }
  Check(writer.Finish(&error), path, error);
  bar.Finish();
}

BuildSummary BuildInstaller(const Project& project, const std::string& output, const SigningOptions& signing) {
  BuildSummary summary;
  // A project file makes kzpack run nothing unless the user trusts it.
  if (project.authenticode.enabled && !signing.allowProjectCommands)
    throw ToolError(project.authenticode.origin + ": the project file asks kzpack to run \"" +
                    project.authenticode.program + "\" (Authenticode signing, with the files and timestamp servers "
                    "it names); run it only if you trust the file, with " + kAllowProjectCommands);
  // Keys first: a wrong key is the cheapest failure.
  const KeySource signingKey =
      ResolveKey(signing, "bundle_signing", project.signingKey, SignerOf(project, "bundle_signing"));
  const KeySource bundleRoot = project.certificate.empty()
                                   ? ResolveKey(signing, "bundle_root", project.bundleRootKey, SignerOf(project, "bundle_root"))
                                   : KeySource();
  const KeySource imageRoot = ResolveKey(signing, "image_root", project.imageRootKey, SignerOf(project, "image_root"));
  if (signingKey.empty()) throw ToolError(project.path + ": no bundle signing key (keys.bundle_signing)");
  if (imageRoot.empty()) throw ToolError(project.path + ": no image root key (keys.image_root)");
  if (project.certificate.empty() && bundleRoot.empty())
    throw ToolError(project.path + ": no bundle root key and no certificate (keys.bundle_root)");
  const std::vector<uint8_t> certificate = CertificateFor(project, signingKey, bundleRoot);

  // The stub must be a bare stub, take one more section and stay checkable.
  const LoadedStub stub = LoadStub(project.stub);
  const PeInfo& stubInfo = stub.info;
  if (stubInfo.sections.size() + 1 > kMaxCheckedSections)
    throw ToolError(project.stub + ": " + std::to_string(stubInfo.sections.size()) +
                    " sections; with .KZBNDL the installer's signature check (at most " +
                    std::to_string(kMaxCheckedSections) + ") would refuse it");
  // A stub with a key block gets the project's roots; one without (built
  // before key blocks) is used as it is and must have been built with them.
  RootKeys stamped;
  if (stub.block.found()) stamped = StampedRoots(project, signing, bundleRoot, imageRoot);

  // Temporary files next to the output; all removed unless committed.
  EnsureParentDir(output);
  OutputFile stampedStub(output + ".stub", true);
  std::string stubPath = project.stub;
  if (stub.block.found()) {
    const std::vector<uint8_t> bytes = StampRoots(stub, stamped);
    FILE* file = stampedStub.Open();
    if (fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) throw ToolError(output + ": cannot write");
    stampedStub.Close();
    stubPath = stampedStub.temp_path();
    Note(project.stub + ": stamped with the image root " + KeyFingerprint(stamped.imageRoot) + " and the bundle root " +
         KeyFingerprint(stamped.bundleRoot) + " (SHA-256)");
  }
  OutputFile bundleFile(output + ".ibnd", true);
  OutputFile strippedSetup(output + ".setup-src", true);
  OutputFile installer(output, true);
  OutputFile signedInstaller(output, true);

  // 1. The bundle: the script first, then the files.
  std::vector<BundleInput> inputs;
  const std::string script = ProjectScript(project);
  inputs.push_back({"install_script", "", std::vector<uint8_t>(script.begin(), script.end())});
  for (const ProjectFileEntry& file : project.files) inputs.push_back({file.name, file.source, {}});
  // The bundle is read once more, into the setup program: in memory where
  // there is room for it (it is at most a little larger than its files),
  // else next to the output.
  uint64_t inputBytes = script.size();
  for (const ProjectFileEntry& file : project.files) inputBytes += static_cast<uint64_t>(FileSizeOf(file.source));
  const uint64_t bundleBound = inputBytes + inputBytes / 64 + (1u << 20);
  std::unique_ptr<ScratchDir> bundleDir;
  if (!platform::MemoryBackedTempRoot(bundleBound).empty()) bundleDir.reset(new ScratchDir(bundleBound));
  const std::string bundlePath = bundleDir ? bundleDir->path() + "bundle.ibnd" : bundleFile.temp_path();
  WriteBundle(bundlePath, inputs, project.chunkSize, project.compression, signingKey, certificate);
  summary.bundleSize = FileSizeOf(bundlePath);
  summary.entries = inputs.size();

  // 2. The setup program: image, "_SG2" (plain: it signs every byte of the
  //    image), "IBND" last; made while it is written into the installer.
  const std::string setupSource = PrepareSetup(project, strippedSetup.temp_path());
  const int64_t setupImageSize = FileSizeOf(setupSource);
  const int64_t recordSize = static_cast<int64_t>(SignatureRecordSize(imageRoot));
  const int64_t setupTotal = setupImageSize + recordSize + 28 + summary.bundleSize + 28;
  if (setupTotal > kMaxPosition)
    throw ToolError("the setup program with its bundle would be " + std::to_string(setupTotal) +
                    " bytes; attachment positions end at 2 GiB");
  if (setupImageSize > kMaxPosition)
    throw ToolError(project.setup + ": larger than 2 GiB; a chain after it is unreachable");
  SetupStream setup;
  {
    const std::string record = MakeSignatureRecord(setupSource, setupImageSize, false, imageRoot);
    std::string error;
    Check(setup.Open(WidePath(setupSource), record, WidePath(bundlePath), &error), "setup program",
          error);
  }
  summary.setupSize = static_cast<int64_t>(setup.size());

  // 3. The installer: stub + .KZBNDL holding [_SG1] _SG2 TYPE LOAD.
  std::vector<uint8_t> sg1;
  if (!project.sg1Payload.empty()) sg1 = ReadWholeFile(project.sg1Payload);
  const uint64_t chainLength = (project.sg1Payload.empty() ? 0 : AttachmentRecordSize(sg1.size())) +
                               AttachmentRecordSize(recordSize) + AttachmentRecordSize(project.runType.size()) +
                               AttachmentRecordSize(summary.setupSize);
  if (stubInfo.sectionDataEnd + chainLength + 0x10000 > static_cast<uint64_t>(kMaxPosition))
    throw ToolError("the installer would pass 2 GiB (chain of " + std::to_string(chainLength) +
                    " bytes); attachment positions end there");
  {
    ChainWriter writer(installer.Open());
    std::string error;
    Check(writer.BeginImageWithSection(WidePath(stubPath), chainLength, &error), project.stub, error);
    for (const std::string& note : writer.notes()) Note(project.stub + ": " + note);
    if (!project.sg1Payload.empty())
      Check(writer.AppendAttachment("_SG1", sg1.data(), sg1.size(), &error), project.sg1Payload, error);
    Check(writer.Flush(&error), output, error);
    // Header-excluded: the signature survives the Authenticode step, which
    // changes CheckSum and the certificate table entry.
    const std::string record = MakeSignatureRecord(installer.temp_path(), writer.position(), true, imageRoot);
    Check(writer.AppendAttachment("_SG2", reinterpret_cast<const uint8_t*>(record.data()), record.size(), &error),
          "installer _SG2", error);
    Check(writer.AppendAttachment("TYPE", reinterpret_cast<const uint8_t*>(project.runType.data()),
                                  project.runType.size(), &error),
          "installer TYPE", error);
    ProgressBar bar("installer", 1);
    Check(writer.AppendAttachmentFromReader(
              "LOAD", setup.size(), [&setup](uint8_t* out, size_t n) { return setup.Read(out, n); },
              "the setup program or the bundle (did it change?)", &error),
          "installer LOAD", error);
    Check(writer.Finish(&error), output, error);
    bar.Finish();
  }
  installer.Close();

  // 4. Authenticode, on a copy.
  std::string finished = installer.temp_path();
  if (project.authenticode.enabled) {
    RunAuthenticode(project.authenticode, installer.temp_path(), signedInstaller.temp_path());
    finished = signedInstaller.temp_path();
    summary.authenticode = true;
  }

  // 5. The result must pass the same checks as the installer makes. The
  //    roots are the public halves of the keys used, where known.
  RootKeys roots = BuiltInRootKeys();
  roots.imageRoot = imageRoot.publicKey;
  const bool bundleRootKnown = !bundleRoot.empty() || stub.block.found();
  if (!bundleRoot.empty()) roots.bundleRoot = bundleRoot.publicKey;
  if (stub.block.found()) roots = stamped;
  {
    // The check writes the setup program, the bundle and one entry at a time.
    uint64_t largestEntry = script.size();
    for (const ProjectFileEntry& file : project.files)
      largestEntry = std::max<uint64_t>(largestEntry, static_cast<uint64_t>(FileSizeOf(file.source)));
    ScratchDir scratch(static_cast<uint64_t>(summary.setupSize + summary.bundleSize) + largestEntry);
    const InstallerVerdict verdict = CheckInstaller(finished, roots, scratch.path());
    if (!verdict.ok()) {
      const bool onlyUnknownRoot = !bundleRootKnown && verdict.reason.rfind("bundle:", 0) == 0 &&
                                   verdict.bundle.signatureProblem.find("root") != std::string::npos;
      if (!onlyUnknownRoot) throw ToolError("the finished installer fails its own check: " + verdict.reason);
      Warn("the bundle certificate is not signed by kzpack's built-in bundle root; only a stub built with its "
           "root will accept the installer");
    }
    summary.developmentFindings = DevelopmentKeyFindingsOfChecked(finished, scratch.path() + "setup.exe", verdict.bundle);
  }
  const RootKeys builtIn = BuiltInRootKeys();
  if (!stub.block.found() && roots.imageRoot != builtIn.imageRoot)
    Warn("the image root key is not kzpack's built-in one; only a stub built with its public half "
         "(KZ_IMAGE_ROOT_KEY) will accept the installer");
  if (!stub.block.found() && bundleRootKnown && roots.bundleRoot != builtIn.bundleRoot)
    Warn("the bundle root key is not kzpack's built-in one; only a stub built with its public half "
         "(KZ_BUNDLE_ROOT_KEY) will accept the installer");

  // 6. The bill of materials describes the file exactly as it is committed.
  std::unique_ptr<OutputFile> sbomFile;
  if (!project.sbom.empty()) {
    const std::string text = DescribeInstaller({finished, FsPath(output).filename().u8string(), roots, &project,
                                                SbomTime()});
    sbomFile = std::make_unique<OutputFile>(project.sbom, true);
    FILE* file = sbomFile->Open();
    if (fwrite(text.data(), 1, text.size(), file) != text.size())
      throw ToolError(project.sbom + ": cannot write the bill of materials");
    sbomFile->Close();
  }

  // The unsigned temporary file is dropped when Authenticode made a copy.
  if (project.authenticode.enabled)
    signedInstaller.Commit();
  else
    installer.Commit();
  if (sbomFile) sbomFile->Commit();
  summary.installerSize = FileSizeOf(output);
  return summary;
}

}  // namespace kzpack
