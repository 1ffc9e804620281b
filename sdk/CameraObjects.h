#pragma once

// The references an implementation of the camera SDK functions hands out
// (camera lists, cameras, directory items, streams) and the rules they share:
// a handle is never reused, each use checks the kind, EdsRelease counts down.

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "camera/EDSDKApi.h"

enum class TSdkKind { List, Camera, Item, Stream };

struct TSdkObject {
  explicit TSdkObject(TSdkKind Kind) : Kind(Kind) {}
  virtual ~TSdkObject() = default;
  const TSdkKind Kind;
  EdsUInt32 RefCount = 1;
};

// Each listed camera holds one reference more while the list lives.
struct TSdkCameraList : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::List;
  TSdkCameraList() : TSdkObject(Is) {}
  std::vector<EdsBaseRef> Cameras;
};

using TSdkObjectMap = std::unordered_map<EdsBaseRef, std::shared_ptr<TSdkObject>>;

// The live references of one implementation; its own lock guards the table.
class TSdkObjects {
 public:
  // Handles are numbers never reused, so a reference from an ended SDK instance names nothing.
  EdsBaseRef Register(std::shared_ptr<TSdkObject> Object);

  // The object of type T behind Ref, null when Ref is not live or of another kind.
  template <typename T>
  std::shared_ptr<T> Find(EdsBaseRef Ref) const {
    auto found = Objects.find(Ref);
    if (found == Objects.end() || found->second->Kind != T::Is) return nullptr;
    return std::static_pointer_cast<T>(found->second);
  }

  // A new list of Cameras, each taking one reference more.
  EdsBaseRef RegisterList(std::vector<EdsBaseRef> Cameras);
  // Only a camera list has children.
  EdsError ChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) const;
  // The camera at Index of the list Ref, with one reference more for the caller.
  EdsError ChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild);
  // The count left, or Refused. A camera's last reference is the SDK's own and stays;
  // an object whose count reaches 0 moves to Dropped, for the caller to destroy unlocked.
  EdsUInt32 Release(EdsBaseRef Ref, EdsUInt32 Refused, std::shared_ptr<TSdkObject>& Dropped);

  // Every object, for the caller to destroy once it has let go of its lock.
  TSdkObjectMap TakeAll() { return std::exchange(Objects, {}); }
  std::size_t Size() const { return Objects.size(); }

 private:
  TSdkObject* Get(EdsBaseRef Ref, TSdkKind Kind) const;

  TSdkObjectMap Objects;
  std::uintptr_t NextHandle = 1;
};
