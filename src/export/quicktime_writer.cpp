#include "export/quicktime_writer.h"

#include "base/files.h"
#include "base/utf8.h"
#include "export/box_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace vidorel {

namespace {

constexpr std::size_t kBufferSize = 4 << 20;

bool fits32(std::int64_t value) {
  return value >= 0 && value <= std::numeric_limits<std::uint32_t>::max();
}

std::int64_t mediaDuration(const MovieTrack& track) {
  return track.mediaEnd() - (track.samples().empty() ? 0 : track.samples().front().decodeTime);
}

std::int64_t totalBytes(const MovieTrack& track) {
  std::int64_t total = 0;
  for (const MovieSample& sample : track.samples())
    total += sample.size;
  return total;
}

void writeVideoDescription(BoxWriter& out, const TrackFormat& format) {
  std::size_t entry = out.begin("avc1");
  out.zeros(6);
  out.u16(1);   // data reference
  out.u16(0);   // version
  out.u16(0);   // revision
  out.u32(0);   // vendor
  out.u32(0);   // temporal quality
  out.u32(512); // spatial quality: normal
  out.u16(static_cast<std::uint16_t>(format.width));
  out.u16(static_cast<std::uint16_t>(format.height));
  out.u32(0x00480000); // 72 dpi
  out.u32(0x00480000);
  out.u32(0); // data size
  out.u16(1); // frames per sample
  out.pascalString("H.264", 32);
  out.u16(24);     // depth
  out.u16(0xffff); // no colour table
  std::size_t config = out.begin("avcC");
  out.bytes(format.config);
  out.end(config);
  std::size_t colr = out.begin("colr");
  out.fourcc("nclx");
  out.u16(static_cast<std::uint16_t>(format.colourPrimaries));
  out.u16(static_cast<std::uint16_t>(format.transfer));
  out.u16(static_cast<std::uint16_t>(format.matrix));
  out.u8(format.fullRange ? 0x80 : 0);
  out.end(colr);
  out.end(entry);
}

void writeAudioDescription(BoxWriter& out, const TrackFormat& format, std::int64_t bitRate) {
  std::size_t entry = out.begin("mp4a");
  out.zeros(6);
  out.u16(1); // data reference
  out.u16(0); // version
  out.u16(0); // revision
  out.u32(0); // vendor
  out.u16(static_cast<std::uint16_t>(format.channels));
  out.u16(16); // sample size
  out.u16(0);  // compression id
  out.u16(0);  // packet size
  out.u32(static_cast<std::uint32_t>(format.sampleRate) << 16);

  std::size_t esds = out.beginFull("esds", 0, 0);
  std::size_t es = out.beginDescriptor(0x03);
  out.u16(0); // ES id
  out.u8(0);  // flags
  std::size_t decoder = out.beginDescriptor(0x04);
  out.u8(0x40); // MPEG-4 audio
  out.u8(0x15); // audio stream
  out.u24(0);   // buffer size
  auto rate = static_cast<std::uint32_t>(std::clamp<std::int64_t>(bitRate, 0, 0xffffffff));
  out.u32(rate); // maximum bit rate
  out.u32(rate); // average bit rate
  std::size_t specific = out.beginDescriptor(0x05);
  out.bytes(format.config);
  out.endDescriptor(specific);
  out.endDescriptor(decoder);
  std::size_t sl = out.beginDescriptor(0x06);
  out.u8(0x02);
  out.endDescriptor(sl);
  out.endDescriptor(es);
  out.end(esds);
  out.end(entry);
}

// The QuickTime text sample description FFmpeg gives its chapter tracks:
// default display flags and colours, left justified, and a font table
// naming font 1.
void writeChapterDescription(BoxWriter& out) {
  std::size_t entry = out.begin("text");
  out.zeros(6);
  out.u16(1);           // data reference
  out.u32(1);           // display flags
  out.u32(0);           // justification: left
  out.zeros(6 + 8 + 8); // background colour, text box, reserved
  out.u16(1);           // font number
  out.u16(0);           // face
  out.zeros(1 + 2 + 6); // reserved, foreground colour
  std::size_t ftab = out.begin("ftab");
  out.u16(1); // entries
  out.u16(1); // font id
  out.pascalString("");
  out.end(ftab);
  out.end(entry);
}

// The longest prefix of text of at most size bytes that ends between two
// characters.
std::string utf8Prefix(const std::string& text, std::size_t size) {
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size() && decodeUtf8(text, pos) && pos <= size;)
    end = pos;
  return text.substr(0, end);
}

