#include "capture/take_file.h"

#include "base/files.h"
#include "base/format.h"
#include "capture/capture_error.h"
#include "capture/movie_header.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vidorel {

namespace {

constexpr int kIoBufferSize = 256 * 1024;

std::filesystem::path folderOf(const std::filesystem::path& file) {
  return file.parent_path().empty() ? "." : file.parent_path();
}

IoPtr makeDescriptorIo(int* fd) {
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  if (!buffer)
    return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, 1, fd, nullptr, writeToDescriptor,
                                       seekInDescriptor);
  if (!io)
    av_free(buffer);
  return IoPtr(io);
}

// Copies every packet of source into a plain QuickTime movie written through
// fd (an empty file at target), its index moved to the front.
std::string remuxMovie(const std::filesystem::path& source, const std::filesystem::path& target,
                       int fd) {
  AVFormatContext* opened = nullptr;
  int rc = avformat_open_input(&opened, source.c_str(), nullptr, nullptr);
  if (rc < 0)
    return "the take couldn't be read: " + avErrorText(rc);
  InputPtr input(opened);
  AVFormatContext* allocated = nullptr;
  rc = avformat_alloc_output_context2(&allocated, nullptr, "mov", target.c_str());
  if (rc < 0 || !allocated)
    return "the QuickTime writer is not available";
  OutputPtr output(allocated);
  std::vector<int> streamMap(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* in = input->streams[i];
    if (in->codecpar->codec_type != AVMEDIA_TYPE_VIDEO &&
        in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
      continue;
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0)
      return "out of memory";
    out->codecpar->codec_tag = 0;
    // The demuxer does not tell the AAC frame length the muxer wants.
    if (out->codecpar->codec_id == AV_CODEC_ID_AAC && out->codecpar->frame_size == 0)
      out->codecpar->frame_size = 1024;
    out->time_base = in->time_base;
    streamMap[i] = out->index;
  }
  // The moov is moved to the front by rewriting the file in place, which
  // reads it back by name; the rest goes through fd.
  int descriptor = fd;
  IoPtr io = makeDescriptorIo(&descriptor);
  if (!io)
    return "out of memory";
  output->pb = io.get();
  output->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+faststart", 0);
  rc = avformat_write_header(output.get(), &options);
  av_dict_free(&options);
  if (rc < 0)
    return "the copy's header couldn't be written: " + avErrorText(rc);

  // The demuxer does not give a fragment's samples their own lengths, so
  // each packet is held until the next one of its track gives it its
  // length; the last one of a track lasts until the track's end.
  std::vector<PacketPtr> held(input->nb_streams);
  auto writeHeld = [&](unsigned index, std::int64_t nextDts) -> int {
    PacketPtr packet = std::move(held[index]);
    if (!packet)
      return 0;
    const AVStream* in = input->streams[index];
    if (nextDts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && nextDts > packet->dts) {
      packet->duration = nextDts - packet->dts;
    } else if (nextDts == AV_NOPTS_VALUE && in->duration > 0 && packet->pts != AV_NOPTS_VALUE) {
      std::int64_t start = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;
      packet->duration = std::max(packet->duration, start + in->duration - packet->pts);
    }
    av_packet_rescale_ts(packet.get(), in->time_base, output->streams[streamMap[index]]->time_base);
    packet->stream_index = streamMap[index];
    packet->pos = -1;
    return av_interleaved_write_frame(output.get(), packet.get());
  };
  for (;;) {
    PacketPtr packet = makePacket();
    if (!packet)
      return "out of memory";
    rc = av_read_frame(input.get(), packet.get());
    if (rc == AVERROR_EOF)
      break;
    if (rc < 0)
      return "the take couldn't be read: " + avErrorText(rc);
    unsigned index = static_cast<unsigned>(packet->stream_index);
    if (index >= streamMap.size() || streamMap[index] < 0)
      continue;
    rc = writeHeld(index, packet->dts);
    if (rc < 0)
      return "the copy couldn't be written: " + avErrorText(rc);
    held[index] = std::move(packet);
  }
  for (unsigned i = 0; i < held.size(); ++i) {
    rc = writeHeld(i, AV_NOPTS_VALUE);
    if (rc < 0)
      return "the copy couldn't be written: " + avErrorText(rc);
  }
  rc = av_write_trailer(output.get());
  if (rc < 0)
    return "the copy couldn't be finished: " + avErrorText(rc);
  avio_flush(io.get());
  if (io->error < 0)
    return "the copy couldn't be written: " + avErrorText(io->error);
  return {};
}

} // namespace

