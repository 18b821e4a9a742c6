// MediaCapsuleSmm's functions and globals, taken from the image. SetJump and LongJump stay
// the host's (the tests use them to escape the image's endless loops), and a long jump made
// while the image runs waits until the emulator has stopped.
#pragma once
#include "support.h"
#include <capsule/media_capsule.h>
#include <capsule/set_jump.h>
#include <capsule/smm_memory.h>

#define SmmSystemTable IMAGE_VARIABLE(SmmSystemTable)
#define SmmRuntimeServices IMAGE_VARIABLE(SmmRuntimeServices)
#define BufferValidation IMAGE_VARIABLE(BufferValidation)
#define StagingCapacity IMAGE_VARIABLE(StagingCapacity)
#define StagedSize IMAGE_VARIABLE(StagedSize)
#define DescriptorPool IMAGE_VARIABLE(DescriptorPool)
#define CapsulePending IMAGE_VARIABLE(CapsulePending)
#define EntryStatus IMAGE_VARIABLE(EntryStatus)
#define EntryJumpBuffer IMAGE_VARIABLE(EntryJumpBuffer)
#define NotifyRegistration IMAGE_VARIABLE(NotifyRegistration)
#define SxDispatchHandles IMAGE_VARIABLE(SxDispatchHandles)
#define MediaCapsuleHandle IMAGE_VARIABLE(MediaCapsuleHandle)
#define MediaCapsuleProtocol IMAGE_VARIABLE(MediaCapsuleProtocol)
#define SmmRuntimeServicesFound IMAGE_VARIABLE(SmmRuntimeServicesFound)
#define SmmVariable IMAGE_VARIABLE(SmmVariable)
#define RecognisedCapsuleGuids IMAGE_VARIABLE(RecognisedCapsuleGuids)
#define SetMediaRecord IMAGE_FUNCTION(SetMediaRecord)
#define ScheduleCapsule IMAGE_FUNCTION(ScheduleCapsule)
#define FindFreeCapsuleVariableName IMAGE_FUNCTION(FindFreeCapsuleVariableName)
#define WriteDecimalSuffix IMAGE_FUNCTION(WriteDecimalSuffix)
#define CapsuleVariablePresent IMAGE_FUNCTION(CapsuleVariablePresent)
#define SleepEntryHandler IMAGE_FUNCTION(SleepEntryHandler)
#define PrepareCapsuleWake IMAGE_FUNCTION(PrepareCapsuleWake)
#define ArmRtcWakeAndSuspend IMAGE_FUNCTION(ArmRtcWakeAndSuspend)
#define RtcRead IMAGE_FUNCTION(RtcRead)
#define RtcWrite IMAGE_FUNCTION(RtcWrite)
#define ModuleEntry IMAGE_FUNCTION(ModuleEntry)
#define MediaCapsuleSmmEntry IMAGE_FUNCTION(MediaCapsuleSmmEntry)
#define SmramRanges IMAGE_VARIABLE(SmramRanges)
#define SmramRangeCount IMAGE_VARIABLE(SmramRangeCount)
#define HeapRecordList IMAGE_VARIABLE(HeapRecordList)
#define HeapRecordListRecord IMAGE_VARIABLE(HeapRecordListRecord)
#define ReadSmramRanges IMAGE_FUNCTION(ReadSmramRanges)
#define SmmPoolAllocate IMAGE_FUNCTION(SmmPoolAllocate)
#define PoolFree IMAGE_FUNCTION(PoolFree)
#define ReleaseOwnPool IMAGE_FUNCTION(ReleaseOwnPool)
#define IsBufferInSmram IMAGE_FUNCTION(IsBufferInSmram)
#define ImportHeapRecords IMAGE_FUNCTION(ImportHeapRecords)
#define ReportFatalCode IMAGE_FUNCTION(ReportFatalCode)
#define IsSimulationPlatform IMAGE_FUNCTION(IsSimulationPlatform)
#define WaitFatalDisplay IMAGE_FUNCTION(WaitFatalDisplay)
#define StartDebugChannels IMAGE_FUNCTION(StartDebugChannels)
#define MemoryLogValid IMAGE_FUNCTION(MemoryLogValid)
#define NextHeapRecordHob IMAGE_FUNCTION(NextHeapRecordHob)
#define StoreLibraryTables IMAGE_FUNCTION(StoreLibraryTables)
// The debug channels' records hold functions with the image's calling convention, which the
// tests call with the host's: they get host copies whose members run the image's functions.
namespace image_capsule {
const DEBUG_CHANNEL &Channel(const char *Name);
const DEBUG_CHANNEL *(&Channels())[4];
}  // namespace image_capsule
#define Port80Channel (::image_capsule::Channel("Port80Channel"))
#define SerialChannel (::image_capsule::Channel("SerialChannel"))
#define MemoryLogChannel (::image_capsule::Channel("MemoryLogChannel"))
#define DebugChannels (::image_capsule::Channels())
#define LongJump(Buffer, Value) ::image::Emulator::Get().Unwind([=] { ::LongJump(Buffer, Value); })

#ifdef IMAGE_DEFINE_THUNKS
#include <map>
#include <string>

namespace image_capsule {
const DEBUG_CHANNEL &Channel(const char *Name) {
  static std::map<std::string, DEBUG_CHANNEL> Copies;
  const auto &I = ::image::Variable<const DEBUG_CHANNEL>(Name);
  auto At = [](auto F) { return reinterpret_cast<uint64_t>(F); };
  DEBUG_CHANNEL &C = Copies[Name];
  C.IsSupported = ::image::HostCallable<BOOLEAN>::For(At(I.IsSupported));
  C.Initialise = ::image::HostCallable<VOID>::For(At(I.Initialise));
  C.IsSupportedAgain = ::image::HostCallable<BOOLEAN>::For(At(I.IsSupportedAgain));
  C.Write = ::image::HostCallable<VOID, const UINT8 *, UINTN>::For(At(I.Write));
  return C;
}

// The image's list as it stands, with its records replaced by their host copies.
const DEBUG_CHANNEL *(&Channels())[4] {
  static const DEBUG_CHANNEL *Host[4];
  const auto &I = ::image::Variable<const DEBUG_CHANNEL *const[4]>("DebugChannels");
  for (int K = 0; K < 4; ++K) {
    Host[K] = I[K];
    for (const char *Name : {"Port80Channel", "SerialChannel", "MemoryLogChannel"})
      if (I[K] != nullptr && reinterpret_cast<uint64_t>(I[K]) == ::image::Symbol(Name)) Host[K] = &Channel(Name);
  }
  return Host;
}
}  // namespace image_capsule

IMAGE_MIRROR(StagingBuffer)
IMAGE_THUNK(EFI_STATUS, StageBlock, (const STAGE_BLOCK_REQUEST *Request), (Request))
IMAGE_THUNK(EFI_STATUS, GetInfo, (MEDIA_CAPSULE_INFO * Info), (Info))
IMAGE_THUNK(EFI_STATUS, Command, (const CAPSULE_COMMAND_REQUEST *Request), (Request))
IMAGE_THUNK(EFI_STATUS, NoOperation, (), ())
#endif
