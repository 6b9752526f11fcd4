// Declarations only, for compile-checking the macOS backend on other systems. In C++ the
// platform declares dispatch objects as a hierarchy of structs that cannot be created or
// copied; the same shape here lets the main queue pass for a queue and any object for a
// dispatch_object_t, while a source never passes for a queue.
#pragma once

#include <os/availability.h>
#include <stdint.h>

#ifndef __cplusplus
#error "these declarations cover C++ only"
#endif

extern "C" {

struct dispatch_object_s {
 private:
  dispatch_object_s();
  ~dispatch_object_s();
  dispatch_object_s(const dispatch_object_s&);
  void operator=(const dispatch_object_s&);
};
typedef dispatch_object_s* dispatch_object_t;

struct dispatch_queue_s : public dispatch_object_s {};
typedef dispatch_queue_s* dispatch_queue_t;
struct dispatch_queue_global_s : public dispatch_queue_s {};
typedef dispatch_queue_global_s* dispatch_queue_global_t;
struct dispatch_queue_serial_s : public dispatch_queue_s {};
typedef dispatch_queue_serial_s* dispatch_queue_serial_t;
struct dispatch_queue_main_s : public dispatch_queue_serial_s {};
typedef dispatch_queue_main_s* dispatch_queue_main_t;
struct dispatch_source_s : public dispatch_object_s {};
typedef dispatch_source_s* dispatch_source_t;

typedef const struct dispatch_source_type_s* dispatch_source_type_t;
extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

typedef void (*dispatch_function_t)(void*);

typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)

enum qos_class_t : unsigned int {
  QOS_CLASS_USER_INTERACTIVE = 0x21,
  QOS_CLASS_USER_INITIATED = 0x19,
  QOS_CLASS_DEFAULT = 0x15,
  QOS_CLASS_UTILITY = 0x11,
  QOS_CLASS_BACKGROUND = 0x09,
  QOS_CLASS_UNSPECIFIED = 0x00
};

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);

// A signal source installs no handler: the signal must be ignored first.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
void dispatch_set_context(dispatch_object_t object, void* context);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_activate(dispatch_object_t object) API_AVAILABLE(macos(10.12));

}  // extern "C"
