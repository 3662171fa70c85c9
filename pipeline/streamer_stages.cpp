#include "pipeline/streamer_stages.h"

#include <lzma.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

namespace {

// The decoder's start-up failures, as its user reads them.
const char* decoderInitText(lzma_ret code) {
  switch (code) {
    case LZMA_MEM_ERROR:
      return "Memory allocation failed";
    case LZMA_OPTIONS_ERROR:
      return "Unsupported decompressor flags";
    default:
      return "Unknown error, possibly a bug";
  }
}

// Every .xz stream opens with this byte; a legacy .lzma stream never does (its first
// byte, the properties byte, is below 225).
constexpr uint8_t XZ_FIRST_BYTE = 0xFD;

// Blocks that carry their sizes (as multi-threaded encoders write them) are decoded side
// by side, as many at a time as fit in the memory limit; other streams decode block by
// block on the calling thread exactly as the single-threaded decoder would, at its speed.
// No limit stops a stream that needs more than THREADING_MEMORY_LIMIT even for one block:
// the decoder then goes on in that single-threaded way.
constexpr uint64_t THREADING_MEMORY_LIMIT = uint64_t{128} << 20;
// At the usual preset (blocks of 24 MiB) the limit holds two or three blocks at once
// anyway, and beyond four the extraction's single writer is the slower stage.
constexpr uint32_t MAX_DECODER_THREADS = 4;

// The decoder's buffers of a megabyte or more (a block's whole output, tens of megabytes
// at the usual preset) are mapped for themselves and unmapped when freed. From the
// general heap, buffers freed by one thread and asked for by another stay resident in
// per-thread arenas, and the process grows past the decoder's own limit with the number
// of blocks. A header in front of each buffer holds its mapped length (0: from malloc)
// and keeps the buffer aligned as malloc's are.
constexpr size_t MAPPED_BUFFER_MIN = size_t{1} << 20;
constexpr size_t BUFFER_HEADER = 64;

void* allocateDecoderBuffer(void* /*opaque*/, size_t count, size_t size) {
  if (size != 0 && count > (SIZE_MAX - BUFFER_HEADER) / size) return nullptr;
  const size_t bytes = count * size;
  size_t mapped = 0;
  void* block = nullptr;
  if (bytes >= MAPPED_BUFFER_MIN) {
    mapped = bytes + BUFFER_HEADER;
    block = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
  } else {
    block = malloc(bytes + BUFFER_HEADER);
    if (block == nullptr) return nullptr;
  }
  memcpy(block, &mapped, sizeof mapped);
  return static_cast<uint8_t*>(block) + BUFFER_HEADER;
}

void freeDecoderBuffer(void* /*opaque*/, void* buffer) {
  if (buffer == nullptr) return;
  uint8_t* block = static_cast<uint8_t*>(buffer) - BUFFER_HEADER;
  size_t mapped;
  memcpy(&mapped, block, sizeof mapped);
  if (mapped != 0) {
    munmap(block, mapped);
  } else {
    free(block);
  }
}

// Called from the decoder's own threads as well: it holds no state.
const lzma_allocator DECODER_ALLOCATOR = {allocateDecoderBuffer, freeDecoderBuffer, nullptr};

lzma_ret startXzDecoder(lzma_stream* stream) {
  lzma_mt options = {};
  const uint32_t cpus = lzma_cputhreads();
  options.threads = cpus < 1 ? 1 : cpus > MAX_DECODER_THREADS ? MAX_DECODER_THREADS : cpus;
  options.timeout = 0;  // lzma_code returns only with its input taken or its output full
  options.memlimit_threading = THREADING_MEMORY_LIMIT;
  options.memlimit_stop = UINT64_MAX;
  return lzma_stream_decoder_mt(stream, &options);
}

// Streamer_unLzma; *taken (when given) counts the compressed bytes read from input, each
// chunk before it is decoded.
int unLzma(RingBuffer* input, RingBuffer* output, std::atomic<uint64_t>* taken) {
  auto* in = static_cast<uint8_t*>(malloc(STREAM_CHUNK_SIZE));
  auto* out = static_cast<uint8_t*>(malloc(STREAM_CHUNK_SIZE));
  if (in == nullptr || out == nullptr) {
    logMessage("[Streamer] Out of memory\n");
    endProcess(1);
  }
  lzma_stream stream = LZMA_STREAM_INIT;
  stream.allocator = &DECODER_ALLOCATOR;
  // The first chunk names the format; it is the decoder's first input as well.
  const int32_t first = RingBuffer_read(input, in, STREAM_CHUNK_SIZE);
  if (taken != nullptr && first > 0) taken->fetch_add(static_cast<uint64_t>(first));
  const lzma_ret init = first > 0 && in[0] == XZ_FIRST_BYTE ? startXzDecoder(&stream)
                                                            : lzma_auto_decoder(&stream, UINT64_MAX, 0);
  if (init != LZMA_OK) {
    fprintf(stderr, "Error initializing the decoder: %s (error code %u)\n", decoderInitText(init),
            static_cast<unsigned>(init));
    fflush(stderr);
    free(in);
    free(out);
    RingBuffer_close(input);
    RingBuffer_close(output);
    return 1;
  }
  bool inputEnded = first < 0;
  if (!inputEnded) {
    stream.next_in = in;
    stream.avail_in = static_cast<size_t>(first);
  }
  int result = 1;
  bool outputFull = false;
  for (;;) {
    // A full output buffer may leave decoded bytes inside the decoder: they are taken
    // before more input is waited for, and meanwhile only input already there is taken.
    // That input keeps the decoder's threads busy with later blocks while the consumer
    // takes an earlier one. (Blocks still decoding on those threads come out with later
    // calls, the last ones once the input has ended.)
    if (stream.avail_in == 0 && !inputEnded) {
      const int32_t n = outputFull ? RingBuffer_readReady(input, in, STREAM_CHUNK_SIZE)
                                   : RingBuffer_read(input, in, STREAM_CHUNK_SIZE);
      if (n < 0) {
        inputEnded = true;
      } else {
        if (taken != nullptr) taken->fetch_add(static_cast<uint64_t>(n));
        stream.next_in = in;
        stream.avail_in = static_cast<size_t>(n);
      }
    }
    stream.next_out = out;
    stream.avail_out = STREAM_CHUNK_SIZE;
    // Once the input has ended the decoder is told so: a legacy .lzma stream of known
    // size without an end marker gives its last bytes only then.
    const lzma_ret ret = lzma_code(&stream, inputEnded ? LZMA_FINISH : LZMA_RUN);
    const size_t produced = STREAM_CHUNK_SIZE - stream.avail_out;
    outputFull = stream.avail_out == 0;
    if (produced > 0 &&
        (output->closed.load() || !RingBuffer_writeAll(output, out, static_cast<int32_t>(produced)))) {
      result = 0;  // the consumer wants no more
      break;
    }
    if (ret == LZMA_STREAM_END) {
      result = 0;
      break;
    }
    if (ret != LZMA_OK && inputEnded && output->closed.load()) {
      // The consumer closed its side (its archive ended at its SignatureBlock) before the
      // stream's last bytes came: nothing more was wanted, so running out is no error.
      result = 0;
      break;
    }
    if (ret != LZMA_OK) {
      // Under LZMA_FINISH a stream cut short ends here too (LZMA_BUF_ERROR).
      fprintf(stderr, "lzma_code failed: %d", static_cast<int>(ret));
      fflush(stderr);
      result = 1;
      break;
    }
  }
  lzma_end(&stream);
  free(in);
  free(out);
  // Both ends are released: a producer still writing and a consumer still reading.
  RingBuffer_close(input);
  RingBuffer_close(output);
  return result;
}

}  // namespace