// A chapter sample: the title, then the text encoding (UTF-8) as an
// "encd" atom.
std::vector<std::uint8_t> chapterSample(const std::string& title) {
  BoxWriter out;
  std::string text = utf8Prefix(title, 0xffff);
  out.u16(static_cast<std::uint16_t>(text.size()));
  out.bytes(std::vector<std::uint8_t>(text.begin(), text.end()));
  std::size_t encd = out.begin("encd");
  out.u32(0x100);
  out.end(encd);
  return out.take();
}

void writeSampleTables(BoxWriter& out, const MovieTrack& track) {
  const std::vector<MovieSample>& samples = track.samples();
  std::size_t stbl = out.begin("stbl");

  std::size_t stsd = out.beginFull("stsd", 0, 0);
  out.u32(static_cast<std::uint32_t>(track.descriptions().size()));
  std::int64_t duration = mediaDuration(track);
  std::int64_t bitRate = duration > 0 ? totalBytes(track) * 8 * track.timescale() / duration : 0;
  for (const TrackFormat& format : track.descriptions()) {
    if (format.kind == TrackKind::video)
      writeVideoDescription(out, format);
    else if (format.kind == TrackKind::audio)
      writeAudioDescription(out, format, bitRate);
    else
      writeChapterDescription(out);
  }
  out.end(stsd);

  // Time to sample: runs of equal durations.
  std::vector<std::int64_t> durations = track.sampleDurations();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  for (std::int64_t value : durations) {
    auto delta = static_cast<std::uint32_t>(value);
    if (!runs.empty() && runs.back().second == delta)
      ++runs.back().first;
    else
      runs.push_back({1, delta});
  }
  std::size_t stts = out.beginFull("stts", 0, 0);
  out.u32(static_cast<std::uint32_t>(runs.size()));
  for (auto [count, delta] : runs) {
    out.u32(count);
    out.u32(delta);
  }
  out.end(stts);

  // Composition offsets, only when some sample is shown at another time
  // than it is decoded.
  bool hasOffsets = false;
  bool negativeOffsets = false;
  for (const MovieSample& sample : samples) {
    hasOffsets = hasOffsets || sample.compositionOffset != 0;
    negativeOffsets = negativeOffsets || sample.compositionOffset < 0;
  }
  if (hasOffsets) {
    std::vector<std::pair<std::uint32_t, std::int32_t>> offsets;
    for (const MovieSample& sample : samples) {
      if (!offsets.empty() && offsets.back().second == sample.compositionOffset)
        ++offsets.back().first;
      else
        offsets.push_back({1, sample.compositionOffset});
    }
    std::size_t ctts = out.beginFull("ctts", negativeOffsets ? 1 : 0, 0);
    out.u32(static_cast<std::uint32_t>(offsets.size()));
    for (auto [count, offset] : offsets) {
      out.u32(count);
      out.u32(static_cast<std::uint32_t>(offset));
    }
    out.end(ctts);
  }

  bool allSync = std::all_of(samples.begin(), samples.end(),
                             [](const MovieSample& sample) { return sample.sync; });
  if (!allSync) {
    std::vector<std::uint32_t> sync;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (samples[i].sync)
        sync.push_back(static_cast<std::uint32_t>(i + 1));
    }
    std::size_t stss = out.beginFull("stss", 0, 0);
    out.u32(static_cast<std::uint32_t>(sync.size()));
    for (std::uint32_t number : sync)
      out.u32(number);
    out.end(stss);
  }

  // Sample to chunk: a new entry whenever the chunk size or description
  // changes.
  struct ChunkRun {
    std::uint32_t firstChunk;
    std::uint32_t samplesPerChunk;
    std::uint32_t description;
  };
  std::vector<ChunkRun> chunkRuns;
  const std::vector<MovieChunk>& chunks = track.chunks();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunkRuns.empty() && chunkRuns.back().samplesPerChunk == chunks[i].sampleCount &&
        chunkRuns.back().description == chunks[i].description)
      continue;
    chunkRuns.push_back(
        ChunkRun{static_cast<std::uint32_t>(i + 1), chunks[i].sampleCount, chunks[i].description});
  }
  std::size_t stsc = out.beginFull("stsc", 0, 0);
  out.u32(static_cast<std::uint32_t>(chunkRuns.size()));
  for (const ChunkRun& run : chunkRuns) {
    out.u32(run.firstChunk);
    out.u32(run.samplesPerChunk);
    out.u32(run.description);
  }
  out.end(stsc);

  bool sameSize = std::all_of(samples.begin(), samples.end(), [&](const MovieSample& sample) {
    return sample.size == samples.front().size;
  });
  std::size_t stsz = out.beginFull("stsz", 0, 0);
  if (sameSize && !samples.empty()) {
    out.u32(samples.front().size);
    out.u32(static_cast<std::uint32_t>(samples.size()));
  } else {
    out.u32(0);
    out.u32(static_cast<std::uint32_t>(samples.size()));
    for (const MovieSample& sample : samples)
      out.u32(sample.size);
  }
  out.end(stsz);

  bool wide = std::any_of(chunks.begin(), chunks.end(), [](const MovieChunk& chunk) {
    return !fits32(static_cast<std::int64_t>(chunk.offset));
  });
  std::size_t stco = out.beginFull(wide ? "co64" : "stco", 0, 0);
  out.u32(static_cast<std::uint32_t>(chunks.size()));
  for (const MovieChunk& chunk : chunks) {
    if (wide)
      out.u64(chunk.offset);
    else
      out.u32(static_cast<std::uint32_t>(chunk.offset));
  }
  out.end(stco);

  out.end(stbl);
}

