// What one capture job gets from the worker that runs it.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

#include "base/text.h"
#include "base/url.h"
#include "capture/job/joboutcome.h"
#include "capture/job/seriesdirectory.h"
#include "media/rtspsource.h"

namespace tessaly {

// What a job keeps of an answer beyond the window's rule of storing every complete one; the
// console program's choices, all off by default.
struct TJobOptions {
  bool FailOnHttpError = false;  // a status of 400 or more is a failed fetch
  bool ImagesOnly = false;       // only complete JPEG, PNG, GIF and WebP pictures are stored
  bool SkipUnchanged = false;    // an answer equal to LastStored is not stored again
  bool FollowRedirects = false;  // up to 5 redirects in a row are followed
  bool AllowDowngrade = false;   // and among them one from https to http
  Text LastStored = {};          // the series' last stored picture; "" before the first
};

// How a job's TLS connections trust the camera: the console program's choices per camera. The
// default is full verification against the system's store.
struct TJobTls {
  Text CaFile;            // a PEM bundle trusted besides the system's store
  Text Pin;               // "sha256//BASE64[;...]": exactly these public keys are trusted
  bool Insecure = false;  // no verification at all
  bool Legacy = false;    // old TLS: TLS 1.0/1.1, RSA key exchange, CBC, legacy renegotiation
};

class TJobContext {
 public:
  virtual ~TJobContext() = default;

  // The address field's text when the job was started (the field is locked during a series).
  virtual const Text& Address() const = 0;
  // The same address already read, when whoever started the job has it.
  virtual const TAddress* AddressValue() const { return nullptr; }
  // The counter value this job names its file with.
  virtual int32_t Counter() const = 0;
  // The series directory, ending with "/".
  virtual const Text& SaveDir() const = 0;
  // The series directory as it was when the series started; not Known when that was not read.
  virtual TDirectoryIdentity SaveDirIdentity() const { return {}; }
  // Why nothing is stored when another directory than SaveDirIdentity is at SaveDir.
  virtual Text DirectoryReplacedReason() const { return DirectoryReplacedText(SaveDir()); }

  // Full path in SaveDir of a file that does not exist yet, made from name and Counter; it is
  // shown in the window caption before this returns.
  virtual Text MakeFileName(const Text& name) = 0;
  // Modal message box on the window thread; returns once dismissed (at once after closing).
  virtual void ShowMessage(const Text& text) = 0;
  // Sets the window caption and returns once it is shown (at once after closing).
  virtual void SetCaption(const Text& text) = 0;

  // The session its series keeps open to an rtsp camera between ticks; none for a session of
  // the job's own. It outlives the job.
  virtual TWarmRtsp* WarmSource() const { return nullptr; }

  // This job's choices of what to keep.
  virtual TJobOptions Options() const { return {}; }
  // How this job's TLS connections trust the camera.
  virtual TJobTls Tls() const { return {}; }
  // Called once before a body of that many bytes is stored: 0 to store it, or the errno value
  // the store then fails with, leaving nothing written; why may then say more.
  virtual int MakeRoom(int64_t bytes, Text& why) {
    (void)bytes;
    why.clear();
    return 0;
  }
  // Called once a picture's name is chosen, before it is written: "" to write it, or why its
  // record cannot be written (nothing is stored then). Every picture is recorded before its
  // name appears, so that no kill leaves one unrecorded.
  virtual Text Intend(const Text& path, int64_t bytes) {
    (void)path;
    (void)bytes;
    return Text();
  }
  // Called after each write that Intend allowed: named tells whether path now holds it.
  virtual void Written(const Text& path, int64_t bytes, bool named) {
    (void)path;
    (void)bytes;
    (void)named;
  }
  // Called once by a job that was not stopped, before it ends: stored, or why it failed.
  virtual void ReportOutcome(const TJobOutcome& outcome) { (void)outcome; }

  // Requested when the window closes: the job should end soon and leave no partial file.
  virtual std::stop_token StopToken() const = 0;
  bool StopRequested() const { return StopToken().stop_requested(); }
};

// The work of every worker: one fetch and store. Failures are the job's own business; whatever
// it does, the scheduler advances the counter afterwards.
using TCaptureJob = std::function<void(TJobContext& job)>;

}  // namespace tessaly
