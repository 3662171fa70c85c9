// The launcher's file and folder work, for callers that use several parts of it: each
// part is a module of its own with its own contract.
#pragma once

#include "core/copies.h"          // copyFile, CopyFolder, renameWithFallback
#include "core/file_modes.h"      // chmod777, chmodAllExecutable, chmod755Recursive, ...
#include "core/folders.h"         // ensureFolder, fileExists, DeleteFolder
#include "core/marker_search.h"   // findMarker
#include "core/path_files.h"      // openRegularFileForReading, createFileNoFollow, ...
