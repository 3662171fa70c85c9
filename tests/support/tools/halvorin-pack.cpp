// halvorin-pack: builds installers, archives, launch files and LSO files for tests and
// demos from a small manifest or from flags.
//
//   halvorin-pack installer MANIFEST [-l LAUNCHER] [-o OUTPUT]
//   halvorin-pack archive MANIFEST [-o OUTPUT]
//   halvorin-pack launch-file OUTPUT [flags]       (see usage())
//   halvorin-pack lso-file OUTPUT [OPTION...]
//
// Manifest: one directive per line; '#' starts a comment line; words are separated by
// blanks; relative file names are taken from the manifest's folder. For param and
// header the value is the rest of the line after the name and one blank (it may be
// empty or hold blanks).
//
//   launcher FILE            installer: the launcher binary to copy (-l overrides)
//   output FILE              where to write (-o overrides)
//   order params-first|tail-first
//   sign-key BITS            sign every "signed" archive with the committed test key of
//                            BITS (2048 or 4096), or with "extracttest" the key whose
//                            public half the launcher's extract test holds; its public
//                            key becomes the header's public_key unless that is given
//   sign-key PATH            the same with a key pair of one's own: PATH (it holds a '/')
//                            is the prefix of PATH_private.hex (hex of a DER PKCS#1
//                            RSAPrivateKey) and PATH_public.hex (hex of the DER
//                            SubjectPublicKeyInfo), e.g. demo/keys/demo
//   param NAME VALUE         a dynamic property, in order
//   param-file NAME FILE     the same with the file's bytes as the value
//   param-base64 NAME FILE   the same with the file's bytes in Base64 (splash_image)
//   header KEY VALUE         a Tail header value; KEY is one of app_name app_version
//                            jre_version qv_version min_splash_ms public_key
//                            can_override_splash install_type silent_parameter
//                            java_version update_url skip_system_jre; without an
//                            update_url line the placeholder update URL is written
//   compress xz|xz-blocks|lzma|none
//                            archive: how the output is compressed (default none);
//                            xz-blocks as "xz -T0" writes it, in blocks of 24 MiB
//                            whose headers carry their sizes (decoded on several threads)
//   sign                     archive: end the stream with a SignatureBlock
//   pad-to SIZE              archive: fill the output up to SIZE bytes after the
//                            compressed stream (the extract test's "test.p2.l2" is
//                            63586021 bytes)
// Entries (in the installer the top-level ones are the tail entries, in order: their
// number must match what the header announces, and the first two must be the paths
// "lzma64" and "nativesplash.png"):
//   folder PATH
//   file PATH SOURCE         a plain file with SOURCE's bytes
//   pack200 PATH SOURCE      a pack200 entry of SOURCE, packed the way the test
//                            runtime's bin/unpack200 unpacks
//   dir SOURCE [PREFIX]      SOURCE's contents as folder and file entries under PREFIX
//                            (not as tail entries)
//   tree PATH SOURCE [signed]  a nested archive (PATH ends in p2.l2) of SOURCE's contents
//   nested PATH [signed]     a nested archive of the entries up to the matching "end"
//   end
#include "tests/support/markers.h"
#include "tests/support/packer.h"
#include "tests/support/scratch_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace hvpack;
namespace fs = std::filesystem;

void usage() {
  std::fputs(
      "usage:\n"
      "  halvorin-pack installer MANIFEST [-l LAUNCHER] [-o OUTPUT]\n"
      "  halvorin-pack archive MANIFEST [-o OUTPUT]\n"
      "  halvorin-pack launch-file OUTPUT [--version N] [--class C] [--class-on-update C]\n"
      "      [--app-name NAME] [--os-icns TEXT] [--url-required] [--jvm-mem MB]\n"
      "      [--jvm-stack MB] [--classpath ENTRY]... [--extra-arg ARG]...\n"
      "      [--compat-class C] [--post-install-class C] [--pre-uninstall-class C]\n"
      "      [--jvm-option OPTION]... [--must-fork]\n"
      "  halvorin-pack lso-file OUTPUT [OPTION...]\n"
      "The manifest directives are described at the top of halvorin-pack.cpp.\n",
      stderr);
}

struct Line {
  int number;
  std::vector<std::string> words;
  std::string rest;  // after the first two words and one blank (param/header values)
};

std::string restAfterTwoWords(const std::string& text) {
  size_t i = 0;
  for (int word = 0; word < 2; ++word) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
  }
  return i < text.size() ? text.substr(i + 1) : std::string();
}

