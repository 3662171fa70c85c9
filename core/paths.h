// Path joining and the few string helpers the folder-name readers and the launch use.
// Stateless free functions, callable from any thread. Joining puts exactly one '/'
// between path and part (none added when the path already ends with '/').
// Every path buffer has a size; a result that would not fit is never written past:
// the buffer is emptied and NULL returned (an empty path opens nothing, so a refused
// join can never make a caller act on the parent folder instead of the child).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int PATH_BUFFER_SIZE = 5000;

// Separators are '/' already on this platform: the text is left unchanged.
void fixSeparators(char* path);

// Joins part onto path in a buffer of PATH_BUFFER_SIZE bytes. An empty path takes the
// part as it is. Returns path, or NULL (path emptied) when the result would not fit.
char* appendPath(char* path, const char* part);
// The same for a buffer of `size` bytes.
char* appendPathN(char* path, size_t size, const char* part);
// The same join without a buffer limit: the paths walks show and match, made by the
// same rule as every joined buffer, so equal steps from the same folder give equal text.
std::string joinPath(const std::string& path, const std::string& part);

char* copyFixSeparators(const char* path);
// Copies text into a PATH_BUFFER_SIZE buffer; NULL (buffer emptied) when it does not fit.
char* setString(char* buffer, const char* text);

char* buildPath2(char* buffer, const char* p1, const char* p2);
char* buildPath3(char* buffer, const char* p1, const char* p2, const char* p3);
char* buildPath4(char* buffer, const char* p1, const char* p2, const char* p3, const char* p4);
char* buildPath5(char* buffer, const char* p1, const char* p2, const char* p3, const char* p4,
                 const char* p5);

char* copyString(const char* text);
// length bytes from text[start]; start and length must lie within text.
char* substring(const char* text, int32_t start, int32_t length);
int32_t lastIndexOf(const char* text, char c);
// false when name, joined onto a folder, would name anything but an entry directly inside
// it: a name holding '/', or "." or "..". The empty name passes; callers decide on it.
bool staysInFolder(const char* name);
// true when some '/'-separated component of path is "..": joined onto a folder it could
// name something outside it.
bool hasParentComponent(const char* path);
// Index of the n-th (from 1) occurrence of c; -1 when there is none or n < 1.
int32_t indexOfNth(const char* text, char c, int32_t n);

// The path itself when absolute; else a new 1024-byte buffer with the current folder
// joined with it. NULL (logged) when the current folder cannot be read or the result
// would not fit 1024 bytes.
char* toAbsolutePath(char* path);
// The running executable's path ("/proc/self/exe") in buffer; 0, or -1 on failure.
int32_t getExePath(char* buffer, int32_t size);

// Bounded text building: append or format into a buffer of `size` bytes. On overflow
// nothing past the buffer is written, the buffer keeps what it held (append) or is
// emptied (format), and false is returned.
bool appendText(char* buffer, size_t size, const char* text);
bool formatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