void writeEditList(BoxWriter& out, const MovieTrack& track) {
  const std::vector<MovieEdit>& edits = track.edits();
  bool wide = std::any_of(edits.begin(), edits.end(), [](const MovieEdit& edit) {
    return !fits32(edit.duration) || edit.mediaTime > std::numeric_limits<std::int32_t>::max();
  });
  std::size_t edts = out.begin("edts");
  std::size_t elst = out.beginFull("elst", wide ? 1 : 0, 0);
  out.u32(static_cast<std::uint32_t>(edits.size()));
  for (const MovieEdit& edit : edits) {
    if (wide) {
      out.u64(static_cast<std::uint64_t>(edit.duration));
      out.u64(static_cast<std::uint64_t>(edit.mediaTime));
    } else {
      out.u32(static_cast<std::uint32_t>(edit.duration));
      out.u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(edit.mediaTime)));
    }
    out.u32(kFixedOne); // rate 1.0
  }
  out.end(elst);
  out.end(edts);
}

// The media handler's type and name, and its media header.
void writeMediaHeader(BoxWriter& out, TrackKind kind) {
  switch (kind) {
  case TrackKind::video: {
    std::size_t vmhd = out.beginFull("vmhd", 0, 1);
    out.u16(0x40); // graphics mode: copy
    out.zeros(6);  // opcolor
    out.end(vmhd);
    return;
  }
  case TrackKind::audio: {
    std::size_t smhd = out.beginFull("smhd", 0, 0);
    out.u16(0); // balance
    out.u16(0);
    out.end(smhd);
    return;
  }
  case TrackKind::chapters: {
    std::size_t gmhd = out.begin("gmhd");
    std::size_t gmin = out.beginFull("gmin", 0, 0);
    out.u16(0x40); // graphics mode: copy
    for (int i = 0; i < 3; ++i)
      out.u16(0x8000); // opcolor
    out.u16(0);        // balance
    out.u16(0);
    out.end(gmin);
    std::size_t text = out.begin("text");
    out.matrix();
    out.end(text);
    out.end(gmhd);
    return;
  }
  }
}

