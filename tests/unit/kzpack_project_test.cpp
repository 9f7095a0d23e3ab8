// The project file of `kzpack build`: what it yields, and that every mistake
// is reported with the file, the line and the key.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/project.h"

namespace {

class ProjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Stub.exe", "setup.exe", "sign.key", "root.key", "image.key", "a.dll", "b.txt", "extra"})
      kztest::WriteFileText(dir_ / name, "x");
    kztest::WriteFileText(dir_ / "script.txt", "dep-gui,a.dll,a.dll\n");
  }
  std::string PathOf(const std::string& name) const { return (dir_ / name).u8string(); }
  std::string ProjectPath() const { return PathOf("project.toml"); }

  // A valid project with `extra` spliced in at the top level and `files` appended.
  std::string Text(const std::string& extra = "", const std::string& files = "") const {
    return "stub = \"Stub.exe\"\n"
           "setup = \"setup.exe\"\n"
           "type = \"gui\"\n" +
           extra +
           "\n[keys]\n"
           "bundle_signing = \"sign.key\"\n"
           "bundle_root = \"root.key\"\n"
           "image_root = \"image.key\"\n" +
           files;
  }

  // The one-line error of a bad project.
  std::string ErrorOf(const std::string& text) {
    try {
      kzpack::ParseProject(text, ProjectPath());
    } catch (const kzpack::ToolError& error) {
      const std::string message = error.what();
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
      return message;
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return "";
  }

  kztest::TempDir dir_;
};

TEST_F(ProjectTest, ValidProjectResolvesPathsAndGeneratesOneScriptLinePerFile) {
  const std::string files =
      "[[file]]\nsource = \"a.dll\"\narch = \"x64\"\nwindows = \"6+\"\ntarget = \"bin\\\\a.dll\"\n"
      "[[file]]\nsource = \"b.txt\"\nname = \"docs.txt\"\n";
  const kzpack::Project p = kzpack::ParseProject(Text("", files), ProjectPath());
  EXPECT_EQ(p.stub, PathOf("Stub.exe"));
  EXPECT_EQ(p.runType, "gui");
  EXPECT_EQ(p.certificateExpiry, 0x7FFFFFFF);
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[0].name, "a.dll");
  EXPECT_EQ(p.files[1].name, "docs.txt");
  EXPECT_EQ(p.files[1].target, "docs.txt");
  EXPECT_EQ(p.files[0].line, 9);
  EXPECT_EQ(kzpack::ProjectScript(p),
            "# written by kzpack build\n"
            "dep-x64-w6+-gui,a.dll,bin\\a.dll\n"
            "dep-gui,docs.txt,docs.txt\n");
}

TEST_F(ProjectTest, VerbatimScriptAndOptionalSettings) {
  const kzpack::Project p = kzpack::ParseProject(
      Text("script_file = \"script.txt\"\nchunk_size = 4096\ncompression = 0\nsg1_payload = \"extra\"\n",
           "certificate_expiry = 2000-01-02\n[[file]]\nsource = \"a.dll\"\n"),
      ProjectPath());
  EXPECT_EQ(kzpack::ProjectScript(p), "dep-gui,a.dll,a.dll\n");
  EXPECT_EQ(p.chunkSize, 4096u);
  EXPECT_EQ(p.compression, 0);
  EXPECT_EQ(p.sg1Payload, PathOf("extra"));
  EXPECT_EQ(p.certificateExpiry, 946771200);
}

TEST_F(ProjectTest, OverridesReplaceTheFilesValues) {
  kzpack::ProjectOverrides overrides;
  overrides.runType = "silent";
  overrides.stub = PathOf("setup.exe");
  const kzpack::Project p = kzpack::ParseProject(Text(), ProjectPath(), overrides);
  EXPECT_EQ(p.runType, "silent");
  EXPECT_EQ(p.stub, PathOf("setup.exe"));
}

TEST_F(ProjectTest, ErrorsNameFileLineAndKey) {
  const std::string file = ProjectPath();
  EXPECT_EQ(ErrorOf(Text("compression = 12\n")), file + ":4: compression: must be between 0 and 9");
  EXPECT_EQ(ErrorOf(Text("stubb = \"x\"\n")), file + ":4: stubb: unknown table or key");
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"missing.dll\"\n")),
            file + ":10: file.source: file not found: " + PathOf("missing.dll"));
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\narch = \"arm\"\n")),
            file + ":11: file.arch: must be \"any\", \"x64\" or \"x86\"");
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\ntarget = \"..\\\\evil.dll\"\n")),
            file + ":11: file.target: \"..\\evil.dll\" must be a relative path inside the workspace");
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\ntarget = \"sub\\\\nul.txt\"\n")),
            file + ":11: file.target: \"sub\\nul.txt\" names a Windows device (CON, NUL, COM1, ...); choose "
                   "another file name");
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\n[[file]]\nsource = \"a.dll\"\n")),
            file + ":12: file.name: \"a.dll\" is already in the bundle");
  // Syntax errors come from the TOML reader, with its line.
  const std::string syntax = ErrorOf("stub = \"Stub.exe\"\nsetup = [1,\n\n[keys]\n");
  EXPECT_EQ(syntax.rfind(file + ":", 0), 0u) << syntax;
  EXPECT_NE(syntax.find(":4: "), std::string::npos) << syntax;
}

