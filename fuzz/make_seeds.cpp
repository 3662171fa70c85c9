// Writes the seed corpus of every target into OUT/<target>/, made with the test-side
// packer, signer and PNG writer: well-formed inputs of each reader, a few cut ones.
// Usage: fuzz_make_seeds OUT
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/packer.h"
#include "tests/support/png_writer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> archiveSeeds(bool withSignature) {
  hvpack::ArchiveBuilder archive;
  archive.folder("bin").file("bin/run.sh", "#!/bin/sh\necho hi\n").file("empty.txt", "");
  archive.folder("lib/deep").file("lib/deep/data.bin", std::string(300, '\x7f'));
  archive.pack200("lib/app.jar", "PK\x03\x04 jar bytes");
  std::vector<std::string> seeds = {archive.bytes(), archive.bytes().substr(0, 40)};
  if (withSignature) {
    seeds.push_back(archive.signedBytes(2048));
    hvpack::ArchiveBuilder one;
    one.file("a", "b");
    seeds.push_back(one.signedBytes(2048));
  }
  return seeds;
}

// Archives whose entries are archives, one and two deep, in each compressed format; with
// a signature every archive carries its own (each is checked by itself).
std::vector<std::string> nestedSeeds(bool withSignature) {
  auto stream = [withSignature](const hvpack::ArchiveBuilder& archive) {
    return withSignature ? archive.signedBytes(2048) : archive.bytes();
  };
  hvpack::ArchiveBuilder deepest;
  deepest.folder("rt/lib").file("rt/lib/modules", std::string(200, 'm'));
  deepest.pack200("rt/lib/app.jar", "PK\x03\x04 jar");
  hvpack::ArchiveBuilder middle;
  middle.file("rt/release", "JAVA_VERSION=17\n");
  middle.nested("rt/inner.p2.l2", stream(deepest), hvpack::NestedFormat::LzmaAlone);
  std::vector<std::string> seeds;
  const hvpack::NestedFormat formats[] = {
      hvpack::NestedFormat::LzmaAlone, hvpack::NestedFormat::Xz,
      hvpack::NestedFormat::LzmaAloneKnownSize, hvpack::NestedFormat::XzInBlocks};
  for (hvpack::NestedFormat format : formats) {
    hvpack::ArchiveBuilder outer;
    outer.folder("rt").nested("rt.p2.l2", stream(deepest), format).file("after", "x");
    seeds.push_back(stream(outer));
  }
  hvpack::ArchiveBuilder twoDeep;
  twoDeep.nested("updater.p2.l2", stream(middle), hvpack::NestedFormat::LzmaAlone)
      .nested("app.p2.l2", stream(deepest), hvpack::NestedFormat::Xz);
  seeds.push_back(stream(twoDeep));
  seeds.push_back(seeds.back().substr(0, seeds.back().size() / 2));
  return seeds;
}

std::vector<std::string> paramsSeeds() {
  hvpack::ParamsBlock params;
  params.pairs = {{"update_url", "https://updates.test/app/"},
                  {"show_no_ui", "true"},
                  {"splash_buffer", "12"},
                  {"splash_image", hvpack::base64Encode("\x89PNG\r\n\x1a\n....")},
                  {"jre_name", "jre17"},
                  {"wrapper_autotest", "1"},
                  {"custom", ""}};
  hvpack::ParamsBlock cut;
  cut.pairs = {{"a", "b"}};
  cut.countText = "3";
  return {params.bytes(), cut.bytes()};
}

std::vector<std::string> tailSeeds() {
  hvpack::TailBlock tail;
  tail.header = {"Fuzz App", "1.0", "17", "12", "500", Signer_publicKeyHex(2048), "true",
                 "full", "--silent", "17", "D", "1"};
  hvpack::TailBlock plain = tail;
  plain.header.signaturePublicKey = "";
  plain.header.updateUrl = "https://updates.test/";
  hvpack::TailBlock cut = plain;
  cut.headerValues = 7;
  return {tail.bytes(), plain.bytes(), cut.bytes()};
}

std::vector<std::string> launchSeeds() {
  std::vector<std::string> seeds;
  for (long long version : {2, 4, 6}) {
    hvpack::LaunchFile file;
    file.version = version;
    file.mainClass = "app.Main";
    file.appName = "FuzzApp";
    file.jvmMemMb = 64;
    file.classPath = {"lib/a.jar", "lib/b.jar"};
    file.extraArgs = {"--extra"};
    file.compatibilityClass = "app.Compat";
    file.appJvmOptions = {"-Dapp=1"};
    file.mustFork = true;
    seeds.push_back(file.bytes());
  }
  return seeds;
}

std::vector<std::string> lsoSeeds() {
  hvpack::LsoFile lso;
  lso.options = {"-Xmx256m", "-Dlso=1", ""};
  hvpack::LsoFile counted;
  counted.options = {"-Da=1"};
  counted.count = 4;
  return {lso.bytes(), counted.bytes()};
}

std::vector<std::string> pngSeeds() {
  ScratchDir dir;
  std::vector<PngPicture> pictures;
  pictures.push_back(rgbaPicture(3, 2, [](uint32_t x, uint32_t y) { return x * 0x40302010u + y; }));
  PngPicture palette;
  palette.width = 2;
  palette.height = 2;
  palette.colorType = 3;
  palette.samples = {0, 1, 1, 0};
  palette.palette = {0xFF0000, 0x00FF00};
  palette.paletteAlpha = {0x80, 0xFF};
  pictures.push_back(palette);
  PngPicture gray;
  gray.width = 4;
  gray.height = 1;
  gray.colorType = 0;
  gray.bitDepth = 2;
  gray.interlaced = true;
  gray.samples = {0, 1, 2, 3};
  pictures.push_back(gray);
  std::vector<std::string> seeds;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const std::string path = dir / ("p" + std::to_string(i) + ".png");
    if (writePng(path, pictures[i])) seeds.push_back(readFileBytes(path));
  }
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUT\n", argv[0]);
    return 2;
  }
  const std::pair<const char*, std::vector<std::string>> sets[] = {
      {"archive", archiveSeeds(false)},   {"archive_signed", archiveSeeds(true)},
      {"archive_nested", nestedSeeds(false)}, {"archive_nested_signed", nestedSeeds(true)},
      {"params", paramsSeeds()},          {"tail_header", tailSeeds()},
      {"launch_file", launchSeeds()},     {"lso_file", lsoSeeds()},
      {"png", pngSeeds()},
  };
  for (const auto& [name, seeds] : sets) {
    const fs::path folder = fs::path(argv[1]) / name;
    fs::create_directories(folder);
    for (size_t i = 0; i < seeds.size(); ++i) {
      writeFileBytes((folder / ("seed-" + std::to_string(i))).string(), seeds[i]);
    }
  }
  return 0;
}
