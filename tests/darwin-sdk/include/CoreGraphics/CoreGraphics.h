// Declarations only, for compile-checking the macOS backend on other systems: the display list,
// display modes, configuration transactions and reconfiguration notices.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <mach/boolean.h>
#include <os/availability.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t CGDirectDisplayID;

#ifdef __cplusplus
enum CGError : int32_t {
#else
typedef int32_t CGError;
enum {
#endif
  kCGErrorSuccess = 0,
  kCGErrorFailure = 1000,
  kCGErrorIllegalArgument = 1001,
  kCGErrorInvalidConnection = 1002,
  kCGErrorInvalidContext = 1003,
  kCGErrorCannotComplete = 1004,
  kCGErrorNotImplemented = 1006,
  kCGErrorRangeCheck = 1007,
  kCGErrorTypeCheck = 1008,
  kCGErrorInvalidOperation = 1010,
  kCGErrorNoneAvailable = 1011
};

// Displays and modes
typedef struct CGDisplayMode* CGDisplayModeRef;
CGError CGGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* onlineDisplays,
                               uint32_t* displayCount);
extern const CFStringRef kCGDisplayShowDuplicateLowResolutionModes;
CFArrayRef CGDisplayCopyAllDisplayModes(CGDirectDisplayID display,
                                        CFDictionaryRef options) CF_RETURNS_RETAINED;
CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID display) CF_RETURNS_RETAINED;
size_t CGDisplayModeGetWidth(CGDisplayModeRef mode);
size_t CGDisplayModeGetHeight(CGDisplayModeRef mode);
size_t CGDisplayModeGetPixelWidth(CGDisplayModeRef mode) API_AVAILABLE(macos(10.8));
size_t CGDisplayModeGetPixelHeight(CGDisplayModeRef mode) API_AVAILABLE(macos(10.8));
double CGDisplayModeGetRefreshRate(CGDisplayModeRef mode);
uint32_t CGDisplayModeGetIOFlags(CGDisplayModeRef mode);
int32_t CGDisplayModeGetIODisplayModeID(CGDisplayModeRef mode);
CGDisplayModeRef CGDisplayModeRetain(CGDisplayModeRef mode);
void CGDisplayModeRelease(CGDisplayModeRef mode);  // NULL-safe

boolean_t CGDisplayIsActive(CGDirectDisplayID display);
boolean_t CGDisplayIsBuiltin(CGDirectDisplayID display);
boolean_t CGDisplayIsInMirrorSet(CGDirectDisplayID display);
boolean_t CGDisplayIsInHWMirrorSet(CGDirectDisplayID display);

// Configuration transactions: Complete or Cancel consumes the configuration.
typedef struct _CGDisplayConfigRef* CGDisplayConfigRef;
typedef uint32_t CGConfigureOption;
enum { kCGConfigureForAppOnly = 0, kCGConfigureForSession = 1, kCGConfigurePermanently = 2 };
CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config);
CGError CGConfigureDisplayWithDisplayMode(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          CGDisplayModeRef mode, CFDictionaryRef options);
CGError CGCancelDisplayConfiguration(CGDisplayConfigRef config);
CGError CGCompleteDisplayConfiguration(CGDisplayConfigRef config, CGConfigureOption option);

// Reconfiguration notices
typedef uint32_t CGDisplayChangeSummaryFlags;
enum {
  kCGDisplayBeginConfigurationFlag = 1u << 0,
  kCGDisplayMovedFlag = 1u << 1,
  kCGDisplaySetMainFlag = 1u << 2,
  kCGDisplaySetModeFlag = 1u << 3,
  kCGDisplayAddFlag = 1u << 4,
  kCGDisplayRemoveFlag = 1u << 5,
  kCGDisplayEnabledFlag = 1u << 8,
  kCGDisplayDisabledFlag = 1u << 9,
  kCGDisplayMirrorFlag = 1u << 10,
  kCGDisplayUnMirrorFlag = 1u << 11,
  kCGDisplayDesktopShapeChangedFlag = 1u << 12
};
typedef void (*CGDisplayReconfigurationCallBack)(CGDirectDisplayID display,
                                                 CGDisplayChangeSummaryFlags flags, void* userInfo);
CGError CGDisplayRegisterReconfigurationCallback(CGDisplayReconfigurationCallBack callback,
                                                 void* userInfo);

#ifdef __cplusplus
}
#endif
