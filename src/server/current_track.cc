#include "server/current_track.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "log/log.h"
#include "platform/thread.h"
#include "track/track_geometry.h"
#include "track/track_loader.h"

CurrentTrack::CurrentTrack(LogFile* log, std::optional<std::string> tracks_dir)
    : log_(log), tracks_dir_(std::move(tracks_dir)) {}

bool CurrentTrack::OnSessionTrack(const char (&track_name)[64]) {
  // The field need not hold a NUL: compare and copy at most its 64 bytes.
  char name[65];
  std::memcpy(name, track_name, 64);
  name[64] = '\0';
  {
    MutexLock lock(&mu_);
    // A geometry without a name reads as the empty name.
    if (current_ && std::strcmp(current_->track_name(), name) == 0) return false;
  }
  ReapLoaders();
  if (cancel_.load()) return false;

  std::shared_ptr<TrackGeometry> geometry;
  auto loader = std::unique_ptr<Loader>(new (std::nothrow) Loader);
  try {
    geometry = std::make_shared<TrackGeometry>();
  } catch (const std::bad_alloc&) {
  }
  if (!geometry || !loader || (name[0] != '\0' && !geometry->SetTrackName(name))) {
    log_->WriteLog("ERROR: Out of memory loading the track outline.\n");
    MutexLock lock(&mu_);
    current_.reset();
    return false;
  }
  {
    MutexLock lock(&mu_);
    current_ = geometry;  // the old one lives on while a reader or loader holds it
  }
  TrackSearchOptions options;
  options.tracks_dir = tracks_dir_;
  options.cancel = &cancel_;
  Loader* raw = loader.get();
  std::string track(name);
  const bool started = raw->thread.Start([this, geometry, track, options, raw]() mutable {
    try {
      AiwLoaderThread(std::move(geometry), std::move(track), log_, std::move(options));
    } catch (const std::bad_alloc&) {
      log_->WriteLog("ERROR: Out of memory loading the track outline.\n");
    }
    raw->done.store(true);
  });
  if (!started) {
    log_->WriteLog("ERROR: Failed to start the track loader thread.\n");
    return false;
  }
  MutexLock lock(&loaders_mu_);
  loaders_.push_back(std::move(loader));
  return true;
}

std::shared_ptr<const TrackGeometry> CurrentTrack::LoadedGeometry() const {
  std::shared_ptr<const TrackGeometry> geometry;
  {
    MutexLock lock(&mu_);
    geometry = current_;
  }
  if (geometry && geometry->loaded()) return geometry;
  return nullptr;
}

void CurrentTrack::ReapLoaders() {
  std::list<std::unique_ptr<Loader>> done;
  {
    MutexLock lock(&loaders_mu_);
    for (auto it = loaders_.begin(); it != loaders_.end();) {
      auto next = std::next(it);
      if ((*it)->done.load()) done.splice(done.end(), loaders_, it);
      it = next;
    }
  }
  for (auto& loader : done) loader->thread.Join();
}

void CurrentTrack::Stop() {
  cancel_.store(true);
  std::list<std::unique_ptr<Loader>> loaders;
  {
    MutexLock lock(&loaders_mu_);
    loaders.swap(loaders_);
  }
  for (auto& loader : loaders) loader->thread.Join();
  MutexLock lock(&mu_);
  current_.reset();
}

int CurrentTrack::loader_threads() const {
  MutexLock lock(&loaders_mu_);
  return static_cast<int>(loaders_.size());
}

bool CurrentTrack::loading() const {
  MutexLock lock(&loaders_mu_);
  return std::any_of(loaders_.begin(), loaders_.end(),
                     [](const std::unique_ptr<Loader>& loader) { return !loader->done.load(); });
}
