// The elevation driver (build/bin/elevation_driver) stands in for the launcher at its
// elevation road, for tests with fake elevation tools: it starts as the launcher does
// (init of the splash, the relaunch marker taken at once), records each start, and takes
// Extractor_elevationRoad with a run whose Tail ring holds the bytes of a file. Every
// process of a test (driver, fake tools) appends its call to one record file: each field
// followed by 0x00, a call ended by the field "\x1e".
#pragma once

#include <cctype>
#include <string>
#include <vector>

// Record file of the driver's starts: "driver", "marker" or "none" (the relaunch marker
// found at start), "left" or "gone" (the marker in the environment after start-up), then
// the whole argument vector.
inline constexpr char ELEVATION_DRIVER_RECORD_ENV[] = "HV_ELEVATION_DRIVER_RECORD";
// A file whose bytes fill the Tail ring (archive entries); none: an empty ring.
inline constexpr char ELEVATION_DRIVER_ENTRIES_ENV[] = "HV_ELEVATION_DRIVER_ENTRIES";
// Set: a silent run.
inline constexpr char ELEVATION_DRIVER_SILENT_ENV[] = "HV_ELEVATION_DRIVER_SILENT";
// "Can Override Splash" of the run, and a file whose bytes are the dynamic splash image.
inline constexpr char ELEVATION_DRIVER_OVERRIDE_ENV[] = "HV_ELEVATION_DRIVER_OVERRIDE";
inline constexpr char ELEVATION_DRIVER_IMAGE_ENV[] = "HV_ELEVATION_DRIVER_IMAGE";

inline constexpr char RECORD_END_FIELD[] = "\x1e";

// The road's private picture folder as its "Native Splash PNG path is" line names it,
// when that is a "/tmp/hvelevation-" folder with a six-character mkdtemp suffix; else "".
inline std::string elevationPictureFolder(const std::string& output) {
  const std::string line = "[Extractor] Native Splash PNG path is ";
  const std::string prefix = "/tmp/hvelevation-";
  const size_t at = output.find(line);
  if (at == std::string::npos) return "";
  const size_t start = at + line.size();
  const size_t end = output.find("/nativesplash.png\n", start);
  if (end == std::string::npos) return "";
  const std::string folder = output.substr(start, end - start);
  if (folder.size() != prefix.size() + 6 || folder.compare(0, prefix.size(), prefix) != 0) {
    return "";
  }
  for (size_t i = prefix.size(); i < folder.size(); ++i) {
    if (isalnum(static_cast<unsigned char>(folder[i])) == 0) return "";
  }
  return folder;
}

// The calls of a record file in order; empty when it is missing.
inline std::vector<std::vector<std::string>> parseCallRecords(const std::string& bytes) {
  std::vector<std::vector<std::string>> calls;
  std::vector<std::string> call;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    std::string field = bytes.substr(start, end - start);
    if (field == RECORD_END_FIELD) {
      calls.push_back(call);
      call.clear();
    } else {
      call.push_back(field);
    }
  }
  return calls;
}