std::vector<Line> readManifest(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw PackError("cannot open the manifest " + path);
  std::vector<Line> lines;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::istringstream split(text);
    Line line{number, {}, restAfterTwoWords(text)};
    for (std::string w; split >> w;) line.words.push_back(w);
    if (line.words.empty() || line.words[0][0] == '#') continue;
    lines.push_back(std::move(line));
  }
  return lines;
}

struct Manifest {
  std::string folder;  // relative names are taken from here
  std::vector<Line> lines;
  size_t next = 0;
  std::string signKey;  // a committed pair's name (see signer.h); empty: no key given

  std::string resolve(const std::string& name) const {
    return fs::path(name).is_absolute() ? name : (fs::path(folder) / name).string();
  }
};

[[noreturn]] void fail(const Line& line, const std::string& message) {
  throw PackError("line " + std::to_string(line.number) + ": " + message);
}

void expectWords(const Line& line, size_t least, size_t most) {
  if (line.words.size() < least || line.words.size() > most)
    fail(line, "wrong number of words for \"" + line.words[0] + "\"");
}

bool signedFlag(const Line& line, size_t index) {
  if (line.words.size() <= index) return false;
  if (line.words[index] != "signed") fail(line, "expected \"signed\"");
  return true;
}

std::string finishArchive(const ArchiveBuilder& archive, bool sign, Manifest& m, const Line& line) {
  if (!sign) return archive.bytes();
  if (m.signKey.empty()) fail(line, "\"signed\" needs a sign-key line before it");
  return archive.signedBytes(namedKeySigner(m.signKey));
}

void readSignKey(Manifest& m, const Line& line) {
  expectWords(line, 2, 2);
  const std::string& key = line.words[1];
  if (key == "extracttest") {
    m.signKey = EXTRACT_TEST_KEY_NAME;
  } else if (key == "2048" || key == "4096") {
    m.signKey = "rsa" + key;
  } else if (key.find('/') != std::string::npos) {
    m.signKey = fs::absolute(m.resolve(key)).string();
    if (!fs::exists(m.signKey + "_private.hex") || !fs::exists(m.signKey + "_public.hex"))
      fail(line, "no key pair " + m.signKey + "_private.hex and _public.hex");
  } else {
    fail(line, "sign-key is 2048, 4096, extracttest or the path of a key pair");
  }
}

// Handles one entry directive into archive; returns false when the line is no entry.
bool addEntry(Manifest& m, const Line& line, ArchiveBuilder& archive);

// Reads entries up to the matching "end".
ArchiveBuilder readNested(Manifest& m, const Line& opener) {
  ArchiveBuilder inner;
  while (m.next < m.lines.size()) {
    const Line& line = m.lines[m.next++];
    if (line.words[0] == "end") {
      expectWords(line, 1, 1);
      return inner;
    }
    if (!addEntry(m, line, inner)) fail(line, "\"" + line.words[0] + "\" inside a nested archive");
  }
  fail(opener, "nested archive without \"end\"");
}

bool addEntry(Manifest& m, const Line& line, ArchiveBuilder& archive) {
  const std::string& d = line.words[0];
  if (d == "folder") {
    expectWords(line, 2, 2);
    archive.folder(line.words[1]);
  } else if (d == "file") {
    expectWords(line, 3, 3);
    archive.file(line.words[1], readInputFile(m.resolve(line.words[2])));
  } else if (d == "pack200") {
    expectWords(line, 3, 3);
    archive.pack200(line.words[1], readInputFile(m.resolve(line.words[2])));
  } else if (d == "dir") {
    expectWords(line, 2, 3);
    archive.tree(m.resolve(line.words[1]), line.words.size() > 2 ? line.words[2] : "");
  } else if (d == "tree") {
    expectWords(line, 3, 4);
    ArchiveBuilder inner;
    inner.tree(m.resolve(line.words[2]));
    archive.nested(line.words[1], finishArchive(inner, signedFlag(line, 3), m, line));
  } else if (d == "nested") {
    expectWords(line, 2, 3);
    const bool sign = signedFlag(line, 2);
    const ArchiveBuilder inner = readNested(m, line);
    archive.nested(line.words[1], finishArchive(inner, sign, m, line));
  } else {
    return false;
  }
  return true;
}

std::string* headerField(TailHeader& h, const std::string& key) {
  const std::map<std::string, std::string*> fields = {
      {"app_name", &h.appName},
      {"app_version", &h.appVersion},
      {"jre_version", &h.jreVersion},
      {"qv_version", &h.qvVersion},
      {"min_splash_ms", &h.minSplashMs},
      {"public_key", &h.signaturePublicKey},
      {"can_override_splash", &h.canOverrideSplash},
      {"install_type", &h.installType},
      {"silent_parameter", &h.silentParameter},
      {"java_version", &h.requiredJavaVersion},
      {"update_url", &h.updateUrl},
      {"skip_system_jre", &h.skipSystemJre},
  };
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : it->second;
}