void writeTrack(BoxWriter& out, const MovieTrack& track, std::uint32_t trackID,
                std::uint32_t chapterTrackID) {
  bool video = track.kind() == TrackKind::video;
  bool audio = track.kind() == TrackKind::audio;
  std::int64_t duration = track.editedDuration();
  std::int64_t media = mediaDuration(track);
  bool wide = !fits32(duration) || !fits32(media);

  std::size_t trak = out.begin("trak");

  // Chapters stay disabled: players then list them as chapters and do not
  // offer them as subtitles.
  std::size_t tkhd = out.beginFull("tkhd", wide ? 1 : 0, video || audio ? 0x3 : 0x2);
  if (wide) {
    out.u64(0);
    out.u64(0);
    out.u32(trackID);
    out.u32(0);
    out.u64(static_cast<std::uint64_t>(duration));
  } else {
    out.u32(0); // creation time
    out.u32(0); // modification time
    out.u32(trackID);
    out.u32(0);
    out.u32(static_cast<std::uint32_t>(duration));
  }
  out.zeros(8);
  out.u16(0);                  // layer
  out.u16(audio ? 1 : 0);      // alternate group
  out.u16(audio ? 0x0100 : 0); // volume
  out.u16(0);
  out.matrix();
  const TrackFormat& format = track.descriptions().front();
  out.u32(video ? static_cast<std::uint32_t>(format.width) << 16 : 0);
  out.u32(video ? static_cast<std::uint32_t>(format.height) << 16 : 0);
  out.end(tkhd);

  if (!track.edits().empty())
    writeEditList(out, track);
  if (chapterTrackID != 0 && (video || audio)) {
    std::size_t tref = out.begin("tref");
    std::size_t chap = out.begin("chap");
    out.u32(chapterTrackID);
    out.end(chap);
    out.end(tref);
  }

  std::size_t mdia = out.begin("mdia");
  std::size_t mdhd = out.beginFull("mdhd", wide ? 1 : 0, 0);
  if (wide) {
    out.u64(0);
    out.u64(0);
    out.u32(track.timescale());
    out.u64(static_cast<std::uint64_t>(media));
  } else {
    out.u32(0);
    out.u32(0);
    out.u32(track.timescale());
    out.u32(static_cast<std::uint32_t>(media));
  }
  out.u16(0x55c4); // "und"
  out.u16(0);      // quality
  out.end(mdhd);

  std::size_t hdlr = out.beginFull("hdlr", 0, 0);
  out.fourcc("mhlr");
  out.fourcc(video ? "vide" : audio ? "soun" : "text");
  out.zeros(12);
  out.pascalString(video ? "VideoHandler" : audio ? "SoundHandler" : "SubtitleHandler");
  out.end(hdlr);

  std::size_t minf = out.begin("minf");
  writeMediaHeader(out, track.kind());
  std::size_t dataHandler = out.beginFull("hdlr", 0, 0);
  out.fourcc("dhlr");
  out.fourcc("alis");
  out.zeros(12);
  out.pascalString("DataHandler");
  out.end(dataHandler);
  std::size_t dinf = out.begin("dinf");
  std::size_t dref = out.beginFull("dref", 0, 0);
  out.u32(1);
  std::size_t alis = out.beginFull("alis", 0, 1); // the media is in this file
  out.end(alis);
  out.end(dref);
  out.end(dinf);
  writeSampleTables(out, track);
  out.end(minf);
  out.end(mdia);
  out.end(trak);
}

} // namespace

std::uint32_t MovieTrack::descriptionFor(const TrackFormat& format) {
  for (std::size_t i = 0; i < descriptions_.size(); ++i) {
    if (descriptions_[i] == format)
      return static_cast<std::uint32_t>(i + 1);
  }
  descriptions_.push_back(format);
  return static_cast<std::uint32_t>(descriptions_.size());
}

std::int64_t MovieTrack::mediaEnd() const {
  if (samples_.empty())
    return 0;
  return samples_.back().decodeTime + lastSampleDuration_;
}

