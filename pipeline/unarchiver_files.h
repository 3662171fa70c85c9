// Where the Unarchiver (pipeline/unarchiver.cpp) writes: every entry below a target folder
// held open, each further component resolved from that descriptor without following a
// link (core/descriptor_files.h), so no link planted or swapped in on the way leads an
// entry out. Whatever cannot be made or written ends the process with status 1: the
// system's reason first, then the Unarchiver's line of record. Any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Logs "<tag> Cannot <action> <path>: <reason>" and the line of record for an entry
// that cannot be written, and ends the process with status 1.
[[noreturn]] void Unarchiver_failUnwritable(const char* action, const char* path, int error);

// Opens the folder an archive (or a tail entry) is written into, as the caller names it.
int UnarchiverFiles_openTarget(const char* folder);
// Opens (making what is missing) the folders of relative before its last component below
// folderFd, and names that component in *name. target: the entry's whole path, for lines.
int UnarchiverFiles_openEntryFolder(int folderFd, const char* relative, const char* target,
                                    std::string* name);
// Makes the folder entry relative and every folder before it.
void UnarchiverFiles_makeFolder(int folderFd, const char* relative, const char* target);
// Refuses (ELOOP, naming path) a link at name in folderFd: something that writes there
// by a name of its own, as unpack200 does, would follow it.
void UnarchiverFiles_refuseLink(int folderFd, const char* name, const char* path);

// One file entry being written: its stream and the first failure, which tells why.
struct EntryFile {
  FILE* file;
  int error;
  const char* action;
};
// Creates name in folderFd for writing (an existing file is replaced; a link, FIFO or
// folder there is refused); file is null and error set when it cannot be made.
EntryFile UnarchiverFiles_create(int folderFd, const char* name);
void UnarchiverFiles_write(EntryFile* entry, const unsigned char* bytes, int32_t count);
// Flushes and closes the file; a failure on the way (target names it) ends the process.
void UnarchiverFiles_finish(EntryFile* entry, const char* target);