struct Options {
  std::string output;
  std::string launcher;
};

Manifest loadManifest(const std::string& path) {
  Manifest m;
  m.folder = fs::path(path).parent_path().string();
  if (m.folder.empty()) m.folder = ".";
  m.lines = readManifest(path);
  return m;
}

int packInstaller(const std::string& manifestPath, Options options) {
  Manifest m = loadManifest(manifestPath);
  ParamsBlock params;
  TailBlock tail;
  ArchiveBuilder entries;
  BlockOrder order = BlockOrder::ParamsFirst;
  bool publicKeyGiven = false;
  bool updateUrlGiven = false;
  std::vector<std::string> entryPaths;  // the top-level entries: the tail's sequence
  while (m.next < m.lines.size()) {
    const Line& line = m.lines[m.next++];
    const std::string& d = line.words[0];
    if (d == "launcher" || d == "output") {
      expectWords(line, 2, 2);
      std::string& target = d == "launcher" ? options.launcher : options.output;
      if (target.empty()) target = m.resolve(line.words[1]);
    } else if (d == "order") {
      expectWords(line, 2, 2);
      if (line.words[1] != "params-first" && line.words[1] != "tail-first")
        fail(line, "order is params-first or tail-first");
      order = line.words[1] == "params-first" ? BlockOrder::ParamsFirst : BlockOrder::TailFirst;
    } else if (d == "sign-key") {
      readSignKey(m, line);
    } else if (d == "param") {
      expectWords(line, 2, SIZE_MAX);
      params.pairs.emplace_back(line.words[1], line.rest);
    } else if (d == "param-file" || d == "param-base64") {
      expectWords(line, 3, 3);
      const std::string bytes = readInputFile(m.resolve(line.words[2]));
      params.pairs.emplace_back(line.words[1], d == "param-file" ? bytes : base64Encode(bytes));
    } else if (d == "header") {
      expectWords(line, 2, SIZE_MAX);
      std::string* field = headerField(tail.header, line.words[1]);
      if (field == nullptr) fail(line, "unknown header key " + line.words[1]);
      *field = line.rest;
      publicKeyGiven = publicKeyGiven || line.words[1] == "public_key";
      updateUrlGiven = updateUrlGiven || line.words[1] == "update_url";
    } else if (d == "dir") {
      fail(line, "\"dir\" would add several tail entries; use tree or nested");
    } else if (addEntry(m, line, entries)) {
      entryPaths.push_back(line.words[1]);
    } else {
      fail(line, "unknown directive \"" + d + "\"");
    }
  }
  if (options.launcher.empty()) throw PackError("no launcher given (-l or a launcher line)");
  if (options.output.empty()) throw PackError("no output given (-o or an output line)");
  if (!publicKeyGiven && !m.signKey.empty())
    tail.header.signaturePublicKey = Signer_publicKeyHexOf(m.signKey.c_str());
  // Without an update site the packaging side writes the placeholder.
  if (!updateUrlGiven) tail.header.updateUrl = PLACEHOLDER_UPDATE_URL;
  const int expected = expectedTailEntries(tail.header);
  if (static_cast<int>(entryPaths.size()) != expected)
    throw PackError("the header announces " + std::to_string(expected) +
                    " tail entries but the manifest has " + std::to_string(entryPaths.size()));
  // The launcher addresses the first two entries by these names.
  const char* fixedNames[] = {"lzma64", "nativesplash.png"};
  for (size_t i = 0; i < 2 && i < entryPaths.size(); ++i)
    if (entryPaths[i] != fixedNames[i])
      throw PackError("tail entry " + std::to_string(i + 1) + " must be " + fixedNames[i] +
                      ", not " + entryPaths[i]);
  tail.entries = entries.bytes();
  const std::string appended = wrapperTail(params, tail, order);
  packLauncher(options.launcher, options.output, appended);
  // The launcher takes the first marker its forward scan meets: make sure each block
  // is found where it was put.
  const std::string image = readFileBytes(options.output);
  const size_t base = image.size() - appended.size();
  const size_t paramsAt = base + (order == BlockOrder::ParamsFirst ? 0 : tailSection(tail).size());
  const size_t tailAt = base + (order == BlockOrder::TailFirst ? 0 : paramsSection(params).size());
  if (scanForMarker(image, paramsMarker()) != paramsAt ||
      scanForMarker(image, tailMarker()) != tailAt)
    throw PackError("a marker is found before its block; the launcher would misread the tail");
  std::printf("wrote %s (%zu bytes of wrapper tail)\n", options.output.c_str(), appended.size());
  return 0;
}