void MovieTrack::addSample(const MovieSample& sample, std::uint32_t description, bool startChunk) {
  bool follows = false;
  if (!chunks_.empty()) {
    const MovieSample& previous = samples_.back();
    follows = previous.offset + previous.size == sample.offset &&
              chunks_.back().description == description;
  }
  if (startChunk || !follows) {
    chunks_.push_back(
        MovieChunk{sample.offset, static_cast<std::uint32_t>(samples_.size()), 0, description});
  }
  ++chunks_.back().sampleCount;
  samples_.push_back(sample);
}

std::vector<std::int64_t> MovieTrack::sampleDurations() const {
  std::vector<std::int64_t> durations;
  durations.reserve(samples_.size());
  for (std::size_t i = 0; i + 1 < samples_.size(); ++i)
    durations.push_back(samples_[i + 1].decodeTime - samples_[i].decodeTime);
  if (!samples_.empty())
    durations.push_back(lastSampleDuration_);
  return durations;
}

std::int64_t MovieTrack::editedDuration() const {
  if (edits_.empty()) {
    std::int64_t media = mediaDuration(*this);
    return timescale_ == 0 ? 0 : (media * kMovieTimescale + timescale_ - 1) / timescale_;
  }
  std::int64_t total = 0;
  for (const MovieEdit& edit : edits_)
    total += edit.duration;
  return total;
}

std::vector<std::uint8_t> buildMovieBox(const std::vector<const MovieTrack*>& tracks,
                                        const std::vector<MovieChapter>& chapters) {
  std::vector<const MovieTrack*> present;
  std::uint32_t chapterTrackID = 0;
  for (const MovieTrack* track : tracks) {
    if (track->samples().empty())
      continue;
    present.push_back(track);
    if (track->kind() == TrackKind::chapters)
      chapterTrackID = static_cast<std::uint32_t>(present.size());
  }
  std::int64_t duration = 0;
  for (const MovieTrack* track : present)
    duration = std::max(duration, track->editedDuration());
  bool wide = !fits32(duration);

  BoxWriter out;
  std::size_t moov = out.begin("moov");
  std::size_t mvhd = out.beginFull("mvhd", wide ? 1 : 0, 0);
  if (wide) {
    out.u64(0);
    out.u64(0);
    out.u32(kMovieTimescale);
    out.u64(static_cast<std::uint64_t>(duration));
  } else {
    out.u32(0); // creation time
    out.u32(0); // modification time
    out.u32(kMovieTimescale);
    out.u32(static_cast<std::uint32_t>(duration));
  }
  out.u32(kFixedOne); // rate
  out.u16(0x0100);    // volume
  out.zeros(10);
  out.matrix();
  out.zeros(24); // preview, poster, selection and current time
  out.u32(static_cast<std::uint32_t>(present.size() + 1)); // next track id
  out.end(mvhd);
  for (std::size_t i = 0; i < present.size(); ++i)
    writeTrack(out, *present[i], static_cast<std::uint32_t>(i + 1), chapterTrackID);
  if (!chapters.empty()) {
    // Nero chapters: start times in 100 ns units, titles of at most 255
    // bytes.
    std::size_t udta = out.begin("udta");
    std::size_t chpl = out.beginFull("chpl", 1, 0);
    out.u32(0);
    std::size_t count = std::min<std::size_t>(chapters.size(), 255);
    out.u8(static_cast<std::uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
      out.u64(static_cast<std::uint64_t>(chapters[i].start) * 10'000'000 / kMovieTimescale);
      out.pascalString(utf8Prefix(chapters[i].title, 255));
    }
    out.end(chpl);
    out.end(udta);
  }
  out.end(moov);
  return out.take();
}

std::error_code QuickTimeWriter::start(int fd) {
  fd_ = fd;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  position_ = 0;
  lastTrack_ = nullptr;

  BoxWriter header;
  std::size_t ftyp = header.begin("ftyp");
  header.fourcc("qt  ");
  header.u32(0x00000200);
  header.fourcc("qt  ");
  header.end(ftyp);
  // The media data box always takes the 64-bit size form: its length is
  // known only at the end and may pass 4 GB.
  mediaDataStart_ = 20;
  header.u32(1);
  header.fourcc("mdat");
  header.u64(0);
  std::vector<std::uint8_t> bytes = header.take();
  return writeBytes(bytes.data(), bytes.size());
}

