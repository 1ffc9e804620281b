#include "sdk/CameraObjects.h"


EdsBaseRef TSdkObjects::Register(std::shared_ptr<TSdkObject> Object) {
  const auto handle = reinterpret_cast<EdsBaseRef>(NextHandle++ << 4);
  Objects.emplace(handle, std::move(Object));
  return handle;
}

TSdkObject* TSdkObjects::Get(EdsBaseRef Ref, TSdkKind Kind) const {
  auto found = Objects.find(Ref);
  return found == Objects.end() || found->second->Kind != Kind ? nullptr : found->second.get();
}

EdsBaseRef TSdkObjects::RegisterList(std::vector<EdsBaseRef> Cameras) {
  auto list = std::make_shared<TSdkCameraList>();
  for (EdsBaseRef ref : Cameras) {
    TSdkObject* camera = Get(ref, TSdkKind::Camera);
    if (!camera) continue;
    ++camera->RefCount;
    list->Cameras.push_back(ref);
  }
  return Register(std::move(list));
}

EdsError TSdkObjects::ChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) const {
  if (!OutCount) return EdsResult_InvalidParameter;
  auto found = Objects.find(Ref);
  if (found == Objects.end()) return EdsResult_InvalidHandle;
  *OutCount = found->second->Kind == TSdkKind::List
                  ? EdsUInt32(static_cast<TSdkCameraList&>(*found->second).Cameras.size())
                  : 0;
  return EdsResult_Ok;
}

EdsError TSdkObjects::ChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  if (!OutChild) return EdsResult_InvalidParameter;
  auto list = Find<TSdkCameraList>(Ref);
  if (!list) return EdsResult_InvalidHandle;
  if (Index < 0 || Index >= EdsInt32(list->Cameras.size())) return EdsResult_InvalidParameter;
  TSdkObject* camera = Get(list->Cameras[Index], TSdkKind::Camera);
  if (!camera) return EdsResult_DeviceNotFound;
  ++camera->RefCount;
  *OutChild = list->Cameras[Index];
  return EdsResult_Ok;
}

EdsUInt32 TSdkObjects::Release(EdsBaseRef Ref, EdsUInt32 Refused,
                               std::shared_ptr<TSdkObject>& Dropped) {
  auto found = Objects.find(Ref);
  if (found == Objects.end()) return Refused;
  TSdkObject& object = *found->second;
  if (object.Kind == TSdkKind::Camera && object.RefCount <= 1) return Refused;
  if (--object.RefCount > 0) return object.RefCount;
  if (object.Kind == TSdkKind::List)
    for (EdsBaseRef camera : static_cast<TSdkCameraList&>(object).Cameras)
      if (TSdkObject* held = Get(camera, TSdkKind::Camera)) --held->RefCount;
  Dropped = std::move(found->second);
  Objects.erase(found);
  return 0;
}
