// subscribe_to and unsubscribe_from: a subscription is registered before the
// library's subscribe call and removed before its unsubscribe call
// (docs/design-requests.md).
#include "operations/subscriptions.h"

#include "device/velto.h"
#include "streams/registry.h"
#include "streams/stream_types.h"

namespace {

// Removes every subscription of (stream_type, device), then ends the stream
// at the device library; a removed callable goes to the out-slot. The entries
// go whether or not the library agrees: a library subscription it refuses to
// end keeps delivering under a user-data word no subscription has any more.
int32_t unsubscribe_routine(int32_t stream_type, int64_t device, RequestContext* request) {
  registry_remove(stream_type, device, &request->released);
  if (!stream_type_is_known(stream_type)) return STATUS_INVALID_PARAMETER;
  const int32_t status = stream_library_unsubscribe(stream_type, device);
  if (stream_type == STREAM_LOG) registry_set_log(kNoSubscription);
  return status;
}

// Registers `callable` (its reference taken over) for (stream_type, device)
// and subscribes the stream's module callback at the device library. On any
// failure the unsubscribe routine of the pair runs.
int32_t subscribe_routine(int32_t stream_type, int64_t device, PyObject* callable,
                          RequestContext* request) {
  uint64_t user_data = kNoSubscription;
  if (!registry_insert(stream_type, device, callable, request->registry_epoch, &user_data)) {
    // A cleanup() since call_function accepted this request (or a registry
    // full beyond any device library's means): nothing is subscribed, at the
    // module or at the library, and the callable goes back for release.
    request->released.push_back(callable);
    return STATUS_INVALID_PARAMETER;
  }
  int32_t status;
  if (!stream_type_is_known(stream_type)) {
    status = STATUS_INVALID_PARAMETER;
  } else if (stream_type == STREAM_LOG && registry_log() != kNoSubscription) {
    status = STATUS_ALREADY_SUBSCRIBED;
  } else {
    status = stream_library_subscribe(stream_type, device, user_data);
    if (stream_type == STREAM_LOG && status == VELTO_STATUS_OK) registry_set_log(user_data);
  }
  if (status != VELTO_STATUS_OK) unsubscribe_routine(stream_type, device, request);
  return status;
}

}  // namespace

Value* op_subscribe_to(Value* args, RequestContext* request) {
  int32_t stream_type = 0;
  int64_t device = 0;
  Value* item = nullptr;
  // A refusal here leaves the callable in the argument tree; the worker
  // releases it with the tree, so nothing leaks.
  if (!value_parse(args, "iLO", &stream_type, &device, &item) || item->kind != VALUE_PYOBJECT) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  auto* callable = static_cast<PyObject*>(value_take_pyobject(item));
  if (callable == nullptr) return status_result(STATUS_INVALID_PARAMETER);
  return status_result(subscribe_routine(stream_type, device, callable, request));
}

Value* op_unsubscribe_from(Value* args, RequestContext* request) {
  int32_t stream_type = 0;
  int64_t device = 0;
  if (!value_parse(args, "iL", &stream_type, &device)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(unsubscribe_routine(stream_type, device, request));
}