std::error_code QuickTimeWriter::writeSample(MovieTrack& track, const std::uint8_t* data,
                                             std::size_t size, std::int64_t decodeTime,
                                             std::int32_t compositionOffset, bool sync,
                                             std::uint32_t description, bool startChunk) {
  if (size > std::numeric_limits<std::uint32_t>::max())
    return std::make_error_code(std::errc::file_too_large);
  MovieSample sample;
  sample.offset = position_;
  sample.size = static_cast<std::uint32_t>(size);
  sample.decodeTime = decodeTime;
  sample.compositionOffset = compositionOffset;
  sample.sync = sync;
  // Samples of one track that follow each other in the file share a chunk;
  // a sample of the other track in between starts a new one.
  track.addSample(sample, description, startChunk || lastTrack_ != &track);
  lastTrack_ = &track;
  return writeBytes(data, size);
}

std::error_code QuickTimeWriter::finish(const std::vector<const MovieTrack*>& tracks,
                                        const std::vector<MovieChapter>& chapters) {
  if (fd_ < 0)
    return std::make_error_code(std::errc::bad_file_descriptor);
  std::int64_t duration = 0;
  for (const MovieTrack* track : tracks) {
    if (!track->samples().empty())
      duration = std::max(duration, track->editedDuration());
  }
  // A chapter must start within the movie and after the one before.
  std::vector<MovieChapter> shown;
  for (const MovieChapter& chapter : chapters) {
    if (chapter.start < duration && (shown.empty() || chapter.start > shown.back().start))
      shown.push_back(chapter);
  }
  // Time before the first chapter belongs to it.
  if (!shown.empty()) {
    shown.front().start = 0;
  }
  MovieTrack chapterTrack(TrackKind::chapters, kMovieTimescale);
  std::vector<const MovieTrack*> all = tracks;
  if (!shown.empty()) {
    TrackFormat format;
    format.kind = TrackKind::chapters;
    std::uint32_t description = chapterTrack.descriptionFor(format);
    for (const MovieChapter& chapter : shown) {
      std::vector<std::uint8_t> sample = chapterSample(chapter.title);
      if (std::error_code error = writeSample(chapterTrack, sample.data(), sample.size(),
                                              chapter.start, 0, true, description, false))
        return error;
    }
    chapterTrack.setLastSampleDuration(duration - chapterTrack.samples().back().decodeTime);
    all.push_back(&chapterTrack);
  }
  if (std::error_code error = flush())
    return error;
  std::uint64_t mediaDataSize = position_ - mediaDataStart_;
  std::uint8_t size[8];
  for (int i = 0; i < 8; ++i)
    size[i] = static_cast<std::uint8_t>(mediaDataSize >> (56 - 8 * i));
  if (::pwrite(fd_, size, sizeof size, static_cast<off_t>(mediaDataStart_ + 8)) !=
      static_cast<ssize_t>(sizeof size))
    return lastError();

  std::vector<std::uint8_t> movie = buildMovieBox(all, shown);
  if (std::error_code error = writeBytes(movie.data(), movie.size()))
    return error;
  if (std::error_code error = flush())
    return error;
  fd_ = -1;
  return {};
}

std::error_code QuickTimeWriter::flush() {
  std::error_code error = writeAll(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return error;
}

std::error_code QuickTimeWriter::writeBytes(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0)
    return std::make_error_code(std::errc::bad_file_descriptor);
  position_ += size;
  if (buffer_.size() + size > kBufferSize) {
    if (std::error_code error = flush())
      return error;
  }
  if (size >= kBufferSize / 2)
    return writeAll(fd_, data, size); // not worth another copy
  buffer_.insert(buffer_.end(), data, data + size);
  return {};
}

} // namespace vidorel
