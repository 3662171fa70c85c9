// Extraction speed and memory of the decode-and-extract pipeline, driven by
// bench/unarchive_bench.sh (not by the test suite). Modes:
//   pack FOLDER OUT.xz            a signed ArchiveStream of FOLDER (links followed, broken
//                                 ones skipped), xz preset 6, streamed to OUT.xz
//   pack-blocks FOLDER OUT.xz     the same in blocks, as "xz -T0 -6" writes it (blocks of
//                                 three times the dictionary, sizes in every block header)
//   payload BYTES OUT.xz          a signed ArchiveStream of BYTES bytes in 64 MiB files
//   payload-blocks BYTES OUT.xz   the same in blocks
//   outer IN.xz OUT.arc           a signed archive holding IN.xz as the nested "jdk.p2.l2"
//   extract IN.xz FOLDER          IN.xz through Streamer_startUnLzmaUnarchive into FOLDER
//   extract-outer IN.arc FOLDER   IN.arc through Unarchiver_extractArchive (its nested
//                                 archive then runs a pipeline of its own)
//   decode IN.xz -                the LZMA stage alone, its output thrown away
// extract modes require and check the 2048-bit test key, send the log to /dev/null and
// print "seconds=S maxrss_kb=K" on standard error.
#include <dirent.h>
#include <fcntl.h>
#include <lzma.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ring_buffer.h"
#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"
#include "src/hashes/mixedhash/mixed.h"
#include "tests/support/packer.h"
#include "tests/support/signer.h"

namespace {

constexpr size_t CHUNK = 1 << 20;

enum class Encoding { None, Xz, XzInBlocks };

// Writes an archive stream to a file, optionally through an xz encoder, keeping the
// mixed digest of everything before the signature block.
class ArchiveSink {
 public:
  ArchiveSink(const char* path, Encoding encoding) : compress_(encoding != Encoding::None) {
    out_ = fopen(path, "wb");
    if (out_ == nullptr) throw std::runtime_error(std::string("cannot write ") + path);
    if (encoding == Encoding::Xz && lzma_easy_encoder(&lzma_, 6, LZMA_CHECK_CRC64) != LZMA_OK)
      throw std::runtime_error("no xz encoder");
    if (encoding == Encoding::XzInBlocks) {
      lzma_mt options = {};
      options.threads = std::max<uint32_t>(1, lzma_cputhreads());
      options.preset = 6;
      options.check = LZMA_CHECK_CRC64;
      if (lzma_stream_encoder_mt(&lzma_, &options) != LZMA_OK)
        throw std::runtime_error("no multi-threaded xz encoder");
    }
    mixedHashInit(&digest_);
  }

  void value(const std::string& text) { put(text.c_str(), text.size() + 1); }

  void put(const void* data, size_t size) {
    if (digesting_) mixedHashProcess(&digest_, static_cast<const unsigned char*>(data), static_cast<int>(size));
    if (!compress_) {
      if (fwrite(data, 1, size, out_) != size) throw std::runtime_error("write failed");
      return;
    }
    lzma_.next_in = static_cast<const uint8_t*>(data);
    lzma_.avail_in = size;
    while (lzma_.avail_in > 0) code(LZMA_RUN);
  }

  // Appends the signature block and closes the file.
  void finish() {
    unsigned char* digest = mixedHashDone(&digest_);
    const SignerBytes signature = Signer_sign(2048, digest);
    free(digest);
    digesting_ = false;
    const std::string block = hvpack::signatureBlock(signature);
    put(block.data(), block.size());
    if (compress_) {
      lzma_ret ret;
      do ret = code(LZMA_FINISH);
      while (ret == LZMA_OK);
      lzma_end(&lzma_);
    }
    if (fclose(out_) != 0) throw std::runtime_error("close failed");
  }

 private:
  lzma_ret code(lzma_action action) {
    lzma_.next_out = buffer_;
    lzma_.avail_out = sizeof buffer_;
    const lzma_ret ret = lzma_code(&lzma_, action);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) throw std::runtime_error("xz encoding failed");
    const size_t n = sizeof buffer_ - lzma_.avail_out;
    if (fwrite(buffer_, 1, n, out_) != n) throw std::runtime_error("write failed");
    return ret;
  }

  bool compress_;
  FILE* out_ = nullptr;
  lzma_stream lzma_ = LZMA_STREAM_INIT;
  hash_state digest_;
  bool digesting_ = true;
  uint8_t buffer_[1 << 16];
};

void addFile(ArchiveSink& sink, const std::string& source, const std::string& path, off_t size) {
  FILE* in = fopen(source.c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("cannot read " + source);
  sink.value("0");
  sink.value(path);
  sink.value(std::to_string(size));
  std::vector<char> chunk(CHUNK);
  off_t left = size;
  while (left > 0) {
    const size_t n = fread(chunk.data(), 1, std::min<off_t>(left, CHUNK), in);
    if (n == 0) throw std::runtime_error("short read of " + source);
    sink.put(chunk.data(), n);
    left -= static_cast<off_t>(n);
  }
  fclose(in);
}

// Folders before their contents, names in byte order; links followed, broken ones left out.
void addTree(ArchiveSink& sink, const std::string& dir, const std::string& prefix) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) throw std::runtime_error("cannot list " + dir);
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string source = dir + "/" + name;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    struct stat st;
    if (stat(source.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      sink.value("1");
      sink.value(path);
      addTree(sink, source, path);
    } else if (S_ISREG(st.st_mode)) {
      addFile(sink, source, path, st.st_size);
    }
  }
}

