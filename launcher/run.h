// The values of one run of the start-up flow, in one record that Extractor_run makes and
// hands to every step in order. Main thread only; nothing in it is ever freed, since every
// road ends the process. Pointers are null and flags false until their step sets them.
#pragma once

#include <cstdint>

#include "core/paths.h"

struct RingBuffer;
struct LaunchPropertyList;

constexpr int PARAMS_MARKER_SIZE = 64;
constexpr int TAIL_MARKER_SIZE = 128;

// The twelve values of the tail's header, in their order; null when the block ended
// before the value (not the same as an empty value).
struct TailHeader {
  char* appName;
  char* appVersion;
  char* jreVersion;
  char* qvVersion;
  char* minSplashMs;
  char* signaturePublicKey;
  char* canOverrideSplash;
  char* installType;
  char* silentParameter;
  char* requiredJavaVersion;
  char* updateUrl;
  char* skipSystemJre;
};

// Outcome of the version decision.
enum class RunRoad { Run, Extract };

struct ExtractorRun {
  // Start: the command line.
  const char* programPath;        // argv[0] as typed; the own executable is opened by it
  char* absoluteLauncherPath;     // step 1
  int launcherArgc;               // argv[1] .. argv[argc-1]
  char** launcherArgv;
  int argc;                       // the whole command line (elevation)
  char** argv;
  bool prepareOnly;

  // Step 1: the markers, made at run time.
  unsigned char paramsMarker[PARAMS_MARKER_SIZE];
  unsigned char* tailMarker;

  // Step 2: dynamic properties.
  LaunchPropertyList* launchProperties;
  bool silent;                    // completed in step 3
  unsigned char* dynamicSplashImage;
  uint64_t dynamicSplashImageSize;
  char* dynamicUpdateUrl;
  char jreName[PATH_BUFFER_SIZE];  // replaceable in step 6
  bool autotest;

  // Step 3: the tail header.
  TailHeader tail;
  char* effectiveUpdateUrl;       // tail.updateUrl or dynamicUpdateUrl itself, not a copy
  RingBuffer* tailRing;           // open until the end of the road

  // Step 5: install layout.
  char* sharedDir;
  char masterFolder[PATH_BUFFER_SIZE];

  // Step 6.
  bool tailCarriesQuorvane;       // "QV Version" is not empty

  // Step 7 (run road) or step 11: the folder name the launch starts from.
  char* latestQvFolder;

  // Steps 8 and 10: folders of the extraction.
  char qvFolder[PATH_BUFFER_SIZE];
  char qvTemp[PATH_BUFFER_SIZE];
  char appFolder[PATH_BUFFER_SIZE];
  char appTemp[PATH_BUFFER_SIZE];
  char jreFolder[PATH_BUFFER_SIZE];
  char jreTemp[PATH_BUFFER_SIZE];
  // Step 10: the version of the runtime being installed (the tail's "JRE Version" on the
  // offline road); at most 50 characters, empty while none is known.
  char jreVersion[100];
};