TEST_F(ProjectTest, MissingAndConflictingSettingsAreRefused) {
  const std::string file = ProjectPath();
  EXPECT_NE(ErrorOf("stub = \"Stub.exe\"\ntype = \"gui\"\n[keys]\n").find(file + ":"), std::string::npos);
  EXPECT_NE(ErrorOf("stub = \"Stub.exe\"\ntype = \"gui\"\n[keys]\n").find("setup: missing (required)"),
            std::string::npos);
  // Without stub = the build takes the stub installed with kzpack.
  EXPECT_EQ(kzpack::ParseProject(Text().substr(Text().find('\n') + 1), ProjectPath()).stub, "");
  // A run type with a comma or blank would break the script's flags field.
  EXPECT_NE(ErrorOf(Text().replace(Text().find("\"gui\""), 5, "\"g ui\"")).find(":3: type:"), std::string::npos);
  // Exactly one way to get the certificate.
  const std::string both = Text() + "bundle_certificate = \"b.txt\"\n";
  EXPECT_NE(ErrorOf(both).find("give exactly one of bundle_certificate and bundle_root"), std::string::npos);
  // A verbatim script says where files go; per-file targets would be ignored.
  EXPECT_NE(ErrorOf(Text("script = \"dep-gui,a.dll,a.dll\"\n", "[[file]]\nsource = \"a.dll\"\ntarget = \"x\"\n"))
                .find("file.target: not allowed with a verbatim script"),
            std::string::npos);
  // A selected script line that names no file is caught before anything is built.
  EXPECT_NE(ErrorOf(Text("script = \"\"\"\n# c\ndep-x86-gui,nothere.dll,x.dll\n\"\"\"\n")).find("line 2 of the script: "
                                                                                                  "the bundle has no "
                                                                                                  "entry \"nothere.dll\""),
            std::string::npos);
}

}  // namespace

// Identities are only what the author states; the entries and the bill of
// materials path come from the same file.
TEST_F(ProjectTest, FileIdentitiesAndTheBillOfMaterials) {
  const std::string files =
      "[[file]]\nsource = \"a.dll\"\n[file.identity]\nname = \"alib\"\nversion = \"1.2\"\n"
      "purl = \"pkg:generic/alib@1.2\"\nlicense = \"MIT OR Apache-2.0\"\nsupplier = \"A Corp\"\n"
      "[[file]]\nsource = \"b.txt\"\nidentity = { version = \"3\" }\n";
  const kzpack::Project p = kzpack::ParseProject(Text("sbom = \"out/app.cdx.json\"\n", files), ProjectPath());
  EXPECT_EQ(p.sbom, PathOf("out/app.cdx.json"));
  ASSERT_EQ(p.files.size(), 2u);
  const kzpack::FileIdentity& a = p.files[0].identity;
  EXPECT_EQ(a.name + "|" + a.version + "|" + a.purl + "|" + a.license + "|" + a.supplier,
            "alib|1.2|pkg:generic/alib@1.2|MIT OR Apache-2.0|A Corp");
  EXPECT_EQ(p.files[1].identity.name, "");
  EXPECT_EQ(p.files[1].identity.version, "3");
  // Describing an installer reads only the [[file]] tables: no stub, setup program or keys needed.
  kztest::WriteFileText(dir_ / "files.toml", "stub = \"gone.exe\"\n" + files);
  const kzpack::Project listed = kzpack::LoadProjectFiles(PathOf("files.toml"));
  EXPECT_EQ(listed.files.size(), 2u);
  EXPECT_EQ(listed.files[0].identity.name, "alib");

  const std::string file = ProjectPath();
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\n[file.identity]\nlicence = \"MIT\"\n")),
            file + ":12: file.identity.licence: unknown key (a typo?)");
  EXPECT_EQ(ErrorOf(Text("", "[[file]]\nsource = \"a.dll\"\nidentity = { purl = \"zlib@1.3\" }\n")),
            file + ":11: file.identity.purl: must be a package URL: \"pkg:<type>/<name>@<version>\"");
  kzpack::ProjectOverrides overrides;
  overrides.sbom = "cli.cdx.json";
  EXPECT_EQ(kzpack::ParseProject(Text("sbom = \"x.json\"\n"), ProjectPath(), overrides).sbom, "cli.cdx.json");
}