int pack(const char* folder, const char* out, Encoding encoding) {
  ArchiveSink sink(out, encoding);
  addTree(sink, folder, "");
  sink.finish();
  return 0;
}

// Files of 64 MiB made of one pseudo-random 1 MiB block with a changing first word, so
// that the encoder is quick and the decoder still writes every byte.
int payload(long long bytes, const char* out, Encoding encoding) {
  ArchiveSink sink(out, encoding);
  std::vector<char> block(CHUNK);
  std::mt19937 engine(1);
  for (char& c : block) c = static_cast<char>(engine());
  sink.value("1");
  sink.value("payload");
  int index = 0;
  for (long long left = bytes; left > 0; ++index) {
    const long long size = std::min<long long>(left, 64LL << 20);
    sink.value("0");
    sink.value("payload/part" + std::to_string(index) + ".bin");
    sink.value(std::to_string(size));
    for (long long done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<long long>(size - done, CHUNK));
      memcpy(block.data(), &done, sizeof done);
      sink.put(block.data(), n);
      done += static_cast<long long>(n);
    }
    left -= size;
  }
  sink.finish();
  return 0;
}

int outer(const char* in, const char* out) {
  struct stat st;
  if (stat(in, &st) != 0) throw std::runtime_error(std::string("cannot read ") + in);
  ArchiveSink sink(out, Encoding::None);
  addFile(sink, in, "jdk.p2.l2", st.st_size);
  sink.finish();
  return 0;
}

struct Feed {
  FILE* file;
  RingBuffer* ring;
};

void* feed(void* arg) {
  auto* f = static_cast<Feed*>(arg);
  std::vector<char> chunk(65536);
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), f->file)) > 0) {
    if (RingBuffer_write(f->ring, chunk.data(), static_cast<int32_t>(n)) < 0) break;
  }
  RingBuffer_close(f->ring);
  return nullptr;
}

void requireTestKey() {
  const SignerBytes der = Signer_publicKeyDer(2048);
  archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
  archiveKeyRequired.store(true);
}

void* discard(void* ring) {
  std::vector<char> chunk(PIPELINE_RING_SIZE);
  while (RingBuffer_read(static_cast<RingBuffer*>(ring), chunk.data(), PIPELINE_RING_SIZE) >= 0) {
  }
  return nullptr;
}

// The LZMA stage alone, its output thrown away: what the stage costs over "xz -dc".
int decodeOnly(const char* in) {
  FILE* file = fopen(in, "rb");
  if (file == nullptr) throw std::runtime_error(std::string("cannot read ") + in);
  const auto start = std::chrono::steady_clock::now();
  RingBuffer* input = RingBuffer_create(1, PIPELINE_RING_SIZE);
  RingBuffer* output = RingBuffer_create(2, PIPELINE_RING_SIZE);
  Feed f = {file, input};
  pthread_t feeder, reader;
  pthread_create(&feeder, nullptr, feed, &f);
  pthread_create(&reader, nullptr, discard, output);
  const int result = Streamer_unLzma(input, output);
  pthread_join(reader, nullptr);
  pthread_join(feeder, nullptr);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  fprintf(stderr, "seconds=%.3f maxrss_kb=%ld\n", seconds, usage.ru_maxrss);
  return result;
}

int extract(const char* in, const char* folder, bool nested) {
  requireTestKey();
  FILE* file = fopen(in, "rb");
  if (file == nullptr) throw std::runtime_error(std::string("cannot read ") + in);
  // The log goes to standard output; only the figures matter here.
  fflush(stdout);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  const auto start = std::chrono::steady_clock::now();
  RingBuffer* ring = RingBuffer_create(1, PIPELINE_RING_SIZE);
  Feed f = {file, ring};
  pthread_t feeder;
  pthread_create(&feeder, nullptr, feed, &f);
  int failed = 0;
  if (nested) {
    failed = Unarchiver_extractArchive(ring, folder);
  } else {
    UnLzmaUnarchiveContext* context = nullptr;
    StageThreadSet* threads = Streamer_startUnLzmaUnarchive(ring, folder, &context);
    pthread_join(threads->unArchiver, nullptr);
    pthread_join(threads->unLzmaer, nullptr);
    failed = context->unLzmaResult != 0 || context->archiveCut != 0;
  }
  pthread_join(feeder, nullptr);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  fprintf(stderr, "seconds=%.3f maxrss_kb=%ld\n", seconds, usage.ru_maxrss);
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s pack|pack-blocks|payload|payload-blocks|outer|extract|extract-outer|decode ARG OUT\n",
            argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  try {
    if (mode == "pack") return pack(argv[2], argv[3], Encoding::Xz);
    if (mode == "pack-blocks") return pack(argv[2], argv[3], Encoding::XzInBlocks);
    if (mode == "payload") return payload(atoll(argv[2]), argv[3], Encoding::Xz);
    if (mode == "payload-blocks") return payload(atoll(argv[2]), argv[3], Encoding::XzInBlocks);
    if (mode == "outer") return outer(argv[2], argv[3]);
    if (mode == "extract") return extract(argv[2], argv[3], false);
    if (mode == "extract-outer") return extract(argv[2], argv[3], true);
    if (mode == "decode") return decodeOnly(argv[2]);
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
