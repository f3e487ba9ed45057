#pragma once

#include "capture/ffmpeg_handles.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vidorel {

// The file a take is recorded into, as a fragmented movie that survives a
// crash: libavformat writes it through a descriptor of our own, so it can be
// created exclusively and every fragment synced before the next begins.
class TakeFile {
public:
  // Creates the file, exclusively: an unwritable destination fails the
  // start of the take rather than its end, and an existing file (another
  // take's) is never truncated. Throws CaptureFailure.
  explicit TakeFile(std::filesystem::path path);
  // Closes the file; one into which nothing was written goes as well (a
  // take in which no frame arrived leaves no file behind).
  ~TakeFile();
  TakeFile(const TakeFile&) = delete;
  TakeFile& operator=(const TakeFile&) = delete;

  // The I/O context for the muxer; null when out of memory.
  AVIOContext* io() const { return io_.get(); }
  // From now on the file is a take and stays, whatever happens.
  void markWritten() { written_ = true; }

  // Makes everything the muxer flushed so far durable: the header's length
  // brought up to endMicroseconds, the data synced. An AVERROR on failure.
  int makeDurable(std::int64_t endMicroseconds);
  // Leaves the file with the fragments that reached the disk.
  void truncateToDurable();
  std::int64_t durableSize() const { return durableSize_; }
  int durablePieces() const { return durablePieces_; }

  void close();

private:
  int recordLengthInHeader(std::int64_t endMicroseconds);

  std::filesystem::path path_;
  int fd_ = -1;
  IoPtr io_;
  bool written_ = false;
  // The file's size and the movie's end once the last sync was done:
  // everything before them survives a crash.
  std::int64_t durableSize_ = 0;
  std::int64_t durableEnd_ = 0;
  int durablePieces_ = 0;
  // Where the movie header states the movie's length; searched for once.
  bool searchedHeader_ = false;
  off_t lengthAt_ = -1;
  bool lengthWide_ = false;
  std::uint32_t timescale_ = 0;
};

// Rewrites a finished fragmented take as a plain movie with its index first,
// in place; the fragmented movie stays where that is not possible. Returns
// what went wrong, or nothing.
std::string rewriteAsPlainMovie(const std::filesystem::path& take);

// Descriptor-backed I/O callbacks for libavformat, opaque = int* fd.
int writeToDescriptor(void* opaque, std::uint8_t* data, int size);
std::int64_t seekInDescriptor(void* opaque, std::int64_t offset, int whence);

} // namespace vidorel