int writeToDescriptor(void* opaque, std::uint8_t* data, int size) {
  int fd = *static_cast<int*>(opaque);
  if (std::error_code error = writeAll(fd, data, static_cast<std::size_t>(size)))
    return AVERROR(error.value());
  return size;
}

std::int64_t seekInDescriptor(void* opaque, std::int64_t offset, int whence) {
  int fd = *static_cast<int*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat status;
    if (::fstat(fd, &status) != 0)
      return AVERROR(errno);
    return status.st_size;
  }
  off_t position = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : position;
}

TakeFile::TakeFile(std::filesystem::path path) : path_(std::move(path)) {
  // Read as well: the movie header is found again to keep its length.
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw CaptureFailure(formatString("The file \"%s\" couldn't be created: %s",
                                      path_.filename().c_str(), std::strerror(errno)));
  // The new entry is synced into its folder so a crash cannot lose the
  // file along with its name.
  syncFolder(folderOf(path_));
  io_ = makeDescriptorIo(&fd_);
}

TakeFile::~TakeFile() {
  close();
}

void TakeFile::close() {
  io_.reset();
  if (fd_ < 0)
    return;
  ::close(fd_);
  fd_ = -1;
  if (!written_) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
}

int TakeFile::makeDurable(std::int64_t endMicroseconds) {
  avio_flush(io_.get());
  if (io_->error < 0)
    return io_->error;
  if (int rc = recordLengthInHeader(endMicroseconds); rc < 0)
    return rc;
  if (::fdatasync(fd_) != 0)
    return AVERROR(errno);
  durableSize_ = avio_tell(io_.get());
  durableEnd_ = endMicroseconds;
  ++durablePieces_;
  return 0;
}

// The movie header goes out before any sample and states a length of
// nothing. FFmpeg reads the fragments' lengths instead, but GStreamer takes
// the first fragment's for the movie's, so a take left fragmented by a crash
// would show a length of one second in its players. The header's length is
// brought up to date in place with each fragment: one field within the
// file's first block, so a crash leaves either the old value or the new.
int TakeFile::recordLengthInHeader(std::int64_t endMicroseconds) {
  if (!searchedHeader_) {
    searchedHeader_ = true;
    std::uint8_t head[16384];
    ssize_t got = ::pread(fd_, head, sizeof head, 0);
    std::optional<MovieLengthField> field;
    if (got > 0)
      field = findMovieLengthField(head, static_cast<std::size_t>(got));
    if (field) {
      lengthAt_ = static_cast<off_t>(field->offset);
      lengthWide_ = field->wide;
      timescale_ = field->timescale;
    }
  }
  // A header of another shape only loses the stated length; the fragments
  // still play.
  if (lengthAt_ < 0)
    return 0;
  auto length = static_cast<std::uint64_t>(av_rescale(endMicroseconds, timescale_, 1'000'000));
  std::uint8_t bytes[8];
  int size = lengthWide_ ? 8 : 4;
  if (!lengthWide_)
    length = std::min<std::uint64_t>(length, UINT32_MAX);
  for (int i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(length >> (8 * (size - 1 - i)));
  if (::pwrite(fd_, bytes, static_cast<std::size_t>(size), lengthAt_) != size)
    return AVERROR(errno);
  return 0;
}

void TakeFile::truncateToDurable() {
  if (fd_ < 0 || !written_)
    return;
  // The header may already state the length of a torn fragment.
  if (lengthAt_ >= 0)
    recordLengthInHeader(durableEnd_);
  if (::ftruncate(fd_, durableSize_) == 0)
    ::fdatasync(fd_);
}

// The copy is made beside the take, synced and renamed over it, so at every
// instant the take's name holds one complete movie.
std::string rewriteAsPlainMovie(const std::filesystem::path& take) {
  std::filesystem::path folder = folderOf(take);
  std::string pattern = (folder / ("." + take.filename().string() + ".finishing-XXXXXX")).string();
  int tempFd = ::mkstemp(pattern.data());
  if (tempFd < 0)
    return std::strerror(errno);
  ::fchmod(tempFd, 0644);
  // Held until the copy replaces the take: whoever opens the session later
  // tells a copy in progress from one a killed recorder left behind.
  ::flock(tempFd, LOCK_EX);
  std::filesystem::path temp = pattern;
  std::string problem = remuxMovie(take, temp, tempFd);
  if (problem.empty() && ::fsync(tempFd) != 0)
    problem = std::strerror(errno);
  ::close(tempFd);
  if (problem.empty() && ::rename(temp.c_str(), take.c_str()) != 0)
    problem = std::strerror(errno);
  if (!problem.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return problem;
  }
  syncFolder(folder);
  return {};
}

} // namespace vidorel
