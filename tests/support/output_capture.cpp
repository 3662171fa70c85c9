#include "tests/support/output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

int tempFile() {
  char name[] = "/tmp/hv-capture-XXXXXX";
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd >= 0) unlink(name);
  return fd;
}

std::string readAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

void OutputCapture::start() {
  stop();
  out_.clear();
  err_.clear();
  fflush(stdout);
  fflush(stderr);
  fileOut_ = tempFile();
  fileErr_ = tempFile();
  savedOut_ = dup(1);
  savedErr_ = dup(2);
  dup2(fileOut_, 1);
  dup2(fileErr_, 2);
}

void OutputCapture::stop() {
  if (savedOut_ < 0) return;
  fflush(stdout);
  fflush(stderr);
  dup2(savedOut_, 1);
  dup2(savedErr_, 2);
  close(savedOut_);
  close(savedErr_);
  savedOut_ = savedErr_ = -1;
  out_ = readAll(fileOut_);
  err_ = readAll(fileErr_);
  close(fileOut_);
  close(fileErr_);
  fileOut_ = fileErr_ = -1;
}
