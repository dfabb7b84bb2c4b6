#include "film/filmmaker.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "film/picturedecoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace tessaly {
namespace {

// Rows read from the catalog at a time: the film's memory does not grow with the series.
constexpr int kBatch = 256;
// A picture larger than this is not one a camera sent.
constexpr int64_t kLargestPicture = int64_t{256} << 20;

Text DirectoryOf(const Text& path) {
  const size_t slash = path.rfind('/');
  return slash == Text::npos ? Text(".") : slash == 0 ? Text("/") : path.substr(0, slash);
}

Text BaseOf(const Text& path) {
  const size_t slash = path.rfind('/');
  return slash == Text::npos ? path : path.substr(slash + 1);
}

bool SyncPath(const Text& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

enum class TRead { Read, Gone, Unreadable };

// The picture's bytes into buffer (with the decoder's zero padding after size), by its name in
// the directory open at dir_fd; a link is not followed.
TRead ReadPicture(int dir_fd, const Text& name, std::vector<uint8_t>& buffer, size_t& size) {
  size = 0;
  const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ELOOP ? TRead::Gone : TRead::Unreadable;
  struct stat file {};
  TRead read_as = TRead::Read;
  if (fstat(fd, &file) != 0) {
    read_as = TRead::Unreadable;
  } else if (!S_ISREG(file.st_mode)) {
    read_as = TRead::Gone;
  } else if (file.st_size > kLargestPicture) {
    read_as = TRead::Unreadable;
  } else {
    // The file may grow or shrink while read: what is there, up to the size seen, counts.
    const size_t want = static_cast<size_t>(file.st_size);
    if (buffer.size() < want + TPictureDecoder::kPadding)
      buffer.resize(want + TPictureDecoder::kPadding);
    while (size < want) {
      const ssize_t got = read(fd, buffer.data() + size, want - size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) read_as = TRead::Unreadable;
      if (got <= 0) break;
      size += static_cast<size_t>(got);
    }
    std::memset(buffer.data() + size, 0, TPictureDecoder::kPadding);
  }
  close(fd);
  return read_as;
}

}  // namespace

bool MakeFilm(TCatalog& catalog, const TFilmRequest& request, const std::atomic<bool>& stop,
              const std::function<void(const TFilmCount&)>& progress, TFilmCount& count,
              Text& error) {
  count = {};
  error.clear();
  // FFmpeg's own messages would reach the terminal unescaped; its failures come back as codes.
  av_log_set_level(AV_LOG_QUIET);
  count.Pictures = catalog.CountStored(request.Series, request.From, request.To);
  if (count.Pictures == 0) return error = "the series has no picture in that time", false;
  const int dir_fd = open(request.Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return error = "cannot open " + request.Dir + ": " + std::strerror(errno), false;

  // Beside the film, hidden, so that the rename is within one file system and no player or
  // copy takes a half film for one.
  Text temporary = DirectoryOf(request.Out) + "/." + BaseOf(request.Out) + ".XXXXXX";
  const int temporary_fd = mkstemp(temporary.data());
  if (temporary_fd < 0) {
    close(dir_fd);
    return error = "cannot write beside " + request.Out + ": " + std::strerror(errno), false;
  }
  // The film gets the mode any new file of this process would (mkstemp makes it 0600).
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(temporary_fd, 0666 & ~mask);
  close(temporary_fd);

  TPictureDecoder decoder;
  TFilmEncoder encoder;
  std::vector<uint8_t> buffer;
  bool open = false;
  bool ok = true;
  int64_t pts = 0;
  int64_t previous_pts = 0;
  int64_t last_stored = 0;
  // The real-time pts: seconds of the series times this many ticks.
  const double ticks = request.RealTime > 0 ? TFilmEncoder::kVariableRate / request.RealTime : 0.0;
  double exact_pts = 0;
  int64_t after_stored =
      request.From == std::numeric_limits<int64_t>::min() ? request.From : request.From - 1;
  int64_t after_id = std::numeric_limits<int64_t>::max();
  for (bool more = true; ok && more;) {
    const std::vector<TCatalogPicture> batch =
        catalog.Oldest(request.Series, after_stored, after_id, request.To, kBatch, INT64_MAX);
    more = batch.size() == static_cast<size_t>(kBatch);
    if (!batch.empty()) {
      after_stored = batch.back().Stored;
      after_id = batch.back().Id;
    }
    for (const TCatalogPicture& picture : batch) {
      if (stop.load()) {
        error = "stopped";
        ok = false;
        break;
      }
      ++count.Done;
      size_t size = 0;
      const TRead read = ReadPicture(dir_fd, picture.File, buffer, size);
      Text why;
      const TPictureDecoder::TResult decoded = read == TRead::Read
                                                   ? decoder.Decode(buffer.data(), size, why)
                                                   : TPictureDecoder::TResult::Unreadable;
      if (read == TRead::Gone) {
        ++count.Gone;
      } else if (decoded == TPictureDecoder::TResult::NotPicture) {
        ++count.NotPictures;
      } else if (decoded == TPictureDecoder::TResult::Unreadable) {
        ++count.Unreadable;
      } else {
        const AVFrame* frame = decoder.Frame();
        if (!open) {
          count.Width = frame->width + (frame->width & 1);
          count.Height = frame->height + (frame->height & 1);
          if (!encoder.Open(temporary, frame->width, frame->height, frame->format, request.Settings,
                            error)) {
            ok = false;
            break;
          }
          open = true;
        } else if (ticks > 0) {
          previous_pts = pts;
          int64_t gap = std::max<int64_t>(0, picture.Stored - last_stored);
          if (request.MaxGap > 0) gap = std::min(gap, request.MaxGap);
          exact_pts += static_cast<double>(gap) * ticks;
          // Pictures within one second of each other (the catalog's grain) still get a tick.
          pts = std::max<int64_t>(pts + 1, std::llround(exact_pts));
        } else {
          previous_pts = pts++;
        }
        last_stored = picture.Stored;
        if (!encoder.Add(frame, pts, error)) {
          ok = false;
          break;
        }
        ++count.Frames;
      }
      if (progress) progress(count);
    }
  }
  close(dir_fd);
  // The last frame lasts as long as the one before it (a frame's time with one alone).
  const int64_t last_duration = ticks <= 0 ? 1
                                : count.Frames > 1
                                    ? pts - previous_pts
                                    : TFilmEncoder::kVariableRate / request.Settings.Fps;
  if (ok && !open) {
    error = "none of the " + IntToText(count.Pictures) + " pictures could be read";
    ok = false;
  }
  if (ok) ok = encoder.Finish(last_duration, error);
  encoder.Abandon();
  if (ok && !SyncPath(temporary, O_RDONLY)) {
    error = "cannot sync " + temporary + ": " + std::strerror(errno);
    ok = false;
  }
  if (ok) {
    const int64_t end = pts + last_duration;
    count.DurationMs =
        ticks > 0 ? end * 1000 / TFilmEncoder::kVariableRate : end * 1000 / request.Settings.Fps;
    // Never over a film already there: a day is made once.
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, request.Out.c_str(), RENAME_NOREPLACE) !=
        0) {
      error = "cannot name the film " + request.Out + ": " + std::strerror(errno);
      ok = false;
    } else {
      SyncPath(DirectoryOf(request.Out), O_RDONLY | O_DIRECTORY);
    }
  }
  if (!ok) unlink(temporary.c_str());
  return ok;
}

}  // namespace tessaly
