#include "platform/ProjectorFeed.h"

#include <mutex>

namespace {

std::mutex FeedLock;
QImage Feed;

}  // namespace

void PublishProjectorFrame(const QImage& Frame) {
  // A deep copy: the frame may wrap pixel memory that its owner keeps changing.
  QImage copy = Frame.copy();
  std::lock_guard guard(FeedLock);
  Feed = std::move(copy);
}

void ClearProjectorFrame() {
  std::lock_guard guard(FeedLock);
  Feed = QImage();
}

QImage LatestProjectorFrame() {
  std::lock_guard guard(FeedLock);
  return Feed;
}
