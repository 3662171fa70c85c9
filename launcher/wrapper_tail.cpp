#include "launcher/wrapper_tail.h"

#include <climits>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/hexbase64.h"
#include "core/launch_property_list.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/property_stream.h"
#include "core/ring_buffer.h"
#include "launcher/markers.h"
#include "pipeline/file_reader.h"
#include "pipeline/http_downloader.h"
#include "pipeline/signature.h"
#include "splash/splash_window.h"

namespace {

constexpr int TAIL_HEADER_VALUES = 12;
constexpr int LOGGED_VALUE_LENGTH = 100;        // longer Params values are logged cut
constexpr int LOGGED_SPLASH_IMAGE_LENGTH = 99;  // the same for the splash image line

const char PLUS_LINE[] = "++++++++++++++++++++++++++++++++++++++++++++++++\n";

// The header values in the order the tail holds them, with their buffer sizes.
struct HeaderValue {
  const char* name;
  int32_t size;
  char* TailHeader::*field;
};
const HeaderValue HEADER_VALUES[TAIL_HEADER_VALUES] = {
    {"App Name", 1024, &TailHeader::appName},
    {"App Version", 1024, &TailHeader::appVersion},
    {"JRE Version", 1024, &TailHeader::jreVersion},
    {"QV Version", 1024, &TailHeader::qvVersion},
    {"Min Splash MS", 1024, &TailHeader::minSplashMs},
    {"Signature Public Key", 8192, &TailHeader::signaturePublicKey},
    {"Can Override Splash", 1024, &TailHeader::canOverrideSplash},
    {"Install Type", 1024, &TailHeader::installType},
    {"Silent Parameter", 1024, &TailHeader::silentParameter},
    {"Required Java Version", 1024, &TailHeader::requiredJavaVersion},
    {"Update URL", PATH_BUFFER_SIZE, &TailHeader::updateUrl},
    {"Skip System JRE", 2, &TailHeader::skipSystemJre},
};

// The static launch properties in the order they are stored; "JRE Version" is not one.
struct StaticProperty {
  const char* key;
  char* TailHeader::*field;
};
const StaticProperty STATIC_PROPERTIES[] = {
    {"update_url", &TailHeader::updateUrl},
    {"install_type", &TailHeader::installType},
    {"min_splash_ms", &TailHeader::minSplashMs},
    {"hvsig_public_key", &TailHeader::signaturePublicKey},
    {"can_override_splash", &TailHeader::canOverrideSplash},
    {"app_name", &TailHeader::appName},
    {"wrapper_app_version", &TailHeader::appVersion},
    {"wrapper_qv_version", &TailHeader::qvVersion},
    {"silent_parameter", &TailHeader::silentParameter},
    {"java_version", &TailHeader::requiredJavaVersion},
    {"skip_system_jre", &TailHeader::skipSystemJre},
};

void* allocateZeroed(size_t size) {
  void* block = calloc(size, 1);
  if (block == nullptr) {
    logMessage("[Extractor] Out of memory\n");
    endProcess(1);
  }
  return block;
}

RingBuffer* openAtMarker(const char* path, const unsigned char* marker, int32_t size,
                         const char* name, const char* openFailure) {
  FILE* file = openFileForReading(path);
  if (file == nullptr) {
    logFileError("[Extractor]", "open", path, errno);
    logMessage(openFailure, path);
    endProcess(1);
  }
  if (findMarker(file, marker, size, name) < 0) endProcess(1);
  return Streamer_startFileReader(file);
}

// atoi's reading of the text, kept within int32 so that no text is undefined.
int32_t splashBorderOf(const char* text) {
  const long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void decodeSplashImage(ExtractorRun* run, const char* value) {
  const size_t length = strlen(value);
  if (length > LOGGED_SPLASH_IMAGE_LENGTH) {
    logMessage("[DynProps] Splash Image is %.99s...\n", value);
  } else {
    logMessage("[DynProps] Splash Image is %s\n", value);
  }
  logMessage("[DynProps] Base64 decoding image...\n");
  uint64_t size = 0;
  unsigned char* image = Base64_decode(value, length, &size);
  free(run->dynamicSplashImage);
  run->dynamicSplashImage = image;
  run->dynamicSplashImageSize = image == nullptr ? 0 : size;
  logMessage("[DynProps] Decode complete [image size is %d]\n",
             static_cast<int>(run->dynamicSplashImageSize));
}

// The effect of a recognised name; any other name is only a launch property.
void applyDynamicProperty(ExtractorRun* run, const char* name, char* value) {
  if (strcmp(name, "update_url") == 0) {
    logMessage("[DynProps] Dynamic Update URL: %s\n", value);
    free(run->dynamicUpdateUrl);
    run->dynamicUpdateUrl = value;
  } else if (strcmp(name, "wrapper_autotest") == 0) {
    run->autotest = true;
  } else if (strcmp(name, "show_no_ui") == 0) {
    if (strcmp(value, "true") == 0) run->silent = true;
  } else if (strcmp(name, "splash_buffer") == 0) {
    if (value[0] != 0) setSplashBuffer(splashBorderOf(value));
  } else if (strcmp(name, "splash_image") == 0) {
    decodeSplashImage(run, value);
  } else if (strcmp(name, "jre_name") == 0) {
    if (!staysInFolder(value)) {
      // The name becomes part of folder names that are emptied and replaced.
      logMessage("[DynProps] Ignoring JRE name %s (not a plain name), keeping %s\n", value,
                 run->jreName);
      return;
    }
    snprintf(run->jreName, sizeof run->jreName, "%s", value);
    logMessage("[DynProps] JRE name from dynamic launch properties is %s\n", run->jreName);
  }
}

// A block that ends before its last value comes from a cut launcher file: the later
// steps need every value whole, so the run stops before anything is installed.
[[noreturn]] void endParamsCut(const char* missing, int32_t pair, int32_t count) {
  logMessage("[Extractor] The Params block ends before the %s of pair %d of %d: the launcher "
             "file is cut short\n",
             missing, pair + 1, count);
  endProcess(1);
}

[[noreturn]] void endTailHeaderCut(const char* missing, int index) {
  logMessage("[Extractor] The tail header ends before \"%s\" (value %d of %d): the launcher "
             "file is cut short\n",
             missing, index + 1, TAIL_HEADER_VALUES);
  endProcess(1);
}

}  // namespace

RingBuffer* openParamsStream(const char* path, const unsigned char* marker) {
  return openAtMarker(
      path, marker, PARAMS_MARKER_SIZE, "Params",
      "[Extractor] *********************** Failed to extract wrapper params - couldn't open file %s\n");
}

RingBuffer* openTailStream(const char* path, const unsigned char* marker) {
  RingBuffer* ring = openAtMarker(
      path, marker, TAIL_MARKER_SIZE, "Tail",
      "[Extractor] ************************* Failed to extract wrapper tail - couldn't open file %s\n");
  logMessage("[Extractor] Found tail marker\n");
  return ring;
}

bool isSilentRequested(const char* silentParameter, int argumentCount, char** arguments) {
  if (silentParameter == nullptr || silentParameter[0] == 0) return false;
  for (int i = 0; i < argumentCount; ++i) {
    if (arguments[i] != nullptr && strcmp(arguments[i], silentParameter) == 0) return true;
  }
  return false;
}

const char* ownExecutablePath(const ExtractorRun* run) {
  if (strchr(run->programPath, '/') != nullptr) return run->programPath;
  return run->absoluteLauncherPath;
}

void WrapperTail_start(ExtractorRun* run) {
  archiveSignatureKey.store(nullptr);
  archiveKeyRequired.store(false);
  init();
  // Downloads of known size move the splash's strip.
  setDownloadProgressCallback(setProgress);
  buildParamsMarker(run->paramsMarker);
  run->tailMarker = buildTailMarker();
  if (strchr(run->programPath, '/') == nullptr) {
    // Started through a search of PATH: the current folder may hold another file of
    // that name, so the running executable itself is what gets opened.
    char* exe = static_cast<char*>(allocateZeroed(PATH_BUFFER_SIZE));
    if (getExePath(exe, PATH_BUFFER_SIZE) != 0) {
      logMessage("[Extractor] Cannot resolve the running executable, using /proc/self/exe\n");
      snprintf(exe, PATH_BUFFER_SIZE, "%s", "/proc/self/exe");
    }
    run->absoluteLauncherPath = exe;
  } else {
    // argv[0] is not const in main; the record keeps it as typed.
    run->absoluteLauncherPath = toAbsolutePath(const_cast<char*>(run->programPath));
    if (run->absoluteLauncherPath == nullptr) {
      // The current folder cannot be read or the result is too long: the path as typed
      // is the best the later steps can have.
      logMessage("[Extractor] Cannot make the wrapper path absolute, keeping %s\n",
                 run->programPath);
      run->absoluteLauncherPath = copyString(run->programPath);
    }
  }
  logMessage("[Extractor] The absolute wrapper path is %s\n", run->absoluteLauncherPath);
  logMessage("[Extractor] The executable name is %s\n", run->programPath);
}

void WrapperTail_readParams(ExtractorRun* run) {
  RingBuffer* ring = openParamsStream(ownExecutablePath(run), run->paramsMarker);
  logMessage("[Extractor] Found Params marker. Extracting now...\n");
  WrapperTail_readParamsFrom(run, ring);
}

void WrapperTail_readParamsFrom(ExtractorRun* run, RingBuffer* ring) {
  run->launchProperties = propListCreate(PARAM_VALUE_SIZE);
  // The count is a 32-bit number of the format; -1 when the file ends at the marker.
  const int32_t count = static_cast<int32_t>(readStreamLong(ring, "Params Count"));
  logMessage("\n");
  logMessage("%s", PLUS_LINE);
  logMessage("+++ Processing %d dynamic properties\n", count);
  logMessage("%s", PLUS_LINE);
  run->dynamicSplashImage = nullptr;
  run->dynamicSplashImageSize = 0;
  run->autotest = false;
  run->silent = false;
  // Without an "update_url" pair the dynamic update URL is the empty text.
  run->dynamicUpdateUrl = static_cast<char*>(allocateZeroed(PARAM_VALUE_SIZE));
  for (int32_t i = 0; i < count; ++i) {
    char* name = readStreamStringSized(ring, "Param Name", PARAM_NAME_SIZE);
    if (name == nullptr) endParamsCut("Param Name", i, count);
    char* value = readStreamStringSized(ring, "Param Value", PARAM_VALUE_SIZE);
    if (value == nullptr) endParamsCut("Param Value", i, count);
    if (strlen(value) > LOGGED_VALUE_LENGTH) {
      logMessage("[DynProps] Dynamic Param %d: %s=[%.99s...]\n", i, name, value);
    } else {
      logMessage("[DynProps] Dynamic Param %d: %s=[%s]\n", i, name, value);
    }
    putDynamicProperty(run->launchProperties, name, value);
    applyDynamicProperty(run, name, value);
    // Each value has a buffer of PARAM_VALUE_SIZE bytes: kept, a block of many pairs
    // would exhaust the memory map before its end.
    free(name);
    if (value != run->dynamicUpdateUrl) free(value);
  }
  RingBuffer_close(ring);
  logEnd("Processing dynamic properties");
}

void WrapperTail_readTailHeader(ExtractorRun* run) {
  if (run->prepareOnly) {
    logMessage(
        "[Extractor] This is an elevated run purely to prepare an installation. Will not show UI "
        "or launch an app\n");
  }
  logMessage("\n");
  logStart("Extracting wrapper tail");
  WrapperTail_readTailHeaderFrom(run, openTailStream(ownExecutablePath(run), run->tailMarker));
}

void WrapperTail_readTailHeaderFrom(ExtractorRun* run, RingBuffer* ring) {
  for (int i = 0; i < TAIL_HEADER_VALUES; ++i) {
    const HeaderValue& v = HEADER_VALUES[i];
    char* text = readStreamStringSized(ring, v.name, v.size);
    if (text == nullptr) endTailHeaderCut(v.name, i);
    run->tail.*v.field = text;
  }
  run->tailRing = ring;
  TailHeader& tail = run->tail;
  if (tail.requiredJavaVersion[0] != 0) {
    logMessage("[Extractor] Required Java version %s\n", tail.requiredJavaVersion);
  }
  if (tail.skipSystemJre[0] != 0) logMessage("[Extractor] Skipping System JRE\n");
  if (strcmp(tail.updateUrl, "D") == 0) {
    logMessage("[Extractor] Will use Dynamic Update URL: %s\n", run->dynamicUpdateUrl);
    run->effectiveUpdateUrl = run->dynamicUpdateUrl;
  } else {
    logMessage("[Extractor] Will use Static Update URL: %s\n", tail.updateUrl);
    run->effectiveUpdateUrl = tail.updateUrl;
  }
  if (!run->silent) {
    run->silent = isSilentRequested(tail.silentParameter, run->launcherArgc, run->launcherArgv);
  }
  logMessage("[Extractor] Is silent install is %d\n", run->silent ? 1 : 0);
  logEnd("Extracting tail");
}

void WrapperTail_setupStaticProperties(ExtractorRun* run) {
  logMessage("[Extractor] Setting up static properties\n");
  for (const StaticProperty& p : STATIC_PROPERTIES) {
    putStaticProperty(run->launchProperties, p.key, run->tail.*p.field);
  }
  if (run->silent) putStaticProperty(run->launchProperties, "show_no_ui", "true");

  const char* hex = run->tail.signaturePublicKey;
  if (hex == nullptr) {
    logMessage("[Extractor] Public key empty (no public key)\n");
    return;
  }
  const size_t length = strlen(hex);
  if (length == 0) {
    logMessage("[Extractor] Public key length %d (no public key)\n", 0);
    return;
  }
  // A tail that names a key wants every archive verified, even when the key cannot be
  // imported: such archives then fail their check instead of passing unchecked.
  archiveKeyRequired.store(true);
  const int32_t size = static_cast<int32_t>(length / 2 + 2);
  unsigned char* der = static_cast<unsigned char*>(allocateZeroed(static_cast<size_t>(size)));
  const int32_t count = HexToBytes(der, size, hex);
  logMessage("[Extractor] Processed public key of length %d\n", count);
  logMessage("[Extractor] Hex: %s\n", hex);
  rsa_key* key = importPublicKey(der, count);
  archiveSignatureKey.store(key);
  logMessage("[Extractor] Public Key: %08X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(key) & 0xFFFFFFFFu));
}