int packArchive(const std::string& manifestPath, Options options) {
  Manifest m = loadManifest(manifestPath);
  ArchiveBuilder archive;
  std::string compress = "none";
  bool sign = false;
  const Line* signLine = nullptr;
  long long padTo = -1;
  while (m.next < m.lines.size()) {
    const Line& line = m.lines[m.next++];
    const std::string& d = line.words[0];
    if (d == "output") {
      expectWords(line, 2, 2);
      if (options.output.empty()) options.output = m.resolve(line.words[1]);
    } else if (d == "sign-key") {
      readSignKey(m, line);
    } else if (d == "compress") {
      expectWords(line, 2, 2);
      compress = line.words[1];
      if (compress != "xz" && compress != "xz-blocks" && compress != "lzma" && compress != "none")
        fail(line, "compress is xz, xz-blocks, lzma or none");
    } else if (d == "sign") {
      expectWords(line, 1, 1);
      sign = true;
      signLine = &line;
    } else if (d == "pad-to") {
      expectWords(line, 2, 2);
      padTo = std::stoll(line.words[1]);
    } else if (!addEntry(m, line, archive)) {
      fail(line, "unknown directive \"" + d + "\"");
    }
  }
  if (options.output.empty()) throw PackError("no output given (-o or an output line)");
  std::string bytes = sign ? finishArchive(archive, true, m, *signLine) : archive.bytes();
  if (compress == "xz") bytes = xzCompress(bytes);
  if (compress == "xz-blocks") bytes = xzCompressInBlocks(bytes, 0);
  if (compress == "lzma") bytes = lzmaAloneCompress(bytes);
  if (padTo >= 0) {
    if (static_cast<size_t>(padTo) < bytes.size()) throw PackError("pad-to is below the archive's size");
    bytes.resize(static_cast<size_t>(padTo), '\0');
  }
  writeFileBytes(options.output, bytes);
  std::printf("wrote %s (%zu bytes)\n", options.output.c_str(), bytes.size());
  return 0;
}

long long numberArg(const std::string& flag, const char* text) {
  char* end = nullptr;
  const long long n = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0') throw PackError(flag + " needs a number");
  return n;
}

int writeLaunchFile(int argc, char** argv) {
  if (argc < 3) throw PackError("launch-file needs an output");
  LaunchFile f;
  const std::map<std::string, std::string*> strings = {
      {"--class", &f.mainClass},
      {"--class-on-update", &f.classOnUpdate},
      {"--app-name", &f.appName},
      {"--os-icns", &f.osIcns},
      {"--compat-class", &f.compatibilityClass},
      {"--post-install-class", &f.postInstallClass},
      {"--pre-uninstall-class", &f.preUninstallClass},
  };
  const std::map<std::string, std::vector<std::string>*> lists = {
      {"--classpath", &f.classPath},
      {"--extra-arg", &f.extraArgs},
      {"--jvm-option", &f.appJvmOptions},
  };
  const std::map<std::string, long long*> numbers = {
      {"--version", &f.version}, {"--jvm-mem", &f.jvmMemMb}, {"--jvm-stack", &f.jvmStackMb}};
  for (int i = 3; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--url-required") {
      f.urlRequired = true;
      continue;
    }
    if (flag == "--must-fork") {
      f.mustFork = true;
      continue;
    }
    if (i + 1 >= argc) throw PackError(flag + " needs a value");
    const char* value = argv[++i];
    if (auto s = strings.find(flag); s != strings.end()) {
      *s->second = value;
    } else if (auto l = lists.find(flag); l != lists.end()) {
      l->second->push_back(value);
    } else if (auto n = numbers.find(flag); n != numbers.end()) {
      *n->second = numberArg(flag, value);
    } else {
      throw PackError("unknown flag " + flag);
    }
  }
  writeFileBytes(argv[2], f.bytes());
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 3) {
    usage();
    return 2;
  }
  const std::string command = argv[1];
  if (command == "launch-file") return writeLaunchFile(argc, argv);
  if (command == "lso-file") {
    LsoFile f;
    for (int i = 3; i < argc; ++i) f.options.push_back(argv[i]);
    writeFileBytes(argv[2], f.bytes());
    return 0;
  }
  Options options;
  for (int i = 3; i < argc; ++i) {
    const std::string flag = argv[i];
    if ((flag == "-o" || flag == "-l") && i + 1 < argc) {
      (flag == "-o" ? options.output : options.launcher) = argv[++i];
    } else {
      usage();
      return 2;
    }
  }
  if (command == "installer") return packInstaller(argv[2], options);
  if (command == "archive") return packArchive(argv[2], options);
  usage();
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "halvorin-pack: %s\n", e.what());
    return 1;
  }
}
