// A film of one series: the pictures its catalog recorded in a span of time, in the order they
// were stored, one decoded at a time into the encoder. The film appears complete under its
// name or not at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "base/text.h"
#include "capture/store/catalog.h"
#include "film/filmencoder.h"

namespace tessaly {

struct TFilmRequest {
  int64_t Series = 0;
  Text Dir;  // the series' directory
  // The pictures stored in [From, To), seconds since the epoch.
  int64_t From = 0;
  int64_t To = INT64_MAX;
  Text Out;
  TFilmSettings Settings;
  // 0: one picture per frame at Settings.Fps. Otherwise each frame is held for the time to the
  // next picture divided by RealTime, that time cut to MaxGap seconds (0: never cut).
  double RealTime = 0;
  int64_t MaxGap = 0;
};

struct TFilmCount {
  int64_t Pictures = 0;  // catalogued in the span
  int64_t Done = 0;      // of them looked at
  int64_t Frames = 0;
  int64_t Gone = 0;        // no file (or not a regular file) at the name
  int64_t Unreadable = 0;  // could not be read or decoded
  int64_t NotPictures = 0;
  int64_t DurationMs = 0;  // of the film
  int Width = 0;           // of the film
  int Height = 0;
};

// Makes the film; a picture that is gone, unreadable or not a picture is counted and passed.
// progress is called after each picture. stop ends it early (false, error "stopped"). The film
// is written to a hidden file beside Out, synced and renamed to Out, which it never replaces;
// on any failure the hidden file is removed and Out is not made. False, error saying why.
bool MakeFilm(TCatalog& catalog, const TFilmRequest& request, const std::atomic<bool>& stop,
              const std::function<void(const TFilmCount&)>& progress, TFilmCount& count,
              Text& error);

}  // namespace tessaly