int Streamer_unLzma(RingBuffer* input, RingBuffer* output) { return unLzma(input, output, nullptr); }

namespace {

[[noreturn]] void failStart(const char* stage, int error) {
  logMessage("[Streamer] Unable to start the %s thread: %s\n", stage, strerror(error));
  endProcess(1);
}

// In fuzz builds a fatal end throws, and an exception leaving a thread's body would end
// the whole process: the stage keeps the status for the thread that joins it.
template <typename Body>
void runStage([[maybe_unused]] UnLzmaUnarchiveContext* ctx, Body body) {
#ifdef HV_FUZZ
  try {
    body();
  } catch (const ProcessEnd& end) {
    int32_t none = 0;
    ctx->stageEnd.compare_exchange_strong(none, end.status + 1);
    RingBuffer_close(ctx->input);
    RingBuffer_close(ctx->output);
  }
#else
  body();
#endif
}

}  // namespace

void* Streamer_unLzmaThread(void* context) {
  auto* ctx = static_cast<UnLzmaUnarchiveContext*>(context);
  logMessage("[Streamer] [UnLZMAer] Starting...\n");
  runStage(ctx, [ctx] { ctx->unLzmaResult = unLzma(ctx->input, ctx->output, &ctx->compressedBytes); });
  logMessage("[Streamer] [UnLZMAer] Done (%d).\n", ctx->unLzmaResult);
  return nullptr;
}

void* Streamer_unArchiverThread(void* context) {
  auto* ctx = static_cast<UnLzmaUnarchiveContext*>(context);
  logMessage("[Streamer] [UnArchiver] Starting...\n");
  runStage(ctx, [ctx] { ctx->archiveCut = ctx->extract(ctx); });
  logMessage("[Streamer] [UnArchiver] Done.\n");
  return nullptr;
}

StageThreadSet* Streamer_startStages(RingBuffer* input, const char* folder, ArchiveTree* tree,
                                     StageExtraction extract, UnLzmaUnarchiveContext** context) {
  auto* threads = new (std::nothrow) StageThreadSet{};
  auto* ctx = new (std::nothrow) UnLzmaUnarchiveContext{};
  if (threads == nullptr || ctx == nullptr) {
    logMessage("[Streamer] Out of memory\n");
    endProcess(1);
  }
  ctx->input = input;
  ctx->output = RingBuffer_create(UNARCHIVE_RING_ID, PIPELINE_RING_SIZE);
  ctx->folder = folder;
  ctx->tree = tree;
  ctx->extract = extract;
  if (context != nullptr) *context = ctx;
  int error = pthread_create(&threads->unLzmaer, nullptr, Streamer_unLzmaThread, ctx);
  if (error != 0) failStart("UnLZMAer", error);
  threads->unLzmaerStarted = true;
  error = pthread_create(&threads->unArchiver, nullptr, Streamer_unArchiverThread, ctx);
  if (error != 0) failStart("UnArchiver", error);
  threads->unArchiverStarted = true;
  return threads;
}


void Streamer_freeNestedStages(StageThreadSet* threads, UnLzmaUnarchiveContext* context) {
  const int32_t stageEnd = context->stageEnd.load();
  RingBuffer_destroy(context->output);
  delete context;
  delete threads;
  if (stageEnd != 0) endProcess(stageEnd - 1);
}
