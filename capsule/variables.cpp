// Commands that write the media-capsule record and schedule the staged image.
#include "media_capsule.h"

// Not yet carried by this image: both refuse without touching any variable.
EFI_STATUS SetMediaRecord(const UINT8 *, UINT32) { return EFI_UNSUPPORTED; }
EFI_STATUS ScheduleCapsule(const UINT8 *, UINT32) { return EFI_UNSUPPORTED; }
